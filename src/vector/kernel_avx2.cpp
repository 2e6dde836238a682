// The kernel on AVX2: four scenes per step, with SLEEF 3.5's
// Sleef_*d4_u10avx2 functions (max error 1.0 ulp each). This file alone
// is compiled with -mavx2 (SLEEF's AVX2 functions
// also need FMA, which the dispatcher checks; the kernel's own arithmetic
// is never fused: -ffp-contract=off); it runs only where the dispatcher found the
// instruction set (vector/dispatch.cpp).
#include <immintrin.h>
#include <sleef.h>

#include <cstdint>

#include "vector/isa_kernels.hpp"
#include "vector/kernel.hpp"

namespace nerido::simd::kernel {
namespace {

struct Avx2 {
  static constexpr std::size_t lanes = 4;
  using D = double __attribute__((vector_size(32)));
  using F = float __attribute__((vector_size(16)));
  using M = std::int64_t __attribute__((vector_size(32)));
  static D exp(D x) noexcept { return Sleef_expd4_u10avx2(x); }
  static D log(D x) noexcept { return Sleef_logd4_u10avx2(x); }
  static D atan2(D y, D x) noexcept { return Sleef_atan2d4_u10avx2(y, x); }
  static D sqrt(D x) noexcept { return _mm256_sqrt_pd(x); }
  static void sincos(D x, D& sine, D& cosine) noexcept {
    const Sleef___m256d_2 both = Sleef_sincosd4_u10avx2(x);
    sine = both.x;
    cosine = both.y;
  }
};

}  // namespace

std::size_t lanes_avx2() noexcept { return Avx2::lanes; }

void run_avx2(const Fields& fields, float* tb, Verdict* verdict) noexcept {
  Kernel<Avx2>::run(fields.sst_c, fields.altitude_m, fields.air_c, fields.wind_ms, fields.rain_mmh,
                    fields.salinity_psu, tb, verdict);
}

}  // namespace nerido::simd::kernel
