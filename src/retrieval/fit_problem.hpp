// One observation as a least-squares problem in wind and rain: the channels
// present, their measurements and weights, everything of the budget that
// wind and rain leave unchanged, and the exact model's residuals.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "nerido/retrieval.hpp"
#include "radiance/tbvanto.hpp"
#include "retrieval/smooth_budget.hpp"

namespace nerido::retrieval {

struct FitProblem {
  // The exact model's parts that neither wind nor rain change.
  radiance::AirTerms air;
  std::array<radiance::ChannelTerms, max_channels> exact;  // the first `count` are used
  // The same for the smooth twin.
  SceneConstants scene;
  std::array<ChannelConstants, max_channels> channels;  // the first `count` are used
  std::size_t count;                                    // channels present, 3 to 6
  std::array<double, max_channels> measured_k;          // their measured Tb (K)
  std::array<double, max_channels> inverse_noise;       // 1 / sigma (per K)
};

// The problem of an observation, or nothing when the observation or the
// options are unusable: SST, altitude, air temperature or salinity out of
// its range (NaN and infinities included), an infinite Tb, fewer than three
// channels, the noise of a channel present not positive and finite, a
// negative iteration limit or tolerance (or a NaN one).
[[nodiscard]] std::optional<FitProblem> make_problem(const Observation& observation,
                                                     const RetrievalOptions& options);

// Weighted residuals (model - measured) / sigma of the exact model, one per
// channel used, at a wind and a non-negative rain rate (m/s, mm/h). Any wind
// is accepted: the wind law continues below 0 and above 150 m/s.
void exact_residuals(const FitProblem& problem, float wind_ms, float rain_mmh,
                     std::span<double> residuals) noexcept;

// The same residuals, and with them each channel's derivatives in wind and
// in log rain (per_wind, per_log_rain, unweighted) from the smooth twin's
// formulas at the exact model's attenuation and transmissivities: no
// exp or pow call beyond the model's own.
void exact_residuals(const FitProblem& problem, float wind_ms, float rain_mmh,
                     std::span<double> residuals, std::span<ChannelSlopes> slopes) noexcept;

// The same residuals from the smooth twin (no single-precision steps).
void smooth_residuals(const FitProblem& problem, double wind_ms, double rain_mmh,
                      std::span<double> residuals) noexcept;

// Sum of squared weighted residuals of the smooth twin (chi-square).
[[nodiscard]] double smooth_cost(const FitProblem& problem, double wind_ms,
                                 double rain_mmh) noexcept;

}  // namespace nerido::retrieval
