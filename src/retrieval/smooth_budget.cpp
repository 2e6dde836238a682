#include "retrieval/smooth_budget.hpp"

#include "precision/precision.hpp"

namespace nerido::retrieval {
namespace {

// The budget's coefficients, as the single-precision values it was fitted
// with (see radiance/tbvanto.cpp).
// Wind law: three pieces in the wind speed, joining at 7 and 37 m/s.
inline constexpr double low_wind_slope = coef(0.001232f);
inline constexpr double mid_wind_linear = coef(0.0002492f);
inline constexpr double mid_wind_offset = coef(0.00344f);
inline constexpr double mid_wind_quadratic = coef(7.02e-5f);
inline constexpr double high_wind_slope = coef(0.005444f);
inline constexpr double high_wind_offset = coef(0.09266f);
inline constexpr double first_join_ms = 7.0;
inline constexpr double second_join_ms = 37.0;
// Frequency correction: (f - 4.74) (a W^2 + b W + c).
inline constexpr double correction_quadratic = coef(5.166e-6f);
inline constexpr double correction_linear = coef(1.86e-5f);
inline constexpr double correction_constant = coef(0.0002788f);
// Rain attenuation: 3.94e-9 f^(2.63 R^0.06) R^0.87 per metre.
inline constexpr double rain_scale_per_m = coef(3.94e-9f);
inline constexpr double rain_frequency_exponent = coef(2.63f);
inline constexpr double rain_factor_power = coef(0.06f);
inline constexpr double rain_power = coef(0.87f);
// Depth of the rain column that the downwelling sky crosses (m).
inline constexpr double rain_column_m = coef(4000.0f);

}  // namespace

RainPowers rain_powers(double rain_mmh) noexcept {
  return {rain_mmh, dmath::pow(rain_mmh, rain_factor_power), dmath::pow(rain_mmh, rain_power)};
}

Attenuation rain_attenuation(const ChannelConstants& channel, const RainPowers& rain) noexcept {
  const double exponent = rain_frequency_exponent * rain.r006;
  const double kappa =
      dmath::exp(exponent * channel.log_frequency) * rain_scale_per_m * rain.r087;
  const double elasticity =
      rain_power + rain_frequency_exponent * rain_factor_power * channel.log_frequency * rain.r006;
  return {kappa, kappa * elasticity};
}

WindLaw wind_law(double wind_ms) noexcept {
  const double w = wind_ms;
  WindLaw law{};
  if (w < first_join_ms) {
    law.increment = low_wind_slope * w;
    law.slope_per_ms = low_wind_slope;
  } else if (w < second_join_ms) {
    law.increment = (mid_wind_linear * w + mid_wind_offset) + mid_wind_quadratic * w * w;
    law.slope_per_ms = mid_wind_linear + 2.0 * mid_wind_quadratic * w;
  } else {
    law.increment = high_wind_slope * w - high_wind_offset;
    law.slope_per_ms = high_wind_slope;
  }
  law.correction_factor =
      (correction_quadratic * w * w + correction_linear * w) + correction_constant;
  law.correction_slope_per_ms = 2.0 * correction_quadratic * w + correction_linear;
  return law;
}

RainTransmissivity rain_transmissivity(const SceneConstants& scene,
                                       double kappa_per_m) noexcept {
  return {dmath::exp(-kappa_per_m * scene.rain_height_m),
          dmath::exp(-kappa_per_m * rain_column_m)};
}

namespace {

// Downwelling brightness at the surface (K).
double downwelling(const SceneConstants& scene, const ChannelConstants& channel,
                   const RainTransmissivity& tau) noexcept {
  return tau.down * channel.sky_k + scene.low_layer_k * (1.0 - tau.down);
}

}  // namespace

EmissivityLine emissivity_line(const SceneConstants& scene, const ChannelConstants& channel,
                               const RainTransmissivity& tau) noexcept {
  const double path = tau.up * channel.air_transmissivity;
  const double down_k = downwelling(scene, channel, tau);
  return {path * down_k + scene.upwelling_k * (1.0 - path), path * (scene.sst_k - down_k)};
}

ChannelSlopes smooth_brightness(const SceneConstants& scene, const ChannelConstants& channel,
                                const WindLaw& wind, const RainPowers& rain) noexcept {
  const WindIncrement law = wind_increment(channel, wind);
  const Attenuation att = rain_attenuation(channel, rain);
  const RainTransmissivity tau = rain_transmissivity(scene, att.kappa_per_m);
  const EmissivityLine line = emissivity_line(scene, channel, tau);
  const double e = law.increment + channel.emissivity;
  const double tb = line.level_k + line.slope_k * e;

  const double path = tau.up * channel.air_transmissivity;
  const double down_k = downwelling(scene, channel, tau);
  const double surface_k = down_k * (1.0 - e) + e * scene.sst_k;
  // dTb/dkappa through both rain paths (K m).
  const double per_kappa =
      path * (-rain_column_m * tau.down * (1.0 - e) * (channel.sky_k - scene.low_layer_k) -
              scene.rain_height_m * (surface_k - scene.upwelling_k));
  return {tb, line.slope_k * law.slope_per_ms, per_kappa * att.rate_elasticity_per_m};
}

}  // namespace nerido::retrieval
