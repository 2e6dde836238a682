#include "batch/io/text.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <system_error>

namespace nerido::batch {
namespace {

// Length of the UTF-8 sequence at the start of `text` that encodes a
// printable character; 0 when it is not one.
std::size_t printable_length(std::string_view text, bool controls = false) noexcept {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    return controls || (lead >= 0x20 && lead != 0x7f) ? 1 : 0;
  }
  const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) {
      return 0;
    }
  }
  const auto second = static_cast<unsigned char>(text[1]);
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) ||
      (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90) ||
      (!controls && lead == 0xc2 && second < 0xa0)) {
    return 0;  // overlong, a surrogate, beyond U+10FFFF, a C1 control
  }
  return length;
}

}  // namespace

NumberRead read_number(std::string_view text, float& value) noexcept {
  text = trim_blanks(text);
  if (text.empty()) {
    return NumberRead::empty;
  }
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
    // Beyond the float range: strtod (on a copy, for its terminating NUL)
    // tells a too large number from a too small one, even beyond the double
    // range.
    const double wide = std::strtod(std::string(text).c_str(), nullptr);
    const float magnitude = std::fabs(wide) > 1.0 ? std::numeric_limits<float>::infinity() : 0.0f;
    value = text.front() == '-' ? -magnitude : magnitude;
    return NumberRead::ok;
  }
  if (error != std::errc{}) {
    return NumberRead::not_a_number;
  }
  value = parsed;
  return NumberRead::ok;
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

std::string number_text(float value) {
  std::string text;
  append_number(text, value);
  return text;
}

std::string count_of(std::uint64_t n, std::string_view thing) {
  return std::to_string(n) + " " + std::string(thing) + (n == 1 ? "" : "s");
}

std::string_view trim_blanks(std::string_view text) noexcept {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string escaped(std::string_view text, std::size_t limit, bool keep_controls) {
  constexpr std::string_view hex = "0123456789ABCDEF";
  std::string out;
  const std::string_view shown = text.substr(0, limit);
  for (std::size_t i = 0; i < shown.size();) {
    const char c = shown[i];
    const std::size_t length = printable_length(shown.substr(i), keep_controls);
    if (c == '\\' || c == '\r' || c == '\n') {
      out += c == '\\' ? "\\\\" : c == '\r' ? "\\r" : "\\n";
    } else if (length == 0) {
      out += "\\x";
      out += hex[static_cast<unsigned char>(c) >> 4];
      out += hex[static_cast<unsigned char>(c) & 0xf];
    } else {
      out += shown.substr(i, length);
      i += length;
      continue;
    }
    ++i;
  }
  return text.size() > limit ? out + "..." : out;
}

bool printable_utf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = printable_length(text.substr(i));
    if (length == 0) {
      return false;
    }
    i += length;
  }
  return true;
}

bool write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void report_line(std::string_view text) {
  (void)write_all(STDERR_FILENO, std::string(text) + "\n");
}

void report(std::string_view text) { report_line("nerido-batch: " + std::string(text)); }

namespace {

// Reads exactly `count` decimal digits at `at` (moved past them).
bool take_digits(std::string_view text, std::size_t& at, std::size_t count, int& value) {
  if (text.size() - at < count) {
    return false;
  }
  value = 0;
  for (std::size_t i = 0; i < count; ++i, ++at) {
    if (text[at] < '0' || text[at] > '9') {
      return false;
    }
    value = value * 10 + (text[at] - '0');
  }
  return true;
}

// Reads one of `chars` at `at` (moved past it).
bool take_one_of(std::string_view text, std::size_t& at, std::string_view chars) {
  if (at < text.size() && chars.find(text[at]) != std::string_view::npos) {
    ++at;
    return true;
  }
  return false;
}

}  // namespace

std::string iso_time(double epoch_seconds) {
  const double whole = std::floor(epoch_seconds);
  const auto seconds = static_cast<std::time_t>(whole);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  std::array<char, 32> text{};
  const std::size_t size = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
  std::string result(text.data(), size);
  // Milliseconds where there are any: finer than any radiometer's record rate.
  const auto millis = std::lround((epoch_seconds - whole) * 1000.0);
  if (millis > 0 && millis < 1000) {
    const std::string digits = std::to_string(1000 + millis);  // "1250": the three digits padded
    result.append(".").append(digits, 1, 3);
  }
  return result + "Z";
}

bool read_iso_time(std::string_view text, double& epoch_seconds) noexcept {
  text = trim_blanks(text);
  std::size_t at = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (!(take_digits(text, at, 4, year) && take_one_of(text, at, "-") &&
        take_digits(text, at, 2, month) && take_one_of(text, at, "-") &&
        take_digits(text, at, 2, day) && take_one_of(text, at, "T ") &&
        take_digits(text, at, 2, hour) && take_one_of(text, at, ":") &&
        take_digits(text, at, 2, minute) && take_one_of(text, at, ":") &&
        take_digits(text, at, 2, second))) {
    return false;
  }
  double fraction = 0.0;
  if (at < text.size() && text[at] == '.') {
    const std::size_t start = at;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    }
    const auto parsed = std::from_chars(text.data() + start, text.data() + at, fraction);
    if (at == start + 1 || parsed.ec != std::errc()) {
      return false;
    }
  }
  const std::string_view zone = text.substr(at);
  if (!(zone.empty() || zone == "Z" || zone == "+00:00") || month < 1 || month > 12 || day < 1 ||
      day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  epoch_seconds = static_cast<double>(timegm(&utc)) + fraction;
  return true;
}

std::string error_text(int errnum) {
  std::array<char, 256> buffer{};
  // The GNU strerror_r: answers its text, in `buffer` or a static string.
  return ::strerror_r(errnum, buffer.data(), buffer.size());
}

}  // namespace nerido::batch
