// A smooth double-precision twin of the six-channel budget, for the fit's
// derivatives and its first guess: the formulas of radiance::tbvanto with the
// wind- and rain-dependent working values kept in double (never rounded to
// single), so that brightness is a smooth function of wind and rain whose
// derivatives can be written down. The terms that depend on neither are
// taken from the model itself (radiance::air_terms and radiance::channel_terms),
// once per observation.
// Its brightness differs from the model's by the model's roundings only
// (about 1e-4 K).
#pragma once

#include <array>
#include <cstddef>

#include "nerido/channels.hpp"
#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"

namespace nerido::retrieval {

inline constexpr std::size_t max_channels = channel_count;

// What one channel's budget holds fixed for an observation.
struct ChannelConstants {
  std::size_t index;            // channel number, 0 to 5
  double frequency_offset_ghz;  // f - 4.74 GHz, the wind law's frequency lever
  double log_frequency;         // ln f (f in GHz)
  double emissivity;            // calm-sea emissivity e0
  double air_transmissivity;    // tau_A below the aircraft
  double sky_k;                 // T_S, sky brightness above the rain (K)
};

// What the whole observation holds fixed.
struct SceneConstants {
  double sst_k;          // sea-surface temperature as the model converts it (K)
  double rain_height_m;  // h_R, top of the rain layer after its limits (m)
  double low_layer_k;    // T1000, air at 1000 m (K)
  double upwelling_k;    // T_U (K)
};

// ln f (f in GHz) of channel `index` (0 to 5), computed once for the process.
[[nodiscard]] double log_frequency(std::size_t index) noexcept;

// The two powers of the rain rate the budget uses.
struct RainPowers {
  double rate_mmh;  // R
  double r006;      // R^0.06
  double r087;      // R^0.87
};
[[nodiscard]] RainPowers rain_powers(double rain_mmh) noexcept;

// Rain attenuation kappa (per metre) of a channel, and its logarithmic
// derivative R dkappa/dR (finite, and 0, at R = 0 where dkappa/dR is not).
struct Attenuation {
  double kappa_per_m;
  double rate_elasticity_per_m;  // R dkappa/dR
};
[[nodiscard]] Attenuation rain_attenuation(const ChannelConstants& channel,
                                           const RainPowers& rain) noexcept;

// The wind law, shared by the channels: the surface emissivity increment at
// the reference frequency (4.74 GHz) and the factor of its frequency
// correction, each with its derivative in the wind speed (per m/s). Defined
// for any wind: the outer pieces continue beyond 0 and 150 m/s.
struct WindLaw {
  double increment;
  double slope_per_ms;
  double correction_factor;  // times (f - 4.74 GHz)
  double correction_slope_per_ms;
};
[[nodiscard]] inline WindLaw wind_law(double wind_ms) noexcept {
  using namespace radiance::budget;
  const double w = wind_ms;
  WindLaw law{};
  if (w < wide(first_join_ms)) {
    law.increment = low_wind_slope * w;
    law.slope_per_ms = low_wind_slope;
  } else if (w < wide(second_join_ms)) {
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

// A channel's emissivity increment and its derivative in the wind.
struct WindIncrement {
  double increment;
  double slope_per_ms;
};
[[nodiscard]] inline WindIncrement wind_increment(const ChannelConstants& channel,
                                                  const WindLaw& law) noexcept {
  const double d = channel.frequency_offset_ghz;
  return {law.increment + d * law.correction_factor,
          law.slope_per_ms + d * law.correction_slope_per_ms};
}

// exp(-kappa * path) over a path (m) of attenuation kappa (per metre): exactly
// 1, without the exp call, when kappa is 0.
[[nodiscard]] inline double transmissivity(double kappa_per_m, double path_m) noexcept {
  return kappa_per_m == 0.0 ? 1.0 : dmath::exp(-kappa_per_m * path_m);
}

// Transmissivities of the rain layer for a given attenuation.
struct RainTransmissivity {
  double up;    // tau_R over the rain layer below the aircraft
  double down;  // tau_D over the fixed 4000 m column of the sky path
};
[[nodiscard]] inline RainTransmissivity rain_transmissivity(const SceneConstants& scene,
                                                            double kappa_per_m) noexcept {
  return {transmissivity(kappa_per_m, scene.rain_height_m),
          transmissivity(kappa_per_m, radiance::budget::rain_column_m)};
}

// Downwelling brightness at the surface (K).
[[nodiscard]] inline double downwelling(const SceneConstants& scene,
                                        const ChannelConstants& channel,
                                        const RainTransmissivity& tau) noexcept {
  return tau.down * channel.sky_k + scene.low_layer_k * (1.0 - tau.down);
}

// Brightness as an affine function of the surface emissivity at a fixed
// rain: Tb = level_k + slope_k * e.
struct EmissivityLine {
  double level_k;
  double slope_k;  // dTb/de (K)
};
[[nodiscard]] inline EmissivityLine emissivity_line(const SceneConstants& scene,
                                                    const ChannelConstants& channel,
                                                    const RainTransmissivity& tau) noexcept {
  const double path = tau.up * channel.air_transmissivity;
  const double down_k = downwelling(scene, channel, tau);
  return {path * down_k + scene.upwelling_k * (1.0 - path), path * (scene.sst_k - down_k)};
}

// The attenuation kappa (per metre) with its logarithmic derivative, given
// R^0.06.
[[nodiscard]] Attenuation attenuation_of(const ChannelConstants& channel, double kappa_per_m,
                                         double r006) noexcept;

// One channel's brightness and its derivatives.
struct ChannelSlopes {
  double tb_k;
  double per_wind;      // dTb/dW (K per m/s)
  double per_log_rain;  // R dTb/dR (K), 0 at R = 0
};
// ... at a given attenuation and the rain's transmissivities.
[[nodiscard]] ChannelSlopes brightness_slopes(const SceneConstants& scene,
                                              const ChannelConstants& channel, const WindLaw& wind,
                                              const Attenuation& att,
                                              const RainTransmissivity& tau) noexcept;
// ... of the smooth twin.
[[nodiscard]] ChannelSlopes smooth_brightness(const SceneConstants& scene,
                                              const ChannelConstants& channel, const WindLaw& wind,
                                              const RainPowers& rain) noexcept;

}  // namespace nerido::retrieval
