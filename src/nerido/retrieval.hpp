// Retrieval: the surface wind speed and rain rate that best explain six
// measured brightness temperatures, with their uncertainties. Included by
// <nerido/nerido.hpp>.
//
// The fit. Weighted least squares of the channels present over the wind W
// and the rain rate R, with the SST, altitude and air temperature held at
// their given values:
//   chi2(W, R) = sum over channels i of ((Tb_i(W, R) - tb_k[i]) / noise_k[i])^2
// minimised over 0 <= W <= 150 m/s, 0 <= R <= 150 mm/h. Tb_i is the exact
// model (the bits of brightness_temperatures); its derivatives come from a
// smooth double-precision twin of the same budget, since the exact model is
// a staircase at the scale of single precision. The solver is MINPACK's
// Levenberg-Marquardt on fixed-size arrays, step for step as Eigen's port. It starts from the
// lowest points of a profile of chi2 over a ladder of rain rates from 0 to 150 (each with its best
// wind), so it finds the global minimum across the domain, not one next to a start or stuck at a
// join of the wind law (7 and 37 m/s). The bounds are kept by fitting sqrt(R) and by holding a
// variable at the bound it would cross; a fit that ends within 0.01 of 0 is compared with one that
// holds the variable at exactly 0, so that "no rain" reads 0 and at_bound.
//
// The uncertainties. The covariance is (J^T W J)^-1 at the solution, J the
// Jacobian of the channels' Tb in (W, R), W = diag(1 / noise_k^2): the
// Cramer-Rao bound for this noise, which the fit attains across the domain
// (see the Monte Carlo test). At a bound the covariance is undefined (the
// slope of Tb in R is infinite at R = 0): there the column of J of the
// variable at the bound is a one-sided difference over 0.1 (m/s or mm/h)
// into the domain. The errors of wind and rain are strongly anti-correlated
// (about -0.9 to -1.0): a warmer spectrum is more wind or more rain.
// Model errors are not included.
//
// Threads and memory: retrieve() may run on any number of threads at once
// (it reads only its arguments); it allocates no memory (a few tables of
// constants are made once for the process, on the first call).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "nerido/channels.hpp"

namespace nerido {

// One measurement: six brightness temperatures (K, in the order of
// channels_ghz; NaN marks a missing channel) and the values that other
// sensors supply.
struct Observation {
  // The measured brightness temperatures (K).
  std::array<float, channel_count> tb_k;
  float sst_c;       // sea-surface temperature (degrees Celsius), -2 to 45
  float altitude_m;  // radar altitude (m), above 0 and up to 16000
  float air_c;       // flight-level air temperature (degrees Celsius), -70 to 45
  // Optional, each with its default (the field table's, <nerido/nerido.hpp>):
  // sea-surface salinity (psu), 0 to 40, as Scene::salinity_psu
  float salinity_psu = default_salinity_psu;
  // The aircraft's roll and pitch (degrees), -90 to 90 each; the radiometer
  // looks off nadir by acos(cos roll * cos pitch). NaN is invalid input.
  float roll_deg = 0.0f;
  float pitch_deg = 0.0f;
};

// How a retrieval ended. When several apply, the first in this order is
// reported: invalid_input, not_converged, poor_fit, at_bound, ok.
enum class RetrievalStatus {
  ok,             // converged inside the bounds, residual consistent with the noise
  at_bound,       // the best fit has wind or rain at exactly 0 or 150
  poor_fit,       // RMS of the residuals, each in units of its channel's noise,
                  // above 3: the scene does not fit the model (land or ice in
                  // view, a failed channel reading nonsense)
  not_converged,  // the iteration limit was reached
  invalid_input,  // SST, altitude or air temperature out of its scene range (NaN
                  // and infinities included), an infinite Tb, fewer than 3
                  // channels, or unusable options (see RetrievalOptions)
};

// The number of statuses: their values are 0 to retrieval_status_count - 1
// (the values files store as flags).
inline constexpr int retrieval_status_count = 5;

// The status's name: "ok", "at_bound", "poor_fit", "not_converged", "invalid_input".
[[nodiscard]] std::string_view status_name(RetrievalStatus status) noexcept;

// Each value outside its range makes the input invalid.
struct RetrievalOptions {
  // 1 sigma of each channel's measurement (K); positive and finite for each
  // channel present.
  std::array<float, channel_count> noise_k{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  // Levenberg-Marquardt iterations (Jacobian evaluations) summed over the
  // fits of one retrieval, 0 or more; when they run out the status is
  // not_converged and the result is the best point reached (0 gives the
  // first guess).
  int max_iterations = 50;
  // A fit has converged when its trust region (relative to the size of the
  // scaled parameters) shrinks below step_tolerance, or when the actual and
  // predicted relative reductions of chi2 both fall below
  // reduction_tolerance (MINPACK's xtol and ftol). 0 or more. The defaults
  // give wind and rain to about 1e-4 on noise-free data, far inside 1 sigma.
  double step_tolerance = 1e-6;
  double reduction_tolerance = 1e-6;  // see step_tolerance
  // The largest off-nadir angle (degrees) of a record that is fitted with
  // the nadir model, 0 to max_off_nadir_limit_deg.
  float max_off_nadir_deg = 5.0f;
};
// The largest max_off_nadir_deg accepted (degrees).
inline constexpr float max_off_nadir_limit_deg = 90.0f;

// What a retrieval found.
struct Retrieval {
  float wind_ms;                // retrieved wind speed (m/s), 0 to 150
  float rain_mmh;               // retrieved rain rate (mm/h), 0 to 150
  float wind_sigma_ms;          // 1 sigma of the wind speed (m/s)
  float rain_sigma_mmh;         // 1 sigma of the rain rate (mm/h)
  float wind_rain_correlation;  // correlation of the two errors, -1 to 1
  float residual_rms_k;         // RMS over the channels used of measured minus modelled Tb (K)
  int iterations;               // Levenberg-Marquardt iterations, all fits together
  int channels_used;            // channels present (not NaN), 3 to 6 unless invalid
  RetrievalStatus status;       // how the retrieval ended
};

// Weighted least-squares fit of wind and rain to the channels present. For
// invalid input every float of the result is NaN; otherwise wind and rain
// lie in 0 to 150, never NaN, whatever the status, and the sigmas are
// positive (infinite only if the channels cannot tell wind from rain).
// Thread-safe; never throws; allocates nothing.
[[nodiscard]] Retrieval retrieve(const Observation& observation,
                                 const RetrievalOptions& options = {}) noexcept;

}  // namespace nerido
