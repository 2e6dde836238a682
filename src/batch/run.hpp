// What every subcommand shares: its output options, the stop signals, and
// the run of a conversion from a CSV file to a CSV file, to an exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "batch/io/files.hpp"
#include "batch/io/text.hpp"
#include "batch/rows.hpp"

namespace nerido::batch {

struct OutputOptions {
  std::string output{"-"};  // FILE, or "-" for standard output
  unsigned threads = 1;     // worker threads
  NumberFormat format;      // of the computed numbers
  bool quiet = false;       // no progress line, no note of skipped blank lines
};

// A CSV file through a row conversion (forward, retrieve).
struct RowsOptions {
  std::string input{"-"};  // FILE, or "-" for standard input
  std::string on_error{"stop"};
  OutputOptions out;
};

// Set once an interrupt, a termination request or a hangup asks the run to
// stop: the rows read before it are written, the output is tidied and the
// program ends by the same signal. A signal ignored when the program
// started (nohup, a background job) stays ignored. Writing into a closed
// pipe ends the program at once, as it ends other filters.
const std::atomic<bool>& install_signal_handlers();
// Ends the process by the signal that set the flag; returns when none did.
void end_by_stop_signal();

[[nodiscard]] bool show_progress(const OutputOptions& options);
[[nodiscard]] std::string count_of(std::uint64_t n, std::string_view thing);

// After the rows: an interrupt ends the process by its signal, a stop keeps
// the rows before it beside the output, otherwise the output is committed.
// Answers the exit status so far.
int settle_output(OutputFile& output, std::uint64_t rows, const std::optional<std::string>& stop,
                  const std::atomic<bool>& stop_requested);

// Runs `conversion` from options.input to options.out.output. What the
// conversion collects beside the rows goes to `side` (when given); once the
// output is complete `after_output` (when given) is called with its name,
// for a status of its own (a picture). Throws UsageError and DataError.
int run_csv(const RowConversion& conversion, const RowsOptions& options,
            const std::atomic<bool>& stop_requested, ScratchFile* side = nullptr,
            const std::function<int(const std::string&)>& after_output = {});

}  // namespace nerido::batch
