// Output lines of the console, built from literal texts, seven-column real
// fields and five-column integer fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dialogue/byte_streams.hpp"

namespace nerido::dialogue {

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

}  // namespace nerido::dialogue
