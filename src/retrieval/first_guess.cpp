#include "retrieval/first_guess.hpp"

#include <algorithm>

#include "nerido/nerido.hpp"
#include "precision/precision.hpp"

namespace nerido::retrieval {
namespace {

// Roughly even steps in sqrt(R), where the spectra change about evenly.
inline constexpr std::array<double, 16> ladder_mmh{
    0.0, 0.01, 0.3, 1.0, 2.5, 5.0, 9.0, 15.0, 23.0, 33.0, 45.0, 60.0, 78.0, 100.0, 125.0, 150.0};
inline constexpr std::size_t ladder_size = ladder_mmh.size();

// The search for the best wind stays inside this range (m/s), beyond the
// bounds so that the unconstrained optimum can be seen and then clamped.
inline constexpr double search_low_ms = -50.0;
inline constexpr double search_high_ms = 200.0;
inline constexpr double wind_high_ms = 150.0;
inline constexpr int wind_steps = 8;
inline constexpr double wind_step_tolerance_ms = 1e-2;

// Rain attenuation of each channel at each rung (per metre), and the
// transmissivity of the fixed sky column: neither depends on the scene.
struct Rung {
  std::array<double, max_channels> kappa_per_m;
  std::array<double, max_channels> tau_down;
};

std::array<Rung, ladder_size> make_rungs() noexcept {
  std::array<Rung, ladder_size> rungs{};
  const SceneConstants no_scene{};
  for (std::size_t r = 0; r < ladder_size; ++r) {
    const RainPowers rain = rain_powers(ladder_mmh[r]);
    for (std::size_t i = 0; i < max_channels; ++i) {
      ChannelConstants c{};
      c.log_frequency = log_frequency(i);
      rungs[r].kappa_per_m[i] = rain_attenuation(c, rain).kappa_per_m;
      rungs[r].tau_down[i] = rain_transmissivity(no_scene, rungs[r].kappa_per_m[i]).down;
    }
  }
  return rungs;
}

const std::array<Rung, ladder_size>& rungs() noexcept {
  static const std::array<Rung, ladder_size> table = make_rungs();
  return table;
}

// The best wind (m/s, within 0 to 150) at one rain rate, from the smooth
// twin, and the chi-square it leaves.
struct ProfilePoint {
  double wind_ms;
  double cost;
};

// The channels' brightness lines at one rain rate.
using Lines = std::array<EmissivityLine, max_channels>;

Lines lines_at_rung(const FitProblem& p, std::size_t rung) noexcept {
  const Rung& r = rungs()[rung];
  Lines lines{};
  for (std::size_t k = 0; k < p.count; ++k) {
    const std::size_t i = p.channels[k].index;
    const RainTransmissivity tau{transmissivity(r.kappa_per_m[i], p.scene.rain_height_m),
                                 r.tau_down[i]};
    lines[k] = emissivity_line(p.scene, p.channels[k], tau);
  }
  return lines;
}

// At a fixed rain the weighted residual of channel k is a + b g(W) + c h(W),
// with g the wind law's increment and h the factor of its frequency
// correction, shared by all channels: chi-square is a quadratic form in
// (1, g, h) whose six sums are formed once per rain rate.
struct WindMisfit {
  double aa, ab, ac, bb, bc, cc;

