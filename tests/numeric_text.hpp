// Text forms of numbers for model tests: expected values are written as the
// decimal digits the reference tables print, compared as text, so a failure
// shows both numbers in full.
#pragma once

#include <cstdio>
#include <string>

namespace nerido::testing {

// `digits` significant figures, trailing zeros kept ("35.40", "7.409e-12").
inline std::string sig(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%#.*g", digits, value);
  return text;
}

// `decimals` digits after the point ("115.10").
inline std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Exact hexadecimal form, for bit-for-bit comparisons.
inline std::string hex(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%a", value);
  return text;
}

}  // namespace nerido::testing
