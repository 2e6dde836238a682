#include "emissivity/kleinswift.hpp"

#include <algorithm>
#include <cstddef>

#include "emissivity/sea_water.hpp"
#include "precision/precision.hpp"

namespace nerido::emissivity {
namespace {

// pi/2 in single precision: the phase of a purely imaginary eps - sin^2(theta).
inline constexpr float right_angle_rad = 1.5707964f;

struct Reflectivities {
  float rv;
  float rh;
};

// Square as the model forms it: pow(x, 2.0) of the C library, stored in
// single precision. (Not x * x: the two can differ in the last bit.)
float pow_square(double x) noexcept { return to_single(dmath::pow(x, 2.0)); }

Reflectivities fresnel(float incidence_rad, Permittivity eps) noexcept {
  const double mu = wide(to_single(dmath::cos(wide(incidence_rad))));
  const double er = wide(eps.real);
  const double ei = wide(eps.loss);
  // eps - sin^2(theta), with sin^2 taken as 1 - cos^2: real part g, imaginary part ei.
  const double g = (er - coef(1.0f)) + mu * mu;
  const double modulus = wide(to_single(dmath::sqrt(ei * ei + g * g)));
  const double phase =
      g == 0.0 ? wide(right_angle_rad) : wide(to_single(dmath::atan2(ei, g)));
  // Square root of eps - sin^2(theta) in polar form: a + i*b, first quadrant.
  const double root_modulus = wide(to_single(dmath::sqrt(modulus)));
  const double half_phase = phase * coef(0.5f);
  const double ch = wide(to_single(dmath::cos(half_phase)));
  const double sh = wide(to_single(dmath::sin(half_phase)));
  const double a = ch * root_modulus;
  const double b = sh * root_modulus;
  const double b_single = wide(to_single(b));

  const float rh = to_single(((mu - a) * (mu - a) + b * b) / (b * b + (mu + a) * (mu + a)));

  const double s1 = pow_square(mu * er - a);
  const double s2 = pow_square(mu * ei - b_single);
  const double numerator = wide(to_single(s1 + s2));
  const double s3 = pow_square(mu * er + a);
  const double s4 = pow_square(mu * ei + b_single);
  const float rv = to_single(numerator / (s3 + s4));
  return {rv, rh};
}

}  // namespace

void kleinswift(float frequency_ghz, float incidence_rad, float temperature_c, float salinity,
                float& rv, float& rh, float& eps_real, float& eps_loss) noexcept {
  const Permittivity eps = sea_water_permittivity(frequency_ghz, temperature_c, salinity);
  const Reflectivities r = fresnel(incidence_rad, eps);
  eps_real = eps.real;
  eps_loss = eps.loss;
  rh = r.rh;
  rv = r.rv;
}

void klsw_loop(std::span<const float> frequencies_ghz, float temperature_c, float angle1_deg,
               float angle2_deg, std::span<float> emissivities, std::int32_t selector,
               std::int32_t count) noexcept {
  const float theta1 = to_single(wide(angle1_deg) * wide(radians_per_degree));
  const float theta2 = to_single(wide(radians_per_degree) * wide(angle2_deg));
  if (count < 1) {
    return;
  }
  const std::size_t n = std::min({static_cast<std::size_t>(count), frequencies_ghz.size(),
                                  emissivities.size()});
  constexpr float nadir_rad = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float f = frequencies_ghz[i];
    // The permittivity parts of the three calls are not needed here.
    float eps_real = 0.0f;
    float eps_loss = 0.0f;
    float rv0 = 0.0f, rh0 = 0.0f, rv1 = 0.0f, rh1 = 0.0f, rv2 = 0.0f, rh2 = 0.0f;
    kleinswift(f, nadir_rad, temperature_c, ocean_salinity, rv0, rh0, eps_real, eps_loss);
    kleinswift(f, theta1, temperature_c, ocean_salinity, rv1, rh1, eps_real, eps_loss);
    kleinswift(f, theta2, temperature_c, ocean_salinity, rv2, rh2, eps_real, eps_loss);
    const double e = selector == vertical_selector
                         ? (coef(1.0f) - wide(rv1)) - (wide(rh0) - wide(rh2))
                         : (coef(1.0f) - wide(rh1)) - (wide(rv0) - wide(rv2));
    emissivities[i] = to_single(e);
  }
}

}  // namespace nerido::emissivity
