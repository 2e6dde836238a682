// One scene's six brightness temperatures against their floor: the bare
// elementary-function calls of the six channels computed one by one (11 per
// emissivity, one evaluation at nadir per channel, and 7 per channel's
// budget: 108 in all), with the arguments the model passes, recorded by
// bench/record_calls.cpp. The scene shares the budget's common calls (93
// calls), so it may come close to the floor; the target is within 1.3 x.
//   build/bench/model_bench --benchmark_repetitions=15 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <span>

#include "nerido/nerido.hpp"
#include "recorded_calls.inc"

namespace {

// One set of recorded calls, by function.
struct RecordedCalls {
  std::span<const double> exp, cos, sin, sqrt;
  std::span<const std::array<double, 2>> atan2, pow;
};

constexpr RecordedCalls channel_calls{channel_exp,  channel_cos,   channel_sin,
                                      channel_sqrt, channel_atan2, channel_pow};
constexpr RecordedCalls scene_calls{scene_exp,  scene_cos,   scene_sin,
                                    scene_sqrt, scene_atan2, scene_pow};

void one_scene(benchmark::State& state) {
  nerido::Scene scene{28.0f, 3000.0f, 15.0f, 10.0f, 5.0f};
  for (auto _ : state) {
    benchmark::DoNotOptimize(scene);
    benchmark::DoNotOptimize(nerido::brightness_temperatures(scene));
  }
}
BENCHMARK(one_scene);

// The calls of `calls` with their recorded arguments, nothing else.
void run_calls(benchmark::State& state, const RecordedCalls& calls) {
  for (auto _ : state) {
    double sum = 0.0;
    for (const double& x : calls.exp) {
      benchmark::DoNotOptimize(&x);
      sum += std::exp(x);
    }
    for (const double& x : calls.cos) {
      benchmark::DoNotOptimize(&x);
      sum += std::cos(x);
    }
    for (const double& x : calls.sin) {
      benchmark::DoNotOptimize(&x);
      sum += std::sin(x);
    }
    for (const double& x : calls.sqrt) {
      benchmark::DoNotOptimize(&x);
      sum += std::sqrt(x);
    }
    for (const auto& yx : calls.atan2) {
      benchmark::DoNotOptimize(&yx);
      sum += std::atan2(yx[0], yx[1]);
    }
    for (const auto& xy : calls.pow) {
      benchmark::DoNotOptimize(&xy);
      sum += std::pow(xy[0], xy[1]);
    }
    benchmark::DoNotOptimize(sum);
  }
}

// The floor: the 108 calls of six channels computed one by one.
void elementary_function_floor(benchmark::State& state) { run_calls(state, channel_calls); }
BENCHMARK(elementary_function_floor);

// For comparison: the 93 calls the scene makes, its common calls shared.
void shared_calls_floor(benchmark::State& state) { run_calls(state, scene_calls); }
BENCHMARK(shared_calls_floor);

}  // namespace

BENCHMARK_MAIN();
