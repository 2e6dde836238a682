#include "retrieval/fit_problem.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "nerido/nerido.hpp"
#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido::retrieval {
namespace {

inline constexpr std::size_t minimum_channels = 3;

bool within(const KelvinRange& range, float value) noexcept {
  return value >= range.low && value <= range.high;  // false for NaN
}

// The whitening of the residuals of the channels present: C = diag(noise^2)
// + model_error^2 11^T + diag(independent^2) = L L^T, whitening = L^-1.
void fill_whitening(FitProblem& p, const RetrievalOptions& options) {
  using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor,
                               max_channels, max_channels>;
  const auto n = static_cast<Eigen::Index>(p.count);
  const double common = wide(options.model_error_k);
  Matrix covariance = Matrix::Constant(n, n, common * common);
  for (Eigen::Index k = 0; k < n; ++k) {
    const std::size_t i = p.channels[static_cast<std::size_t>(k)].index;
    const double noise = wide(options.noise_k[i]);
    const double own = wide(options.independent_error_k[i]);
    covariance(k, k) += noise * noise + own * own;
  }
  const Eigen::LLT<Matrix> factor(covariance);  // positive definite: noise >= 0.01 K
  const Matrix inverse = factor.matrixL().solve(Matrix::Identity(n, n));  // lower triangular like L
  for (Eigen::Index k = 0; k < n; ++k) {
    for (Eigen::Index l = 0; l <= k; ++l) {
      p.whitening[static_cast<std::size_t>(k)][static_cast<std::size_t>(l)] = inverse(k, l);
    }
  }
}

// The observation's fixed terms, from the model's own parts.
void fill_constants(FitProblem& p, float sst_c, float altitude_m, float air_c, float salinity_psu) {
  p.air = radiance::air_terms(model_kelvin(sst_c), altitude_m, model_kelvin(air_c));
  p.scene = {wide(p.air.sst_k), wide(p.air.rain_height_m), p.air.low_layer_k, p.air.upwelling_k};
  const std::array<float, channel_count> e = emissivities(sst_c, salinity_psu);
  for (std::size_t k = 0; k < p.count; ++k) {
    ChannelConstants& c = p.channels[k];
    const float f = channels_ghz[c.index];
    p.exact[k] = radiance::channel_terms(p.air, f, e[c.index]);
    c.frequency_offset_ghz = wide(f) - radiance::budget::reference_ghz;
    c.log_frequency = log_frequency(c.index);
    c.emissivity = wide(e[c.index]);
    c.air_transmissivity = wide(p.exact[k].air_transmissivity);
    c.sky_k = p.exact[k].sky_k;
  }
}

}  // namespace

InvalidReason invalid_reason(const Observation& observation,
                             const RetrievalOptions& options) noexcept {
  constexpr std::array<std::pair<SceneField, InvalidReason>, 4> fields{{
      {SceneField::sst_c, InvalidReason::sst_c},
      {SceneField::altitude_m, InvalidReason::altitude_m},
      {SceneField::air_c, InvalidReason::air_c},
      {SceneField::salinity_psu, InvalidReason::salinity_psu},
  }};
  const std::array<float, 4> values{observation.sst_c, observation.altitude_m, observation.air_c,
                                    observation.salinity_psu};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!in_range(fields[i].first, values[i])) {
      return fields[i].second;
    }
  }
  if (!in_range(SceneField::roll_deg, observation.roll_deg) ||
      !in_range(SceneField::pitch_deg, observation.pitch_deg)) {
    return InvalidReason::attitude;
  }
  std::size_t present = 0;
  bool infinite = false;
  bool bad_noise = false;
  bool bad_error = !within(model_error_range_k, options.model_error_k);
  for (std::size_t i = 0; i < max_channels; ++i) {
    const float tb = observation.tb_k[i];
    if (std::isnan(tb)) {
      continue;  // a missing channel: its noise and error are not looked at
    }
    ++present;
    infinite = infinite || std::isinf(tb);
    bad_noise = bad_noise || !within(noise_range_k, options.noise_k[i]);
    bad_error = bad_error || !within(model_error_range_k, options.independent_error_k[i]);
  }
  if (present < minimum_channels) {
    return InvalidReason::too_few_channels;
  }
  if (infinite) {
    return InvalidReason::infinite_tb;
  }
  if (bad_noise) {
    return InvalidReason::noise;
  }
  const bool bad_angle =
      !(options.max_off_nadir_deg >= 0.0f && options.max_off_nadir_deg <= max_off_nadir_limit_deg);
  if (bad_error || bad_angle || options.max_iterations < 0 || !(options.step_tolerance >= 0.0) ||
      !(options.reduction_tolerance >= 0.0)) {
    return InvalidReason::options;
  }
  return InvalidReason::none;
}

