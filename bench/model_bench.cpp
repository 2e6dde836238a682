// One six-channel computation against its floor: the bare sequence of the
// double-precision elementary-function calls that the computation makes
// (11 per kleinswift evaluation, three evaluations per channel, and 7 per
// tbvanto: 240 in all), with the arguments the computation passes.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>

#include "emissivity/kleinswift.hpp"
#include "nerido/nerido.hpp"
#include "radiance/tbvanto.hpp"
#include "recorded_calls.inc"

namespace {

using nerido::channels_ghz;

void six_channel_computation(benchmark::State& state) {
  float sst_c = 28.0f;
  float altitude_m = 3000.0f;
  float air_c = 15.0f;
  std::array<float, 2> wind_rain{10.0f, 5.0f};
  for (auto _ : state) {
    benchmark::DoNotOptimize(sst_c);
    benchmark::DoNotOptimize(altitude_m);
    benchmark::DoNotOptimize(air_c);
    benchmark::DoNotOptimize(wind_rain.data());
    std::array<float, 6> emissivities{};
    nerido::emissivity::klsw_loop(channels_ghz, sst_c, 0.0f, 0.0f, emissivities, 1, 6);
    const float sst_k = static_cast<float>(static_cast<double>(sst_c) + 273.146);
    const float air_k = static_cast<float>(static_cast<double>(air_c) + 273.146);
    std::array<float, 6> tb{};
    for (std::size_t i = 0; i < channels_ghz.size(); ++i) {
      tb[i] = nerido::radiance::tbvanto(channels_ghz[i], sst_k, altitude_m, air_k, emissivities[i],
                                        wind_rain);
    }
    benchmark::DoNotOptimize(tb.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(six_channel_computation);

// The floor: the same 240 calls with the recorded arguments, nothing else.
void elementary_function_floor(benchmark::State& state) {
  for (auto _ : state) {
    double sum = 0.0;
    for (const KleinswiftCalls& c : kleinswift_calls) {
      benchmark::DoNotOptimize(&c);
      sum += std::exp(c.exp);
      sum += std::cos(c.cos);
      sum += std::sqrt(c.sqrt1);
      sum += std::atan2(c.atan2_y, c.atan2_x);
      sum += std::sqrt(c.sqrt2);
      sum += std::cos(c.cos2);
      sum += std::sin(c.sin);
      for (double base : c.sq) {
        sum += std::pow(base, 2.0);
      }
    }
    for (const TbvantoCalls& c : tbvanto_calls) {
      benchmark::DoNotOptimize(&c);
      sum += std::exp(c.exp1);
      for (std::size_t i = 0; i < 4; ++i) {
        sum += std::pow(c.pow_base[i], c.pow_exponent[i]);
      }
      sum += std::exp(c.exp2);
      sum += std::exp(c.exp3);
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(elementary_function_floor);

}  // namespace

BENCHMARK_MAIN();
