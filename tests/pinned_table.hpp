// The pinned-results table: model inputs and the exact bits of their
// outputs, one evaluation per line, every float as a C hex float.
//
//   K f theta T S : rv rh eps_real eps_loss     kleinswift
//   L T angle1 angle2 selector : e1 .. e6        klsw_loop over the channels
//   B f sst h ta e0 wind rain : tb               tbvanto
//
// Lines starting with '#' are comments. The same evaluation function writes
// the table (pin_table_main) and checks it (pinned_results_test), so the two
// cannot drift apart.
#pragma once

#include <array>
#include <cstdint>
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
  const std::array<float, 2> wind_rain{in.at(5), in.at(6)};
  return {radiance::tbvanto(in.at(0), in.at(1), in.at(2), in.at(3), in.at(4), wind_rain)};
}

}  // namespace nerido::testing
