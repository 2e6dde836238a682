// The kernel on AVX-512F: eight scenes per step, with SLEEF 3.5's
// Sleef_*d8_u10avx512f functions (max error 1.0 ulp each). This file alone
// is compiled with -mavx512f; it runs only where the dispatcher found the
// instruction set (vector/dispatch.cpp).
#include <immintrin.h>
#include <sleef.h>

#include <cstdint>

#include "vector/isa_kernels.hpp"
#include "vector/kernel.hpp"

namespace nerido::simd::kernel {
namespace {

struct Avx512 {
  static constexpr std::size_t lanes = 8;
  using D = double __attribute__((vector_size(64)));
  using F = float __attribute__((vector_size(32)));
  using M = std::int64_t __attribute__((vector_size(64)));
  static D exp(D x) noexcept { return Sleef_expd8_u10avx512f(x); }
  static D log(D x) noexcept { return Sleef_logd8_u10avx512f(x); }
  static D atan2(D y, D x) noexcept { return Sleef_atan2d8_u10avx512f(y, x); }
  // All eight lanes; the masked form because g++ 12 warns that the plain
  // one's undefined pass-through lanes are used uninitialized.
  static D sqrt(D x) noexcept { return _mm512_mask_sqrt_pd(x, all_lanes, x); }
  static constexpr __mmask8 all_lanes = 0xFF;
  static void sincos(D x, D& sine, D& cosine) noexcept {
    const Sleef___m512d_2 both = Sleef_sincosd8_u10avx512f(x);
    sine = both.x;
    cosine = both.y;
  }
};

}  // namespace

std::size_t lanes_avx512() noexcept { return Avx512::lanes; }

void run_avx512(const Fields& fields, float* tb, Verdict* verdict) noexcept {
  Kernel<Avx512>::run(fields.sst_c, fields.altitude_m, fields.air_c, fields.wind_ms,
                      fields.rain_mmh, fields.salinity_psu, tb, verdict);
}

}  // namespace nerido::simd::kernel