void fill_problem(FitProblem& p, const Observation& observation, const RetrievalOptions& options) {
  for (std::size_t i = 0; i < max_channels; ++i) {
    const float tb = observation.tb_k[i];
    if (std::isnan(tb)) {
      continue;  // a missing channel
    }
    p.channels[p.count].index = i;
    p.measured_k[p.count] = wide(tb);
    p.inverse_noise[p.count] = 1.0 / wide(options.noise_k[i]);
    p.correlated = p.correlated || options.independent_error_k[i] > 0.0f;
    ++p.count;
  }
  p.correlated = p.correlated || options.model_error_k > 0.0f;
  if (p.correlated) {
    fill_whitening(p, options);
  }
  fill_constants(p, observation.sst_c, observation.altitude_m, observation.air_c,
                 observation.salinity_psu);
}

std::optional<FitProblem> make_problem(const Observation& observation,
                                       const RetrievalOptions& options) {
  std::optional<FitProblem> problem;  // returned without a copy
  if (invalid_reason(observation, options) == InvalidReason::none) {
    fill_problem(problem.emplace(), observation, options);
  }
  return problem;
}

void whiten_correlated(const FitProblem& p, std::span<double> values) noexcept {
  // Lower triangular: row k needs values 0 to k, so from the last row up
  // the product can overwrite its input.
  for (std::size_t k = p.count; k-- > 0;) {
    double sum = 0.0;
    for (std::size_t l = 0; l <= k; ++l) {
      sum += p.whitening[k][l] * values[l];
    }
    values[k] = sum;
  }
}

void exact_differences(const FitProblem& p, float wind_ms, float rain_mmh,
                       std::span<double> differences) noexcept {
  const radiance::RainTerms rain = radiance::rain_terms(rain_mmh);
  for (std::size_t k = 0; k < p.count; ++k) {
    const float tb = radiance::channel_brightness(p.air, p.exact[k], wind_ms, rain);
    differences[k] = wide(tb) - p.measured_k[k];
  }
}

void exact_residuals(const FitProblem& p, float wind_ms, float rain_mmh,
                     std::span<double> residuals) noexcept {
  exact_differences(p, wind_ms, rain_mmh, residuals);
  for (std::size_t k = 0; k < p.count; ++k) {
    residuals[k] *= weight(p, k);
  }
  whiten(p, residuals);
}

void exact_residuals(const FitProblem& p, float wind_ms, float rain_mmh,
                     std::span<double> residuals, std::span<ChannelSlopes> slopes) noexcept {
  const radiance::RainTerms rain = radiance::rain_terms(rain_mmh);
  const WindLaw wind = wind_law(wide(wind_ms));
  for (std::size_t k = 0; k < p.count; ++k) {
    const ChannelConstants& c = p.channels[k];
    if (!p.exact[k].in_window || rain.negative) {
      const float tb = radiance::channel_brightness(p.air, p.exact[k], wind_ms, rain);
      residuals[k] = (wide(tb) - p.measured_k[k]) * weight(p, k);
      slopes[k] = smooth_brightness(p.scene, c, wind, rain_powers(wide(rain_mmh)));
      continue;
    }
    const radiance::BudgetTrace t = radiance::trace_terms(p.air, p.exact[k], wind_ms, rain);
    const float tb = to_single(t.brightness_k);
    residuals[k] = (wide(tb) - p.measured_k[k]) * weight(p, k);
    const RainTransmissivity tau{wide(t.rain_up_transmissivity), wide(t.rain_down_transmissivity)};
    slopes[k] = brightness_slopes(
        p.scene, c, wind, attenuation_of(c, t.rain_attenuation, wide(t.rain_rate_factor)), tau);
  }
  whiten(p, residuals);
}

void smooth_residuals(const FitProblem& p, double wind_ms, double rain_mmh,
                      std::span<double> residuals) noexcept {
  const WindLaw wind = wind_law(wind_ms);
  const RainPowers rain = rain_powers(rain_mmh);
  for (std::size_t k = 0; k < p.count; ++k) {
    const double tb = smooth_brightness(p.scene, p.channels[k], wind, rain).tb_k;
    residuals[k] = (tb - p.measured_k[k]) * weight(p, k);
  }
  whiten(p, residuals);
}

double smooth_cost(const FitProblem& p, double wind_ms, double rain_mmh) noexcept {
  std::array<double, max_channels> r{};
  smooth_residuals(p, wind_ms, rain_mmh, r);
  double sum = 0.0;
  for (std::size_t k = 0; k < p.count; ++k) {
    sum += r[k] * r[k];
  }
  return sum;
}

double off_nadir_deg(const Observation& observation) noexcept {
  constexpr double radians_per_degree = std::numbers::pi / 180.0;
  const double roll = wide(observation.roll_deg) * radians_per_degree;
  const double pitch = wide(observation.pitch_deg) * radians_per_degree;
  // cos(theta) = cos(roll) cos(pitch): the boresight tilted by both rotations.
  const double cosine = std::clamp(dmath::cos(roll) * dmath::cos(pitch), -1.0, 1.0);
  return std::acos(cosine) / radians_per_degree;
}

}  // namespace nerido::retrieval
