// Retrievals per second for typical scenes on one core, next to what one
// retrieval is made of: the setup of its problem (the emissivity computation
// and the wind- and rain-free parts of the budget), its first guess (a
// profile over 16 rain rates) and the six-channel budget pass that each
// evaluation of its residuals costs. The same for scenes of high wind, where
// the first guess cuts the ladder finer (no typical scene's profile is cut).
//   build/bench/retrieval_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only
// The retrieval's counters: retrievals/s, Levenberg-Marquardt iterations per
// retrieval.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <random>
#include <vector>

#include "nerido/nerido.hpp"
#include "retrieval/first_guess.hpp"

namespace {

constexpr std::size_t scene_count = 512;

// Typical scenes: wind 5 to 60 m/s, rain 0 to 50 mm/h, SST 0 to 30 C,
// altitude 300 to 8000 m, the air 1 C below the sea and 6.5 K colder a
// kilometre; all six channels, measured with 0.5 K noise.
struct Case {
  nerido::Scene scene;
  nerido::Observation observation;
};

std::vector<Case> make_cases(float wind_low, float wind_high, float rain_high) {
  std::mt19937_64 random(20240508);
  std::uniform_real_distribution<float> wind(wind_low, wind_high);
  std::uniform_real_distribution<float> rain(0.0f, rain_high);
  std::uniform_real_distribution<float> sst(0.0f, 30.0f);
  std::uniform_real_distribution<float> altitude(300.0f, 8000.0f);
  std::normal_distribution<double> noise(0.0, 0.5);
  std::vector<Case> out;
  for (std::size_t i = 0; i < scene_count; ++i) {
    const float sst_c = sst(random);
    const float altitude_m = altitude(random);
    const auto air_c = static_cast<float>(static_cast<double>(sst_c) - 1.0 -
                                          0.0065 * static_cast<double>(altitude_m));
    const nerido::Scene scene{sst_c, altitude_m, air_c, wind(random), rain(random)};
    nerido::Observation observation{nerido::brightness_temperatures(scene), sst_c, altitude_m,
                                    air_c};
    for (float& tb : observation.tb_k) {
      tb = static_cast<float>(static_cast<double>(tb) + noise(random));
    }
    out.push_back({scene, observation});
  }
  return out;
}

const std::vector<Case>& typical_cases() {
  static const std::vector<Case> cases = make_cases(5.0f, 60.0f, 50.0f);
  return cases;
}

// Scenes of high wind (100 to 150 m/s, rain 0 to 150 mm/h), otherwise alike.
const std::vector<Case>& high_wind_cases() {
  static const std::vector<Case> cases = make_cases(100.0f, 150.0f, 150.0f);
  return cases;
}

void retrievals(benchmark::State& state, const std::vector<Case>& cases) {
  std::size_t next = 0;
  long iterations = 0;
  for (auto _ : state) {
    const nerido::Retrieval r = nerido::retrieve(cases[next].observation);
    benchmark::DoNotOptimize(r);
    iterations += r.iterations;
    next = (next + 1) % cases.size();
  }
  state.counters["retrievals/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["iterations"] =
      benchmark::Counter(static_cast<double>(iterations) / static_cast<double>(state.iterations()));
}

void retrieval(benchmark::State& state) { retrievals(state, typical_cases()); }
BENCHMARK(retrieval);

void retrieval_high_wind(benchmark::State& state) { retrievals(state, high_wind_cases()); }
BENCHMARK(retrieval_high_wind);

// The costly half of a scene, computed once per retrieval.
void emissivity_computation(benchmark::State& state) {
  const std::vector<Case>& cases = typical_cases();
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nerido::emissivities(cases[next].scene.sst_c));
    next = (next + 1) % cases.size();
  }
}
BENCHMARK(emissivity_computation);

void problem_setup(benchmark::State& state) {
  const std::vector<Case>& cases = typical_cases();
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nerido::retrieval::make_problem(cases[next].observation, {}));
    next = (next + 1) % cases.size();
  }
}
BENCHMARK(problem_setup);

void first_guesses(benchmark::State& state, const std::vector<Case>& cases) {
  std::vector<nerido::retrieval::FitProblem> problems;
  for (const Case& c : cases) {
    problems.push_back(*nerido::retrieval::make_problem(c.observation, {}));
  }
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nerido::retrieval::first_guess(problems[next]));
    next = (next + 1) % problems.size();
  }
}

void first_guess(benchmark::State& state) { first_guesses(state, typical_cases()); }
BENCHMARK(first_guess);

void first_guess_high_wind(benchmark::State& state) { first_guesses(state, high_wind_cases()); }
BENCHMARK(first_guess_high_wind);

// One pass of the six-channel budget with the emissivities known: the unit a
// retrieval spends per evaluation of its residuals.
void budget_pass(benchmark::State& state) {
  const std::vector<Case>& cases = typical_cases();
  const std::array<float, nerido::channel_count> e = nerido::emissivities(15.0f);
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nerido::brightness_temperatures(cases[next].scene, e));
    next = (next + 1) % cases.size();
  }
}
BENCHMARK(budget_pass);

}  // namespace

BENCHMARK_MAIN();
