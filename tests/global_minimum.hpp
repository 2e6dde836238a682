// Random noise-free scenes across the whole domain and the verdict on their
// retrieval, shared by the global-minimum test and the program that checks a
// million of them (nerido_global_minimum_check). A scene is a function of a
// seed and its index alone, so any share of the indices gives the same
// scenes on any number of threads.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "nerido/nerido.hpp"
#include "retrieval/fit_problem.hpp"

namespace nerido::testing {

// A fit that ends this far (K, RMS) above the residual at the truth has
// stopped at a wrong minimum.
inline constexpr double wrong_minimum_margin_k = 0.01;

// SplitMix64: a fast generator whose every state is a good seed.
inline std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  state += 0x9e3779b97f4a7c15U;
  std::uint64_t z = state;
  z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9U;
  z = (z ^ (z >> 27U)) * 0x94d049bb133111ebU;
  return z ^ (z >> 31U);
}

// Scene `index` of the sample `seed`: every field uniform over its range in
// the field table, each drawn independently (the air of no lapse rule).
inline Scene random_scene(std::uint64_t seed, std::uint64_t index) noexcept {
  std::uint64_t state = seed;
  state = splitmix64(state) ^ (index * 0xd1b54a32d192ed03U);
  std::array<float, scene_field_count> values{};
  for (std::size_t f = 0; f < scene_field_count; ++f) {
    const auto field = static_cast<SceneField>(f);
    const FieldRange& range = field_range(field);
    do {  // again for a value on an exclusive bound
      const double unit = static_cast<double>(splitmix64(state) >> 11U) * 0x1p-53;
      const double low = static_cast<double>(range.low);
      values[f] = static_cast<float>(low + unit * (static_cast<double>(range.high) - low));
    } while (!in_range(field, values[f]));
  }
  return scene_from_values(values);
}

// The retrieval of a scene's noise-free brightness temperatures, and the
// residual (K, RMS over the channels, as Retrieval::residual_rms_k) of the
// retrieval's own model at the truth.
struct Verdict {
  Retrieval retrieval;
  double truth_rms_k;

  // Ended at a minimum it reports as found (ok or at a bound) whose residual
  // is clearly above the truth's.
  [[nodiscard]] bool wrong_minimum() const noexcept {
    const bool reported_found =
        retrieval.status == RetrievalStatus::ok || retrieval.status == RetrievalStatus::at_bound;
    return reported_found &&
           static_cast<double>(retrieval.residual_rms_k) > truth_rms_k + wrong_minimum_margin_k;
  }
};

inline Verdict judge(const Scene& truth) {
  const Observation observation{brightness_temperatures(truth), truth.sst_c, truth.altitude_m,
                                truth.air_c};
  Verdict verdict{retrieve(observation), 0.0};
  const auto problem = retrieval::make_problem(observation, {});
  if (problem) {
    std::array<double, retrieval::max_channels> r{};
    retrieval::exact_residuals(*problem, truth.wind_ms, truth.rain_mmh, r);
    double sum = 0.0;
    for (std::size_t k = 0; k < problem->count; ++k) {
      const double kelvin = r[k] / problem->inverse_noise[k];
      sum += kelvin * kelvin;
    }
    verdict.truth_rms_k = std::sqrt(sum / static_cast<double>(problem->count));
  }
  return verdict;
}

}  // namespace nerido::testing
