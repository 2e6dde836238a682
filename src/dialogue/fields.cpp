#include "dialogue/fields.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace nerido::dialogue {
namespace {

constexpr char blank = ' ';
constexpr int line_feed = '\n';
constexpr int carriage_return = '\r';

// Exponents beyond this reach no finite or non-zero value; clamping keeps the
// exponent sum far from integer overflow.
constexpr int exponent_limit = 100000;

// Reads the ten-column field one character at a time.
class FieldCursor {
 public:
  explicit FieldCursor(std::span<const char, line_columns> line) : line_(line) {}
  [[nodiscard]] bool used_up() const { return pos_ >= value_field_columns; }
  char take() { return line_[pos_++]; }

 private:
  std::span<const char, line_columns> line_;
  std::size_t pos_ = 0;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits read so far (at most ten fit in the field), leading zeros excluded.
struct Mantissa {
  std::array<char, value_field_columns> digits{};
  std::size_t count = 0;
  void push(char digit) { digits[count++] = digit; }
};

// The digit string times ten to the power `exponent`, rounded to the nearest
// double and then to the nearest float.
float decimal_value(const Mantissa& m, int exponent, bool negative) {
  std::size_t count = m.count;
  if (count == 0) {
    return 0.0f;  // always positive zero, also for '-0' and '-'
  }
  while (m.digits[count - 1] == '0') {  // trailing zeros only move the exponent
    --count;
    ++exponent;
  }
  // "<digits>e<exponent>": at most 10 + 1 + 7 characters.
  std::array<char, 32> text{};
  std::copy_n(m.digits.begin(), count, text.begin());
  char* end = text.data() + count;
  *end++ = 'e';
  end = std::to_chars(end, text.data() + text.size(), exponent).ptr;
  double magnitude = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), end, magnitude);
  if (ec == std::errc::result_out_of_range) {
    magnitude = exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  // Double to float rounds to nearest; beyond the float range this gives an
  // infinity (IEEE conversion, as on every target this builds for).
  const float value = static_cast<float>(magnitude);
  return negative ? -value : value;
}

}  // namespace

LineRead read_line(ByteSource& in, std::span<char> columns) {
  if (in.end_mark) {
    return LineRead::ended_before_start;
  }
  if (in.stop_requested()) {
    return LineRead::stopped;
  }
  std::size_t column = 0;
  for (;;) {
    int c = in.get();
    if (c == ByteSource::read_failed) {
      return in.stop_requested() ? LineRead::stopped : LineRead::ended_while_filling;
    }
    if (c == ByteSource::end_of_input) {
      if (column == 0) {
        return LineRead::ended_while_filling;
      }
      in.end_mark = true;  // a last line without a line end
      break;
    }
    if (c == carriage_return && in.peek() == line_feed) {
      c = in.get();
    }
    if (c == line_feed) {
      break;
    }
    if (column < columns.size()) {
      columns[column++] = static_cast<char>(c);
      continue;
    }
    // Past the last column: skip to the line end without storing anything.
    do {
      c = in.get();
    } while (c >= 0 && c != line_feed);
    if (c == ByteSource::end_of_input) {
      in.end_mark = true;
    }
    if (c == ByteSource::read_failed && in.stop_requested()) {
      return LineRead::stopped;
    }
    break;
  }
  std::fill(columns.begin() + static_cast<std::ptrdiff_t>(column), columns.end(), blank);
  return LineRead::delivered;
}

