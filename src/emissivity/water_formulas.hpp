// The sea-water formulas of Klein and Swift (1977) that do not branch,
// written once for any number type T with double arithmetic: double in
// emissivity/sea_water.cpp, a vector of doubles in the vector kernels
// (src/vector/kernel.hpp), which must compute the same bits lane by lane.
// Templates only: a kernel's file is compiled for its own instruction set,
// and its instantiations (of vector types no other file uses) must be the
// only functions of this header it holds.
//
// Every coefficient here is based on Klein and Swift (1977), "An improved
// model for the dielectric constant of sea water at microwave frequencies",
// IEEE Trans. Antennas Propag. AP-25(1), 104-111; the order of evaluation
// is this model's.
#pragma once

#include "precision/precision.hpp"

namespace nerido::emissivity::formulas {

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

// Static permittivity of fresh water; t: temperature (degrees Celsius).
template <class T>
T fresh_static_permittivity(T t) noexcept {
  return ((coef(1.075e-5f) * t + coef(6.295e-4f)) * t - coef(0.4147f)) * t + coef(88.045f);
}

// Static permittivity of sea water; t (degrees Celsius), s: salinity (ppt).
template <class T>
T sea_static_permittivity(T t, T s) noexcept {
  const T eps_t = ((coef(2.491e-4f) * t - coef(1.276e-2f)) * t - coef(0.1949f)) * t + coef(87.134f);
  // Salinity correction, as a fraction of the fresh-water-like term above.
  const T a =
      ((coef(1.613e-5f) * t - coef(3.656e-3f)) + (coef(3.21e-5f) - coef(4.232e-7f) * s) * s) * s;
  return eps_t + a * eps_t;
}

// Debye relaxation time (seconds); the salinity enters in both branches.
template <class T>
T relaxation_time(T t, T s) noexcept {
  const T tau_t =
      ((coef(1.104e-14f) - coef(8.111e-17f) * t) * t - coef(6.086e-13f)) * t + coef(1.768e-11f);
  const T b =
      ((coef(2.282e-5f) * t - coef(7.638e-4f)) + (coef(1.105e-8f) * s - coef(7.76e-6f)) * s) * s +
      coef(1.0f);
  return b * tau_t;
}

// The exponent phi of the conductivity's temperature factor exp(phi).
template <class T>
T conductivity_exponent(T t, T s) noexcept {
  const T d = conductivity_reference_c - t;
  return (((coef(1.266e-4f) * d + coef(2.033e-2f)) + (coef(2.464e-6f) * d) * d) -
          ((coef(1.849e-5f) - coef(2.551e-7f) * d) + (coef(2.551e-8f) * d) * d) * s) *
         d;
}

// Ionic conductivity (S/m) from the salinity and exp(phi) as the model
// stores it (single precision, widened).
template <class T>
T conductivity(T s, T factor) noexcept {
  // Conductivity at 25 degrees Celsius, divided by the salinity.
  const T p =
      ((coef(2.09324e-5f) - coef(1.28205e-7f) * s) * s - coef(1.46192e-3f)) * s + coef(0.182521f);
  return (s / factor) * p;
}

// Angular frequency (rad/s) of a frequency in GHz.
template <class T>
T angular_frequency(T frequency_ghz) noexcept {
  return (frequency_ghz * two_pi) * hz_per_ghz;
}

// The Debye denominator 1 + (omega tau)^2 as the model forms it.
template <class T>
T debye_denominator(T omega, T tau) noexcept {
  return ((omega * omega) * tau) * tau + coef(1.0f);
}

// eps' before its rounding.
template <class T>
T permittivity_real(T eps_s, T denominator) noexcept {
  return eps_infinity + (eps_s - eps_infinity) / denominator;
}

// eps'' before its rounding: conductivity loss first, relaxation loss
// second (the order of the sum is part of the model's digits).
template <class T>
T permittivity_loss(T omega, T eps_s, T tau, T sigma, T denominator) noexcept {
  return sigma / (omega * eps_vacuum) + ((tau * omega) * (eps_s - eps_infinity)) / denominator;
}

}  // namespace nerido::emissivity::formulas
