// Prints values of the model's stages for the figures and comparisons of
// docs/model.md (docs/model_figures.py drives it). One request a line on
// standard input, one answer a line on standard output, numbers with nine
// significant digits:
//   permittivity F T S       eps' eps''        (GHz, degrees Celsius, psu)
//   emissivities T           six calm-sea nadir emissivities at salinity 36
//   tb SST ALT AIR W R E*6   six Tb (K) of a scene with the six given
//                            emissivities in place of the model's own
//   budget F SST_K ALT AIR_K E W R [TOP]
//                            one channel's Tb (K), the rain-layer top (m) it
//                            used and the surface emissivity (calm sea plus
//                            wind); with TOP the rain-layer top is TOP
//                            metres instead of the model's own
//   rain F R                 rain attenuation coefficient kappa (per metre)
// A malformed line is reported with its number on standard error and ends
// the run with status 2.
#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "emissivity/sea_water.hpp"
#include "nerido/nerido.hpp"
#include "radiance/tbvanto.hpp"

namespace {

void print(std::span<const float> values) {
  const char* separator = "";
  for (const float v : values) {
    std::printf("%s%.9g", separator, static_cast<double>(v));
    separator = " ";
  }
  std::printf("\n");
}

// Reads exactly `count` floats, or at most `count` when `optional` of them
// may be left out; false when the line holds anything else.
bool read_floats(std::istringstream& in, std::size_t count, std::size_t optional,
                 std::vector<float>& out) {
  float v = 0.0f;
  while (out.size() < count && in >> v) {
    out.push_back(v);
  }
  in.clear();
  std::string rest;
  return !(in >> rest) && out.size() + optional >= count;
}

bool answer(const std::string& line) {
  std::istringstream in(line);
  std::string request;
  in >> request;
  std::vector<float> v;
  if (request == "permittivity" && read_floats(in, 3, 0, v)) {
    const auto eps = nerido::emissivity::sea_water_permittivity(v[0], v[1], v[2]);
    print(std::array{eps.real, eps.loss});
    return true;
  }
  if (request == "emissivities" && read_floats(in, 1, 0, v)) {
    const auto e = nerido::emissivities(v[0]);
    print(e);
    return true;
  }
  if (request == "tb" && read_floats(in, 11, 0, v)) {
    const nerido::Scene scene{v[0], v[1], v[2], v[3], v[4]};
    std::array<float, nerido::channel_count> e{};
    std::copy(v.begin() + 5, v.end(), e.begin());
    const auto tb = nerido::brightness_temperatures(scene, e);
    print(tb);
    return true;
  }
  if (request == "rain" && read_floats(in, 2, 0, v)) {
    // kappa depends on the frequency and the rain rate alone; any scene does.
    const std::array<float, 2> wind_rain{0.0f, v[1]};
    const auto trace =
        nerido::radiance::trace_budget(v[0], 300.0f, 1000.0f, 290.0f, 0.4f, wind_rain);
    std::printf("%.9g\n", trace.rain_attenuation);
    return true;
  }
  if (request == "budget" && read_floats(in, 8, 1, v)) {
    namespace radiance = nerido::radiance;
    radiance::AirTerms air = radiance::air_terms(v[1], v[2], v[3]);
    if (v.size() == 8) {
      air.rain_height_m = v[7];
    }
    const auto channel = radiance::channel_terms(air, v[0], v[4]);
    const auto rain = radiance::rain_terms(v[6]);
    const float tb = radiance::channel_brightness(air, channel, v[5], rain);
    const float e = radiance::trace_terms(air, channel, v[5], rain).surface_emissivity;
    print(std::array{tb, air.rain_height_m, e});
    return true;
  }
  return false;
}

}  // namespace

int main() {
  std::string line;
  for (long number = 1; std::getline(std::cin, line); ++number) {
    if (!answer(line)) {
      std::fprintf(stderr, "nerido_model_probe: line %ld: cannot read '%s'\n", number,
                   line.c_str());
      return 2;
    }
  }
  return 0;
}
