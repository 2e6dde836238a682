#include "retrieval/first_guess.hpp"

#include <algorithm>
#include <limits>

#include "nerido/nerido.hpp"
#include "precision/precision.hpp"

namespace nerido::retrieval {
namespace {

// Roughly even steps in sqrt(R), where the spectra change about evenly.
inline constexpr std::array<double, 16> ladder_mmh{
    0.0, 0.01, 0.3, 1.0, 2.5, 5.0, 9.0, 15.0, 23.0, 33.0, 45.0, 60.0, 78.0, 100.0, 125.0, 150.0};
inline constexpr std::size_t ladder_size = ladder_mmh.size();

// Above about 80 m/s wind and rain warm the spectrum almost alike, and the
// profile can hold two minima a few mm/h of rain apart (5 mm/h at the closest
// seen), with the global one between two rungs that see only the other. A
// step of the ladder whose two rungs both have their best wind at or above
// refined_wind_ms is cut into even parts of at most fine_step_mmh.
inline constexpr double refined_wind_ms = 75.0;
inline constexpr double fine_step_mmh = 2.0;
// On a profile so cut the minima are sampled closely, and a start whose
// chi-square is this much above the lowest one's cannot hold the global
// minimum: it is left out, sparing the fits (held at 150 m/s they can spend
// the whole iteration budget) that could only lose.
inline constexpr double refined_start_margin = 25.0;

// The parts of the ladder's step from rung r to r + 1.
constexpr std::size_t parts_of_step(std::size_t r) {
  const double width = ladder_mmh[r + 1] - ladder_mmh[r];
  std::size_t parts = 1;
  while (width > fine_step_mmh * static_cast<double>(parts)) {
    ++parts;
  }
  return parts;
}

// The fine rungs inside each step, counted over the steps below it, and in all.
constexpr std::array<std::size_t, ladder_size> first_fine_rung = [] {
  std::array<std::size_t, ladder_size> first{};
  for (std::size_t r = 0; r + 1 < ladder_size; ++r) {
    first[r + 1] = first[r] + parts_of_step(r) - 1;
  }
  return first;
}();
inline constexpr std::size_t fine_rung_count = first_fine_rung[ladder_size - 1];

// Their rain rates (mm/h), step by step.
constexpr std::array<double, fine_rung_count> fine_ladder_mmh = [] {
  std::array<double, fine_rung_count> rain{};
  for (std::size_t r = 0; r + 1 < ladder_size; ++r) {
    const std::size_t parts = parts_of_step(r);
    const double part = (ladder_mmh[r + 1] - ladder_mmh[r]) / static_cast<double>(parts);
    for (std::size_t j = 1; j < parts; ++j) {
      rain[first_fine_rung[r] + j - 1] = ladder_mmh[r] + part * static_cast<double>(j);
    }
  }
  return rain;
}();

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

template <std::size_t size>
std::array<Rung, size> make_rungs(const std::array<double, size>& rain_mmh) noexcept {
  std::array<Rung, size> rungs{};
  const SceneConstants no_scene{};
  for (std::size_t r = 0; r < size; ++r) {
    const RainPowers rain = rain_powers(rain_mmh[r]);
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
  static const std::array<Rung, ladder_size> table = make_rungs(ladder_mmh);
  return table;
}

const std::array<Rung, fine_rung_count>& fine_rungs() noexcept {
  static const std::array<Rung, fine_rung_count> table = make_rungs(fine_ladder_mmh);
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

Lines lines_at_rung(const FitProblem& p, const Rung& r) noexcept {
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

// A profile in order of rain.
struct ProfileView {
  std::span<const double> rain_mmh;
  std::span<const ProfilePoint> points;
};

// The start at point `best` of the profile, a local minimum: the vertex of
// the parabola in sqrt(R) through it and its neighbours.
Start start_at(const ProfileView& profile, std::size_t best) noexcept {
  const std::span<const double> rains = profile.rain_mmh;
  const std::span<const ProfilePoint> points = profile.points;
  if (best == 0) {
    return {points[0].wind_ms, 0.0, true};  // no higher than the small step
  }
  if (best == points.size() - 1) {
    return {points[best].wind_ms, rains[best], false};
  }
  const auto root = [](double rain) { return dmath::sqrt(rain); };
  const double s = parabola_vertex(root(rains[best - 1]), points[best - 1].cost, root(rains[best]),
                                   points[best].cost, root(rains[best + 1]), points[best + 1].cost);
  const double rain = s * s;
  // Wind: linear between the rungs around the vertex.
  const std::size_t low = rain < rains[best] ? best - 1 : best;
  const double t = (rain - rains[low]) / (rains[low + 1] - rains[low]);
  const double wind = points[low].wind_ms + t * (points[low + 1].wind_ms - points[low].wind_ms);
  return {wind, rain, false};
}

// The ladder's rungs with the fine rungs of the steps cut, at most all of both.
inline constexpr std::size_t max_profile_size = ladder_size + fine_rung_count;

// The starts at the local minima of a profile, lowest first, leaving out
// those more than `margin` above the lowest.
FirstGuess starts_of(const ProfileView& profile, double margin) noexcept {
  const std::span<const ProfilePoint> points = profile.points;
  std::array<std::size_t, max_profile_size> minima;  // the first `count` are set
  std::size_t count = 0;
  for (std::size_t r = 0; r < points.size(); ++r) {
    const bool below_left = r == 0 || points[r].cost < points[r - 1].cost;
    const bool below_right = r + 1 == points.size() || points[r].cost <= points[r + 1].cost;
    if (below_left && below_right) {
      minima[count++] = r;
    }
  }
  std::sort(minima.begin(), minima.begin() + static_cast<std::ptrdiff_t>(count),
            [&](std::size_t a, std::size_t b) { return points[a].cost < points[b].cost; });
  if (count == 0) {
    minima[count++] = 0;  // a profile with no order (unusable measurements)
  }
  while (points[minima[count - 1]].cost > points[minima[0]].cost + margin) {
    --count;
  }
  FirstGuess guess{};
  guess.count = std::min(count, max_starts);
  for (std::size_t i = 0; i < guess.count; ++i) {
    guess.starts[i] = start_at(profile, minima[i]);
  }
  return guess;
}

}  // namespace

FirstGuess first_guess(const FitProblem& problem) noexcept {
  std::array<ProfilePoint, ladder_size> coarse{};
  double start_ms = 0.0;
  for (std::size_t r = 0; r < ladder_size; ++r) {
    coarse[r] = wind_profile(problem, lines_at_rung(problem, rungs()[r]), start_ms);
    start_ms = coarse[r].wind_ms;
  }
  // The steps to cut: both their rungs at or above refined_wind_ms.
  const auto cut = [&](std::size_t r) {
    return std::min(coarse[r].wind_ms, coarse[r + 1].wind_ms) >= refined_wind_ms;
  };
  std::size_t first_cut = 0;
  while (first_cut + 1 < ladder_size && !cut(first_cut)) {
    ++first_cut;
  }
  if (first_cut + 1 == ladder_size) {
    return starts_of({ladder_mmh, coarse}, std::numeric_limits<double>::infinity());
  }
  // The profile with the fine rungs of every step cut, in order of rain.
  std::array<double, max_profile_size> rain;  // the first `size` are set
  std::array<ProfilePoint, max_profile_size> points;
  std::copy_n(ladder_mmh.begin(), first_cut, rain.begin());
  std::copy_n(coarse.begin(), first_cut, points.begin());
  std::size_t size = first_cut;
  for (std::size_t r = first_cut; r < ladder_size; ++r) {
    rain[size] = ladder_mmh[r];
    points[size++] = coarse[r];
    if (r + 1 == ladder_size || !cut(r)) {
      continue;
    }
    start_ms = coarse[r].wind_ms;
    for (std::size_t f = first_fine_rung[r]; f < first_fine_rung[r + 1]; ++f) {
      const ProfilePoint point =
          wind_profile(problem, lines_at_rung(problem, fine_rungs()[f]), start_ms);
      rain[size] = fine_ladder_mmh[f];
      points[size++] = point;
      start_ms = point.wind_ms;
    }
  }
  return starts_of({{rain.data(), size}, {points.data(), size}}, refined_start_margin);
}

}  // namespace nerido::retrieval
