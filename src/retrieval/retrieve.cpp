// Weighted least-squares retrieval of wind and rain with MINPACK's
// Levenberg-Marquardt (retrieval/levenberg_marquardt.hpp) from every start of the first
// guess, the bounds handled by an active set:
// - the wind is fitted as it is: the model's wind law continues below 0 and
//   above 150 m/s, and a fit that ends outside is repeated with the wind held
//   at the bound it crossed;
// - the rain is fitted as rho = sqrt(R), which keeps it non-negative and its
//   Jacobian finite at 0; a fit above 150 is repeated with it held at 150;
// - a free variable that ends within min_free_value of 0 is compared with a
//   fit that holds it at 0, kept unless clearly better: this is how a rain
//   (or wind) of 0 is reported as exactly 0;
// - a variable held at a bound is freed when the misfit falls on stepping
//   into the domain.
// The residuals are the exact model's; the Jacobian is the smooth twin's
// derivatives, taken at the model's own rain attenuation and transmissivities.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "nerido/nerido.hpp"
#include "precision/precision.hpp"
#include "retrieval/first_guess.hpp"
#include "retrieval/levenberg_marquardt.hpp"

namespace nerido {
namespace {

using retrieval::FitProblem;
namespace lm = retrieval::lm;

inline constexpr double bound_high = 150.0;
// The one-sided step (m/s or mm/h) for the sigma of a variable at a bound.
inline constexpr double bound_step = 0.1;
// A free wind or rain that ends below this (m/s, mm/h) is compared with a
// fit that holds it at 0; also the step of the test that frees a rain held
// at 0.
inline constexpr double min_free_value = 0.01;
// Where a freed rain starts (mm/h): this far from the bound it left.
inline constexpr double released_rain_mmh = 0.3;
// Chi-square by which a fit inside must beat one at the bound to be kept.
inline constexpr double bound_preference = 1e-6;
// The model is only evaluated in this box (m/s; mm/h); the fit stays well
// inside it in any sensible case.
inline constexpr double evaluated_wind_low = -50.0;
inline constexpr double evaluated_wind_high = 200.0;
inline constexpr double evaluated_rain_high = 300.0;
// Active-set rounds after the first fit.
inline constexpr int max_rounds = 6;
inline constexpr double poor_fit_rms = 3.0;

// The unknowns of one fit: which are free, and the values of the others.
struct Setup {
  bool wind_free;
  bool rain_free;
  double wind_ms;
  double rain_mmh;
};

// Wind and rain (within the evaluated box) from the fit's parameters.
struct Point {
  double wind_ms;
  double rain_mmh;
};

Point point_of(const Setup& s, const lm::Vector& x) noexcept {
  std::size_t next = 0;
  Point p{s.wind_ms, s.rain_mmh};
  if (s.wind_free) {
    p.wind_ms = x[next++];
  }
  if (s.rain_free) {
    p.rain_mmh = x[next] * x[next];
  }
  p.wind_ms = std::clamp(p.wind_ms, evaluated_wind_low, evaluated_wind_high);
  p.rain_mmh = std::min(p.rain_mmh, evaluated_rain_high);
  return p;
}

// The least-squares problem of one fit in the free parameters.
class Residuals {
 public:
  Residuals(const FitProblem& problem, const Setup& setup) : p_(problem), s_(setup) {}

  // The derivatives come with the residuals, and are kept for the
  // Jacobian at the same point, which follows every accepted step.
  void residuals(const lm::Vector& x, lm::Residuals& f) const noexcept {
    const Point at = point_of(s_, x);
    retrieval::exact_residuals(p_, to_single(at.wind_ms), to_single(at.rain_mmh), f, slopes_);
    slopes_at_ = x;
  }

