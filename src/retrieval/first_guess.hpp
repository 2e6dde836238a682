// First guess of a fit: the profile of the misfit (chi-square of the smooth
// twin) over a fixed ladder of 16 rain rates, each with its best wind. At a
// fixed rain rate every channel's brightness is affine in its surface
// emissivity, so the misfit is a quadratic form in the wind law's two
// polynomials and the best wind costs a few Gauss-Newton steps and no
// elementary function; the ladder's attenuations are computed once for the
// process, leaving one exponential a channel and rung. The ladder spans 0 to
// 150 mm/h. Where the best wind of two neighbouring rungs is high, wind and
// rain warm the spectrum almost alike and the profile can dip twice within one
// step of the ladder: there the step is cut into finer rungs (first_guess.cpp
// says where and how fine). So the fit starts in the basin of the global
// minimum wherever that is, and scenes of lower wind cost no more than the 16
// rungs.
#pragma once

#include "retrieval/fit_problem.hpp"

namespace nerido::retrieval {

// The rain rates of the ladder (mm/h), increasing from 0 to 150; the second
// is a small step used to tell on which side of 0 the data want the rain.
// The finer rungs of the steps cut at high wind are not among them.
[[nodiscard]] std::span<const double> rain_ladder_mmh() noexcept;

// A start of the fit at a local minimum of the profile.
struct Start {
  double wind_ms;   // 0 to 150
  double rain_mmh;  // 0 to 150
  // The minimum is at rain 0: the misfit grows from there to the ladder's
  // small step, so the data want no rain (or less than none).
  bool rain_at_zero;
};

// The local minima of the profile, lowest first: where the fit starts. A
// spectrum that two wind-rain pairs explain about equally (at very high wind
// and rain) has two. On a profile with steps cut, a minimum far above the
// lowest is no start.
inline constexpr std::size_t max_starts = 3;
struct FirstGuess {
  std::array<Start, max_starts> starts;
  std::size_t count;  // 1 to max_starts
};
[[nodiscard]] FirstGuess first_guess(const FitProblem& problem) noexcept;

}  // namespace nerido::retrieval
