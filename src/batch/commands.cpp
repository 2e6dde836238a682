#include "batch/commands.hpp"

#include <unistd.h>

#include <algorithm>

#include "batch/csv.hpp"
#include "batch/errors.hpp"
#include "batch/files.hpp"
#include "batch/pipeline.hpp"
#include "batch/plot.hpp"
#include "batch/progress.hpp"
#include "batch/signals.hpp"
#include "batch/sweep.hpp"

namespace nerido::batch {
namespace {

// The sweep's options as the command line names them, in declaration order.
constexpr std::array<std::string_view, scene_field_count> sweep_option_names{
    "--sst", "--altitude", "--air", "--wind", "--rain"};

std::string count_of(std::uint64_t n, std::string_view thing) {
  return std::to_string(n) + " " + std::string(thing) + (n == 1 ? "" : "s");
}

bool show_progress(const OutputOptions& options) {
  return !options.quiet && ::isatty(STDERR_FILENO) == 1;
}

// Writes each chunk's rows (and what was collected beside them) and redraws
// the progress line.
class OutputSink : public ChunkSink {
 public:
  OutputSink(OutputFile& output, ProgressLine& progress, ScratchFile* side)
      : output_(output), progress_(progress), side_(side) {}
  void write(const Chunk& chunk) override {
    output_.write(chunk.output);
    if (side_ != nullptr) {
      side_->write(chunk.side);
    }
    rows_ += chunk.rows;
    progress_.update(chunk.input_offset, rows_);
  }

 private:
  OutputFile& output_;
  ProgressLine& progress_;
  ScratchFile* side_;
  std::uint64_t rows_ = 0;
};

// After the pipeline: a stop request ends the process by its signal; a
// stop at a bad row keeps the rows before it; otherwise the output is
// committed. Answers the exit status so far.
int settle_output(const PipelineResult& result, OutputFile& output) {
  const std::string rows = count_of(result.rows, "row");
  if (result.stop_requested) {
    std::string text = "interrupted after " + rows;
    if (output.is_replaced_whole()) {
      text += "; they are kept in " + output.keep_partial();
    }
    report(text);
    end_by_stop_signal();
    return exit_data_error;
  }
  if (result.stop) {
    std::string text = *result.stop;
    if (output.is_replaced_whole()) {
      text += "; " + rows + " before it kept in " + output.keep_partial();
    }
    report_line(text);
    return exit_data_error;
  }
  output.commit();
  return exit_success;
}

}  // namespace

int draw_after_output(const PictureRequest& picture, const ScriptWriter& write_commands,
                      const std::string& output_name) {
  try {
    draw_picture(picture, write_commands);
  } catch (const DataError& error) {
    report(std::string(error.what()) + "; the CSV was written to " + output_name);
    return exit_data_error;
  }
  return exit_success;
}

int run_rows(const RowTransform& transform, const RowsOptions& options,
             const std::atomic<bool>& stop_requested, ScratchFile* side,
             const std::function<int(const std::string&)>& after_output) {
  InputFile input(options.input, &stop_requested);
  RecordReader reader(input);
  RecordView header;
  const ReadStatus status = reader.next(header);
  if (status == ReadStatus::end) {
    throw DataError(input.name() + ": empty input, no header line");
  }
  if (status == ReadStatus::too_long) {
    throw DataError(input.name() + ":" + std::to_string(header.line) + ": header longer than " +
                    std::to_string(max_record_bytes) + " bytes");
  }
  const CsvLayout layout = read_layout(header, transform, options.on_error, input.name());

  OutputFile output(options.out.output);
  output.write(layout.output_header);
  CsvChunkSource source(reader, input.name());
  ProgressLine progress(show_progress(options.out), input.size());
  OutputSink sink(output, progress, side);
  const std::string& file_name = input.name();
  const PipelineResult result = run_pipeline(
      source,
      [&] {
        return std::make_unique<CsvChunkWorker>(transform, layout, options.on_error, file_name);
      },
      sink, PipelineOptions{options.out.threads, &stop_requested});
  progress.clear();

  const int status_so_far = settle_output(result, output);
  if (status_so_far != exit_success) {
    return status_so_far;
  }
  if (reader.blank_lines() > 0 && !options.out.quiet) {
    report(input.name() + ": " + count_of(reader.blank_lines(), "blank line") + " skipped");
  }
  int status_now = exit_success;
  if (result.marked > 0) {
    report(count_of(result.marked, "bad row") + " marked in " + output.name() +
           " (first: " + result.first_mark.value_or("") + ")");
    status_now = exit_data_error;
  }
  if (after_output) {
    status_now = std::max(status_now, after_output(output.name()));
  }
  return status_now;
}

int run_sweep(const SweepOptions& options, const std::atomic<bool>& stop_requested) {
  std::array<Axis, scene_field_count> axes;
  for (std::size_t i = 0; i < axes.size(); ++i) {
    axes[i] = Axis::parse(sweep_option_names[i], options.axes[i], static_cast<SceneField>(i));
  }
  const Grid grid(std::move(axes));
  std::optional<PictureRequest> picture;
  std::string plot_commands;
  if (!options.plot.empty()) {
    picture = read_picture_request(options.plot, options.size, options.channel);
    plot_commands = sweep_plot_commands(grid, *picture);
  }

  OutputFile output(options.out.output);
  output.write(sweep_header());
  GridSource source(grid);
  ProgressLine progress(show_progress(options.out), grid.size());
  OutputSink sink(output, progress, nullptr);
  const PipelineResult result = run_pipeline(
      source, [&] { return std::make_unique<GridWorker>(grid, options.out.format); }, sink,
      PipelineOptions{options.out.threads, &stop_requested});
  progress.clear();
  const int status = settle_output(result, output);
  if (status != exit_success || !picture) {
    return status;
  }
  return draw_after_output(
      *picture, [&](ScriptOutput& out) { out.write(plot_commands); }, output.name());
}

}  // namespace nerido::batch