  void jacobian(const lm::Vector& x, lm::Jacobian& j) const noexcept {
    if (x != slopes_at_) {
      lm::Residuals unused{};
      residuals(x, unused);
    }
    const std::size_t rain_column = s_.wind_free ? 1 : 0;
    const double rho = s_.rain_free ? x[rain_column] : 0.0;
    for (std::size_t k = 0; k < p_.count; ++k) {
      const retrieval::ChannelSlopes& d = slopes_[k];
      if (s_.wind_free) {
        j[0][k] = d.per_wind * retrieval::weight(p_, k);
      }
      if (s_.rain_free) {
        // dTb/drho = 2 R dTb/dR / rho, which tends to 0 with rho.
        j[rain_column][k] =
            rho != 0.0 ? 2.0 * d.per_log_rain / rho * retrieval::weight(p_, k) : 0.0;
      }
    }
    const std::size_t columns = (s_.wind_free ? 1U : 0U) + (s_.rain_free ? 1U : 0U);
    for (std::size_t column = 0; column < columns; ++column) {
      retrieval::whiten(p_, j[column]);
    }
  }

 private:
  const FitProblem& p_;
  Setup s_;
  mutable std::array<retrieval::ChannelSlopes, retrieval::max_channels> slopes_{};
  mutable lm::Vector slopes_at_{std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::quiet_NaN()};
};

using ResidualArray = std::array<double, retrieval::max_channels>;

struct Fit {
  Point at;
  ResidualArray residuals;  // weighted, of the exact model at `at`
  double cost;              // their sum of squares (chi-square)
  int iterations;
  bool converged;
};

double sum_of_squares(const ResidualArray& r, std::size_t count) noexcept {
  double sum = 0.0;
  for (std::size_t k = 0; k < count; ++k) {
    sum += r[k] * r[k];
  }
  return sum;
}

Fit fit_at(const FitProblem& p, const Point& at, int iterations, bool converged) noexcept {
  Fit fit{at, {}, 0.0, iterations, converged};
  retrieval::exact_residuals(p, to_single(at.wind_ms), to_single(at.rain_mmh), fit.residuals);
  fit.cost = sum_of_squares(fit.residuals, p.count);
  return fit;
}

Fit run_fit(const FitProblem& p, const Setup& s, int iteration_limit,
            const RetrievalOptions& options) noexcept {
  const std::size_t n = (s.wind_free ? 1U : 0U) + (s.rain_free ? 1U : 0U);
  if (n == 0) {
    return fit_at(p, {s.wind_ms, s.rain_mmh}, 0, true);
  }
  lm::Vector x{};
  std::size_t next = 0;
  if (s.wind_free) {
    x[next++] = s.wind_ms;
  }
  if (s.rain_free) {
    x[next] = dmath::sqrt(s.rain_mmh);
  }
  const Residuals residuals(p, s);
  // Evaluations of the residuals: a few per iteration; the iteration limit
  // governs.
  const lm::Settings settings{options.step_tolerance, options.reduction_tolerance,
                              10 * (std::int64_t{iteration_limit} + 1)};
  lm::Minimizer<Residuals> minimizer(residuals, n, p.count, settings);
  minimizer.start(x);
  lm::Status status = lm::Status::running;
  int iterations = 0;
  while (status == lm::Status::running && iterations < iteration_limit) {
    status = minimizer.step(x);
    ++iterations;
  }
  Fit fit{point_of(s, x), {}, 0.0, iterations, status == lm::Status::converged};
  std::copy_n(minimizer.residuals().begin(), p.count, fit.residuals.begin());
  fit.cost = sum_of_squares(fit.residuals, p.count);
  return fit;
}

// A row per channel used (at most six, on the stack), a column each for
// wind and rain.
using WeightedJacobian =
    Eigen::Matrix<double, Eigen::Dynamic, 2, Eigen::ColMajor, retrieval::max_channels, 2>;

// The smooth twin's derivatives of every channel in wind and rain, with a
// one-sided difference over bound_step into the domain for a variable at a
// bound.

WeightedJacobian weighted_jacobian(const FitProblem& p, const Point& at, bool wind_at_bound,
                                   bool rain_at_bound) noexcept {
  const auto rows = static_cast<Eigen::Index>(p.count);
  WeightedJacobian j(rows, 2);
  const retrieval::RainPowers rain = retrieval::rain_powers(at.rain_mmh);
  const double wind_step = at.wind_ms < 0.5 * bound_high ? bound_step : -bound_step;
  const double rain_step = at.rain_mmh < 0.5 * bound_high ? bound_step : -bound_step;
  // The rain's column is one-sided at a bound, and at 0 where its slope
  // is infinite; the stepped powers cost two pow calls, so only then.
  const bool rain_one_sided = rain_at_bound || at.rain_mmh <= 0.0;
  const retrieval::RainPowers stepped_rain =
      rain_one_sided ? retrieval::rain_powers(at.rain_mmh + rain_step) : rain;
  const retrieval::WindLaw wind = retrieval::wind_law(at.wind_ms);
  const retrieval::WindLaw stepped_wind = retrieval::wind_law(at.wind_ms + wind_step);
  for (std::size_t k = 0; k < p.count; ++k) {
    const retrieval::ChannelConstants& c = p.channels[k];
    const retrieval::ChannelSlopes d = smooth_brightness(p.scene, c, wind, rain);
    const auto row = static_cast<Eigen::Index>(k);
    j(row, 0) = wind_at_bound
                    ? (smooth_brightness(p.scene, c, stepped_wind, rain).tb_k - d.tb_k) / wind_step
                    : d.per_wind;
    j(row, 1) = rain_one_sided
                    ? (smooth_brightness(p.scene, c, wind, stepped_rain).tb_k - d.tb_k) / rain_step
                    : d.per_log_rain / at.rain_mmh;
    j.row(row) *= retrieval::weight(p, k);
  }
  for (Eigen::Index column = 0; column < 2; ++column) {
    retrieval::whiten(p, {j.col(column).data(), p.count});
  }
  return j;
}

bool at_bound(double value) noexcept { return value <= 0.0 || value >= bound_high; }

// Into-the-domain tests for a variable held at a bound: does the misfit
// fall on a step of min_free_value into the domain (rain), or along the
// gradient (wind)?
bool rain_wants_in(const FitProblem& p, const Point& at) noexcept {
  const double inside = at.rain_mmh <= 0.0 ? min_free_value : bound_high - min_free_value;
  return retrieval::smooth_cost(p, at.wind_ms, inside) <
         retrieval::smooth_cost(p, at.wind_ms, at.rain_mmh);
}

bool wind_wants_in(const FitProblem& p, const Point& at) noexcept {
  std::array<double, retrieval::max_channels> r{};
  retrieval::smooth_residuals(p, at.wind_ms, at.rain_mmh, r);
  const retrieval::WindLaw wind = retrieval::wind_law(at.wind_ms);
  const retrieval::RainPowers rain = retrieval::rain_powers(at.rain_mmh);
  std::array<double, retrieval::max_channels> slope{};
  for (std::size_t k = 0; k < p.count; ++k) {
    slope[k] = smooth_brightness(p.scene, p.channels[k], wind, rain).per_wind;
  }
  retrieval::whiten(p, slope);  // with a model error; else weighted below
  double gradient = 0.0;        // half the derivative of chi-square in the wind
  for (std::size_t k = 0; k < p.count; ++k) {
    gradient += r[k] * slope[k] * retrieval::weight(p, k);
  }
  return at.wind_ms <= 0.0 ? gradient < 0.0 : gradient > 0.0;
}

// Runs the fits of one retrieval within one iteration budget.
class Fitter {
 public:
  Fitter(const FitProblem& problem, const RetrievalOptions& options)
      : p_(problem), options_(options), budget_(std::max(options.max_iterations, 0)) {}

