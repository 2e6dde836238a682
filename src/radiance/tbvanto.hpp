// Nadir brightness temperature received at flight altitude in one channel:
// a plane-parallel budget of the sea's emission (calm-sea emissivity plus a
// wind increment), rain attenuation and emission, the air below the
// aircraft, the reflected sky and the 2.7 K cosmic background.
// Pure functions: no state, no I/O, no allocation.
#pragma once

#include <span>

namespace nerido::radiance {

// Lowest and highest frequency of the model's window (GHz), both inside it.
inline constexpr float window_low_ghz = 4.0f;
inline constexpr float window_high_ghz = 8.0f;  // see window_low_ghz

// Every working quantity of one evaluation, in the order it arises. The
// fields marked "single" hold the single-precision value the model rounds
// to; the others are carried in double precision.
struct BudgetTrace {
  double wind_increment;           // delta e_W (dimensionless)
  double frequency_correction;     // delta e_F (dimensionless)
  float zenith_transmissivity;     // tau_Z, single
  float surface_emissivity;        // e, single; not limited to 1
  float altitude_factor;           // q = exp(-h / 3500 m), single
  float air_transmissivity;        // tau_A below the aircraft, single
  float raw_rain_height_m;         // rain-layer top before the limits (m), single
  float rain_height_m;             // h_R after floor and caps (m), single
  float rain_rate_factor;          // r1 = R^0.06, single
  double frequency_exponent;       // n = 2.63 r1
  float frequency_factor;          // P = f^n, single
  float rain_rate_power;           // r2 = R^0.87, single
  double rain_attenuation;         // kappa (per metre)
  float rain_up_transmissivity;    // tau_R over the rain layer, single
  float rain_down_transmissivity;  // tau_D over the fixed 4000 m column, single
  double sky_layer_k;              // T4500, air at 4500 m (K)
  double low_layer_k;              // T1000, air at 1000 m (K)
  double upwelling_k;              // T_U (K)
  double sky_k;                    // T_S, sky brightness above the rain (K)
  double downwelling_k;            // T_D, downwelling brightness at the surface (K)
  double surface_k;                // T_Surf, surface brightness (K)
  double path_transmissivity;      // tau = tau_R tau_A
  double brightness_k;             // Tb before the final rounding (K)
};

// The budget in three parts, for callers that evaluate many channels, winds
// or rain rates of one scene: what depends only on the scene (AirTerms),
// what a channel adds (ChannelTerms) and what the rain rate gives every
// channel alike (RainTerms). channel_brightness of these parts is bit for
// bit tbvanto of the same inputs.

// The parts of the budget that depend on neither channel, wind nor rain.
struct AirTerms {
  float sst_k;              // sea-surface temperature (K)
  float altitude_m;         // radar altitude (m)
  float air_k;              // flight-level air temperature (K)
  float altitude_factor;    // q = exp(-h / 3500 m), single
  float raw_rain_height_m;  // rain-layer top before the limits (m), single
  float rain_height_m;      // h_R after floor and caps (m), single
  double sky_layer_k;       // T4500 (K)
  double low_layer_k;       // T1000 (K)
  double upwelling_k;       // T_U (K)
};

// What one channel adds to the air terms; independent of wind and rain.
struct ChannelTerms {
  float frequency_ghz;          // (GHz)
  bool in_window;               // inside 4 to 8 GHz; outside, Tb is 0
  float emissivity;             // calm-sea emissivity (dimensionless)
  float zenith_transmissivity;  // tau_Z, single
  float air_transmissivity;     // tau_A below the aircraft, single
  double sky_k;                 // T_S, sky brightness above the rain (K)
};

// The powers of the rain rate that every channel shares.
struct RainTerms {
  float rain_mmh;             // (mm/h)
  bool negative;              // a negative rate: Tb is NaN
  float rain_rate_factor;     // r1 = R^0.06, single
  double frequency_exponent;  // n = 2.63 r1
  float rain_rate_power;      // r2 = R^0.87, single
};

//   sst_k, air_k (kelvin); altitude_m (metres)
[[nodiscard]] AirTerms air_terms(float sst_k, float altitude_m, float air_k) noexcept;
//   frequency_ghz (GHz); emissivity: calm-sea emissivity (dimensionless)
[[nodiscard]] ChannelTerms channel_terms(const AirTerms& air, float frequency_ghz,
                                         float emissivity) noexcept;
//   rain_mmh (mm/h)
[[nodiscard]] RainTerms rain_terms(float rain_mmh) noexcept;

// Every working quantity of one evaluation from its parts; the frequency is
// not checked against the window.
[[nodiscard]] BudgetTrace trace_terms(const AirTerms& air, const ChannelTerms& channel,
                                      float wind_ms, const RainTerms& rain) noexcept;

// Tb (K) of one channel from its parts, for a wind speed (m/s): 0 outside
// the window, NaN for a negative rain rate.
[[nodiscard]] float channel_brightness(const AirTerms& air, const ChannelTerms& channel,
                                       float wind_ms, const RainTerms& rain) noexcept;

// All working quantities of one evaluation inside the frequency window.
// Arguments as for tbvanto; the frequency is not checked against the window.
[[nodiscard]] BudgetTrace trace_budget(float frequency_ghz, float sst_k, float altitude_m,
                                       float air_k, float emissivity,
                                       std::span<const float, 2> wind_rain) noexcept;

// Brightness temperature Tb (K) that a nadir radiometer at flight level sees.
//   frequency_ghz  in: channel frequency (GHz); outside 4 to 8 GHz Tb is 0
//   sst_k          in: sea-surface temperature (kelvin)
//   altitude_m     in: radar altitude (metres), 0 < h <= 16000 expected
//   air_k          in: flight-level air temperature (kelvin)
//   emissivity     in: calm-sea emissivity of the channel (dimensionless)
//   wind_rain      in: {wind speed (m/s), rain rate (mm/h)}, each 0 to 150
// A negative rain rate has no physical meaning: its powers are undefined and
// the result is a quiet NaN, never a plausible-looking number. A negative
// zero counts as no rain. A negative wind speed has no meaning either but is
// not refused: it takes the lowest piece of the wind law, whose increment is
// then negative, so the result is an ordinary finite temperature below the
// calm-sea one. Callers check the wind first (nerido::in_range).
[[nodiscard]] float tbvanto(float frequency_ghz, float sst_k, float altitude_m, float air_k,
                            float emissivity, std::span<const float, 2> wind_rain) noexcept;

}  // namespace nerido::radiance
