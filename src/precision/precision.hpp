// Precision rules shared by the model libraries.
//
// Every stored value, argument and coefficient of the models is a float;
// arithmetic between them is carried out in double. The only places where a
// double is rounded back to float are the ones the models were fitted with,
// and each of them goes through `to_single`, so that one search lists them all.
#pragma once

#include <cmath>

namespace nerido {

// Rounds a double to the nearest float. The single rounding point of the models.
[[nodiscard]] constexpr float to_single(double value) noexcept { return static_cast<float>(value); }

// The double holding exactly the single-precision value of a coefficient.
// Coefficients are written as float literals (`coef(88.045f)`) so that the
// double arithmetic sees the value the model was fitted with, not the decimal.
// Evaluated at compile time only: no object file holds a copy of it, so the
// vector kernels' files, compiled for their own instruction sets, share no
// function with the rest of the library (src/vector/kernel.hpp).
[[nodiscard]] consteval double coef(float value) noexcept { return static_cast<double>(value); }

// Widens a stored float to double before any arithmetic on it (exact).
[[nodiscard]] constexpr double wide(float value) noexcept { return static_cast<double>(value); }

// Elementary functions in double precision only. The float overloads are
// deleted: with <cmath>, std::exp(float) quietly calls expf, which differs
// from exp in the last bit for a measurable share of arguments.
//
// The build compiles these calls with -fno-builtin-<name>, so that the
// compiler neither folds pow(x, 2.0) into x * x nor merges sin and cos into
// sincos (only dmath::sincos does that, where it is checked): every call
// reaches the C library, in Debug and Release alike.
namespace dmath {

inline double exp(double x) noexcept { return std::exp(x); }
inline double cos(double x) noexcept { return std::cos(x); }
inline double sin(double x) noexcept { return std::sin(x); }
inline double sqrt(double x) noexcept { return std::sqrt(x); }
inline double log(double x) noexcept { return std::log(x); }
inline double atan2(double y, double x) noexcept { return std::atan2(y, x); }
inline double pow(double base, double exponent) noexcept { return std::pow(base, exponent); }
// sin(x) and cos(x) from one call of the C library's sincos, in about the
// time of one of them. glibc's sincos gives the bits of its sin and cos for
// every argument the reflectivities pass (tests/sincos_check_main.cpp tries
// them all).
inline void sincos(double x, double& sine, double& cosine) noexcept { ::sincos(x, &sine, &cosine); }

double exp(float) = delete;
double cos(float) = delete;
double sin(float) = delete;
double sqrt(float) = delete;
double log(float) = delete;
double atan2(float, float) = delete;
double atan2(float, double) = delete;
double atan2(double, float) = delete;
double pow(float, float) = delete;
double pow(float, double) = delete;
double pow(double, float) = delete;
void sincos(float, double&, double&) = delete;

}  // namespace dmath
}  // namespace nerido
