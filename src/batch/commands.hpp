// The subcommands of nerido-batch, from their options to an exit status.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>

#include "batch/files.hpp"
#include "batch/forward.hpp"
#include "batch/numbers.hpp"
#include "batch/plot.hpp"
#include "batch/rows.hpp"

namespace nerido::batch {

// Options every subcommand takes.
struct OutputOptions {
  std::string output{"-"};  // FILE, or "-" for standard output
  unsigned threads = 1;     // worker threads
  NumberFormat format;      // of the computed numbers
  bool quiet = false;       // no progress line, no note of skipped blank lines
};

// A CSV file through a row transformation (forward, retrieve).
struct RowsOptions {
  std::string input{"-"};  // FILE, or "-" for standard input
  OnError on_error = OnError::stop;
  OutputOptions out;
};

struct SweepOptions {
  // --sst, --altitude, --air, --wind, --rain, in declaration order.
  std::array<std::string, scene_field_count> axes;
  std::string plot;  // FILE.png or FILE.svg; empty: no picture
  std::string size{"1200x800"};
  std::string channel;  // empty: all six
  OutputOptions out;
};

// Each runs to the end and answers the exit status, having written a
// one-line message on standard error for anything but success. They throw
// UsageError and DataError (the caller reports them), and end the process
// by the signal when a stop signal stopped them.
//
// run_rows writes what the transformation collects beside the CSV into
// `side` (when given), and once the output is complete calls `after_output`
// (when given) with its name, for a status of its own (a picture).
int run_rows(const RowTransform& transform, const RowsOptions& options,
             const std::atomic<bool>& stop_requested, ScratchFile* side = nullptr,
             const std::function<int(const std::string&)>& after_output = {});
int run_sweep(const SweepOptions& options, const std::atomic<bool>& stop_requested);

// Draws a picture of a run whose CSV is complete; a picture not drawn is
// reported (the CSV being there all the same) and answers status 1.
int draw_after_output(const PictureRequest& picture, const ScriptWriter& write_commands,
                      const std::string& output_name);

}  // namespace nerido::batch
