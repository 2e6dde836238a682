#include "emissivity/kleinswift.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "emissivity/sea_water.hpp"
#include "precision/precision.hpp"

namespace nerido::emissivity {
namespace {

// Square as the model forms it: pow(x, 2.0) of the C library, stored in
// single precision. (Not x * x: the two can differ in the last bit.)
float pow_square(double x) noexcept { return to_single(dmath::pow(x, 2.0)); }

// One kleinswift evaluation, split into steps at the points where the next
// step needs a library call's result. klsw_loop runs the three evaluations of
// a channel step by step side by side, so that the processor overlaps their
// calls instead of waiting on each in turn; every evaluation does exactly the
// same arithmetic whatever order they run in.
struct Evaluation {
  float incidence_rad = 0.0f;  // theta (radians)
  Permittivity eps{};          // eps' and eps'' in single precision
  double mu = 0.0;             // cos(theta), single-rounded
  double modulus = 0.0;        // |eps - sin^2(theta)|, single-rounded
  double phase = 0.0;          // arg(eps - sin^2(theta)), single-rounded (radians)
  double root_modulus = 0.0;   // sqrt(modulus), single-rounded
  float ch = 0.0f;             // cos(phase / 2), single-rounded
  float sh = 0.0f;             // sin(phase / 2), single-rounded
  float rv = 0.0f;             // vertical-polarisation reflectivity
  float rh = 0.0f;             // horizontal-polarisation reflectivity
};

// Permittivity of the water and the cosine of the incidence angle; the
// cosine of 0 (of either sign) is exactly 1, so nadir needs no call.
void start(Evaluation& ev, const WaterTerms& water, float frequency_ghz) noexcept {
  ev.eps = permittivity_at(water, frequency_ghz);
  ev.mu =
      ev.incidence_rad == 0.0f ? coef(1.0f) : wide(to_single(dmath::cos(wide(ev.incidence_rad))));
}

// Modulus and phase of eps - sin^2(theta), with sin^2 taken as 1 - cos^2:
// real part g, imaginary part eps''.
void polar_form(Evaluation& ev) noexcept {
  const double ei = wide(ev.eps.loss);
  const double g = (wide(ev.eps.real) - coef(1.0f)) + ev.mu * ev.mu;
  ev.modulus = wide(to_single(dmath::sqrt(ei * ei + g * g)));
  ev.phase = g == 0.0 ? wide(right_angle_rad) : wide(to_single(dmath::atan2(ei, g)));
}

// Modulus and half-phase of the complex square root.
void square_root(Evaluation& ev) noexcept {
  ev.root_modulus = wide(to_single(dmath::sqrt(ev.modulus)));
  const double half_phase = ev.phase * coef(0.5f);
  double sine = 0.0;
  double cosine = 0.0;
  dmath::sincos(half_phase, sine, cosine);
  // Stored as floats: g++ 12's vectorizer drops the rounding of two
  // adjacent wide(to_single(...)) stores that it pairs (sin and cos arrive
  // together here), which would change the last bits.
  ev.ch = to_single(cosine);
  ev.sh = to_single(sine);
}

// w = a + i*b, the square root of eps - sin^2(theta) in the first quadrant,
// and b in single precision (the vertical formula's).
struct Root {
  double a;
  double b;
  double b_single;
};

Root root(const Evaluation& ev) noexcept {
  const double a = wide(ev.ch) * ev.root_modulus;
  const double b = wide(ev.sh) * ev.root_modulus;
  return {a, b, wide(to_single(b))};
}

// Fresnel power reflectivity, horizontal polarisation.
void horizontal_reflectivity(Evaluation& ev) noexcept {
  const double mu = ev.mu;
  const auto [a, b, b_single] = root(ev);
  ev.rh = to_single(((mu - a) * (mu - a) + b * b) / (b * b + (mu + a) * (mu + a)));
}

// Fresnel power reflectivity, vertical polarisation.
void vertical_reflectivity(Evaluation& ev) noexcept {
  const double mu = ev.mu;
  const double er = wide(ev.eps.real);
  const double ei = wide(ev.eps.loss);
  const auto [a, b, b_single] = root(ev);
  const double s1 = wide(pow_square(mu * er - a));
  const double s2 = wide(pow_square(mu * ei - b_single));
  const double numerator = wide(to_single(s1 + s2));
  const double s3 = wide(pow_square(mu * er + a));
  const double s4 = wide(pow_square(mu * ei + b_single));
  ev.rv = to_single(numerator / (s3 + s4));
}

void reflectivities(Evaluation& ev) noexcept {
  horizontal_reflectivity(ev);
  vertical_reflectivity(ev);
}

// True when vertical_reflectivity would certainly give a finite value, so
// that rv - rv is exactly +0 without computing rv. Sufficient, not
// necessary: the first square of the denominator is then at least 1 (its
// pow within an ulp of a value at least 1, rounded to single), so the
// denominator is at least 1/2, and the numerator, a sum of two squares, is
// below 2^122: the quotient is finite. False for NaN or infinite parts.
bool vertical_reflectivity_finite(const Evaluation& ev) noexcept {
  const double mu = ev.mu;
  const double er = wide(ev.eps.real);
  const double ei = wide(ev.eps.loss);
  const auto [a, b, b_single] = root(ev);
  const double first_base = mu * er + a;
  return first_base >= coef(1.0f) && first_base < square_base_limit &&
         std::abs(mu * ei + b_single) < square_base_limit &&
         std::abs(mu * er - a) < square_base_limit &&
         std::abs(mu * ei - b_single) < square_base_limit;
}

}  // namespace

void kleinswift(float frequency_ghz, float incidence_rad, float temperature_c, float salinity,
                float& rv, float& rh, float& eps_real, float& eps_loss) noexcept {
  Evaluation ev;
  ev.incidence_rad = incidence_rad;
  start(ev, water_terms(temperature_c, salinity), frequency_ghz);
  polar_form(ev);
  square_root(ev);
  reflectivities(ev);
  eps_real = ev.eps.real;
  eps_loss = ev.eps.loss;
  rh = ev.rh;
  rv = ev.rv;
}

namespace {

// The three evaluations a channel's emissivity combines (at nadir, at the
// first and at the second angle), reduced to the distinct incidence angles
// among them. The model is pure, so equal angles give equal results and one
// evaluation serves them all: at nadir, one instead of three.
struct AnglePlan {
  std::array<float, 3> distinct_rad{};  // the distinct angles (radians)
  std::size_t count = 0;                // how many there are, 1 to 3
  std::array<std::size_t, 3> source{};  // which distinct angle each evaluation uses
};

AnglePlan plan_angles(const std::array<float, 3>& angles_rad) noexcept {
  AnglePlan plan;
  for (std::size_t k = 0; k < angles_rad.size(); ++k) {
    std::size_t j = 0;
    while (j < plan.count && !(plan.distinct_rad[j] == angles_rad[k])) {
      ++j;
    }
    if (j == plan.count) {
      plan.distinct_rad[plan.count++] = angles_rad[k];
    }
    plan.source[k] = j;
  }
  return plan;
}

// Evaluations run step by step side by side, so that the processor overlaps
// their library calls; each does exactly the arithmetic it would alone.
inline constexpr std::size_t max_lanes = 6;

// Which reflectivities the evaluations compute at their last step.
enum class Needed { both, horizontal };

void run_side_by_side(std::span<Evaluation> lanes, Needed needed) noexcept {
  for (Evaluation& lane : lanes) {
    polar_form(lane);
  }
  for (Evaluation& lane : lanes) {
    square_root(lane);
  }
  for (Evaluation& lane : lanes) {
    if (needed == Needed::both) {
      reflectivities(lane);
    } else {
      horizontal_reflectivity(lane);
    }
  }
}

// The horizontal formula at nadir, (1 - Rh(0)) - (Rv(0) - Rv(0)): the
// difference of one finite value with itself is exactly +0, so Rv is
// computed only when it might be infinite or NaN (and the difference NaN).
double nadir_horizontal_emissivity(Evaluation& at_nadir) noexcept {
  double rv_difference = 0.0;
  if (!vertical_reflectivity_finite(at_nadir)) {
    vertical_reflectivity(at_nadir);
    rv_difference = wide(at_nadir.rv) - wide(at_nadir.rv);
  }
  return (coef(1.0f) - wide(at_nadir.rh)) - rv_difference;
}

}  // namespace

void klsw_loop(std::span<const float> frequencies_ghz, float temperature_c, float angle1_deg,
               float angle2_deg, std::span<float> emissivities, std::int32_t selector,
               std::int32_t count, float salinity) noexcept {
  const float theta1 = to_single(wide(angle1_deg) * wide(radians_per_degree));
  const float theta2 = to_single(wide(radians_per_degree) * wide(angle2_deg));
  if (count < 1) {
    return;
  }
  const std::size_t n =
      std::min({static_cast<std::size_t>(count), frequencies_ghz.size(), emissivities.size()});
  // The terms of the water: the same for every channel.
  const WaterTerms water = water_terms(temperature_c, salinity);
  constexpr float nadir_rad = 0.0f;
  const AnglePlan plan = plan_angles({nadir_rad, theta1, theta2});
  // Both angles at nadir with the horizontal formula: no vertical reflectivity.
  const bool nadir_horizontal = plan.count == 1 && selector != vertical_selector;
  // Channels per batch of lanes: six at nadir, three or two otherwise.
  const std::size_t per_batch = max_lanes / plan.count;
  std::array<Evaluation, max_lanes> lanes{};
  for (std::size_t first = 0; first < n; first += per_batch) {
    const std::size_t channels = std::min(per_batch, n - first);
    const std::size_t used = channels * plan.count;
    for (std::size_t c = 0; c < channels; ++c) {
      for (std::size_t j = 0; j < plan.count; ++j) {
        Evaluation& lane = lanes[c * plan.count + j];
        lane = Evaluation{};
        lane.incidence_rad = plan.distinct_rad[j];
        start(lane, water, frequencies_ghz[first + c]);
      }
    }
    run_side_by_side(std::span<Evaluation>(lanes).first(used),
                     nadir_horizontal ? Needed::horizontal : Needed::both);
    for (std::size_t c = 0; c < channels; ++c) {
      if (nadir_horizontal) {
        emissivities[first + c] = to_single(nadir_horizontal_emissivity(lanes[c]));
        continue;
      }
      // The evaluations at nadir, at the first and at the second angle.
      const Evaluation& at_nadir = lanes[c * plan.count + plan.source[0]];
      const Evaluation& at_1 = lanes[c * plan.count + plan.source[1]];
      const Evaluation& at_2 = lanes[c * plan.count + plan.source[2]];
      const double e = selector == vertical_selector
                           ? (coef(1.0f) - wide(at_1.rv)) - (wide(at_nadir.rh) - wide(at_2.rh))
                           : (coef(1.0f) - wide(at_1.rh)) - (wide(at_nadir.rv) - wide(at_2.rv));
      emissivities[first + c] = to_single(e);
    }
  }
}

}  // namespace nerido::emissivity
