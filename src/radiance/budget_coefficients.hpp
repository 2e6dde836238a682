// The coefficients of the nadir brightness-temperature budget, written once
// for the exact budget (radiance/tbvanto.cpp) and its smooth double-precision
// twin in the retrieval. Each is the double holding the single-precision value
// the model was fitted with (`coef`), so both evaluate the same numbers.
//
// Based on this model's own empirical fits (wind and rain laws, the
// atmosphere between sea and aircraft), which no publication gives; the
// 2.7 K cosmic background is the usual round value of the microwave
// background. docs/model.md compares each law with independent references.
#pragma once

#include "precision/precision.hpp"

namespace nerido::radiance::budget {

// Degrees Celsius to kelvin as the model was built: 273.146, not 273.15
// (a single-precision value, added to a temperature in single precision).
inline constexpr float celsius_to_kelvin = 273.146f;

// Wind-speed emissivity increment at the reference frequency: three pieces in
// the wind speed W (m/s), joining (nearly, not exactly) at 7 and 37 m/s, with
// equal slopes at both joins. Based on this model's own fit.
//   W < 7:        low_wind_slope W
//   7 <= W < 37:  (mid_wind_linear W + mid_wind_offset) + mid_wind_quadratic W^2
//   W >= 37:      high_wind_slope W - high_wind_offset
inline constexpr float first_join_ms = 7.0f;
inline constexpr float second_join_ms = 37.0f;
inline constexpr double low_wind_slope = coef(0.001232f);     // per m/s
inline constexpr double mid_wind_linear = coef(0.0002492f);   // per m/s
inline constexpr double mid_wind_offset = coef(0.00344f);     // dimensionless
inline constexpr double mid_wind_quadratic = coef(7.02e-5f);  // per (m/s)^2
inline constexpr double high_wind_slope = coef(0.005444f);    // per m/s
inline constexpr double high_wind_offset = coef(0.09266f);    // dimensionless

// Reference frequency of the wind law (GHz): the increment is the above at
// this frequency and is corrected by
//   (f - reference_ghz) ((correction_quadratic W^2 + correction_linear W) + correction_constant)
// elsewhere (exactly 0 at the reference, negative below it).
inline constexpr double reference_ghz = coef(4.74f);
inline constexpr double correction_quadratic = coef(5.166e-6f);  // per GHz per (m/s)^2
inline constexpr double correction_linear = coef(1.86e-5f);      // per GHz per m/s
inline constexpr double correction_constant = coef(0.0002788f);  // per GHz

// Zenith transmissivity of the whole atmosphere, linear in frequency f (GHz):
// zenith_offset - zenith_slope_per_ghz f. Based on this model's own fit.
inline constexpr double zenith_offset = coef(0.99456f);
inline constexpr double zenith_slope_per_ghz = coef(0.0010505f);
// Scale height of the exponential atmosphere (m).
inline constexpr double scale_height_m = coef(3500.0f);

// Rain attenuation per metre: rain_scale_per_m f^(rain_frequency_exponent R^rain_factor_power)
// R^rain_power, f in GHz, R in mm/h. Based on this model's own fit.
inline constexpr double rain_scale_per_m = coef(3.94e-9f);
inline constexpr double rain_frequency_exponent = coef(2.63f);
inline constexpr double rain_factor_power = coef(0.06f);
inline constexpr double rain_power = coef(0.87f);
// Depth of the rain column crossed by the downwelling sky (m).
inline constexpr double rain_column_m = coef(4000.0f);

// Top of the rain layer: the height where the air, cooling from flight level
// at rain_lapse_k_per_m, reaches rain_top_k (272.15 K, not 273.15); then at
// least rain_floor_m, at most the aircraft's altitude, and at most
// high_rain_cap_m for flights above high_flight_m. Based on this model's own
// rules.
inline constexpr double rain_top_k = coef(272.15f);
inline constexpr double rain_lapse_k_per_m = coef(0.00522f);
inline constexpr float rain_floor_m = 150.0f;
inline constexpr float high_flight_m = 11000.0f;
inline constexpr float high_rain_cap_m = 5000.0f;

// Effective temperatures of the air layers, extrapolated from flight level
// with layer_lapse_k_per_m to the sky layer and to the low layer (m). Based
// on this model's own fit.
inline constexpr double layer_lapse_k_per_m = coef(0.0058f);
inline constexpr double sky_layer_m = coef(4500.0f);
inline constexpr double low_layer_m = coef(1000.0f);

// Cosmic background (K), based on the cosmic microwave background (2.725 K).
inline constexpr double cosmic_k = coef(2.7f);

}  // namespace nerido::radiance::budget
