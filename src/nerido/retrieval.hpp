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
// wind; at high wind, where wind and rain warm the spectrum almost alike and the profile can dip
// twice within one step of the ladder, the steps are cut finer), so it finds the global minimum
// across the domain (none missed in 10^6 noise-free scenes), not one next to a start or stuck at a
// join of the wind law (7 and 37 m/s). The bounds are kept by fitting sqrt(R) and by holding a
// variable at the bound it would cross; a fit that ends within 0.01 of 0 is compared with one that
// holds the variable at exactly 0, so that "no rain" reads exactly 0 (a physical answer: ok).
//
// With a model error (RetrievalOptions::model_error_k, independent_error_k)
// the fit is generalised least squares: the residuals are whitened by the
// covariance C = diag(noise^2) + model_error^2 11^T + diag(independent^2) of
// the channels present, chi2 = r^T C^-1 r. Without one, C is diagonal and
// the fit is the weighted one above, bit for bit.
//
// The uncertainties. The covariance is (J^T C^-1 J)^-1 at the solution, J the
// Jacobian of the channels' Tb in (W, R): the Cramer-Rao bound for this
// noise (and model error), which the fit attains across the domain (see the
// Monte Carlo tests). At a bound the covariance is undefined (the
// slope of Tb in R is infinite at R = 0): there the column of J of the
// variable at the bound is a one-sided difference over 0.1 (m/s or mm/h)
// into the domain. The errors of wind and rain are strongly anti-correlated
// (about -0.9 to -1.0): a warmer spectrum is more wind or more rain.
// Without a model error the sigmas are the noise's alone. The model's
// sea-water permittivity differs from newer ones by -0.8 to +1.0 K in nadir
// Tb, almost equally in all channels: about 1-2 m/s of wind that only
// model_error_k (e.g. 0.5 K) puts into the sigmas.
//
// Clear air. Rain cannot go below 0, so noise on a rain-free scene gives a
// mean retrieved rain above 0 and a wind a little low. Noise 0.5 K in six
// channels, altitude 3000 m, 20,000 draws a cell (the test program
// nerido_retrieval_table 20000 clear-air):
//   wind (m/s)                  2      5     10     20     40
//   mean rain (mm/h), SST 15  0.44   0.53   0.58   0.59   0.71
//                     SST 28  0.39   0.46   0.49   0.52   0.63
//   mean wind error (m/s)    -0.57  -0.70  -0.60  -0.30  -0.17
// A clear-air average of rain is therefore a bias, not a drizzle.
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
  float pitch_deg = 0.0f;  // the pitch, as roll_deg
};

// How a retrieval ended. When several apply, the first in this order is
// reported: invalid_input, off_nadir, not_converged, poor_fit, at_bound, ok.
// The values are stored in files as flags: new ones are added at the end.
enum class RetrievalStatus {
  ok,             // converged, residual consistent with the noise; a wind or
                  // rain of exactly 0 (calm, no rain) is an answer like any
                  // other, its sigma one-sided (see above)
  at_bound,       // the best fit has wind or rain at 150, the top of the domain:
                  // a scene the model does not cover
  poor_fit,       // RMS of the whitened residuals (each in units of its channel's
                  // noise when there is no model error) above 3: the scene does
                  // not fit the model (land or ice in view, a failed channel)
  not_converged,  // the iteration limit was reached
  invalid_input,  // see Retrieval::invalid_reason
  off_nadir,      // the radiometer looked more than max_off_nadir_deg off nadir:
                  // no fit (results NaN)
};

// The number of statuses: their values are 0 to retrieval_status_count - 1
// (the values files store as flags).
inline constexpr int retrieval_status_count = 6;

// The status's name: "ok", "at_bound", "poor_fit", "not_converged",
// "invalid_input", "off_nadir".
[[nodiscard]] std::string_view status_name(RetrievalStatus status) noexcept;

// Why an input was invalid (none for any other status).
enum class InvalidReason {
  none,
  sst_c,             // the SST is NaN, infinite or out of its scene range
  altitude_m,        // the same for the altitude
  air_c,             // the same for the air temperature
  salinity_psu,      // the same for the salinity
  attitude,          // a roll or pitch is NaN or out of its range
  too_few_channels,  // fewer than 3 channels present (not NaN)
  infinite_tb,       // a Tb present is infinite
  noise,             // a channel present has a noise outside noise_range_k
  options,           // an option other than the noise out of its range
};

// The reason's name: "none", "sst_c", ..., "options" (as the enumerators).
[[nodiscard]] std::string_view invalid_reason_name(InvalidReason reason) noexcept;

// The accepted range of each channel's noise and of the model errors (K):
// below 0.01 K the noise is finer than a single-precision Tb resolves, and
// the weights would make the sigmas meaningless.
struct KelvinRange {
  float low;   // inclusive
  float high;  // inclusive
};
// Each channel's noise.
inline constexpr KelvinRange noise_range_k{0.01f, 100.0f};
// The model errors may also be 0 (none).
inline constexpr KelvinRange model_error_range_k{0.0f, 100.0f};

// Each value outside its range makes the input invalid.
struct RetrievalOptions {
  // 1 sigma of each channel's measurement (K); within noise_range_k (0.01
  // to 100 K) for each channel present.
  std::array<float, channel_count> noise_k{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  // 1 sigma of the model's error common to all channels (K, fully
  // correlated between them), within model_error_range_k (0 to 100 K).
  float model_error_k = 0.0f;
  // 1 sigma of each channel's own model error (K, independent), within
  // model_error_range_k.
  std::array<float, channel_count> independent_error_k{};
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
  InvalidReason invalid_reason = InvalidReason::none;  // why, for invalid_input
};

// Weighted least-squares fit of wind and rain to the channels present. For
// invalid input and off nadir every float of the result is NaN; otherwise wind and rain
// lie in 0 to 150, never NaN, whatever the status, and the sigmas are
// positive (infinite only if the channels cannot tell wind from rain).
// Thread-safe; never throws; allocates nothing.
[[nodiscard]] Retrieval retrieve(const Observation& observation,
                                 const RetrievalOptions& options = {}) noexcept;

}  // namespace nerido
