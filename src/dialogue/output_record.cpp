#include "dialogue/output_record.hpp"

#include <algorithm>
#include <cmath>

namespace nerido::dialogue {
namespace {

constexpr char blank = ' ';

}  // namespace

void Record::append(std::string_view text) {
  const std::size_t count = std::min(text.size(), capacity - len_);
  std::copy_n(text.begin(), count, chars_.begin() + static_cast<std::ptrdiff_t>(len_));
  len_ += count;
}

void put_text(Record& record, std::string_view text) { record.append(text); }

void put_real(Record& record, float value) {
  constexpr std::size_t width = 7;
  constexpr std::string_view overflow = "*******";
  const double v = static_cast<double>(value);
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

}  // namespace nerido::dialogue
