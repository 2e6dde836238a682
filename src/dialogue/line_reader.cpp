#include "dialogue/line_reader.hpp"

#include <algorithm>
#include <cstddef>

namespace nerido::dialogue {
namespace {

// Highest character code that may begin a number: blanks, digits, signs and
// other punctuation lie at or below it, letters above.
constexpr unsigned char highest_number_start = 64;

bool begins_with(std::span<const char> line, char first, char second) {
  return line.size() >= 2 && line[0] == first && line[1] == second;
}

}  // namespace

LineRead cread(ByteSource& in, std::span<char> buffer, std::int32_t& status) {
  std::fill(buffer.begin(), buffer.end(), ' ');
  const LineRead read = read_line(in, buffer);
  if (read != LineRead::delivered) {
    return read;
  }
  status = value_line;
  // n: the number of columns up to the last one that is not a blank.
  std::size_t n = buffer.size();
  while (n > 0 && buffer[n - 1] == ' ') {
    --n;
  }
  if (n == 0) {
    status = blank_line;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(buffer[i]);
    if (c >= 'a' && c <= 'z') {
      buffer[i] = static_cast<char>(c - ('a' - 'A'));
    }
  }
  if (begins_with(buffer, 'N', 'O')) {
    status = no_line;
  }
  if (begins_with(buffer, 'E', 'X')) {
    status = exit_line;
  }
  if (status != value_line) {
    return read;
  }
  const auto typed = buffer.first(n);
  if (std::find(typed.begin(), typed.end(), '.') != typed.end()) {
    return read;
  }
  if (static_cast<unsigned char>(buffer[0]) <= highest_number_start && n < buffer.size()) {
    buffer[n] = '.';
  }
  return read;
}

}  // namespace nerido::dialogue
