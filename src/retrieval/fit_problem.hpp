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
  // With a model error the residuals are whitened by `whitening`, the
  // inverse of the lower Cholesky factor of their covariance (per K; the
  // first `count` rows and columns, zero above the diagonal); without one
  // (correlated false) each is weighted by its inverse_noise.
  bool correlated;
  std::array<std::array<double, max_channels>, max_channels> whitening;
};

// Why the observation or the options cannot be fitted: SST, altitude, air
// temperature or salinity out of its range (NaN and infinities included), fewer
// than three channels, an infinite Tb, the noise of a channel present
// outside noise_range_k, a model error outside model_error_range_k, a
// roll or pitch out of range (NaN included), a max_off_nadir_deg outside 0 to
// 90, a negative iteration limit or tolerance (or a NaN one). None when
// they can.
[[nodiscard]] InvalidReason invalid_reason(const Observation& observation,
                                           const RetrievalOptions& options) noexcept;

// The radiometer's angle off nadir (degrees, 0 to 90) for the aircraft's
// roll and pitch (each -90 to 90 degrees).
[[nodiscard]] double off_nadir_deg(const Observation& observation) noexcept;

// Fills a value-initialised problem from an observation that invalid_reason
// accepts (unchecked: the retrieval checks first, once).
void fill_problem(FitProblem& problem, const Observation& observation,
                  const RetrievalOptions& options);

// The problem of an observation, or nothing when invalid_reason gives one.
[[nodiscard]] std::optional<FitProblem> make_problem(const Observation& observation,
                                                     const RetrievalOptions& options);

// The weight of channel k's difference model - measured before whitening:
// 1 / sigma without a model error, else 1 (whiten does the rest).
[[nodiscard]] inline double weight(const FitProblem& p, std::size_t k) noexcept {
  return p.correlated ? 1.0 : p.inverse_noise[k];
}

// Whitens the first `count` weighted values (residuals or a column of the
// Jacobian) in place; nothing to do without a model error.
void whiten_correlated(const FitProblem& p, std::span<double> values) noexcept;
inline void whiten(const FitProblem& p, std::span<double> values) noexcept {
  if (p.correlated) {
    whiten_correlated(p, values);
  }
}

// Model minus measured Tb (K) of the exact model, one per channel used.
void exact_differences(const FitProblem& problem, float wind_ms, float rain_mmh,
                       std::span<double> differences) noexcept;

// Weighted residuals (model - measured) / sigma of the exact model, one per
// channel used (whitened with a model error), at a wind and a non-negative
// rain rate (m/s, mm/h). Any wind
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
