// Input handed out in pieces, as a terminal or a pipe hands it out: each read
// returns at most the next piece. Counts the reads asked of it after it has
// reported the end, which must stay at zero.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string_view>

#include "dialogue/byte_streams.hpp"

namespace nerido::testing {

// Where the pieces end: after `bytes` bytes at most, and after every byte
// found in `ends_after`.
struct Pieces {
  const char* name;
  std::size_t bytes;
  std::string_view ends_after;
};

inline constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

// The ways a terminal or a pipe splits what the operator types.
inline constexpr Pieces one_byte_per_read{"one byte per read", 1, ""};
inline constexpr Pieces one_line_per_read{"one line per read", unlimited, "\n"};
inline constexpr Pieces lines_split_across_reads{"lines split across reads", 3, ""};
inline constexpr Pieces cr_and_lf_in_different_reads{"CR and LF in different reads", unlimited,
                                                     "\r"};
inline constexpr Pieces every_split[] = {one_byte_per_read, one_line_per_read,
                                         lines_split_across_reads, cr_and_lf_in_different_reads};

class ChunkedSource final : public dialogue::LookaheadInput {
 public:
  ChunkedSource(std::string_view text, const Pieces& pieces) : text_(text), pieces_(pieces) {}
  [[nodiscard]] int reads_after_end() const { return reads_after_end_; }

 protected:
  long fill(char* into, std::size_t size) override {
    if (text_.empty()) {
      reads_after_end_ += reported_end_ ? 1 : 0;
      reported_end_ = true;
      return 0;
    }
    std::size_t count = std::min({size, pieces_.bytes, text_.size()});
    const std::size_t end = text_.find_first_of(pieces_.ends_after);
    if (end != std::string_view::npos) {
      count = std::min(count, end + 1);
    }
    text_.copy(into, count);
    text_.remove_prefix(count);
    return static_cast<long>(count);
  }

 private:
  std::string_view text_;
  Pieces pieces_;
  bool reported_end_ = false;
  int reads_after_end_ = 0;
};

}  // namespace nerido::testing
