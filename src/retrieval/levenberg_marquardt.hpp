// Levenberg-Marquardt for one or two parameters and at most six residuals,
// on fixed-size arrays: MINPACK's lmder iteration as Eigen's port of it
// (unsupported/Eigen/NonLinearOptimization) takes it, step for step - the
// column-pivoted Householder QR of the Jacobian, the Levenberg-Marquardt
// parameter by lmpar and qrsolv, the trust-region updates and the tests for
// convergence - with nothing allocated. Eigen's class sizes every vector and
// matrix at run time and allocates them anew on each step and each lmpar
// call, which cost about a third of a retrieval; it has no fixed-size form.
//
// The arithmetic follows Eigen's operation by operation except in the order
// of a few sums (its vectorised squared norms add pairwise, these add in
// sequence), so a result may differ from Eigen's in its last bits.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "precision/precision.hpp"
#include "retrieval/smooth_budget.hpp"

namespace nerido::retrieval::lm {

inline constexpr std::size_t max_parameters = 2;
using Vector = std::array<double, max_parameters>;
using Residuals = std::array<double, max_channels>;
// By columns: jacobian[j][i] is the derivative of residual i in parameter j.
using Jacobian = std::array<Residuals, max_parameters>;

// How the iteration stands after a step.
enum class Status {
  running,
  converged,             // one of MINPACK's tests on the step or the reduction
  too_many_evaluations,  // maxfev reached first
};

struct Settings {
  double step_tolerance;         // xtol
  double reduction_tolerance;    // ftol
  std::int64_t max_evaluations;  // maxfev: evaluations of the residuals, more than 0
};

// The Euclidean norm of the first n values, scaled by the largest (Eigen's
// stableNorm of a short vector).
[[nodiscard]] double stable_norm(const double* v, std::size_t n) noexcept;

// The Euclidean norm of the first n values by Blue's algorithm (Eigen's
// blueNorm): sums of squares in three ranges of magnitude.
[[nodiscard]] double blue_norm(const double* v, std::size_t n) noexcept;

// The QR factorisation with column pivoting of an m x n Jacobian (n <= 2):
// R above the diagonal and on it, the Householder vectors below it.
struct Factorization {
  Jacobian qr;                                          // by columns, as the Jacobian
  Vector tau;                                           // the Householder coefficients
  std::array<std::size_t, max_parameters> permutation;  // column j of R is column permutation[j]
  std::size_t rank;                                     // pivots above Eigen's threshold
  std::size_t n;
  std::size_t m;

  [[nodiscard]] double r(std::size_t i, std::size_t j) const noexcept { return qr[j][i]; }
};
[[nodiscard]] Factorization factorize(const Jacobian& jacobian, std::size_t n,
                                      std::size_t m) noexcept;

// Q^T v in place.
void apply_q_transpose(const Factorization& f, Residuals& v) noexcept;

// The Levenberg-Marquardt parameter `par` and the step `x` (MINPACK's lmpar)
// for the trust-region radius delta.
void lm_parameter(const Factorization& f, const Vector& diag, const Vector& qtb, double delta,
                  double& par, Vector& x) noexcept;

// The iteration on a problem with
//   void residuals(const Vector& x, Residuals& f) const;
//   void jacobian(const Vector& x, Jacobian& j) const;
template <typename Problem>
class Minimizer {
 public:
  Minimizer(const Problem& problem, std::size_t parameters, std::size_t residuals,
            const Settings& settings) noexcept
      : problem_(problem), n_(parameters), m_(residuals), settings_(settings) {}

  // Evaluates the residuals at the start x.
  void start(const Vector& x) noexcept {
    evaluations_ = 1;
    problem_.residuals(x, fvec_);
    fnorm_ = stable_norm(fvec_.data(), m_);
    par_ = 0.0;
    iter_ = 1;
  }

  // One iteration (one Jacobian), with as many trial steps as it takes to
  // reduce the sum of squares; x moves to the accepted point.
  Status step(Vector& x) noexcept;

  // The residuals at x.
  [[nodiscard]] const Residuals& residuals() const noexcept { return fvec_; }

 private:
  static constexpr double factor = 100.0;  // the initial step bound, times |diag x|

  [[nodiscard]] double scaled_norm(const Vector& v) const noexcept {
    Vector s{};
    for (std::size_t j = 0; j < n_; ++j) {
      s[j] = diag_[j] * v[j];
    }
    return stable_norm(s.data(), n_);
  }

