#include "batch/run.hpp"

#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "batch/errors.hpp"
#include "batch/io/csv.hpp"
#include "batch/io/progress.hpp"

namespace nerido::batch {
namespace {

std::atomic<bool> stop_flag{false};
volatile std::sig_atomic_t stop_signal_number = 0;

extern "C" void request_stop(int signal_number) {
  stop_signal_number = signal_number;
  stop_flag.store(true);
}

}  // namespace

const std::atomic<bool>& install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns and sees the flag
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction inherited {};
    sigaction(signal_number, nullptr, &inherited);
    if (inherited.sa_handler != SIG_IGN) {
      sigaction(signal_number, &action, nullptr);
    }
  }
  std::signal(SIGPIPE, SIG_DFL);
  return stop_flag;
}

void end_by_stop_signal() {
  const int signal_number = stop_signal_number;
  if (signal_number != 0) {
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
  }
}

bool show_progress(const OutputOptions& options) {
  return !options.quiet && ::isatty(STDERR_FILENO) == 1;
}

std::string count_of(std::uint64_t n, std::string_view thing) {
  return std::to_string(n) + " " + std::string(thing) + (n == 1 ? "" : "s");
}

int settle_output(OutputFile& output, std::uint64_t rows, const std::optional<std::string>& stop,
                  const std::atomic<bool>& stop_requested) {
  if (stop_requested.load() && !stop) {
    std::string text = "interrupted after " + count_of(rows, "row");
    if (output.replaces_whole()) {
      text += "; they are kept in " + output.keep_partial();
    }
    report(text);
    end_by_stop_signal();
    return exit_data_error;
  }
  if (stop) {
    std::string text = *stop;
    if (output.replaces_whole()) {
      text += "; " + count_of(rows, "row") + " before it kept in " + output.keep_partial();
    }
    report_line(text);
    return exit_data_error;
  }
  output.commit();
  return exit_success;
}

int run_csv(const RowConversion& conversion, const RowsOptions& options,
            const std::atomic<bool>& stop_requested, ScratchFile* side,
            const std::function<int(const std::string&)>& after_output) {
  InputFile input(options.input);
  CsvSource source(
      input.name(),
      [&](char* buffer, std::size_t size) { return input.read(buffer, size, &stop_requested); },
      [&] { return input.would_wait(); }, &stop_requested);
  OutputFile output(options.out.output);
  CsvSink sink([&](std::string_view bytes) { output.write(bytes); }, source.header_text());
  ProgressLine progress(show_progress(options.out), input.size());
  RowOptions row_options;
  row_options.on_error = options.on_error == "mark" ? OnError::mark : OnError::stop;
  row_options.threads = options.out.threads;
  std::uint64_t rows = 0;
  row_options.written = [&](const RecordBlock& block) {
    if (side != nullptr) {
      side->write(block.side);
    }
    rows += block.rows;
    progress.update(block.input_offset, rows);
  };
  const RowResult result = run_rows(source, sink, conversion, row_options);
  progress.clear();
  const int status_so_far = settle_output(output, result.rows, result.stop, stop_requested);
  if (status_so_far != exit_success) {
    return status_so_far;
  }
  if (source.skipped() > 0 && !options.out.quiet) {
    report(input.name() + ": " + count_of(source.skipped(), "blank line") + " skipped");
  }
  int status = exit_success;
  if (result.marked > 0) {
    report(count_of(result.marked, "bad row") + " marked in " + output.name() +
           " (first: " + result.first_mark.value_or("") + ")");
    status = exit_data_error;
  }
  if (after_output) {
    status = std::max(status, after_output(output.name()));
  }
  return status;
}

}  // namespace nerido::batch
