#include "emissivity/sea_water.hpp"

#include "emissivity/water_formulas.hpp"
#include "precision/precision.hpp"

// The formulas are in emissivity/water_formulas.hpp, shared with the
// vector kernels; the branches and the roundings to single precision are here.

namespace nerido::emissivity {

double static_permittivity(float temperature_c, float salinity) noexcept {
  const double t = wide(temperature_c);
  if (salinity < fresh_water_salinity_limit) {
    return formulas::fresh_static_permittivity(t);
  }
  return formulas::sea_static_permittivity(t, wide(salinity));
}

double relaxation_time(float temperature_c, float salinity) noexcept {
  return formulas::relaxation_time(wide(temperature_c), wide(salinity));
}

double ionic_conductivity(float temperature_c, float salinity) noexcept {
  const double s = wide(salinity);
  const double phi = formulas::conductivity_exponent(wide(temperature_c), s);
  // exp(phi) is stored in single precision; the model was fitted that way.
  return formulas::conductivity(s, wide(to_single(dmath::exp(phi))));
}

WaterTerms water_terms(float temperature_c, float salinity) noexcept {
  return {static_permittivity(temperature_c, salinity), relaxation_time(temperature_c, salinity),
          ionic_conductivity(temperature_c, salinity)};
}

Permittivity permittivity_at(const WaterTerms& water, float frequency_ghz) noexcept {
  const double omega = formulas::angular_frequency(wide(frequency_ghz));  // rad/s
  const double denominator = formulas::debye_denominator(omega, water.relaxation_time);
  return {
      to_single(formulas::permittivity_real(water.static_permittivity, denominator)),
      to_single(formulas::permittivity_loss(omega, water.static_permittivity, water.relaxation_time,
                                            water.conductivity, denominator))};
}

Permittivity sea_water_permittivity(float frequency_ghz, float temperature_c,
                                    float salinity) noexcept {
  return permittivity_at(water_terms(temperature_c, salinity), frequency_ghz);
}

}  // namespace nerido::emissivity
