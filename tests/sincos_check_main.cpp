// Checks, for every argument the reflectivities can pass, that the C
// library's sincos gives the bits of its sin and its cos. The argument is
// half the phase of eps - sin^2(theta): a float (atan2's result rounded to
// single precision, so at most pi rounded up, 0x1.921fb6p+1, in magnitude,
// or NaN) widened and halved, which is exact. Every such float is tried,
// both signs, every NaN among them. Run it after a change of C library
// (about two minutes on one core; the argument spreads it over threads):
//   build/tests/nerido_sincos_check [threads]
// It prints the arguments tried and the differences found, and fails if
// there is one.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "precision/precision.hpp"

namespace {

using nerido::coef;
using nerido::wide;

// Bits of the largest phase magnitude: pi rounded to single precision.
constexpr std::uint32_t largest_phase_bits = 0x40490fdbU;
// Bits of the smallest and largest positive NaN; a sign bit makes the negatives.
constexpr std::uint32_t first_nan_bits = 0x7f800001U;
constexpr std::uint32_t last_nan_bits = 0x7fffffffU;
constexpr std::uint32_t sign_bit = 0x80000000U;

struct Tally {
  std::uint64_t tried = 0;
  std::uint64_t differences = 0;
};

// Compares the two ways for the phase with these bits; prints the first few differences.
void compare(std::uint32_t phase_bits, Tally& tally, std::atomic<int>& printed) {
  const double x = wide(std::bit_cast<float>(phase_bits)) * coef(0.5f);
  double sine = 0.0;
  double cosine = 0.0;
  nerido::dmath::sincos(x, sine, cosine);
  const double alone_sine = nerido::dmath::sin(x);
  const double alone_cosine = nerido::dmath::cos(x);
  ++tally.tried;
  if (std::bit_cast<std::uint64_t>(sine) != std::bit_cast<std::uint64_t>(alone_sine) ||
      std::bit_cast<std::uint64_t>(cosine) != std::bit_cast<std::uint64_t>(alone_cosine)) {
    ++tally.differences;
    if (printed++ < 20) {
      std::printf("x = %a: sincos %a %a, sin and cos %a %a\n", x, sine, cosine, alone_sine,
                  alone_cosine);
    }
  }
}

// The phases of one share of the work: every `stride`-th float of each range.
Tally check_share(std::uint32_t share, std::uint32_t stride, std::atomic<int>& printed) {
  Tally tally;
  for (const std::uint32_t sign : {0U, sign_bit}) {
    for (std::uint64_t b = share; b <= largest_phase_bits; b += stride) {
      compare(sign | static_cast<std::uint32_t>(b), tally, printed);
    }
    for (std::uint64_t b = first_nan_bits + share; b <= last_nan_bits; b += stride) {
      compare(sign | static_cast<std::uint32_t>(b), tally, printed);
    }
  }
  return tally;
}

}  // namespace

int main(int argc, char** argv) {
  const int asked = argc > 1 ? std::atoi(argv[1]) : 1;
  const auto threads = static_cast<std::uint32_t>(std::clamp(asked, 1, 64));
  std::atomic<int> printed{0};
  std::vector<Tally> tallies(threads);
  std::vector<std::thread> workers;
  for (std::uint32_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] { tallies[t] = check_share(t, threads, printed); });
  }
  for (std::thread& w : workers) {
    w.join();
  }
  Tally total;
  for (const Tally& t : tallies) {
    total.tried += t.tried;
    total.differences += t.differences;
  }
  std::printf("sincos against sin and cos: %llu arguments tried, %llu differ\n",
              static_cast<unsigned long long>(total.tried),
              static_cast<unsigned long long>(total.differences));
  return total.differences == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
