// The operator's line: read whole from the input, classified and prepared
// for the value field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "dialogue/byte_streams.hpp"

namespace nerido::dialogue {

// Columns of the operator's line buffer: blank-filled, no terminating null.
inline constexpr std::size_t line_columns = 64;
using LineBuffer = std::array<char, line_columns>;

enum class LineRead {
  delivered,            // a line is in the buffer
  ended_while_filling,  // input over before any of a line arrived, or a read failed
  ended_before_start,   // the input had already ended when the read began
  stopped,              // a signal asked the program to stop
};

// Line status of cread.
inline constexpr std::int32_t value_line = 0;
inline constexpr std::int32_t blank_line = 1;
inline constexpr std::int32_t no_line = 2;    // begins with "NO", any case
inline constexpr std::int32_t exit_line = 3;  // begins with "EX", any case

// Reads one input line into `buffer` and sets `status`. The line fills the
// columns from the first on, blanks follow it; anything past the last column
// is skipped up to the line end. A carriage return directly before the line
// feed belongs to the line end. A last line without a line end is delivered
// like any other, and the next read reports ended_before_start.
//
// Letters a to z are upper-cased; a value line typed without a point gets
// one after its last non-blank character when it begins with something other
// than a letter, so that '28' reads as 28.0 and not with five implied
// decimals. Returns how the read went; `status` is set only for a delivered
// line.
LineRead cread(LookaheadInput& in, std::span<char> buffer, std::int32_t& status);

}  // namespace nerido::dialogue
