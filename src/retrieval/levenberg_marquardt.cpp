#include "retrieval/levenberg_marquardt.hpp"

namespace nerido::retrieval::lm {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
// The smallest normal double: MINPACK's dwarf, and the Householder
// vector's threshold.
constexpr double dwarf = std::numeric_limits<double>::min();

// Blue's ranges for IEEE double: squares of values below small_limit or
// above big_limit / n are summed scaled by small_scale or big_scale.
constexpr double small_limit = 0x1p-511;
constexpr double big_limit = 0x1p486;
constexpr double small_scale = 0x1p511;
constexpr double big_scale = 0x1p-538;
// The relative size below which the small sum is neglected (sqrt(epsilon)).
constexpr double neglected = 0x1p-26;

double sum_of_squares(const double* v, std::size_t from, std::size_t to) noexcept {
  double sum = 0.0;
  for (std::size_t i = from; i < to; ++i) {
    sum += v[i] * v[i];
  }
  return sum;
}

// Givens rotation (c, s) that zeroes q against p (Eigen's makeGivens).
struct Givens {
  double c;
  double s;
};

Givens make_givens(double p, double q) noexcept {
  if (q == 0.0) {
    return {p < 0.0 ? -1.0 : 1.0, 0.0};
  }
  if (p == 0.0) {
    return {0.0, q < 0.0 ? 1.0 : -1.0};
  }
  if (std::abs(p) > std::abs(q)) {
    const double t = q / p;
    double u = dmath::sqrt(1.0 + t * t);
    if (p < 0.0) {
      u = -u;
    }
    const double c = 1.0 / u;
    return {c, -t * c};
  }
  const double t = p / q;
  double u = dmath::sqrt(1.0 + t * t);
  if (q < 0.0) {
    u = -u;
  }
  const double s = -1.0 / u;
  return {-t * s, s};
}

// MINPACK's qrsolv: the least-squares solution x of [R; D] x = [Q^T b; 0]
// with D = diag(d) permuted as R's columns. s holds R above its diagonal
// and receives the triangle of the combined factor below it; sdiag its
// diagonal.
void qr_solve(std::array<Vector, max_parameters>& s, const Factorization& f, const Vector& d,
              const Vector& qtb, Vector& x, Vector& sdiag) noexcept {
  const std::size_t n = f.n;
  // s[i][j] is row i, column j.
  Vector saved_diagonal{};
  for (std::size_t j = 0; j < n; ++j) {
    saved_diagonal[j] = s[j][j];
  }
  Vector wa = qtb;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j + 1; i < n; ++i) {
      s[i][j] = s[j][i];
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double dj = d[f.permutation[j]];
    if (dj == 0.0) {
      break;
    }
    std::fill(sdiag.begin() + static_cast<std::ptrdiff_t>(j), sdiag.end(), 0.0);
    sdiag[j] = dj;
    double qtbpj = 0.0;
    for (std::size_t k = j; k < n; ++k) {
      const Givens g = make_givens(-s[k][k], sdiag[k]);
      s[k][k] = g.c * s[k][k] + g.s * sdiag[k];
      const double temp = g.c * wa[k] + g.s * qtbpj;
      qtbpj = -g.s * wa[k] + g.c * qtbpj;
      wa[k] = temp;
      for (std::size_t i = k + 1; i < n; ++i) {
        const double t = g.c * s[i][k] + g.s * sdiag[i];
        sdiag[i] = -g.s * s[i][k] + g.c * sdiag[i];
        s[i][k] = t;
      }
    }
  }
  // Back substitution in the combined factor (its transpose, below the
  // diagonal of s); a singular one gives a least-squares solution.
  std::size_t nsing = 0;
  while (nsing < n && sdiag[nsing] != 0.0) {
    ++nsing;
  }
  for (std::size_t j = nsing; j < n; ++j) {
    wa[j] = 0.0;
  }
  for (std::size_t i = nsing; i-- > 0;) {
    wa[i] /= s[i][i];
    for (std::size_t k = 0; k < i; ++k) {
      wa[k] -= wa[i] * s[i][k];
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    sdiag[j] = s[j][j];
    s[j][j] = saved_diagonal[j];
  }
  for (std::size_t j = 0; j < n; ++j) {
    x[f.permutation[j]] = wa[j];
  }
}

}  // namespace

double stable_norm(const double* v, std::size_t n) noexcept {
  if (n == 1) {
    return std::abs(v[0]);
  }
  double scale = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    scale = std::max(scale, std::abs(v[i]));
  }
  if (std::isnan(scale) || std::isinf(scale)) {
    return scale;
  }
  if (!(scale > 0.0)) {
    return 0.0;
  }
  double inverse = 1.0 / scale;
  if (inverse > std::numeric_limits<double>::max()) {  // subnormal values
    inverse = std::numeric_limits<double>::max();
    scale = 1.0 / inverse;
  }
  double ssq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double scaled = v[i] * inverse;
    ssq += scaled * scaled;
  }
  return scale * dmath::sqrt(ssq);
}

