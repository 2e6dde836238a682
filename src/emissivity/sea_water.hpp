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

// Relative permittivity at one frequency.
//   frequency_ghz: (GHz), must be greater than zero
//   temperature_c: water temperature (degrees Celsius)
//   salinity: (parts per thousand)
[[nodiscard]] Permittivity sea_water_permittivity(float frequency_ghz, float temperature_c,
                                                  float salinity) noexcept;

}  // namespace nerido::emissivity
