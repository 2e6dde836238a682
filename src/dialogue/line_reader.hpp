// The operator's line: read, classified and prepared for the value field.
#pragma once

#include <cstdint>
#include <span>

#include "dialogue/byte_streams.hpp"
#include "dialogue/fields.hpp"

namespace nerido::dialogue {

// Line status of cread.
inline constexpr std::int32_t value_line = 0;
inline constexpr std::int32_t blank_line = 1;
inline constexpr std::int32_t no_line = 2;    // begins with "NO", any case
inline constexpr std::int32_t exit_line = 3;  // begins with "EX", any case

// Reads one line into `buffer` (blank-filled, every column written) and sets
// `status`. Letters a to z are upper-cased; a value line typed without a
// point gets one after its last non-blank character when it begins with
// something other than a letter, so that '28' reads as 28.0 and not with
// five implied decimals. Returns how the read went; `status` is set only
// for a delivered line.
LineRead cread(ByteSource& in, std::span<char> buffer, std::int32_t& status);

}  // namespace nerido::dialogue