double blue_norm(const double* v, std::size_t n) noexcept {
  const double big = big_limit / static_cast<double>(n);
  double small_sum = 0.0;
  double mid_sum = 0.0;
  double big_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::abs(v[i]);
    if (a > big) {
      big_sum += (a * big_scale) * (a * big_scale);
    } else if (a < small_limit) {
      small_sum += (a * small_scale) * (a * small_scale);
    } else {
      mid_sum += a * a;
    }
  }
  if (std::isnan(mid_sum)) {
    return mid_sum;
  }
  double high = 0.0;
  double low = 0.0;
  if (big_sum > 0.0) {
    big_sum = dmath::sqrt(big_sum);
    if (big_sum > std::numeric_limits<double>::max()) {
      return big_sum;
    }
    if (!(mid_sum > 0.0)) {
      return big_sum / big_scale;
    }
    high = big_sum / big_scale;
    low = dmath::sqrt(mid_sum);
  } else if (small_sum > 0.0) {
    if (!(mid_sum > 0.0)) {
      return dmath::sqrt(small_sum) / small_scale;
    }
    high = dmath::sqrt(mid_sum);
    low = dmath::sqrt(small_sum) / small_scale;
  } else {
    return dmath::sqrt(mid_sum);
  }
  const double smaller = std::min(high, low);
  const double larger = std::max(high, low);
  if (smaller <= larger * neglected) {
    return larger;
  }
  const double q = smaller / larger;
  return larger * dmath::sqrt(1.0 + q * q);
}

Factorization factorize(const Jacobian& jacobian, std::size_t n, std::size_t m) noexcept {
  Factorization f{jacobian, {}, {0, 1}, 0, n, m};
  Vector updated{};
  Vector direct{};
  double largest = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    direct[j] = dmath::sqrt(sum_of_squares(f.qr[j].data(), 0, m));
    updated[j] = direct[j];
    largest = j == 0 ? updated[j] : std::max(largest, updated[j]);
  }
  const double scaled_largest = largest * epsilon;
  const double threshold_helper = scaled_largest * scaled_largest / static_cast<double>(m);
  const double downdate_threshold = dmath::sqrt(epsilon);
  std::size_t nonzero_pivots = n;
  double max_pivot = 0.0;

  for (std::size_t k = 0; k < n; ++k) {
    std::size_t biggest = k;
    for (std::size_t j = k + 1; j < n; ++j) {
      if (updated[j] > updated[biggest]) {
        biggest = j;
      }
    }
    if (nonzero_pivots == n &&
        updated[biggest] * updated[biggest] < threshold_helper * static_cast<double>(m - k)) {
      nonzero_pivots = k;
    }
    if (biggest != k) {
      std::swap(f.qr[k], f.qr[biggest]);
      std::swap(updated[k], updated[biggest]);
      std::swap(direct[k], direct[biggest]);
      std::swap(f.permutation[k], f.permutation[biggest]);
    }

    // The Householder reflection of column k below row k.
    Residuals& column = f.qr[k];
    const double tail = sum_of_squares(column.data(), k + 1, m);
    const double c0 = column[k];
    double beta = c0;
    if (tail <= dwarf) {
      f.tau[k] = 0.0;
      std::fill(column.begin() + static_cast<std::ptrdiff_t>(k + 1), column.end(), 0.0);
    } else {
      beta = dmath::sqrt(c0 * c0 + tail);
      if (c0 >= 0.0) {
        beta = -beta;
      }
      const double divisor = c0 - beta;
      for (std::size_t i = k + 1; i < m; ++i) {
        column[i] /= divisor;
      }
      f.tau[k] = (beta - c0) / beta;
    }
    column[k] = beta;
    max_pivot = std::max(max_pivot, std::abs(beta));

    for (std::size_t j = k + 1; j < n; ++j) {
      Residuals& other = f.qr[j];
      const double tau = f.tau[k];
      if (tau != 0.0) {
        double tmp = 0.0;
        for (std::size_t i = k + 1; i < m; ++i) {
          tmp += column[i] * other[i];
        }
        tmp += other[k];
        other[k] -= tau * tmp;
        for (std::size_t i = k + 1; i < m; ++i) {
          other[i] -= tau * column[i] * tmp;
        }
      }
      // The norm of what is left of the column, updated (LAPACK's xGEQPF)
      // or computed again when the update has lost its accuracy.
      if (updated[j] != 0.0) {
        double t = std::abs(other[k]) / updated[j];
        t = (1.0 + t) * (1.0 - t);
        t = t < 0.0 ? 0.0 : t;
        const double ratio = updated[j] / direct[j];
        if (t * (ratio * ratio) <= downdate_threshold) {
          direct[j] = dmath::sqrt(sum_of_squares(other.data(), k + 1, m));
          updated[j] = direct[j];
        } else {
          updated[j] *= dmath::sqrt(t);
        }
      }
    }
  }
  const double threshold = max_pivot * (epsilon * static_cast<double>(n));
  for (std::size_t i = 0; i < nonzero_pivots; ++i) {
    if (std::abs(f.r(i, i)) > threshold) {
      ++f.rank;
    }
  }
  return f;
}

