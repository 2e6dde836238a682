// Text both ways: numbers read from cells and written back, text quoted for
// one-line messages, and the one loop that writes a whole buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nerido::batch {

enum class NumberRead {
  ok,
  empty,         // nothing but blanks
  not_a_number,  // anything else that is not a whole decimal number
};

// Reads a decimal number ("28", "-1.5", "+3e2", " 7 ", "nan", "inf") as the
// float nearest to it. Blanks (spaces, tabs) around it are allowed; a value
// beyond the float range reads as an infinity, one below the smallest
// subnormal as a zero of its sign. `value` is set only when the answer is ok.
NumberRead read_number(std::string_view text, float& value) noexcept;

// How numbers are written: fixed decimals after the point, or -1 for the
// shortest text that reads back to the same float ("118.98045", "5", "1e-05").
struct NumberFormat {
  int decimals = -1;
};

// Most fixed decimals --decimals accepts.
inline constexpr int max_decimals = 12;

// Appends `value` as text in `format`: the one number formatter.
void append_number(std::string& out, float value, NumberFormat format = {});
[[nodiscard]] std::string number_text(float value);

// "1 row", "2 rows": `n` and `thing`, plural but for 1.
[[nodiscard]] std::string count_of(std::uint64_t n, std::string_view thing);

// A UTC time as ISO 8601 text, "2026-09-01T12:00:00Z" (with decimals of
// the second where it has them), from seconds since 1970-01-01 00:00 UTC.
[[nodiscard]] std::string iso_time(double epoch_seconds);
// Reads "2026-09-01T12:00:00Z" ("T" or a space, decimals of the second,
// "Z", "+00:00" or nothing for UTC) as seconds since 1970-01-01 00:00 UTC;
// false for anything else.
[[nodiscard]] bool read_iso_time(std::string_view text, double& epoch_seconds) noexcept;

// `text` without the blanks (spaces, tabs) around it.
[[nodiscard]] std::string_view trim_blanks(std::string_view text) noexcept;

// `text` as it stands, fit for a one-line message: cut short after
// `limit` bytes ("..."), a backslash, CR and LF written \\, \r and \n, and
// every other byte that is not printable UTF-8 as \xHH (with
// `keep_controls`, only the bytes that are not UTF-8).
[[nodiscard]] std::string escaped(std::string_view text, std::size_t limit = 40,
                                  bool keep_controls = false);

// True when `text` is valid UTF-8 without control characters.
[[nodiscard]] bool printable_utf8(std::string_view text) noexcept;

// Writes all of `bytes` to `fd`, again after an interrupted write; false
// (errno set) when the descriptor refuses them.
[[nodiscard]] bool write_all(int fd, std::string_view bytes) noexcept;

// The C library's text for the error number `errnum` (thread-safe, unlike
// strerror: the row pipeline runs on several threads).
[[nodiscard]] std::string error_text(int errnum);

// "nerido-batch: TEXT" as one line on standard error; report_line without the prefix.
void report(std::string_view text);
void report_line(std::string_view text);

}  // namespace nerido::batch
