// Retrieval: the surface wind speed and rain rate that best explain six
// measured brightness temperatures, with their uncertainties. Included by
// <nerido/nerido.hpp>.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace nerido {

// One measurement: six brightness temperatures (K; NaN marks a missing
// channel) and the values that other sensors supply.
struct Observation {
  std::array<float, 6> tb_k;
  float sst_c;       // sea-surface temperature (degrees Celsius), -2 to 45
  float altitude_m;  // radar altitude (m), above 0 and up to 16000
  float air_c;       // flight-level air temperature (degrees Celsius), -70 to 45
};

enum class RetrievalStatus {
  ok,             // converged inside the bounds, residual consistent with the noise
  at_bound,       // the best fit lies at wind or rain 0 or at 150
  poor_fit,       // residual RMS above 3 x the noise: the scene does not fit the model
  not_converged,  // the iteration limit was reached
  invalid_input,  // SST, altitude or air temperature out of range, or fewer than 3 channels
};

// The status's name: "ok", "at_bound", "poor_fit", "not_converged", "invalid_input".
[[nodiscard]] std::string_view status_name(RetrievalStatus status) noexcept;

struct RetrievalOptions {
  std::array<float, 6> noise_k{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};  // 1 sigma per channel (K)
  // Levenberg-Marquardt iterations (Jacobian evaluations), over all the
  // fits of one retrieval; when they run out the status is not_converged.
  int max_iterations = 50;
  // Relative step below which a fit has converged (MINPACK's xtol).
  double step_tolerance = 1e-6;
  // Relative reduction of the chi-square below which a fit has converged
  // (MINPACK's ftol).
  double reduction_tolerance = 1e-6;
};

struct Retrieval {
  float wind_ms;                // retrieved wind speed (m/s), 0 to 150
  float rain_mmh;               // retrieved rain rate (mm/h), 0 to 150
  float wind_sigma_ms;          // 1 sigma of the wind speed (m/s)
  float rain_sigma_mmh;         // 1 sigma of the rain rate (mm/h)
  float wind_rain_correlation;  // correlation of the two errors, -1 to 1
  float residual_rms_k;         // RMS of the measured minus modelled Tb (K)
  int iterations;
  int channels_used;
  RetrievalStatus status;
};

// Weighted least-squares fit of wind and rain to the channels present.
// Thread-safe; never throws.
[[nodiscard]] Retrieval retrieve(const Observation& observation,
                                 const RetrievalOptions& options = {}) noexcept;

}  // namespace nerido
