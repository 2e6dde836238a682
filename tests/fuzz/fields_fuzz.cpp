// Drives the value-field conversion and the line reader from arbitrary bytes
// and checks what must hold for every input.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "dialogue/line_reader.hpp"
#include "dialogue/value_field.hpp"

namespace {

using namespace nerido::dialogue;

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

void fuzz_read_fixed(const std::uint8_t* data, std::size_t size) {
  LineBuffer line;
  line.fill(' ');
  std::memcpy(line.data(), data, std::min(size, line.size()));
  constexpr float sentinel = -7.25f;
  float value = sentinel;
  const std::int32_t code = read_fixed(line, value);
  check(code == conversion_ok || code == unexpected_character);
  if (code == unexpected_character) {
    check(value == sentinel);
  } else {
    check(!std::isnan(value));
  }
  // Columns 11 and later are never read.
  LineBuffer other = line;
  std::fill(other.begin() + value_field_columns, other.end(), 'Q');
  float again = sentinel;
  check(read_fixed(other, again) == code);
  check(std::memcmp(&again, &value, sizeof value) == 0);
}

void fuzz_cread(const std::uint8_t* data, std::size_t size) {
  StringSource in(std::string_view(reinterpret_cast<const char*>(data), size));
  for (std::size_t lines = 0; lines <= size; ++lines) {
    LineBuffer line;
    std::int32_t status = -1;
    const LineRead read = cread(in, line, status);
    if (read != LineRead::delivered) {
      check(read != LineRead::stopped);
      return;
    }
    check(status >= value_line && status <= exit_line);
    check(std::find(line.begin(), line.end(), '\n') == line.end());
    check(std::none_of(line.begin(), line.end(), [](char c) { return c >= 'a' && c <= 'z'; }));
    if (status == blank_line) {
      check(std::all_of(line.begin(), line.end(), [](char c) { return c == ' '; }));
    }
  }
  __builtin_trap();  // more lines than bytes: the reader did not advance
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_read_fixed(data, size);
  fuzz_cread(data, size);
  return 0;
}
