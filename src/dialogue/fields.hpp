// Fixed-column text rules of the console: the 64-column whole-line read, the
// ten-column fixed-point value field with five implied decimals, and output
// records built from literal texts, seven-column real fields and a
// five-column integer field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "dialogue/byte_streams.hpp"

namespace nerido::dialogue {

// Columns of the operator's line buffer: blank-filled, no terminating null.
inline constexpr std::size_t line_columns = 64;
using LineBuffer = std::array<char, line_columns>;

// Columns of the value field at the start of a line.
inline constexpr std::size_t value_field_columns = 10;

// Conversion codes of read_fixed.
inline constexpr std::int32_t conversion_ok = 0;
inline constexpr std::int32_t unexpected_character = 115;

enum class LineRead {
  delivered,            // a line is in the buffer
  ended_while_filling,  // input over before any of a line arrived, or a read failed
  ended_before_start,   // the end-of-input mark was already set
  stopped,              // a signal asked the program to stop
};

// Reads one input line into `columns`: characters from column 1 on, blanks
// after the line end, anything past the last column dropped up to the line
// end. A carriage return directly before the line feed belongs to the line
// end. A last line without a line end is delivered like any other, and the
// end-of-input mark is set so that the next read reports the end.
LineRead read_line(ByteSource& in, std::span<char> columns);

// Converts columns 1 to 10 with five implied decimals. Returns conversion_ok
// and stores the value, or unexpected_character and leaves `value` alone.
// Columns 11 and later are never read.
std::int32_t read_fixed(std::span<const char, line_columns> line, float& value);

// One output line collected in memory; nothing reaches the sink before
// end_line or end_prompt.
class Record {
 public:
  static constexpr std::size_t capacity = 80;  // the longest record is 51
  void append(std::string_view text);
  [[nodiscard]] std::string_view text() const { return {chars_.data(), len_}; }
  void clear() { len_ = 0; }

 private:
  std::array<char, capacity> chars_{};
  std::size_t len_ = 0;
};

// Appends a literal text unchanged.
void put_text(Record& record, std::string_view text);
// Appends exactly seven characters: the value with two decimals, right-
// aligned; seven asterisks when it does not fit (or is not finite).
void put_real(Record& record, float value);
// Appends exactly five characters: the integer right-aligned, or five
// asterisks when it does not fit.
void put_int(Record& record, std::int32_t value);
// Writes the record and a line end, then starts an empty record.
void end_line(Record& record, ByteSink& out);
// Writes the record without a line end, flushes, and starts an empty record.
void end_prompt(Record& record, ByteSink& out);

// The four-line diagnostic written to standard error when the input ends
// while a prompt waits.
std::string_view read_end_diagnostic(LineRead ending);

}  // namespace nerido::dialogue