  [[nodiscard]] double cost(const WindLaw& law) const noexcept {
    const double g = law.increment;
    const double h = law.correction_factor;
    return aa + 2.0 * (ab * g + ac * h) + bb * g * g + 2.0 * bc * g * h + cc * h * h;
  }
};

// Channel k's terms of the misfit: a + b g + c h, weighted (not yet whitened).
struct MisfitTerms {
  double a, b, c;
};

MisfitTerms misfit_terms(const FitProblem& p, const Lines& lines, std::size_t k) noexcept {
  const double u = weight(p, k);
  const double a =
      (lines[k].level_k + lines[k].slope_k * p.channels[k].emissivity - p.measured_k[k]) * u;
  const double b = lines[k].slope_k * u;
  return {a, b, b * p.channels[k].frequency_offset_ghz};
}

void add(WindMisfit& q, const MisfitTerms& t) noexcept {
  q.aa += t.a * t.a;
  q.ab += t.a * t.b;
  q.ac += t.a * t.c;
  q.bb += t.b * t.b;
  q.bc += t.b * t.c;
  q.cc += t.c * t.c;
}

WindMisfit wind_misfit(const FitProblem& p, const Lines& lines) noexcept {
  WindMisfit q{};
  if (!p.correlated) {
    for (std::size_t k = 0; k < p.count; ++k) {
      add(q, misfit_terms(p, lines, k));
    }
    return q;
  }
  // With a model error the terms are whitened first, each as a vector over the channels.
  std::array<double, max_channels> as{};
  std::array<double, max_channels> bs{};
  std::array<double, max_channels> cs{};
  for (std::size_t k = 0; k < p.count; ++k) {
    const MisfitTerms t = misfit_terms(p, lines, k);
    as[k] = t.a;
    bs[k] = t.b;
    cs[k] = t.c;
  }
  whiten(p, as);
  whiten(p, bs);
  whiten(p, cs);
  for (std::size_t k = 0; k < p.count; ++k) {
    add(q, {as[k], bs[k], cs[k]});
  }
  return q;
}

// Gauss-Newton in the wind alone; the misfit is nearly quadratic in it.
ProfilePoint wind_profile(const FitProblem& p, const Lines& lines, double start_ms) noexcept {
  const WindMisfit q = wind_misfit(p, lines);
  double w = start_ms;
  for (int step = 0; step < wind_steps; ++step) {
    const WindLaw law = wind_law(w);
    const double g = law.increment;
    const double h = law.correction_factor;
    const double dg = law.slope_per_ms;
    const double dh = law.correction_slope_per_ms;
    // Half the derivative of chi-square, and its Gauss-Newton curvature.
    const double gradient = dg * (q.ab + q.bb * g + q.bc * h) + dh * (q.ac + q.bc * g + q.cc * h);
    const double curvature = q.bb * dg * dg + 2.0 * q.bc * dg * dh + q.cc * dh * dh;
    if (!(curvature > 0.0)) {
      break;
    }
    const double next = std::clamp(w - gradient / curvature, search_low_ms, search_high_ms);
    const double change = next - w;
    w = next;
    if (std::abs(change) < wind_step_tolerance_ms) {
      break;
    }
  }
  w = std::clamp(w, 0.0, wind_high_ms);
  return {w, q.cost(wind_law(w))};
}

// Vertex of the parabola through three points whose middle one is the
// lowest, clamped to the outer two.
double parabola_vertex(double x0, double y0, double x1, double y1, double x2, double y2) noexcept {
  const double left = (x1 - x0) * (y1 - y2);
  const double right = (x1 - x2) * (y1 - y0);
  const double denominator = left - right;
  if (!(std::abs(denominator) > 0.0)) {
    return x1;
  }
  const double vertex = x1 - 0.5 * ((x1 - x0) * left - (x1 - x2) * right) / denominator;
  return std::clamp(vertex, x0, x2);
}

}  // namespace

std::span<const double> rain_ladder_mmh() noexcept { return ladder_mmh; }

namespace {

// The start at rung `best`, a local minimum of the profile: the vertex of the
// parabola in sqrt(R) through it and its neighbours.
Start start_at(std::span<const ProfilePoint, ladder_size> profile, std::size_t best) noexcept {
  if (best == 0) {
    return {profile[0].wind_ms, 0.0, true};  // no higher than the small step
  }
  if (best == ladder_size - 1) {
    return {profile[best].wind_ms, ladder_mmh[best], false};
  }
  const auto root = [](double rain) { return dmath::sqrt(rain); };
  const double s =
      parabola_vertex(root(ladder_mmh[best - 1]), profile[best - 1].cost, root(ladder_mmh[best]),
                      profile[best].cost, root(ladder_mmh[best + 1]), profile[best + 1].cost);
  const double rain = s * s;
  // Wind: linear between the rungs around the vertex.
  const std::size_t low = rain < ladder_mmh[best] ? best - 1 : best;
  const double t = (rain - ladder_mmh[low]) / (ladder_mmh[low + 1] - ladder_mmh[low]);
  const double wind = profile[low].wind_ms + t * (profile[low + 1].wind_ms - profile[low].wind_ms);
  return {wind, rain, false};
}

}  // namespace

FirstGuess first_guess(const FitProblem& problem) noexcept {
  std::array<ProfilePoint, ladder_size> profile{};
  double start_ms = 0.0;
  for (std::size_t r = 0; r < ladder_size; ++r) {
    profile[r] = wind_profile(problem, lines_at_rung(problem, r), start_ms);
    start_ms = profile[r].wind_ms;
  }
  // Local minima, lowest first.
  std::array<std::size_t, ladder_size> minima{};
  std::size_t count = 0;
  for (std::size_t r = 0; r < ladder_size; ++r) {
    const bool below_left = r == 0 || profile[r].cost < profile[r - 1].cost;
    const bool below_right = r + 1 == ladder_size || profile[r].cost <= profile[r + 1].cost;
    if (below_left && below_right) {
      minima[count++] = r;
    }
  }
  std::sort(minima.begin(), minima.begin() + static_cast<std::ptrdiff_t>(count),
            [&](std::size_t a, std::size_t b) { return profile[a].cost < profile[b].cost; });
  if (count == 0) {
    minima[count++] = 0;  // a profile with no order (unusable measurements)
  }
  FirstGuess guess{};
  guess.count = std::min(count, max_starts);
  for (std::size_t i = 0; i < guess.count; ++i) {
    guess.starts[i] = start_at(profile, minima[i]);
  }
  return guess;
}

}  // namespace nerido::retrieval
