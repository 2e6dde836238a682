// Complex relative permittivity of sea water and fresh water (Klein and
// Swift, 1977): one Debye relaxation plus an ionic-conductivity loss, with the
// static permittivity, relaxation time and conductivity given as polynomials
// in water temperature and salinity.
//
// The permittivity is eps' - i*eps''; both parts are reported as positive
// numbers. Pure functions: no state, no I/O, no allocation.
#pragma once

namespace nerido::emissivity {

// Below this salinity (parts per thousand) the fresh-water static
// permittivity is used; at exactly this value the sea-water one.
inline constexpr float fresh_water_salinity_limit = 0.1f;

// The complex relative permittivity eps' - i eps'' of water.
struct Permittivity {
  float real;  // eps', dimensionless
  float loss;  // eps'', dimensionless, positive for lossy water
};

// Static permittivity eps_s (dimensionless).
//   temperature_c: water temperature (degrees Celsius)
//   salinity: (parts per thousand)
[[nodiscard]] double static_permittivity(float temperature_c, float salinity) noexcept;

// Debye relaxation time tau (seconds); the salinity enters in both branches.
[[nodiscard]] double relaxation_time(float temperature_c, float salinity) noexcept;

// Ionic conductivity sigma (siemens per metre).
[[nodiscard]] double ionic_conductivity(float temperature_c, float salinity) noexcept;

// The terms of the permittivity that depend on the water alone, not on the
// frequency: a loop over channels computes them once (the conductivity's
// exponential among them) and each channel from them.
struct WaterTerms {
  double static_permittivity;  // eps_s (dimensionless), as static_permittivity
  double relaxation_time;      // tau (seconds), as relaxation_time
  double conductivity;         // sigma (siemens per metre), as ionic_conductivity
};

// The three terms of one water.
//   temperature_c: water temperature (degrees Celsius)
//   salinity: (parts per thousand)
[[nodiscard]] WaterTerms water_terms(float temperature_c, float salinity) noexcept;

// Relative permittivity of that water at one frequency (GHz, greater than
// zero); bit for bit sea_water_permittivity of the same inputs.
[[nodiscard]] Permittivity permittivity_at(const WaterTerms& water, float frequency_ghz) noexcept;

// Relative permittivity at one frequency.
//   frequency_ghz: (GHz), must be greater than zero
//   temperature_c: water temperature (degrees Celsius)
//   salinity: (parts per thousand)
[[nodiscard]] Permittivity sea_water_permittivity(float frequency_ghz, float temperature_c,
                                                  float salinity) noexcept;

}  // namespace nerido::emissivity
