#include "batch/io/progress.hpp"

#include <unistd.h>

#include <cmath>
#include <string_view>

#include "batch/io/text.hpp"

namespace nerido::batch {
namespace {

// Least time between two redraws.
inline constexpr std::chrono::milliseconds redraw_interval{250};
// Carriage return, and erase to the end of the line.
inline constexpr std::string_view line_start = "\r";
inline constexpr std::string_view erase_rest = "\033[K";

std::string minutes_seconds(double seconds) {
  const auto whole = static_cast<std::uint64_t>(std::lround(seconds));
  const std::uint64_t s = whole % 60;
  return std::to_string(whole / 60) + (s < 10 ? ":0" : ":") + std::to_string(s);
}

}  // namespace

std::string progress_text(std::uint64_t done, std::optional<std::uint64_t> total,
                          std::uint64_t rows, double seconds) {
  const double rate = seconds > 0.0 ? static_cast<double>(rows) / seconds : 0.0;
  const std::string rate_text = std::to_string(std::llround(rate)) + " rows/s";
  if (!total || *total == 0) {
    return "  " + std::to_string(rows) + " rows  " + rate_text;
  }
  const double fraction = static_cast<double>(done) / static_cast<double>(*total);
  std::string text = "  " + std::to_string(std::lround(100.0 * fraction)) + "%  " + rate_text;
  if (done > 0 && seconds > 0.0) {
    text += "  " + minutes_seconds(seconds * (1.0 - fraction) / fraction) + " left";
  }
  return text;
}

ProgressLine::ProgressLine(bool enabled, std::optional<std::uint64_t> total)
    : enabled_(enabled),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

ProgressLine::~ProgressLine() { clear(); }

void ProgressLine::update(std::uint64_t done, std::uint64_t rows) {
  if (!enabled_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < redraw_interval) {
    return;
  }
  last_draw_ = now;
  const std::chrono::duration<double> elapsed = now - start_;
  (void)write_all(STDERR_FILENO, std::string(line_start) +
                                     progress_text(done, total_, rows, elapsed.count()) +
                                     std::string(erase_rest));
  drawn_ = true;
}

void ProgressLine::clear() {
  if (drawn_) {
    (void)write_all(STDERR_FILENO, std::string(line_start) + std::string(erase_rest));
    drawn_ = false;
  }
}

}  // namespace nerido::batch
