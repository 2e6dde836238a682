#include "emissivity/sea_water.hpp"

#include "precision/precision.hpp"

// Every coefficient of this file is based on Klein and Swift (1977), "An
// improved model for the dielectric constant of sea water at microwave
// frequencies", IEEE Trans. Antennas Propag. AP-25(1), 104-111; the order of
// evaluation and the roundings to single precision are this model's.

namespace nerido::emissivity {
namespace {

// High-frequency (optical) permittivity eps_inf (dimensionless), based on
// Klein and Swift (1977).
inline constexpr double eps_infinity = coef(4.9f);
// Vacuum permittivity eps_0 (farad per metre), to the four figures Klein and
// Swift (1977) use (CODATA: 8.8541878128e-12).
inline constexpr double eps_vacuum = coef(8.854e-12f);
// 2*pi as the model stores it, in single precision.
inline constexpr double two_pi = coef(6.2831855f);
// GHz to Hz.
inline constexpr double hz_per_ghz = coef(1e9f);
// Reference temperature of the conductivity law (degrees Celsius), based on
// Klein and Swift (1977).
inline constexpr double conductivity_reference_c = coef(25.0f);

}  // namespace

double static_permittivity(float temperature_c, float salinity) noexcept {
  const double t = wide(temperature_c);
  const double s = wide(salinity);
  if (salinity < fresh_water_salinity_limit) {
    // Fresh water.
    return ((coef(1.075e-5f) * t + coef(6.295e-4f)) * t - coef(0.4147f)) * t + coef(88.045f);
  }
  const double eps_t =
      ((coef(2.491e-4f) * t - coef(1.276e-2f)) * t - coef(0.1949f)) * t + coef(87.134f);
  // Salinity correction, as a fraction of the fresh-water-like term above.
  const double a =
      ((coef(1.613e-5f) * t - coef(3.656e-3f)) + (coef(3.21e-5f) - coef(4.232e-7f) * s) * s) * s;
  return eps_t + a * eps_t;
}

double relaxation_time(float temperature_c, float salinity) noexcept {
  const double t = wide(temperature_c);
  const double s = wide(salinity);
  const double tau_t =
      ((coef(1.104e-14f) - coef(8.111e-17f) * t) * t - coef(6.086e-13f)) * t + coef(1.768e-11f);
  const double b =
      ((coef(2.282e-5f) * t - coef(7.638e-4f)) + (coef(1.105e-8f) * s - coef(7.76e-6f)) * s) * s +
      coef(1.0f);
  return b * tau_t;
}

double ionic_conductivity(float temperature_c, float salinity) noexcept {
  const double s = wide(salinity);
  const double d = conductivity_reference_c - wide(temperature_c);
  const double phi = (((coef(1.266e-4f) * d + coef(2.033e-2f)) + (coef(2.464e-6f) * d) * d) -
                      ((coef(1.849e-5f) - coef(2.551e-7f) * d) + (coef(2.551e-8f) * d) * d) * s) *
                     d;
  // exp(phi) is stored in single precision; the model was fitted that way.
  const double e = wide(to_single(dmath::exp(phi)));
  // Conductivity at 25 degrees Celsius, divided by the salinity.
  const double p =
      ((coef(2.09324e-5f) - coef(1.28205e-7f) * s) * s - coef(1.46192e-3f)) * s + coef(0.182521f);
  return (s / e) * p;
}

WaterTerms water_terms(float temperature_c, float salinity) noexcept {
  return {static_permittivity(temperature_c, salinity), relaxation_time(temperature_c, salinity),
          ionic_conductivity(temperature_c, salinity)};
}

Permittivity permittivity_at(const WaterTerms& water, float frequency_ghz) noexcept {
  const double eps_s = water.static_permittivity;
  const double tau = water.relaxation_time;
  const double sigma = water.conductivity;
  const double omega = (wide(frequency_ghz) * two_pi) * hz_per_ghz;  // rad/s
  const double denominator = ((omega * omega) * tau) * tau + coef(1.0f);
  const double eps_real = eps_infinity + (eps_s - eps_infinity) / denominator;
  // Conductivity loss first, relaxation loss second: the order of the sum is
  // part of the model's digits.
  const double eps_loss =
      sigma / (omega * eps_vacuum) + ((tau * omega) * (eps_s - eps_infinity)) / denominator;
  return {to_single(eps_real), to_single(eps_loss)};
}

Permittivity sea_water_permittivity(float frequency_ghz, float temperature_c,
                                    float salinity) noexcept {
  return permittivity_at(water_terms(temperature_c, salinity), frequency_ghz);
}

}  // namespace nerido::emissivity
