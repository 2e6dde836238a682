// The subcommands of nerido-batch: each file of this folder holds one, with
// its options, help text, row conversion and picture; command_line.cpp holds
// what they share.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/io/files.hpp"
#include "batch/io/text.hpp"
#include "batch/rows.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {

// Parses the command line, runs the subcommand and answers the exit status:
// 0 success, 1 a data error, 2 a usage error (CLI11's own parse errors
// included), each but success with a one-line message on standard error.
int run_command_line(int argc, const char* const* argv);

// A subcommand added to the command line, and what runs it once parsed.
struct Command {
  CLI::App* app = nullptr;
  std::function<int(const std::atomic<bool>& stop_requested)> run;
};

Command add_forward(CLI::App& app);
Command add_sweep(CLI::App& app);
Command add_retrieve(CLI::App& app);

struct OutputOptions {
  std::string output{"-"};  // FILE, or "-" for standard output
  unsigned threads = 1;     // worker threads
  NumberFormat format;      // of the computed numbers
  bool quiet = false;       // no progress line, no note of skipped blank lines
};

// --map FIELD=NAME: the CSV column or NetCDF variable a field comes from.
using FieldMap = std::map<std::string, std::string, std::less<>>;
// The field of one two-dimensional (record, channel) NetCDF variable of six Tb.
inline constexpr std::string_view all_channels_field = "tb";

// A file through a row conversion (forward, retrieve).
struct RowsOptions {
  std::string input{"-"};  // FILE, or "-" for standard input
  std::string on_error{"stop"};
  std::string salinity;           // --salinity PSU for the whole input; empty: none
  std::string input_format;       // csv or netcdf; empty: by the input's suffix
  std::string output_format;      // csv or netcdf; empty: by the output's suffix
  std::vector<std::string> maps;  // --map FIELD=NAME, as given
  OutputOptions out;
};

// Options every subcommand takes, and those of one that reads CSV rows.
void add_output_options(CLI::App& command, OutputOptions& options);
void add_rows_options(CLI::App& command, RowsOptions& options);

// Runs `conversion` from `source` to options.output as CSV, under `header`
// (the input's header as it stood, or empty to write the names); `total`:
// the amount of input (bytes or grid points) for the progress line, when
// known. What the
// conversion collects beside the rows goes to `side` (when given); once the
// output is complete `after_output` (when given) is called with its name,
// for a status of its own (a picture). An interrupt ends the process by its
// signal once the rows before it are written; a stop keeps those rows in
// FILE.partial-XXXXXX. Throws UsageError and DataError.
// `make_sink`, when given, makes the sink of a file written through its path
// (NetCDF) instead of a CSV sink.
using SinkByPath = std::function<std::unique_ptr<RecordSink>(
    const std::string& path, const std::string& name, const RecordSource& source)>;
int run_conversion(RecordSource& source, const std::string& header,
                   std::optional<std::uint64_t> total, const RowConversion& conversion,
                   OnError on_error, const OutputOptions& options,
                   const std::atomic<bool>& stop_requested, ScratchFile* side = nullptr,
                   const std::function<int(const std::string&)>& after_output = {},
                   const SinkByPath& make_sink = {});
// The same from the file options.input (CSV, or NetCDF by its suffix or
// --input-format), written as CSV or NetCDF (by the output's suffix or
// --output-format).
int run_file(const RowConversion& conversion, const RowsOptions& options,
             const std::atomic<bool>& stop_requested, ScratchFile* side = nullptr,
             const std::function<int(const std::string&)>& after_output = {});

// The value an option such as --salinity gives `field` (its text, as
// typed), or nothing when the text is empty. Throws UsageError naming the
// option for text that is not a number in the field's range.
[[nodiscard]] std::optional<float> read_field_option(SceneField field, const std::string& text);
// The optional input of `field`: a row of an input without it reads
// `given`, or else the field's default; when `given` (by the field's
// option), an input with the field as well is a usage error.
[[nodiscard]] OptionalInput optional_input(SceneField field, std::optional<float> given);

// Reads the first numbers.size() `values` (the text of the fields `names`)
// as numbers, an empty one as NaN when `empty_is_nan`; or sets `reason`
// ("NAME is empty", "NAME = 'TEXT' is not a number") and answers false.
bool read_numbers(std::span<const std::string_view> values, std::span<const std::string> names,
                  std::span<float> numbers, bool empty_is_nan, std::string& reason);

// True when each of `numbers` lies in the range of its field in `fields`;
// else sets `reason` ("NAME = TEXT is outside LOW to HIGH UNIT", with the
// text as it stands in `values`) and answers false.
bool check_ranges(std::span<const std::string_view> values, std::span<const std::string> names,
                  std::span<const float> numbers, std::span<const SceneField> fields,
                  std::string& reason);

// The brightness temperatures' column names: tb_4.74 ... tb_7.09.
[[nodiscard]] const std::array<std::string, channel_count>& tb_columns();
// Appends ",tb" for each channel.
void append_tb_cells(std::string& out, const std::array<float, channel_count>& tb,
                     NumberFormat format);

// The six Tb of `scene`, its emissivities reused while the SST and the
// salinity stay the same.
[[nodiscard]] inline std::array<float, channel_count> compute_tb(EmissivityCache& cache,
                                                                 const Scene& scene) noexcept {
  return brightness_temperatures(scene, cache.emissivities(scene.sst_c, scene.salinity_psu));
}

// The conversions, as the row loop runs them.
// `salinity`: --salinity's value, if given.
[[nodiscard]] RowConversion forward_conversion(NumberFormat format,
                                               std::optional<float> salinity = std::nullopt);
[[nodiscard]] RowConversion retrieve_conversion(const RetrievalOptions& options,
                                                NumberFormat format, const std::string& x_column,
                                                std::optional<float> salinity = std::nullopt);

// The values a sweep option gives `field` (its first million). Throws
// UsageError naming the option.
[[nodiscard]] std::vector<float> axis_values(SceneField field, std::string_view text);

// Reads --noise: one value for every channel, or six, comma-separated (K),
// each positive and finite. Throws UsageError naming the option.
[[nodiscard]] std::array<float, channel_count> read_noise(std::string_view text);

}  // namespace nerido::batch