void apply_q_transpose(const Factorization& f, Residuals& v) noexcept {
  for (std::size_t k = 0; k < f.n; ++k) {
    const double tau = f.tau[k];
    if (tau == 0.0) {
      continue;
    }
    const Residuals& essential = f.qr[k];
    double tmp = 0.0;
    for (std::size_t i = k + 1; i < f.m; ++i) {
      tmp += essential[i] * v[i];
    }
    tmp += v[k];
    v[k] -= tau * tmp;
    for (std::size_t i = k + 1; i < f.m; ++i) {
      v[i] -= tau * essential[i] * tmp;
    }
  }
}

void lm_parameter(const Factorization& f, const Vector& diag, const Vector& qtb, double delta,
                  double& par, Vector& x) noexcept {
  const std::size_t n = f.n;
  const std::array<std::size_t, max_parameters>& perm = f.permutation;

  // The Gauss-Newton step (least squares when R is singular).
  Vector wa1 = qtb;
  for (std::size_t j = f.rank; j < n; ++j) {
    wa1[j] = 0.0;
  }
  for (std::size_t i = f.rank; i-- > 0;) {
    wa1[i] /= f.r(i, i);
    for (std::size_t k = 0; k < i; ++k) {
      wa1[k] -= wa1[i] * f.r(k, i);
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    x[perm[j]] = wa1[j];
  }
  Vector wa2{};
  for (std::size_t j = 0; j < n; ++j) {
    wa2[j] = diag[j] * x[j];
  }
  double dxnorm = blue_norm(wa2.data(), n);
  double fp = dxnorm - delta;
  if (fp <= 0.1 * delta) {
    par = 0.0;
    return;
  }

  // Lower bound parl from the Newton step (0 when R is singular), upper
  // bound paru from the gradient.
  double parl = 0.0;
  if (f.rank == n) {
    for (std::size_t i = 0; i < n; ++i) {
      wa1[i] = diag[perm[i]] * wa2[perm[i]] / dxnorm;
    }
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t k = 0; k < i; ++k) {
        wa1[i] -= f.r(k, i) * wa1[k];
      }
      wa1[i] /= f.r(i, i);
    }
    const double temp = blue_norm(wa1.data(), n);
    parl = fp / delta / temp / temp;
  }
  for (std::size_t j = 0; j < n; ++j) {
    double dot = 0.0;
    for (std::size_t i = 0; i <= j; ++i) {
      dot += f.r(i, j) * qtb[i];
    }
    wa1[j] = dot / diag[perm[j]];
  }
  const double gnorm = stable_norm(wa1.data(), n);
  double paru = gnorm / delta;
  if (paru == 0.0) {
    paru = dwarf / std::min(delta, 0.1);
  }
  par = std::max(par, parl);
  par = std::min(par, paru);
  if (par == 0.0) {
    par = gnorm / dxnorm;
  }

  std::array<Vector, max_parameters> s{};
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      s[i][j] = f.r(i, j);
    }
  }
  for (int iteration = 1;; ++iteration) {
    if (par == 0.0) {
      par = std::max(dwarf, 0.001 * paru);
    }
    const double root = dmath::sqrt(par);
    for (std::size_t j = 0; j < n; ++j) {
      wa1[j] = root * diag[j];
    }
    Vector sdiag{};
    qr_solve(s, f, wa1, qtb, x, sdiag);
    for (std::size_t j = 0; j < n; ++j) {
      wa2[j] = diag[j] * x[j];
    }
    dxnorm = blue_norm(wa2.data(), n);
    const double previous = fp;
    fp = dxnorm - delta;
    // Close enough to the radius, or no progress to be had.
    if (std::abs(fp) <= 0.1 * delta || (parl == 0.0 && fp <= previous && previous < 0.0) ||
        iteration == 10) {
      break;
    }
    // Newton's correction of par.
    for (std::size_t i = 0; i < n; ++i) {
      wa1[i] = diag[perm[i]] * (wa2[perm[i]] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      wa1[j] /= sdiag[j];
      const double temp = wa1[j];
      for (std::size_t i = j + 1; i < n; ++i) {
        wa1[i] -= s[i][j] * temp;
      }
    }
    const double temp = blue_norm(wa1.data(), n);
    const double parc = fp / delta / temp / temp;
    if (fp > 0.0) {
      parl = std::max(parl, par);
    }
    if (fp < 0.0) {
      paru = std::min(paru, par);
    }
    par = std::max(parl, par + parc);
  }
}

}  // namespace nerido::retrieval::lm
