#include "radiance/tbvanto.hpp"

#include <limits>

#include "precision/precision.hpp"

namespace nerido::radiance {
namespace {

// Reference frequency of the wind-emissivity law (GHz); the same single value
// as the lowest channel.
inline constexpr double reference_ghz = coef(4.74f);
// Scale height of the exponential atmosphere (m).
inline constexpr double scale_height_m = coef(3500.0f);
// Air temperature at the top of the rain layer (K); 272.15, not 273.15.
inline constexpr double rain_top_k = coef(272.15f);
// Lapse rate used to place the rain-layer top (K per metre).
inline constexpr double rain_lapse_k_per_m = coef(0.00522f);
// Lowest rain-layer top (m).
inline constexpr float rain_floor_m = 150.0f;
// Above this altitude (m) the rain layer is capped at high_rain_cap_m.
inline constexpr float high_flight_m = 11000.0f;
inline constexpr float high_rain_cap_m = 5000.0f;
// Depth of the rain column crossed by the downwelling sky (m).
inline constexpr double rain_column_m = coef(4000.0f);
// Lapse rate for the effective temperatures of the air layers (K per metre).
inline constexpr double layer_lapse_k_per_m = coef(0.0058f);
// Heights of the sky layer and the low layer (m).
inline constexpr double sky_layer_m = coef(4500.0f);
inline constexpr double low_layer_m = coef(1000.0f);
// Cosmic background (K).
inline constexpr double cosmic_k = coef(2.7f);
inline constexpr double one = coef(1.0f);

// Wind emissivity increment at the reference frequency, three pieces in
// wind speed w (m/s). The pieces nearly, but not exactly, join.
double wind_increment(float wind_ms) noexcept {
  const double w = wide(wind_ms);
  if (wind_ms < 7.0f) {
    return coef(0.001232f) * w;
  }
  if (wind_ms < 37.0f) {
    return (coef(0.0002492f) * w + coef(0.00344f)) + coef(7.02e-5f) * w * w;
  }
  return coef(0.005444f) * w - coef(0.09266f);
}

// Frequency correction of the wind increment; exactly 0 at the reference
// frequency, negative below it.
double frequency_correction(float frequency_ghz, float wind_ms) noexcept {
  const double w = wide(wind_ms);
  return (wide(frequency_ghz) - reference_ghz) *
         ((coef(5.166e-6f) * w * w + coef(1.86e-5f) * w) + coef(0.0002788f));
}

// Zenith transmissivity of the whole atmosphere, linear in frequency.
float zenith_transmissivity(float frequency_ghz) noexcept {
  return to_single(coef(0.99456f) - coef(0.0010505f) * wide(frequency_ghz));
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
  r.rain_rate_factor = to_single(dmath::pow(rain, coef(0.06f)));
  r.frequency_exponent = coef(2.63f) * wide(r.rain_rate_factor);
  r.rain_rate_power = to_single(dmath::pow(rain, coef(0.87f)));
  return r;
}

BudgetTrace trace_terms(const AirTerms& air, const ChannelTerms& channel, float wind_ms,
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
  t.frequency_factor =
      to_single(dmath::pow(wide(channel.frequency_ghz), rain.frequency_exponent));
  t.rain_rate_power = rain.rain_rate_power;
  t.rain_attenuation = (wide(t.frequency_factor) * coef(3.94e-9f)) * wide(t.rain_rate_power);
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

float channel_brightness(const AirTerms& air, const ChannelTerms& channel, float wind_ms,
                         const RainTerms& rain) noexcept {
  if (!channel.in_window) {
    return 0.0f;
  }
  if (rain.negative) {
    // The rain powers are undefined here; say so rather than guess.
    return std::numeric_limits<float>::quiet_NaN();
  }
  return to_single(trace_terms(air, channel, wind_ms, rain).brightness_k);
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
