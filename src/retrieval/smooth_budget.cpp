#include "retrieval/smooth_budget.hpp"

#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"

namespace nerido::retrieval {

using namespace radiance::budget;

double log_frequency(std::size_t index) noexcept {
  static const std::array<double, channel_count> table = [] {
    std::array<double, channel_count> logs{};
    for (std::size_t i = 0; i < channel_count; ++i) {
      logs[i] = dmath::log(wide(channels_ghz[i]));
    }
    return logs;
  }();
  return table[index];
}

RainPowers rain_powers(double rain_mmh) noexcept {
  return {rain_mmh, dmath::pow(rain_mmh, rain_factor_power), dmath::pow(rain_mmh, rain_power)};
}

Attenuation rain_attenuation(const ChannelConstants& channel, const RainPowers& rain) noexcept {
  const double exponent = rain_frequency_exponent * rain.r006;
  // No rain, no attenuation: the product is exactly +0 whatever the
  // (positive, finite) exponential, so it is not computed.
  const double kappa = rain.r087 == 0.0 ? 0.0
                                        : dmath::exp(exponent * channel.log_frequency) *
                                              rain_scale_per_m * rain.r087;
  return attenuation_of(channel, kappa, rain.r006);
}

Attenuation attenuation_of(const ChannelConstants& channel, double kappa_per_m,
                           double r006) noexcept {
  const double elasticity =
      rain_power + rain_frequency_exponent * rain_factor_power * channel.log_frequency * r006;
  return {kappa_per_m, kappa_per_m * elasticity};
}

ChannelSlopes brightness_slopes(const SceneConstants& scene, const ChannelConstants& channel,
                                const WindLaw& wind, const Attenuation& att,
                                const RainTransmissivity& tau) noexcept {
  const WindIncrement law = wind_increment(channel, wind);
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

ChannelSlopes smooth_brightness(const SceneConstants& scene, const ChannelConstants& channel,
                                const WindLaw& wind, const RainPowers& rain) noexcept {
  const Attenuation att = rain_attenuation(channel, rain);
  return brightness_slopes(scene, channel, wind, att, rain_transmissivity(scene, att.kappa_per_m));
}

}  // namespace nerido::retrieval
