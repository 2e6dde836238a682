#include "retrieval/fit_problem.hpp"

#include <cmath>

#include "nerido/nerido.hpp"
#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido::retrieval {
namespace {

inline constexpr std::size_t minimum_channels = 3;

bool usable_noise(float noise_k) noexcept { return std::isfinite(noise_k) && noise_k > 0.0f; }

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

std::optional<FitProblem> make_problem(const Observation& observation,
                                       const RetrievalOptions& options) {
  if (!in_range(SceneField::sst_c, observation.sst_c) ||
      !in_range(SceneField::altitude_m, observation.altitude_m) ||
      !in_range(SceneField::air_c, observation.air_c) ||
      !in_range(SceneField::salinity_psu, observation.salinity_psu) || options.max_iterations < 0 ||
      !(options.step_tolerance >= 0.0) || !(options.reduction_tolerance >= 0.0)) {
    return std::nullopt;
  }
  FitProblem p{};
  for (std::size_t i = 0; i < max_channels; ++i) {
    const float tb = observation.tb_k[i];
    if (std::isnan(tb)) {
      continue;  // a missing channel
    }
    if (std::isinf(tb) || !usable_noise(options.noise_k[i])) {
      return std::nullopt;
    }
    p.channels[p.count].index = i;
    p.measured_k[p.count] = wide(tb);
    p.inverse_noise[p.count] = 1.0 / wide(options.noise_k[i]);
    ++p.count;
  }
  if (p.count < minimum_channels) {
    return std::nullopt;
  }
  fill_constants(p, observation.sst_c, observation.altitude_m, observation.air_c,
                 observation.salinity_psu);
  return p;
}

void exact_residuals(const FitProblem& p, float wind_ms, float rain_mmh,
                     std::span<double> residuals) noexcept {
  const radiance::RainTerms rain = radiance::rain_terms(rain_mmh);
  for (std::size_t k = 0; k < p.count; ++k) {
    const float tb = radiance::channel_brightness(p.air, p.exact[k], wind_ms, rain);
    residuals[k] = (wide(tb) - p.measured_k[k]) * p.inverse_noise[k];
  }
}

void exact_residuals(const FitProblem& p, float wind_ms, float rain_mmh,
                     std::span<double> residuals, std::span<ChannelSlopes> slopes) noexcept {
  const radiance::RainTerms rain = radiance::rain_terms(rain_mmh);
  const WindLaw wind = wind_law(wide(wind_ms));
  for (std::size_t k = 0; k < p.count; ++k) {
    const ChannelConstants& c = p.channels[k];
    if (!p.exact[k].in_window || rain.negative) {
      const float tb = radiance::channel_brightness(p.air, p.exact[k], wind_ms, rain);
      residuals[k] = (wide(tb) - p.measured_k[k]) * p.inverse_noise[k];
      slopes[k] = smooth_brightness(p.scene, c, wind, rain_powers(wide(rain_mmh)));
      continue;
    }
    const radiance::BudgetTrace t = radiance::trace_terms(p.air, p.exact[k], wind_ms, rain);
    const float tb = to_single(t.brightness_k);
    residuals[k] = (wide(tb) - p.measured_k[k]) * p.inverse_noise[k];
    const RainTransmissivity tau{wide(t.rain_up_transmissivity), wide(t.rain_down_transmissivity)};
    slopes[k] = brightness_slopes(
        p.scene, c, wind, attenuation_of(c, t.rain_attenuation, wide(t.rain_rate_factor)), tau);
  }
}

void smooth_residuals(const FitProblem& p, double wind_ms, double rain_mmh,
                      std::span<double> residuals) noexcept {
  const WindLaw wind = wind_law(wind_ms);
  const RainPowers rain = rain_powers(rain_mmh);
  for (std::size_t k = 0; k < p.count; ++k) {
    const double tb = smooth_brightness(p.scene, p.channels[k], wind, rain).tb_k;
    residuals[k] = (tb - p.measured_k[k]) * p.inverse_noise[k];
  }
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

}  // namespace nerido::retrieval
