// The progress line on standard error, redrawn a few times a second: how
// much of the input is done, rows per second and the time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nerido::batch {

// The line's text: "  42%  812345 rows/s  0:12 left" when the total is
// known, "  1200000 rows  812345 rows/s" otherwise.
[[nodiscard]] std::string progress_text(std::uint64_t done, std::optional<std::uint64_t> total,
                                        std::uint64_t rows, double seconds);

class ProgressLine {
 public:
  // Draws nothing unless `enabled` (standard error is a terminal and the
  // run is not quiet). `total`: the amount of input (bytes or grid points),
  // when known.
  ProgressLine(bool enabled, std::optional<std::uint64_t> total);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `done` of the total read, `rows` written.
  void update(std::uint64_t done, std::uint64_t rows);
  // Erases the line, if one is drawn.
  void clear();

 private:
  bool enabled_;
  bool drawn_ = false;
  std::optional<std::uint64_t> total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace nerido::batch
