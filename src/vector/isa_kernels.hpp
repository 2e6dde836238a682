// The kernels of the instruction sets, each in its own file compiled for
// its own instruction set; called only after the dispatcher has checked
// the processor (vector/dispatch.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nerido::simd::kernel {

// One bit per failed test of a scene (Rounding values as bit numbers).
using Verdict = std::uint32_t;

// The fields of `lanes` scenes, one array each.
struct Fields {
  const float* sst_c;
  const float* altitude_m;
  const float* air_c;
  const float* wind_ms;
  const float* rain_mmh;
  const float* salinity_psu;
};

// Scenes per step, and one step: tb[c * lanes + i] receives channel c of
// scene i, verdict[i] the bits of its failed tests (0: the scalar bits).
std::size_t lanes_avx512() noexcept;
void run_avx512(const Fields& fields, float* tb, Verdict* verdict) noexcept;
std::size_t lanes_avx2() noexcept;
void run_avx2(const Fields& fields, float* tb, Verdict* verdict) noexcept;

}  // namespace nerido::simd::kernel
