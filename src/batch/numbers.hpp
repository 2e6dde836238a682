// Numbers as text, both ways: a CSV cell read as the single-precision value
// its decimal digits name, and a float written back as text.
#pragma once

#include <string>
#include <string_view>

namespace nerido::batch {

enum class NumberRead {
  ok,
  empty,         // nothing but blanks
  not_a_number,  // anything else that is not a whole decimal number
};

// Reads a decimal number ("28", "-1.5", "+3e2", " 7 ", "nan", "inf") as the
// float nearest to it. Blanks (spaces, tabs) around it are allowed; a value
// beyond the float range reads as an infinity, one below the smallest
// subnormal as a zero of its sign. `value` is set only when the answer is ok.
NumberRead read_number(std::string_view text, float& value) noexcept;

// Why a cell is refused as a number: "wind_ms = '28 C' is not a number",
// the text quoted, cut short when long, control characters shown as '?', so
// that the message stays one line.
std::string not_a_number(std::string_view column, std::string_view text);

// How numbers are written.
struct NumberFormat {
  // Fixed decimals after the point, or -1 for the shortest text that reads
  // back to the same float ("118.98045", "5", "1e-05").
  int decimals = -1;
};

// Most fixed decimals --decimals accepts.
inline constexpr int max_decimals = 12;

// Appends `value` as text in `format`.
void append_number(std::string& out, float value, NumberFormat format);

}  // namespace nerido::batch