  const Problem& problem_;
  std::size_t n_;
  std::size_t m_;
  Settings settings_;
  Residuals fvec_{};
  Vector diag_{};
  double fnorm_ = 0.0;
  double par_ = 0.0;
  double delta_ = 0.0;
  double xnorm_ = 0.0;
  std::int64_t evaluations_ = 0;
  int iter_ = 0;
};

template <typename Problem>
Status Minimizer<Problem>::step(Vector& x) noexcept {
  constexpr double epsilon = std::numeric_limits<double>::epsilon();
  Jacobian jacobian{};
  problem_.jacobian(x, jacobian);
  Vector column_norms{};
  for (std::size_t j = 0; j < n_; ++j) {
    column_norms[j] = blue_norm(jacobian[j].data(), m_);
  }
  const Factorization f = factorize(jacobian, n_, m_);

  // On the first iteration the scaling is the columns' norms, and the step
  // bound follows from the scaled start.
  if (iter_ == 1) {
    for (std::size_t j = 0; j < n_; ++j) {
      diag_[j] = column_norms[j] == 0.0 ? 1.0 : column_norms[j];
    }
    xnorm_ = scaled_norm(x);
    delta_ = factor * xnorm_;
    if (delta_ == 0.0) {
      delta_ = factor;
    }
  }

  Residuals qt_f = fvec_;
  apply_q_transpose(f, qt_f);
  Vector qtf{};
  std::copy_n(qt_f.begin(), n_, qtf.begin());

  // The norm of the scaled gradient; 0 means a stationary point.
  double gnorm = 0.0;
  if (fnorm_ != 0.0) {
    for (std::size_t j = 0; j < n_; ++j) {
      const double norm = column_norms[f.permutation[j]];
      if (norm != 0.0) {
        double dot = 0.0;
        for (std::size_t i = 0; i <= j; ++i) {
          dot += f.r(i, j) * (qtf[i] / fnorm_);
        }
        gnorm = std::max(gnorm, std::abs(dot / norm));
      }
    }
  }
  if (gnorm <= 0.0) {  // MINPACK's gtol, 0 here
    return Status::converged;
  }
  for (std::size_t j = 0; j < n_; ++j) {
    diag_[j] = std::max(diag_[j], column_norms[j]);
  }

  double ratio = 0.0;
  do {
    Vector p{};
    lm_parameter(f, diag_, qtf, delta_, par_, p);
    Vector trial{};
    for (std::size_t j = 0; j < n_; ++j) {
      p[j] = -p[j];
      trial[j] = x[j] + p[j];
    }
    const double pnorm = scaled_norm(p);
    if (iter_ == 1) {
      delta_ = std::min(delta_, pnorm);
    }
    Residuals trial_f{};
    problem_.residuals(trial, trial_f);
    ++evaluations_;
    const double fnorm1 = stable_norm(trial_f.data(), m_);

    // The scaled actual and predicted reductions, the directional derivative.
    double actred = -1.0;
    if (0.1 * fnorm1 < fnorm_) {
      const double q = fnorm1 / fnorm_;
      actred = 1.0 - q * q;
    }
    Vector rp{};
    for (std::size_t i = 0; i < n_; ++i) {
      double sum = 0.0;
      for (std::size_t j = i; j < n_; ++j) {
        sum += f.r(i, j) * p[f.permutation[j]];
      }
      rp[i] = sum;
    }
    const double q1 = stable_norm(rp.data(), n_) / fnorm_;
    const double temp1 = q1 * q1;
    const double q2 = dmath::sqrt(par_) * pnorm / fnorm_;
    const double temp2 = q2 * q2;
    const double prered = temp1 + temp2 / 0.5;
    const double dirder = -(temp1 + temp2);
    ratio = prered != 0.0 ? actred / prered : 0.0;

    // The step bound.
    if (ratio <= 0.25) {
      double temp = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
      if (0.1 * fnorm1 >= fnorm_ || temp < 0.1) {
        temp = 0.1;
      }
      delta_ = temp * std::min(delta_, pnorm / 0.1);
      par_ /= temp;
    } else if (!(par_ != 0.0 && ratio < 0.75)) {
      delta_ = pnorm / 0.5;
      par_ = 0.5 * par_;
    }

    if (ratio >= 1e-4) {  // a successful step
      x = trial;
      xnorm_ = scaled_norm(x);
      fvec_ = trial_f;
      fnorm_ = fnorm1;
      ++iter_;
    }

    const bool reduced = std::abs(actred) <= settings_.reduction_tolerance &&
                         prered <= settings_.reduction_tolerance && 0.5 * ratio <= 1.0;
    if (reduced || delta_ <= settings_.step_tolerance * xnorm_) {
      return Status::converged;
    }
    if (evaluations_ >= settings_.max_evaluations) {
      return Status::too_many_evaluations;
    }
    // Tolerances below what double precision can resolve.
    if ((std::abs(actred) <= epsilon && prered <= epsilon && 0.5 * ratio <= 1.0) ||
        delta_ <= epsilon * xnorm_ || gnorm <= epsilon) {
      return Status::converged;
    }
  } while (ratio < 1e-4);
  return Status::running;
}

}  // namespace nerido::retrieval::lm