std::int32_t read_fixed(std::span<const char, line_columns> line, float& value) {
  FieldCursor field(line);
  Mantissa mantissa;
  int exponent = -5;  // the five implied decimals
  bool negative = false;

  char c = field.take();
  while (c == blank && !field.used_up()) {
    c = field.take();
  }
  if (c == '-') {
    negative = true;
  }
  if (c == '+' || c == '-') {
    if (field.used_up()) {
      value = 0.0f;
      return conversion_ok;
    }
    c = field.take();
  }
  while (c == blank || c == '0') {  // leading zeros carry nothing
    if (field.used_up()) {
      value = 0.0f;
      return conversion_ok;
    }
    c = field.take();
  }

  // The steps below end either with the field used up (the value stands) or
  // with a stopping character that must be a comma.
  auto finish = [&] {
    value = decimal_value(mantissa, exponent, negative);
    return conversion_ok;
  };

  while (is_digit(c) || c == blank) {  // integer digits; blanks are skipped
    if (c != blank) {
      mantissa.push(c);
    }
    if (field.used_up()) {
      return finish();
    }
    c = field.take();
  }
  if (c == '.') {
    exponent += 5;  // an explicit point cancels the implied decimals
    if (field.used_up()) {
      return finish();
    }
    c = field.take();
    if (mantissa.count == 0) {
      while (c == '0' || c == blank) {
        if (c == '0') {
          --exponent;
        }
        if (field.used_up()) {
          return finish();
        }
        c = field.take();
      }
    }
    while (is_digit(c) || c == blank) {  // fraction digits
      if (c != blank) {
        mantissa.push(c);
        --exponent;
      }
      if (field.used_up()) {
        return finish();
      }
      c = field.take();
    }
  }

  // Exponent part: a letter E or D with an optional sign, or a sign alone.
  bool has_exponent = false;
  bool exponent_negative = false;
  if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
    has_exponent = true;
    if (field.used_up()) {
      return unexpected_character;
    }
    c = field.take();
    while (c == blank) {
      if (field.used_up()) {
        return unexpected_character;
      }
      c = field.take();
    }
    if (c == '+' || c == '-') {
      exponent_negative = c == '-';
      if (field.used_up()) {
        return unexpected_character;
      }
      c = field.take();
    }
  } else if (c == '+' || c == '-') {
    has_exponent = true;
    exponent_negative = c == '-';
    if (field.used_up()) {
      return unexpected_character;
    }
    c = field.take();
  }
  if (has_exponent) {
    while (c == blank) {
      if (field.used_up()) {
        return unexpected_character;
      }
      c = field.take();
    }
    if (!is_digit(c)) {
      return unexpected_character;
    }
    int digits = 0;
    bool used_up = false;
    while (is_digit(c) || c == blank) {
      if (c != blank) {
        digits = std::min(digits * 10 + (c - '0'), exponent_limit);
      }
      if (field.used_up()) {
        used_up = true;
        break;
      }
      c = field.take();
    }
    exponent += exponent_negative ? -digits : digits;
    if (used_up) {
      return finish();
    }
  }
  // The character that stopped the number: only a comma ends a field early.
  if (c == ',') {
    return finish();
  }
  return unexpected_character;
}

void Record::append(std::string_view text) {
  const std::size_t count = std::min(text.size(), capacity - len_);
  std::copy_n(text.begin(), count, chars_.begin() + static_cast<std::ptrdiff_t>(len_));
  len_ += count;
}

void put_text(Record& record, std::string_view text) { record.append(text); }

void put_real(Record& record, float value) {
  constexpr std::size_t width = 7;
  constexpr std::string_view overflow = "*******";
  const double v = value;
  if (!std::isfinite(v)) {
    record.append(overflow);
    return;
  }
  // |value| * 100 is exact in double (24 + 7 significant bits), so rounding
  // it to an integer rounds the exact single-precision value to two decimals
  // (ties to even).
  const double hundredths = std::nearbyint(std::fabs(v) * 100.0);
  const bool minus = v < 0.0 && hundredths != 0.0;  // no "-0.00"
  // Seven columns hold at most 9999.99, or -999.99 with its sign.
  if (hundredths > (minus ? 99999.0 : 999999.0)) {
    record.append(overflow);
    return;
  }
  auto n = static_cast<unsigned long>(hundredths);
  std::array<char, width> field{};
  field.fill(blank);
  std::size_t pos = width;
  field[--pos] = static_cast<char>('0' + n % 10);
  n /= 10;
  field[--pos] = static_cast<char>('0' + n % 10);
  n /= 10;
  field[--pos] = '.';
  do {
    field[--pos] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n > 0);
  if (minus) {
    field[--pos] = '-';
  }
  record.append({field.data(), width});
}

void put_int(Record& record, std::int32_t value) {
  constexpr std::size_t width = 5;
  // Magnitude in a wider type: the most negative 32-bit value has no
  // positive counterpart.
  std::int64_t magnitude = value < 0 ? -static_cast<std::int64_t>(value) : value;
  std::array<char, 12> digits{};
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  const std::size_t length = count + (value < 0 ? 1U : 0U);
  if (length > width) {
    record.append("*****");
    return;
  }
  std::array<char, width> field{};
  field.fill(blank);
  std::size_t pos = width;
  for (std::size_t i = 0; i < count; ++i) {
    field[--pos] = digits[i];
  }
  if (value < 0) {
    field[--pos] = '-';
  }
  record.append({field.data(), width});
}

void end_line(Record& record, ByteSink& out) {
  out.write(record.text());
  out.write("\n");
  record.clear();
}

void end_prompt(Record& record, ByteSink& out) {
  out.write(record.text());
  out.flush();
  record.clear();
}

std::string_view read_end_diagnostic(LineRead ending) {
  if (ending == LineRead::ended_before_start) {
    return "read start: end of file\n"
           "apparent state: unit 5 (unnamed)\n"
           "last format: (a)\n"
           "lately reading sequential formatted external IO\n";
  }
  return "fmt: end of file\n"
         "apparent state: unit 5 (unnamed)\n"
         "last format: (a)\n"
         "lately reading sequential formatted external IO\n";
}

}  // namespace nerido::dialogue
