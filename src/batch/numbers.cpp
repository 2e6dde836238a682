#include "batch/numbers.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <system_error>

#include "batch/csv.hpp"

namespace nerido::batch {
namespace {

// The value of a number too large or too small for a float: its decimal
// exponent decides which.
float beyond_float_range(std::string_view text, bool negative) noexcept {
  double wide_value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), wide_value);
  bool overflow = false;
  if (error == std::errc{} && end == text.data() + text.size()) {
    overflow = wide_value > 1.0 || wide_value < -1.0;
  } else {
    overflow =
        text.find("e-") == std::string_view::npos && text.find("E-") == std::string_view::npos;
  }
  const float magnitude = overflow ? std::numeric_limits<float>::infinity() : 0.0f;
  return negative ? -magnitude : magnitude;
}

}  // namespace

NumberRead read_number(std::string_view text, float& value) noexcept {
  text = trim_blanks(text);
  if (text.empty()) {
    return NumberRead::empty;
  }
  const bool negative = text.front() == '-';
  if (text.front() == '+') {
    text.remove_prefix(1);  // from_chars takes no plus sign
    if (text.empty() || text.front() == '-' || text.front() == '+') {
      return NumberRead::not_a_number;
    }
  }
  float parsed = 0.0f;
  const char* const last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, parsed);
  if (end != last) {
    return NumberRead::not_a_number;
  }
  if (error == std::errc::result_out_of_range) {
    value = beyond_float_range(text, negative);
    return NumberRead::ok;
  }
  if (error != std::errc{}) {
    return NumberRead::not_a_number;
  }
  value = parsed;
  return NumberRead::ok;
}

std::string not_a_number(std::string_view column, std::string_view text) {
  // Longest piece of a refused value quoted (bytes).
  constexpr std::size_t excerpt_bytes = 40;
  std::string reason = std::string(column) + " = '";
  for (const char c : text.substr(0, excerpt_bytes)) {
    reason += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  }
  return reason + (text.size() > excerpt_bytes ? "...'" : "'") + " is not a number";
}

void append_number(std::string& out, float value, NumberFormat format) {
  // Room for any float in fixed notation with max_decimals decimals.
  std::array<char, 64> text{};
  const auto result = format.decimals < 0
                          ? std::to_chars(text.data(), text.data() + text.size(), value)
                          : std::to_chars(text.data(), text.data() + text.size(), value,
                                          std::chars_format::fixed, format.decimals);
  out.append(text.data(), result.ptr);
}

}  // namespace nerido::batch
