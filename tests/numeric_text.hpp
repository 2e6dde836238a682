// Text forms of numbers for model tests: expected values are written as the
// decimal digits the reference tables print, compared as text, so a failure
// shows both numbers in full.
#pragma once

#include <concepts>
#include <cstdio>
#include <string>

namespace nerido::testing {

// Each takes a float or a double; a float is widened exactly, so its text is
// that of the same value as a double.

// `digits` significant figures, trailing zeros kept ("35.40", "7.409e-12").
template <std::floating_point T>
std::string sig(T value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%#.*g", digits, static_cast<double>(value));
  return text;
}

// `decimals` digits after the point ("115.10").
template <std::floating_point T>
std::string fixed(T value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(value));
  return text;
}

// Exact hexadecimal form, for bit-for-bit comparisons.
template <std::floating_point T>
std::string hex(T value) {
  char text[64];
  std::snprintf(text, sizeof text, "%a", static_cast<double>(value));
  return text;
}

}  // namespace nerido::testing
