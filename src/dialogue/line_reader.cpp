#include "dialogue/line_reader.hpp"

#include <algorithm>
#include <cstddef>

namespace nerido::dialogue {
namespace {

constexpr int line_feed = '\n';
constexpr int carriage_return = '\r';

// Highest character code that may begin a number: blanks, digits, signs and
// other punctuation lie at or below it, letters above.
constexpr unsigned char highest_number_start = 64;

// Reads one line into the first columns of `columns` (the caller has blank-
// filled them) and drops what does not fit.
LineRead read_line(LookaheadInput& in, std::span<char> columns) {
  if (in.ended()) {
    return LineRead::ended_before_start;
  }
  if (in.stop_requested()) {
    return LineRead::stopped;
  }
  std::size_t column = 0;
  for (;;) {
    int c = in.get();
    if (c == LookaheadInput::read_failed) {
      return in.stop_requested() ? LineRead::stopped : LineRead::ended_while_filling;
    }
    if (c == LookaheadInput::end_of_input) {
      // A last line without a line end is delivered; the source now says
      // ended(), so the next read reports the end before it starts.
      return column == 0 ? LineRead::ended_while_filling : LineRead::delivered;
    }
    if (c == carriage_return && in.peek() == line_feed) {
      c = in.get();
    }
    if (c == line_feed) {
      return LineRead::delivered;
    }
    if (column < columns.size()) {
      columns[column++] = static_cast<char>(c);
      continue;
    }
    // Past the last column: skip to the line end without storing anything.
    do {
      c = in.get();
    } while (c >= 0 && c != line_feed);
    if (c == LookaheadInput::read_failed && in.stop_requested()) {
      return LineRead::stopped;
    }
    return LineRead::delivered;
  }
}

bool begins_with(std::span<const char> line, char first, char second) {
  return line.size() >= 2 && line[0] == first && line[1] == second;
}

}  // namespace

LineRead cread(LookaheadInput& in, std::span<char> buffer, std::int32_t& status) {
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
