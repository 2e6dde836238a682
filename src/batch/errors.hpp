// What ends a run of nerido-batch early, and the exit statuses that say so.
#pragma once

#include <stdexcept>

namespace nerido::batch {

// Exit statuses of the program.
inline constexpr int exit_success = 0;
// A bad row, unreadable input, unwritable output, a picture not drawn.
inline constexpr int exit_data_error = 1;
// A command line that cannot run: unknown option, malformed range, clashing column.
inline constexpr int exit_usage_error = 2;

// A command line that cannot run; what() is the one-line reason.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Input that cannot be read or output that cannot be written; what() is the
// one-line reason, naming the file (and line, for a bad row).
class DataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace nerido::batch
