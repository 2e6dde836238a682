// Records the arguments of every elementary-function call that one scene
// makes (28 C sea, 3000 m, 15 C air, 10 m/s wind, 5 mm/h rain) through the
// scene API and writes them as bench/recorded_calls.inc:
//   build/bench/record_calls > bench/recorded_calls.inc
// Built from the model's own sources, with the library calls wrapped at link
// time (-Wl,--wrap=exp ...) and sqrt kept a library call (-fno-builtin-sqrt;
// a correctly rounded function gives the same bits as the instruction). It
// checks first that the scene API gives the bits of the channels computed
// one by one (emissivities, then a whole budget per channel).
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "nerido/nerido.hpp"
#include "precision/precision.hpp"
#include "radiance/tbvanto.hpp"

namespace {

struct Calls {
  std::vector<double> exp, cos, sin, sincos, sqrt;
  std::vector<std::array<double, 2>> atan2, pow;
  [[nodiscard]] std::size_t size() const {
    return exp.size() + cos.size() + sin.size() + sincos.size() + sqrt.size() + atan2.size() +
           pow.size();
  }
};

Calls recorded;
bool recording = false;

std::string hex(double value) {
  std::array<char, 40> text{};
  std::snprintf(text.data(), text.size(), "%a", value);
  return text.data();
}

// std::array rather than a C array, so that a function the scene no longer
// calls is an empty list.
void print_values(const char* set, const char* name, const std::vector<double>& values) {
  std::printf("inline constexpr std::array<double, %zu> %s_%s{", values.size(), set, name);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::printf("%s%s", i % 4 == 0 ? "\n    " : " ", (hex(values[i]) + ",").c_str());
  }
  std::printf("%s};\n", values.empty() ? "" : "\n");
}

void print_pairs(const char* set, const char* name,
                 const std::vector<std::array<double, 2>>& values) {
  std::printf("inline constexpr std::array<std::array<double, 2>, %zu> %s_%s{{", values.size(), set,
              name);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::printf("%s{%s, %s},", i % 2 == 0 ? "\n    " : " ", hex(values[i][0]).c_str(),
                hex(values[i][1]).c_str());
  }
  std::printf("%s}};\n", values.empty() ? "" : "\n");
}

void print_set(const char* set, const char* what, const Calls& calls) {
  std::printf(
      "\n// %s: %zu calls (exp %zu, cos %zu, sin %zu, sincos %zu, sqrt %zu, atan2 %zu, pow "
      "%zu),\n// %zu function values (a sincos gives two).\n",
      what, calls.size(), calls.exp.size(), calls.cos.size(), calls.sin.size(), calls.sincos.size(),
      calls.sqrt.size(), calls.atan2.size(), calls.pow.size(), calls.size() + calls.sincos.size());
  print_values(set, "exp", calls.exp);
  print_values(set, "cos", calls.cos);
  print_values(set, "sin", calls.sin);
  print_values(set, "sincos", calls.sincos);
  print_values(set, "sqrt", calls.sqrt);
  print_pairs(set, "atan2", calls.atan2);
  print_pairs(set, "pow", calls.pow);
}

}  // namespace

extern "C" {
double __real_exp(double);
double __real_cos(double);
double __real_sin(double);
void __real_sincos(double, double*, double*);
double __real_sqrt(double);
double __real_atan2(double, double);
double __real_pow(double, double);

double __wrap_exp(double x) {
  if (recording) {
    recorded.exp.push_back(x);
  }
  return __real_exp(x);
}
double __wrap_cos(double x) {
  if (recording) {
    recorded.cos.push_back(x);
  }
  return __real_cos(x);
}
double __wrap_sin(double x) {
  if (recording) {
    recorded.sin.push_back(x);
  }
  return __real_sin(x);
}
void __wrap_sincos(double x, double* sine, double* cosine) {
  if (recording) {
    recorded.sincos.push_back(x);
  }
  __real_sincos(x, sine, cosine);
}
double __wrap_sqrt(double x) {
  if (recording) {
    recorded.sqrt.push_back(x);
  }
  return __real_sqrt(x);
}
double __wrap_atan2(double y, double x) {
  if (recording) {
    recorded.atan2.push_back({y, x});
  }
  return __real_atan2(y, x);
}
double __wrap_pow(double x, double y) {
  if (recording) {
    recorded.pow.push_back({x, y});
  }
  return __real_pow(x, y);
}
}

int main() {
  using namespace nerido;
  const Scene scene{28.0f, 3000.0f, 15.0f, 10.0f, 5.0f};
  const std::array<float, 2> wind_rain{scene.wind_ms, scene.rain_mmh};
  const auto kelvin = [](float celsius) { return to_single(wide(celsius) + wide(273.146f)); };

  // Channel by channel: the emissivities, then a whole budget per channel.
  const std::array<float, channel_count> e = emissivities(scene.sst_c);
  std::array<float, channel_count> one_by_one{};
  for (std::size_t i = 0; i < channel_count; ++i) {
    one_by_one[i] = radiance::tbvanto(channels_ghz[i], kelvin(scene.sst_c), scene.altitude_m,
                                      kelvin(scene.air_c), e[i], wind_rain);
  }

  // The scene API: the budget's shared terms computed once.
  recording = true;
  const std::array<float, channel_count> shared = brightness_temperatures(scene);
  recording = false;
  const Calls scene_calls = std::exchange(recorded, Calls{});

  if (one_by_one != shared) {
    std::fprintf(stderr, "record_calls: the two paths differ\n");
    return EXIT_FAILURE;
  }
  std::printf(
      "// Arguments of the elementary-function calls of one scene (28 C sea, 3000 m,\n"
      "// 15 C air, 10 m/s wind, 5 mm/h rain), recorded from the model by\n"
      "// bench/record_calls.cpp, in call order per function. Hex floats: exact values.\n"
      "#pragma once\n\n#include <array>\n");
  print_set("scene", "The scene API", scene_calls);
  return EXIT_SUCCESS;
}
