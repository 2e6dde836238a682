#include "radiance/tbvanto.hpp"

#include <limits>

#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"

namespace nerido::radiance {
namespace {

using namespace budget;

inline constexpr double one = coef(1.0f);

// Wind emissivity increment at the reference frequency, three pieces in
// wind speed w (m/s). The pieces nearly, but not exactly, join.
double wind_increment(float wind_ms) noexcept {
  const double w = wide(wind_ms);
  if (wind_ms < first_join_ms) {
    return low_wind_slope * w;
  }
  if (wind_ms < second_join_ms) {
    return (mid_wind_linear * w + mid_wind_offset) + mid_wind_quadratic * w * w;
  }
  return high_wind_slope * w - high_wind_offset;
}

// Frequency correction of the wind increment; exactly 0 at the reference
// frequency, negative below it.
double frequency_correction(float frequency_ghz, float wind_ms) noexcept {
  const double w = wide(wind_ms);
  return (wide(frequency_ghz) - reference_ghz) *
         ((correction_quadratic * w * w + correction_linear * w) + correction_constant);
}

// Zenith transmissivity of the whole atmosphere, linear in frequency.
float zenith_transmissivity(float frequency_ghz) noexcept {
  return to_single(zenith_offset - zenith_slope_per_ghz * wide(frequency_ghz));
}

// Fraction of the exponential atmosphere above the aircraft.
float altitude_factor(float altitude_m) noexcept {
  return to_single(dmath::exp(-(wide(altitude_m) / scale_height_m)));
}

// Height where the air, cooling from flight level, reaches the rain-top
// temperature (m); below the aircraft, possibly negative, in cold air.
float raw_rain_height(float air_k, float altitude_m) noexcept {
  return to_single((wide(air_k) - rain_top_k) / rain_lapse_k_per_m + wide(altitude_m));
}

// The three limits of the rain-layer top, in this order: a floor, the
// aircraft's altitude, and a cap for high flights.
float limited_rain_height(float raw_m, float altitude_m) noexcept {
  float height = rain_floor_m > raw_m ? rain_floor_m : raw_m;
  if (altitude_m < height) {
    height = altitude_m;
  }
  if (altitude_m > high_flight_m && height > high_rain_cap_m) {
    height = high_rain_cap_m;
  }
  return height;
}

// Air temperature at a given height, extrapolated from flight level (K).
double layer_temperature(float air_k, float altitude_m, double layer_m) noexcept {
  return wide(air_k) - (layer_m - wide(altitude_m)) * layer_lapse_k_per_m;
}

}  // namespace

AirTerms air_terms(float sst_k, float altitude_m, float air_k) noexcept {
  AirTerms a{};
  a.sst_k = sst_k;
  a.altitude_m = altitude_m;
  a.air_k = air_k;
  a.altitude_factor = altitude_factor(altitude_m);
  a.raw_rain_height_m = raw_rain_height(air_k, altitude_m);
  a.rain_height_m = limited_rain_height(a.raw_rain_height_m, altitude_m);
  a.sky_layer_k = layer_temperature(air_k, altitude_m, sky_layer_m);
  a.low_layer_k = layer_temperature(air_k, altitude_m, low_layer_m);
  a.upwelling_k = a.low_layer_k > wide(air_k) ? a.low_layer_k : wide(air_k);
  return a;
}

ChannelTerms channel_terms(const AirTerms& air, float frequency_ghz, float emissivity) noexcept {
  ChannelTerms c{};
  c.frequency_ghz = frequency_ghz;
  c.in_window = !(frequency_ghz < window_low_ghz || frequency_ghz > window_high_ghz);
  c.emissivity = emissivity;
  c.zenith_transmissivity = zenith_transmissivity(frequency_ghz);
  c.air_transmissivity =
      to_single(dmath::pow(wide(c.zenith_transmissivity), one - wide(air.altitude_factor)));
  const double tau_z = wide(c.zenith_transmissivity);
  c.sky_k = air.sky_layer_k * (one - tau_z) + cosmic_k * tau_z;
  return c;
}

RainTerms rain_terms(float rain_mmh) noexcept {
  RainTerms r{};
  r.rain_mmh = rain_mmh;
  r.negative = rain_mmh < 0.0f;
  const double rain = wide(rain_mmh);
  r.rain_rate_factor = to_single(dmath::pow(rain, rain_factor_power));
  r.frequency_exponent = rain_frequency_exponent * wide(r.rain_rate_factor);
  r.rain_rate_power = to_single(dmath::pow(rain, rain_power));
  return r;
}

namespace {

// The whole budget, written once; inlined into its callers, so that
// channel_brightness computes only what its brightness needs.
[[gnu::always_inline]] inline BudgetTrace budget_terms(const AirTerms& air,
                                                       const ChannelTerms& channel, float wind_ms,
                                                       const RainTerms& rain) noexcept {
  BudgetTrace t{};
  t.wind_increment = wind_increment(wind_ms);
  t.frequency_correction = frequency_correction(channel.frequency_ghz, wind_ms);
  t.zenith_transmissivity = channel.zenith_transmissivity;
  t.surface_emissivity =
      to_single((t.wind_increment + t.frequency_correction) + wide(channel.emissivity));
  t.altitude_factor = air.altitude_factor;
  t.air_transmissivity = channel.air_transmissivity;
  t.raw_rain_height_m = air.raw_rain_height_m;
  t.rain_height_m = air.rain_height_m;

  // Rain attenuation: a power law in frequency and rain rate (per metre).
  t.rain_rate_factor = rain.rain_rate_factor;
  t.frequency_exponent = rain.frequency_exponent;
  t.frequency_factor = to_single(dmath::pow(wide(channel.frequency_ghz), rain.frequency_exponent));
  t.rain_rate_power = rain.rain_rate_power;
  t.rain_attenuation = (wide(t.frequency_factor) * rain_scale_per_m) * wide(t.rain_rate_power);
  t.rain_up_transmissivity = to_single(dmath::exp(-t.rain_attenuation * wide(t.rain_height_m)));
  t.rain_down_transmissivity = to_single(dmath::exp(-t.rain_attenuation * rain_column_m));

  t.sky_layer_k = air.sky_layer_k;
  t.low_layer_k = air.low_layer_k;
  t.upwelling_k = air.upwelling_k;

  const double tau_d = wide(t.rain_down_transmissivity);
  const double tau_r = wide(t.rain_up_transmissivity);
  const double tau_a = wide(t.air_transmissivity);
  const double e = wide(t.surface_emissivity);
  t.sky_k = channel.sky_k;
  t.downwelling_k = tau_d * t.sky_k + t.low_layer_k * (one - tau_d);
  t.surface_k = t.downwelling_k * (one - e) + e * wide(air.sst_k);
  t.path_transmissivity = tau_r * tau_a;
  t.brightness_k = (t.surface_k * tau_r) * tau_a + t.upwelling_k * (one - t.path_transmissivity);
  return t;
}

}  // namespace

BudgetTrace trace_terms(const AirTerms& air, const ChannelTerms& channel, float wind_ms,
                        const RainTerms& rain) noexcept {
  return budget_terms(air, channel, wind_ms, rain);
}

float channel_brightness(const AirTerms& air, const ChannelTerms& channel, float wind_ms,
                         const RainTerms& rain) noexcept {
  if (!channel.in_window) {
    return 0.0f;
  }
  if (rain.negative) {
    // The rain powers are undefined here; say so rather than guess.
    return std::numeric_limits<float>::quiet_NaN();
  }
  return to_single(budget_terms(air, channel, wind_ms, rain).brightness_k);
}

BudgetTrace trace_budget(float frequency_ghz, float sst_k, float altitude_m, float air_k,
                         float emissivity, std::span<const float, 2> wind_rain) noexcept {
  const AirTerms air = air_terms(sst_k, altitude_m, air_k);
  return trace_terms(air, channel_terms(air, frequency_ghz, emissivity), wind_rain[0],
                     rain_terms(wind_rain[1]));
}

float tbvanto(float frequency_ghz, float sst_k, float altitude_m, float air_k, float emissivity,
              std::span<const float, 2> wind_rain) noexcept {
  const AirTerms air = air_terms(sst_k, altitude_m, air_k);
  return channel_brightness(air, channel_terms(air, frequency_ghz, emissivity), wind_rain[0],
                            rain_terms(wind_rain[1]));
}

}  // namespace nerido::radiance
