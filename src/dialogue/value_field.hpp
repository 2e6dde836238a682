// The value field of the operator's line: ten columns holding a fixed-point
// number with five implied decimals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace nerido::dialogue {

// Columns of the value field at the start of a line.
inline constexpr std::size_t value_field_columns = 10;

// Conversion codes of read_fixed.
inline constexpr std::int32_t conversion_ok = 0;
inline constexpr std::int32_t unexpected_character = 115;

// Converts the value field, columns 1 to 10 of `line` (all of a shorter
// line), with five implied decimals. Returns conversion_ok and stores the
// value, or unexpected_character and leaves `value` alone. Columns 11 and
// later are never read.
std::int32_t read_fixed(std::span<const char> line, float& value);

}  // namespace nerido::dialogue
