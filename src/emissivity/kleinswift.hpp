// Fresnel reflectivities of a flat (specular) water surface and the calm-sea
// emissivity of a table of radiometer channels. Pure functions: no state, no
// I/O, no allocation.
#pragma once

#include <cstdint>
#include <span>

#include "nerido/channels.hpp"

namespace nerido::emissivity {

// Salinity of the ocean that the channel loop assumes unless given one
// (parts per thousand).
inline constexpr float ocean_salinity = default_salinity_psu;
// Degrees to radians, pi/180 in single precision.
inline constexpr float radians_per_degree = 0.017453292f;
// pi/2 in single precision: the phase of a purely imaginary eps - sin^2(theta).
inline constexpr float right_angle_rad = 1.5707964f;
// Largest magnitude of a base of the vertical formula's squares that keeps
// every square and their sums below 2^122, far below the float overflow at
// 2^128 (the test that the vertical reflectivity is finite).
inline constexpr double square_base_limit = 0x1p60;
// Selector value that picks the vertical-polarisation formula in klsw_loop;
// every other value picks the horizontal one.
inline constexpr std::int32_t vertical_selector = 20;

// Permittivity and both Fresnel power reflectivities of flat water.
//   frequency_ghz   in:  (GHz), greater than zero
//   incidence_rad   in:  incidence angle from the vertical (radians)
//   temperature_c   in:  water temperature (degrees Celsius)
//   salinity        in:  (parts per thousand)
//   rv              out: vertical-polarisation reflectivity (dimensionless)
//   rh              out: horizontal-polarisation reflectivity (dimensionless)
//   eps_real        out: eps', real part of the permittivity (dimensionless)
//   eps_loss        out: eps'', loss part of the permittivity, positive
// The reflectivity stage works from eps' and eps'' as single-precision values.
// Everything is computed in locals and written at the end, in the order
// eps', eps'', rh, rv, so passing one variable for several outputs cannot
// disturb the computation (the last write wins).
void kleinswift(float frequency_ghz, float incidence_rad, float temperature_c, float salinity,
                float& rv, float& rh, float& eps_real, float& eps_loss) noexcept;

// Calm-sea emissivity of each channel.
//   frequencies_ghz  in:  channel frequencies (GHz)
//   temperature_c    in:  water temperature (degrees Celsius)
//   angle1_deg       in:  first incidence angle (degrees)
//   angle2_deg       in:  second incidence angle (degrees)
//   emissivities     out: one emissivity per channel (dimensionless)
//   selector         in:  20 for the vertical formula, anything else horizontal
//   count            in:  number of channels to compute
//   salinity         in:  (parts per thousand), ocean_salinity unless given
// Emissivity i is (1 - R_sel(angle1)) - (R_other(0) - R_other(angle2)).
// A count below 1 leaves the output untouched. The loop never runs past the
// shorter of the two spans, whatever the count says.
void klsw_loop(std::span<const float> frequencies_ghz, float temperature_c, float angle1_deg,
               float angle2_deg, std::span<float> emissivities, std::int32_t selector,
               std::int32_t count, float salinity = ocean_salinity) noexcept;

}  // namespace nerido::emissivity
