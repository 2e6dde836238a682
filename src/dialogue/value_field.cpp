#include "dialogue/value_field.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <system_error>

namespace nerido::dialogue {
namespace {

constexpr int blank = ' ';

// Exponents beyond this reach no finite or non-zero value; clamping keeps the
// exponent sum far from integer overflow.
constexpr int exponent_limit = 100000;

// The value field one character at a time: each byte as 0 to 255, then
// end_of_field for ever. Nothing past the field can be read through it.
class FieldCursor {
 public:
  static constexpr int end_of_field = -1;
  explicit FieldCursor(std::span<const char> line)
      : field_(line.first(std::min(line.size(), value_field_columns))) {}
  int take() {
    return pos_ < field_.size() ? static_cast<unsigned char>(field_[pos_++]) : end_of_field;
  }

 private:
  std::span<const char> field_;
  std::size_t pos_ = 0;
};

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_exponent_letter(int c) { return c == 'E' || c == 'e' || c == 'D' || c == 'd'; }
bool is_sign(int c) { return c == '+' || c == '-'; }

// Digits read so far (at most ten fit in the field), leading zeros excluded.
struct Mantissa {
  std::array<char, value_field_columns> digits{};
  std::size_t count = 0;
  void push(int digit) { digits[count++] = static_cast<char>(digit); }
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

// The field, left to right; blanks may stand anywhere and are skipped:
//   [sign] [leading zeros] [integer digits] [. [fraction digits]]
//   [E or D, an optional sign and digits | a sign and digits]
// and then the end of the field or a comma. Anything else is refused.
std::int32_t read_fixed(std::span<const char> line, float& value) {
  FieldCursor field(line);
  Mantissa mantissa;
  int exponent = -5;  // the five implied decimals

  int c = field.take();
  while (c == blank) {
    c = field.take();
  }
  const bool negative = c == '-';
  if (is_sign(c)) {
    c = field.take();
  }
  while (c == blank || c == '0') {  // leading zeros carry nothing
    c = field.take();
  }
  for (; is_digit(c) || c == blank; c = field.take()) {  // integer digits
    if (c != blank) {
      mantissa.push(c);
    }
  }
  if (c == '.') {
    exponent += 5;  // an explicit point cancels the implied decimals
    c = field.take();
    if (mantissa.count == 0) {
      for (; c == '0' || c == blank; c = field.take()) {  // zeros only move the point
        if (c == '0') {
          --exponent;
        }
      }
    }
    for (; is_digit(c) || c == blank; c = field.take()) {  // fraction digits
      if (c != blank) {
        mantissa.push(c);
        --exponent;
      }
    }
  }

  // Exponent part: a letter E or D with an optional sign, or a sign alone.
  if (is_exponent_letter(c) || is_sign(c)) {
    if (is_exponent_letter(c)) {
      do {
        c = field.take();
      } while (c == blank);
    }
    const bool exponent_negative = c == '-';
    if (is_sign(c)) {
      c = field.take();
    }
    while (c == blank) {
      c = field.take();
    }
    if (!is_digit(c)) {
      return unexpected_character;
    }
    int digits = 0;
    for (; is_digit(c) || c == blank; c = field.take()) {
      if (c != blank) {
        digits = std::min(digits * 10 + (c - '0'), exponent_limit);
      }
    }
    exponent += exponent_negative ? -digits : digits;
  }
  // Only the end of the field or a comma may end the number.
  if (c != FieldCursor::end_of_field && c != ',') {
    return unexpected_character;
  }
  value = decimal_value(mantissa, exponent, negative);
  return conversion_ok;
}

}  // namespace nerido::dialogue
