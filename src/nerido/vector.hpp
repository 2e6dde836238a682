// Many scenes at once: the brightness temperatures of a span of scenes,
// several scenes per instruction where the processor allows (AVX-512 or
// AVX2 with SLEEF's vector functions), with exactly the bits of the scalar
// brightness_temperatures(scene) for every scene, out-of-range and NaN
// scenes included. Library nerido_vector (needs SLEEF, Debian package
// libsleef-dev); the calculator does not link it.
//
// How the bits are kept: wherever the model rounds a vector function's
// value to single precision, the value is tested against the nearest point
// where the rounding could go the other way; a scene within the two
// libraries' documented error bounds of one is recomputed on the scalar
// path (src/vector/kernel.hpp gives the argument, rounding by rounding).
//
// The path is chosen once per process: NERIDO_SIMD=scalar, avx2 or avx512
// forces one; unset or empty, the widest the processor supports. An unknown
// value, or one the processor does not support, makes every call throw
// std::invalid_argument naming the variable, its value and the paths this
// processor can run (a forced path never silently becomes another).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "nerido/channels.hpp"
#include "nerido/nerido.hpp"

namespace nerido {
namespace simd {

// The ways of computing a span of scenes.
enum class Path { scalar, avx2, avx512 };
inline constexpr std::size_t path_count = 3;  // the number of paths

// "scalar", "avx2", "avx512": the names NERIDO_SIMD takes.
[[nodiscard]] std::string_view path_name(Path path) noexcept;

// True when this processor (and this build) can run the path.
[[nodiscard]] bool path_supported(Path path) noexcept;

// The path of the span functions without an explicit one: NERIDO_SIMD, or
// the widest supported; decided at the first call. Throws
// std::invalid_argument as the head of this file says.
[[nodiscard]] Path active_path();

// The tested roundings of a vector function's value, in the model's order
// (src/vector/kernel.hpp), and the one test that is not a rounding.
enum class Rounding : std::uint8_t {
  conductivity,        // single(exp(phi)), the conductivity's temperature factor
  phase,               // single(atan2(eps'', g)), per channel
  half_phase_cos,      // single(cos(phase / 2)), per channel
  half_phase_sin,      // single(sin(phase / 2)), per channel
  altitude,            // q = single(exp(-h / 3500 m))
  rain_factor,         // r1 = single(pow(R, 0.06))
  rain_power,          // r2 = single(pow(R, 0.87))
  air_transmissivity,  // tau_A = single(pow(tau_Z, 1 - q)), per channel
  frequency_factor,    // P = single(pow(f, n)), per channel
  rain_up,             // tau_R = single(exp(-kappa h_R)), per channel
  rain_down,           // tau_D = single(exp(-kappa 4000 m)), per channel
  vertical_check,      // the vertical reflectivity might not be finite
};
inline constexpr std::size_t rounding_count = 12;  // the number of Rounding values

// The enumerator's name, e.g. "rain_up".
[[nodiscard]] std::string_view rounding_name(Rounding rounding) noexcept;

// What a span computation did, added up over calls (for the check tool).
struct Tally {
  std::uint64_t scenes = 0;        // scenes computed
  std::uint64_t out_of_range = 0;  // outside the fields' ranges: scalar path
  std::uint64_t fell_back = 0;     // in range, recomputed on the scalar path after a test

  // Scenes whose test failed at that rounding (a scene may count under several).
  std::array<std::uint64_t, rounding_count> by_rounding{};
};

// brightness_temperatures(scenes[i]) into tb[i] for every i, on `path`
// (which must be supported, else std::invalid_argument), adding to *tally
// when given. tb must be as long as scenes (std::invalid_argument).
void brightness_temperatures(std::span<const Scene> scenes,
                             std::span<std::array<float, channel_count>> tb, Path path,
                             Tally* tally = nullptr);

}  // namespace simd

// brightness_temperatures(scenes[i]) into tb[i] for every scene, bit for bit,
// on simd::active_path(). Unchecked, as the one-scene function: an
// out-of-range scene gets what the formulas give (NaN for a negative rain
// rate). tb must be as long as scenes (std::invalid_argument).
void brightness_temperatures(std::span<const Scene> scenes,
                             std::span<std::array<float, channel_count>> tb);

}  // namespace nerido