  Fit run(const Setup& s) {
    const Fit fit = run_fit(p_, s, budget_, options_);
    budget_ -= fit.iterations;
    iterations_ += fit.iterations;
    return fit;
  }
  [[nodiscard]] int iterations() const noexcept { return iterations_; }

 private:
  const FitProblem& p_;
  const RetrievalOptions& options_;
  int budget_;
  int iterations_ = 0;
};

Setup holding_wind(Setup s, double wind_ms) noexcept {
  s.wind_free = false;
  s.wind_ms = wind_ms;
  return s;
}

Setup holding_rain(Setup s, double rain_mmh) noexcept {
  s.rain_free = false;
  s.rain_mmh = rain_mmh;
  return s;
}

// The fit's point as the next fit's start, inside the bounds.
Setup starting_from(Setup s, const Point& at) noexcept {
  s.wind_ms = std::clamp(at.wind_ms, 0.0, bound_high);
  s.rain_mmh = std::clamp(at.rain_mmh, 0.0, bound_high);
  return s;
}

// The fit from one start, with the bounds enforced.
Fit solve_from(const FitProblem& p, const retrieval::Start& start, Fitter& fitter) {
  // rho = 0 would leave the rain's column of the Jacobian 0: a free rain
  // starts a little above it.
  Setup s{true, !start.rain_at_zero, start.wind_ms,
          start.rain_at_zero ? 0.0 : std::max(start.rain_mmh, min_free_value)};
  Fit fit = fitter.run(s);
  bool released_wind = false;
  bool released_rain = false;
  for (int round = 0; round < max_rounds && fit.converged; ++round) {
    s = starting_from(s, fit.at);
    // A free variable that left the domain is held at the bound it crossed.
    const bool wind_out = s.wind_free && (fit.at.wind_ms < 0.0 || fit.at.wind_ms > bound_high);
    const bool rain_out = s.rain_free && fit.at.rain_mmh > bound_high;
    if (wind_out || rain_out) {
      s.wind_free = s.wind_free && !wind_out;
      s.rain_free = s.rain_free && !rain_out;
      fit = fitter.run(s);
      continue;
    }
    // One that ends just above 0 is compared with the fit that holds it at 0,
    // which is kept unless clearly worse.
    const bool wind_near = s.wind_free && fit.at.wind_ms < min_free_value;
    const bool rain_near = s.rain_free && fit.at.rain_mmh < min_free_value;
    if (wind_near || rain_near) {
      const Setup held = wind_near ? holding_wind(s, 0.0) : holding_rain(s, 0.0);
      const Fit held_fit = fitter.run(held);
      if (held_fit.converged && held_fit.cost <= fit.cost + bound_preference) {
        s = held;
        fit = held_fit;
        continue;
      }
      if (!held_fit.converged) {
        fit.converged = false;
      }
      break;
    }
    // A variable held at a bound is freed (once) when the misfit falls inside.
    const Point at{s.wind_ms, s.rain_mmh};
    if (!s.rain_free && !released_rain && rain_wants_in(p, at)) {
      s.rain_free = true;
      s.rain_mmh = s.rain_mmh <= 0.0 ? released_rain_mmh : bound_high - released_rain_mmh;
      released_rain = true;
      fit = fitter.run(s);
      continue;
    }
    if (!s.wind_free && !released_wind && wind_wants_in(p, at)) {
      s.wind_free = true;
      released_wind = true;
      fit = fitter.run(s);
      continue;
    }
    break;
  }
  // Only a fit stopped by the iteration limit can end outside the bounds.
  const Point inside{std::clamp(fit.at.wind_ms, 0.0, bound_high),
                     std::clamp(fit.at.rain_mmh, 0.0, bound_high)};
  if (inside.wind_ms != fit.at.wind_ms || inside.rain_mmh != fit.at.rain_mmh) {
    fit = fit_at(p, inside, fit.iterations, fit.converged);
  }
  return fit;
}

// The best of the fits from every start of the first guess. A start that
// runs out of iterations replaces a converged fit only if it got lower.
Fit solve(const FitProblem& p, Fitter& fitter) {
  const retrieval::FirstGuess guess = retrieval::first_guess(p);
  Fit best = solve_from(p, guess.starts[0], fitter);
  for (std::size_t i = 1; i < guess.count && best.converged; ++i) {
    const Fit other = solve_from(p, guess.starts[i], fitter);
    if (other.cost < best.cost) {
      best = other;
    }
  }
  return best;
}

}  // namespace

std::string_view status_name(RetrievalStatus status) noexcept {
  switch (status) {
    case RetrievalStatus::ok:
      return "ok";
    case RetrievalStatus::at_bound:
      return "at_bound";
    case RetrievalStatus::poor_fit:
      return "poor_fit";
    case RetrievalStatus::not_converged:
      return "not_converged";
    case RetrievalStatus::invalid_input:
      return "invalid_input";
    case RetrievalStatus::off_nadir:
      return "off_nadir";
  }
  return "unknown";
}

std::string_view invalid_reason_name(InvalidReason reason) noexcept {
  switch (reason) {
    case InvalidReason::none:
      return "none";
    case InvalidReason::sst_c:
      return "sst_c";
    case InvalidReason::altitude_m:
      return "altitude_m";
    case InvalidReason::air_c:
      return "air_c";
    case InvalidReason::salinity_psu:
      return "salinity_psu";
    case InvalidReason::attitude:
      return "attitude";
    case InvalidReason::too_few_channels:
      return "too_few_channels";
    case InvalidReason::infinite_tb:
      return "infinite_tb";
    case InvalidReason::noise:
      return "noise";
    case InvalidReason::options:
      return "options";
  }
  return "unknown";
}

Retrieval retrieve(const Observation& observation, const RetrievalOptions& options) noexcept {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const auto present = std::count_if(observation.tb_k.begin(), observation.tb_k.end(),
                                     [](float tb) { return !std::isnan(tb); });
  const auto no_fit = [&](RetrievalStatus status, InvalidReason reason) {
    return Retrieval{nan, nan, nan, nan, nan, nan, 0, static_cast<int>(present), status, reason};
  };
  const InvalidReason invalid = retrieval::invalid_reason(observation, options);
  if (invalid != InvalidReason::none) {
    return no_fit(RetrievalStatus::invalid_input, invalid);
  }
  // No attitude (roll and pitch 0) is nadir: no angle to compute.
  const bool level = observation.roll_deg == 0.0f && observation.pitch_deg == 0.0f;
  if (!level && retrieval::off_nadir_deg(observation) > wide(options.max_off_nadir_deg)) {
    return no_fit(RetrievalStatus::off_nadir, InvalidReason::none);
  }
  FitProblem problem{};
  retrieval::fill_problem(problem, observation, options);
  const FitProblem& p = problem;
  Fitter fitter(p, options);
  const Fit solution = solve(p, fitter);
  const Point at{solution.at.wind_ms, solution.at.rain_mmh};
  const bool wind_bound = at_bound(at.wind_ms);
  const bool rain_bound = at_bound(at.rain_mmh);

  Retrieval out{};
  out.wind_ms = to_single(at.wind_ms);
  out.rain_mmh = to_single(at.rain_mmh);
  out.iterations = fitter.iterations();
  out.channels_used = static_cast<int>(p.count);

  const WeightedJacobian j = weighted_jacobian(p, at, wind_bound, rain_bound);
  const Eigen::Matrix2d fisher = j.transpose() * j;
  const double det = fisher.determinant();
  if (det > 0.0 && std::isfinite(det)) {
    const Eigen::Matrix2d covariance = fisher.inverse();
    const double sw = dmath::sqrt(covariance(0, 0));
    const double sr = dmath::sqrt(covariance(1, 1));
    out.wind_sigma_ms = to_single(sw);
    out.rain_sigma_mmh = to_single(sr);
    out.wind_rain_correlation = to_single(std::clamp(covariance(0, 1) / (sw * sr), -1.0, 1.0));
  } else {
    constexpr float infinite = std::numeric_limits<float>::infinity();
    out.wind_sigma_ms = infinite;
    out.rain_sigma_mmh = infinite;
    out.wind_rain_correlation = 0.0f;
  }

  const ResidualArray& r = solution.residuals;
  ResidualArray differences{};  // model - measured (K)
  if (p.correlated) {
    retrieval::exact_differences(p, out.wind_ms, out.rain_mmh, differences);
  } else {
    for (std::size_t k = 0; k < p.count; ++k) {
      differences[k] = r[k] / p.inverse_noise[k];
    }
  }
  double weighted = 0.0;
  double kelvin = 0.0;
  for (std::size_t k = 0; k < p.count; ++k) {
    weighted += r[k] * r[k];
    kelvin += differences[k] * differences[k];
  }
  const double count = static_cast<double>(p.count);
  out.residual_rms_k = to_single(dmath::sqrt(kelvin / count));
  const double normalised_rms = dmath::sqrt(weighted / count);

  if (!solution.converged) {
    out.status = RetrievalStatus::not_converged;
  } else if (!(normalised_rms <= poor_fit_rms)) {
    out.status = RetrievalStatus::poor_fit;
  } else if (at.wind_ms >= bound_high || at.rain_mmh >= bound_high) {
    out.status = RetrievalStatus::at_bound;  // the top of the domain; 0 is an answer
  } else {
    out.status = RetrievalStatus::ok;
  }
  return out;
}

}  // namespace nerido
