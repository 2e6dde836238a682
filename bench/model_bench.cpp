// One scene's six brightness temperatures against their floor: the 58
// elementary-function values the model needs, each computed alone by the C
// library with the argument the model passes (recorded by
// bench/record_calls.cpp). The model needs, per scene, the conductivity's
// exp (it depends on the SST alone), the altitude's exp and the two powers
// of the rain rate; per channel, for the emissivity at nadir, the modulus's
// and its root's sqrt, the phase's atan2 and the half-phase's sin and cos,
// and for the budget two pow and two exp: 4 + 6 x (5 + 4) = 58.
//   build/bench/model_bench --benchmark_repetitions=15 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <iterator>
#include <span>

#include "nerido/nerido.hpp"
#include "recorded_calls.inc"

namespace {

// The function values one scene needs.
constexpr std::size_t needed_values = 4 + nerido::channel_count * (5 + 4);
static_assert(std::size(scene_exp) + std::size(scene_cos) + std::size(scene_sin) +
                      2 * std::size(scene_sincos) + std::size(scene_sqrt) + std::size(scene_atan2) +
                      std::size(scene_pow) ==
                  needed_values,
              "the scene makes a call it does not need, or lacks one");

void one_scene(benchmark::State& state) {
  nerido::Scene scene{28.0f, 3000.0f, 15.0f, 10.0f, 5.0f};
  for (auto _ : state) {
    benchmark::DoNotOptimize(scene);
    benchmark::DoNotOptimize(nerido::brightness_temperatures(scene));
  }
}
BENCHMARK(one_scene);

// Each value of `arguments` through `function`, nothing else.
template <typename Function>
void add_calls(double& sum, std::span<const double> arguments, Function function) {
  for (const double& x : arguments) {
    benchmark::DoNotOptimize(&x);
    sum += function(x);
  }
}

// The calls with two arguments.
template <typename Function>
void add_pair_calls(double& sum, std::span<const std::array<double, 2>> arguments,
                    Function function) {
  for (const auto& xy : arguments) {
    benchmark::DoNotOptimize(&xy);
    sum += function(xy[0], xy[1]);
  }
}

double sine(double x) { return std::sin(x); }
double cosine(double x) { return std::cos(x); }

// The floor: the 58 values computed one call each (the scene's sincos
// arguments as a sin and a cos).
void needed_calls_floor(benchmark::State& state) {
  for (auto _ : state) {
    double sum = 0.0;
    add_calls(sum, scene_exp, [](double x) { return std::exp(x); });
    add_calls(sum, scene_cos, cosine);
    add_calls(sum, scene_sincos, cosine);
    add_calls(sum, scene_sin, sine);
    add_calls(sum, scene_sincos, sine);
    add_calls(sum, scene_sqrt, [](double x) { return std::sqrt(x); });
    add_pair_calls(sum, scene_atan2, [](double y, double x) { return std::atan2(y, x); });
    add_pair_calls(sum, scene_pow, [](double x, double y) { return std::pow(x, y); });
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(needed_calls_floor);

// For comparison: the calls as the scene makes them, sin and cos of one
// argument through one sincos.
void scene_calls_floor(benchmark::State& state) {
  for (auto _ : state) {
    double sum = 0.0;
    add_calls(sum, scene_exp, [](double x) { return std::exp(x); });
    add_calls(sum, scene_cos, cosine);
    add_calls(sum, scene_sin, sine);
    add_calls(sum, scene_sincos, [](double x) {
      double s = 0.0;
      double c = 0.0;
      ::sincos(x, &s, &c);
      return s + c;
    });
    add_calls(sum, scene_sqrt, [](double x) { return std::sqrt(x); });
    add_pair_calls(sum, scene_atan2, [](double y, double x) { return std::atan2(y, x); });
    add_pair_calls(sum, scene_pow, [](double x, double y) { return std::pow(x, y); });
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(scene_calls_floor);

}  // namespace

BENCHMARK_MAIN();
