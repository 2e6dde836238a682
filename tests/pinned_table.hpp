// The pinned-results table: model inputs and the exact bits of their
// outputs, one evaluation per line, every float as a C hex float.
//
//   K f theta T S : rv rh eps_real eps_loss     kleinswift
//   L T angle1 angle2 selector : e1 .. e6        klsw_loop over the channels
//   B f sst h ta e0 wind rain : tb               tbvanto
//   S sst_c h air_c wind rain : tb1 .. tb6      a scene: klsw_loop at nadir,
//                                                 then tbvanto per channel
//   W sst_c h air_c wind rain salinity : tb1 .. tb6
//                                               a scene at a salinity: the
//                                                 permittivity stage at nadir
//                                                 per channel, then tbvanto
//
// Lines starting with '#' are comments. The same evaluation function writes
// the table (pin_table_main) and checks it (pinned_results_test), so the two
// cannot drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "emissivity/kleinswift.hpp"
#include "nerido/nerido.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido::testing {

struct PinnedLine {
  char kind = 0;
  std::vector<float> inputs;  // every input, integers included, as floats
  std::vector<float> outputs;
};

// Reads one table line ("K in... : out..."); false when it has no colon.
inline bool parse(const std::string& text, PinnedLine& line) {
  std::istringstream in(text);
  std::string word;
  if (!(in >> line.kind)) {
    return false;
  }
  bool after_colon = false;
  while (in >> word) {
    if (word == ":") {
      after_colon = true;
      continue;
    }
    (after_colon ? line.outputs : line.inputs).push_back(std::strtof(word.c_str(), nullptr));
  }
  return after_colon;
}

// Evaluates the model on the inputs of a line and returns the outputs.
inline std::vector<float> evaluate(char kind, const std::vector<float>& in) {
  if (kind == 'K') {
    float rv = 0, rh = 0, er = 0, ei = 0;
    emissivity::kleinswift(in.at(0), in.at(1), in.at(2), in.at(3), rv, rh, er, ei);
    return {rv, rh, er, ei};
  }
  if (kind == 'L') {
    std::array<float, channel_count> e{};
    emissivity::klsw_loop(channels_ghz, in.at(0), in.at(1), in.at(2), e,
                          static_cast<std::int32_t>(in.at(3)),
                          static_cast<std::int32_t>(channel_count));
    return {e.begin(), e.end()};
  }
  if (kind == 'S' || kind == 'W') {
    // The scene as the dialogue first computed it, one model call at a time;
    // at another salinity each emissivity is 1 - Rh of the permittivity
    // stage at nadir (the channel loop's emissivity there, in the ranges).
    std::array<float, channel_count> e{};
    if (kind == 'S') {
      emissivity::klsw_loop(channels_ghz, in.at(0), 0.0f, 0.0f, e, 1,
                            static_cast<std::int32_t>(channel_count));
    } else {
      for (std::size_t i = 0; i < e.size(); ++i) {
        float rv = 0, rh = 0, er = 0, ei = 0;
        emissivity::kleinswift(channels_ghz[i], 0.0f, in.at(0), in.at(5), rv, rh, er, ei);
        e[i] = static_cast<float>(1.0 - static_cast<double>(rh));
      }
    }
    const auto kelvin = [](float c) {
      return static_cast<float>(static_cast<double>(c) + static_cast<double>(273.146f));
    };
    const std::array<float, 2> wind_rain{in.at(3), in.at(4)};
    std::vector<float> tb;
    for (std::size_t i = 0; i < e.size(); ++i) {
      tb.push_back(radiance::tbvanto(channels_ghz[i], kelvin(in.at(0)), in.at(1), kelvin(in.at(2)),
                                     e[i], wind_rain));
    }
    return tb;
  }
  const std::array<float, 2> wind_rain{in.at(5), in.at(6)};
  return {radiance::tbvanto(in.at(0), in.at(1), in.at(2), in.at(3), in.at(4), wind_rain)};
}

}  // namespace nerido::testing
