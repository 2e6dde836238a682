// The fixed-size Levenberg-Marquardt against Eigen's (the MINPACK port it
// follows) on small problems of the retrieval's sizes: the same iterates up
// to the order of a few sums (Eigen's vectorised sums of squares add
// pairwise), the same number of steps, the same end. Its norms have Eigen's
// bits over the whole range of magnitudes.
#include "retrieval/levenberg_marquardt.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unsupported/Eigen/NonLinearOptimization>
#include <vector>

namespace nerido::retrieval {
namespace {

// A least-squares problem: residual i at (x0, x1) and its two derivatives.
struct Problem {
  const char* name;
  std::size_t n;  // parameters, 1 or 2
  std::size_t m;  // residuals, n to 6
  lm::Vector start;
  double (*residual)(const lm::Vector& x, std::size_t i);
  double (*derivative)(const lm::Vector& x, std::size_t i, std::size_t j);
  int iterations;  // the limit
};

constexpr double ts[] = {0.0, 0.5, 1.0, 1.5, 2.0, 2.5};
constexpr double ys[] = {3.1, 2.2, 1.45, 1.1, 0.7, 0.52};

double rosenbrock(const lm::Vector& x, std::size_t i) {
  return i == 0 ? 10.0 * (x[1] - x[0] * x[0]) : i == 1 ? 1.0 - x[0] : 0.0;
}

double rosenbrock_slope(const lm::Vector& x, std::size_t i, std::size_t j) {
  return i == 0 ? (j == 0 ? -20.0 * x[0] : 10.0) : i == 1 && j == 0 ? -1.0 : 0.0;
}

const Problem problems[] = {
    {"straight line",
     2,
     6,
     {0.0, 0.0},
     [](const lm::Vector& x, std::size_t i) { return x[0] * ts[i] + x[1] - ys[i]; },
     [](const lm::Vector&, std::size_t i, std::size_t j) { return j == 0 ? ts[i] : 1.0; },
     50},
    {"exponential decay",
     2,
     5,
     {1.0, 0.1},
     [](const lm::Vector& x, std::size_t i) { return x[0] * std::exp(-x[1] * ts[i]) - ys[i]; },
     [](const lm::Vector& x, std::size_t i, std::size_t j) {
       const double e = std::exp(-x[1] * ts[i]);
       return j == 0 ? e : -x[0] * ts[i] * e;
     },
     50},
    {"a square root, one parameter",
     1,
     3,
     {5.0, 0.0},
     [](const lm::Vector& x, std::size_t i) { return x[0] * x[0] - ys[i]; },
     [](const lm::Vector& x, std::size_t, std::size_t) { return 2.0 * x[0]; },
     50},
    {"Rosenbrock", 2, 3, {-1.2, 1.0}, rosenbrock, rosenbrock_slope, 100},
    {"two equal columns (rank 1)",
     2,
     4,
     {0.3, 0.2},
     [](const lm::Vector& x, std::size_t i) { return x[0] + x[1] - ys[i]; },
     [](const lm::Vector&, std::size_t, std::size_t) { return 1.0; },
     50},
    {"a zero column (no rain)",
     2,
     4,
     {1.0, 0.0},
     [](const lm::Vector& x, std::size_t i) { return x[0] * ts[i] + x[1] * x[1] - ys[i]; },
     [](const lm::Vector& x, std::size_t i, std::size_t j) { return j == 0 ? ts[i] : 2.0 * x[1]; },
     50},
    {"exact fit at the start",
     2,
     3,
     {2.0, 1.0},
     [](const lm::Vector& x, std::size_t i) { return x[0] * ts[i] + x[1] - (2.0 * ts[i] + 1.0); },
     [](const lm::Vector&, std::size_t i, std::size_t j) { return j == 0 ? ts[i] : 1.0; },
     50},
    {"stopped by the iteration limit", 2, 3, {-1.2, 1.0}, rosenbrock, rosenbrock_slope, 3},
};

// The problem in the fixed-size minimiser's form.
struct Fixed {
  const Problem& p;
  void residuals(const lm::Vector& x, lm::Residuals& f) const noexcept {
    for (std::size_t i = 0; i < p.m; ++i) {
      f[i] = p.residual(x, i);
    }
  }
  void jacobian(const lm::Vector& x, lm::Jacobian& j) const noexcept {
    for (std::size_t c = 0; c < p.n; ++c) {
      for (std::size_t i = 0; i < p.m; ++i) {
        j[c][i] = p.derivative(x, i, c);
      }
    }
  }
};

// The same in Eigen's functor form.
struct Dynamic {
  const Problem& p;
  [[nodiscard]] int values() const { return static_cast<int>(p.m); }
  static lm::Vector fixed(const Eigen::VectorXd& x) {
    lm::Vector v{};
    for (Eigen::Index j = 0; j < x.size(); ++j) {
      v[static_cast<std::size_t>(j)] = x[j];
    }
    return v;
  }
  int operator()(const Eigen::VectorXd& x, Eigen::VectorXd& f) const {
    for (std::size_t i = 0; i < p.m; ++i) {
      f[static_cast<Eigen::Index>(i)] = p.residual(fixed(x), i);
    }
    return 0;
  }
  int df(const Eigen::VectorXd& x, Eigen::MatrixXd& j) const {
    for (std::size_t c = 0; c < p.n; ++c) {
      for (std::size_t i = 0; i < p.m; ++i) {
        j(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)) =
            p.derivative(fixed(x), i, c);
      }
    }
    return 0;
  }
};

std::string hex(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%a", v);
  return text;
}

TEST(LevenbergMarquardt, StepsAsEigens) {
  using Eigen::LevenbergMarquardtSpace::Status;
  // Relative: a few units in the last place, grown over the steps.
  constexpr double same = 1e-13;
  for (const Problem& p : problems) {
    SCOPED_TRACE(p.name);
    Dynamic dynamic{p};
    Eigen::LevenbergMarquardt<Dynamic> eigen(dynamic);
    eigen.parameters.xtol = 1e-6;
    eigen.parameters.ftol = 1e-6;
    eigen.parameters.maxfev = 10 * (p.iterations + 1);
    Eigen::VectorXd ex(static_cast<Eigen::Index>(p.n));
    for (std::size_t j = 0; j < p.n; ++j) {
      ex[static_cast<Eigen::Index>(j)] = p.start[j];
    }
    Status es = eigen.minimizeInit(ex);

    const Fixed fixed{p};
    lm::Minimizer<Fixed> ours(fixed, p.n, p.m, {1e-6, 1e-6, 10 * (p.iterations + 1)});
    lm::Vector x = p.start;
    ours.start(x);
    lm::Status status = lm::Status::running;

    int steps = 0;
    while ((es == Status::NotStarted || es == Status::Running) && steps < p.iterations) {
      es = eigen.minimizeOneStep(ex);
      status = ours.step(x);
      ++steps;
      for (std::size_t j = 0; j < p.n; ++j) {
        const double e = ex[static_cast<Eigen::Index>(j)];
        ASSERT_NEAR(x[j], e, same * std::max(1.0, std::abs(e)))
            << "step " << steps << ": " << hex(x[j]) << " against " << hex(e);
      }
      const bool eigen_running = es == Status::Running;
      ASSERT_EQ(status == lm::Status::running, eigen_running) << "step " << steps;
    }
    const bool eigen_converged = es != Status::NotStarted && es != Status::Running &&
                                 es != Status::TooManyFunctionEvaluation;
    EXPECT_EQ(status == lm::Status::converged, eigen_converged) << "Eigen's status " << es;
    for (std::size_t i = 0; i < p.m; ++i) {
      const double e = eigen.fvec[static_cast<Eigen::Index>(i)];
      EXPECT_NEAR(ours.residuals()[i], e, same * std::max(1.0, std::abs(e)));
    }
  }
}

// Blue's and the scaled norm through the whole double range: underflow,
// overflow, infinities, NaN, zeros, one value, mixed magnitudes.
TEST(LevenbergMarquardt, NormsAsEigens) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::vector<double>> vectors{
      {3.0, 4.0},
      {-1.5},
      {0.0, 0.0, 0.0},
      {1e-160, 2e-160, -3e-170},
      {4e-320, 1e-310},
      {1e300, -2e299, 3e298},
      {1e300, 1.0, 1e-300},
      {1e-300, 1.0, 2.0, 3.0},
      {1e200, 1e-200},
      {inf, 1.0},
      {nan, 1.0, 2.0},
      {0.1, 0.2, 0.3, 0.4, 0.5, 0.6},
      {-7.25, 1e-12, 3.5e6},
  };
  for (const std::vector<double>& v : vectors) {
    const Eigen::Map<const Eigen::VectorXd> e(v.data(), static_cast<Eigen::Index>(v.size()));
    SCOPED_TRACE(hex(v[0]) + " ... " + std::to_string(v.size()) + " values");
    EXPECT_EQ(hex(lm::blue_norm(v.data(), v.size())), hex(e.blueNorm()));
    EXPECT_EQ(hex(lm::stable_norm(v.data(), v.size())), hex(Eigen::VectorXd(e).stableNorm()));
  }
}

}  // namespace
}  // namespace nerido::retrieval
