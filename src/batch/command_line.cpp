// What the subcommands share: the command line, the stop signals, the
// progress line, and the run of a conversion to an exit status.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <limits>
#include <new>
#include <thread>
#include <utility>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/io/csv.hpp"
#if NERIDO_HAVE_NETCDF
#include "batch/io/netcdf.hpp"
#endif

namespace nerido::batch {
namespace {

// Most worker threads --threads accepts.
inline constexpr unsigned max_threads = 256;

constexpr std::string_view program_footer =
    "Exit status: 0 success; 1 a data error (a bad row, unreadable input, unwritable\n"
    "output, a picture not drawn); 2 a usage error. Messages are one line on\n"
    "standard error, a bad row's as FILE:LINE: reason.\n"
    "\n"
    "Examples:\n"
    "  nerido-batch forward flight.csv -o flight_tb.csv\n"
    "  nerido-batch sweep --sst 28 --altitude 3000 --air 15 --wind 0:40:2 --rain 0,5,20 \\\n"
    "      --plot sweep.png\n"
    "  nerido-batch forward scenes.csv | nerido-batch retrieve --noise 0.5 -o retrieved.csv\n";

// The command line as typed, for the history of a NetCDF output.
std::string invocation;  // NOLINT(cert-err58-cpp): set once, before any thread starts

std::atomic<bool> stop_flag{false};
volatile std::sig_atomic_t stop_signal_number = 0;

extern "C" void request_stop(int signal_number) {
  stop_signal_number = signal_number;
  stop_flag.store(true);
}

// Sets the flag on an interrupt, a termination request or a hangup: the rows
// read before it are written, the output is tidied and the program ends by
// the same signal. A signal ignored when the program started (nohup, a
// background job) stays ignored. Writing into a closed pipe ends the program
// at once, as it ends other filters.
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
  (void)std::signal(SIGPIPE, SIG_DFL);
  return stop_flag;
}

// The progress line on standard error when it is a terminal and the run is
// not quiet, redrawn at most every 250 ms: "  42%  812345 rows/s  0:12 left"
// when the total is known, "  1200000 rows  812345 rows/s" otherwise.
class ProgressLine {
 public:
  ProgressLine(const OutputOptions& options, std::optional<std::uint64_t> total)
      : enabled_(!options.quiet && ::isatty(STDERR_FILENO) == 1), total_(total) {}
  ~ProgressLine() { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `done` of the total read, `rows` written.
  void update(std::uint64_t done, std::uint64_t rows) {
    const auto now = std::chrono::steady_clock::now();
    if (!enabled_ || now - last_draw_ < std::chrono::milliseconds(250)) {
      return;
    }
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::string text =
        "  " + std::to_string(std::llround(static_cast<double>(rows) / seconds)) + " rows/s";
    if (!total_ || *total_ == 0) {
      text = "  " + std::to_string(rows) + " rows" + text;
    } else {
      const double fraction = static_cast<double>(done) / static_cast<double>(*total_);
      text = "  " + std::to_string(std::lround(100.0 * fraction)) + "%" + text;
      if (done > 0) {
        const auto left =
            static_cast<std::uint64_t>(std::lround(seconds * (1.0 - fraction) / fraction));
        text += "  " + std::to_string(left / 60) + (left % 60 < 10 ? ":0" : ":") +
                std::to_string(left % 60) + " left";
      }
    }
    drawn_ = write_all(STDERR_FILENO, "\r" + text + "\033[K");
  }
  // Erases the line, if one is drawn.
  void clear() {
    if (std::exchange(drawn_, false)) {
      (void)write_all(STDERR_FILENO, "\r\033[K");
    }
  }

 private:
  bool enabled_;
  bool drawn_ = false;
  std::optional<std::uint64_t> total_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_draw_ = start_;
};

// After the rows: an interrupt ends the process by its signal, a stop keeps
// the rows before it beside the output, otherwise the output is committed.
// Answers the exit status so far.
int settle_output(OutputFile& output, std::uint64_t rows, const std::optional<std::string>& stop,
                  const std::atomic<bool>& stop_requested) {
  if (stop_requested.load() && !stop) {
    std::string text = "interrupted after " + count_of(rows, "row");
    if (output.replaces_whole()) {
      text += "; they are kept in " + output.keep_partial();
    }
    report(text);
    const int signal_number = stop_signal_number;
    if (signal_number != 0) {
      (void)std::signal(signal_number, SIG_DFL);
      (void)std::raise(signal_number);
    }
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

// CLI11's message for a parse error, as one line.
std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text;
}

}  // namespace

bool read_numbers(std::span<const std::string_view> values, std::span<const std::string> names,
                  std::span<float> numbers, bool empty_is_nan, std::string& reason) {
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    switch (read_number(values[i], numbers[i])) {
      case NumberRead::ok:
        break;
      case NumberRead::empty:
        if (empty_is_nan) {
          numbers[i] = std::numeric_limits<float>::quiet_NaN();
          break;
        }
        reason = names[i] + " is empty";
        return false;
      case NumberRead::not_a_number:
        reason = names[i] + " = '" + escaped(values[i]) + "' is not a number";
        return false;
    }
  }
  return true;
}

std::optional<float> read_field_option(SceneField field, const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  const std::string option = "--" + std::string(field_range(field).option);
  float value = 0.0f;
  if (read_number(text, value) != NumberRead::ok) {
    throw UsageError(option + ": '" + escaped(text) + "' is not a number");
  }
  if (!in_range(field, value)) {
    throw UsageError(option + ": " + describe_out_of_range(field, value));
  }
  return value;
}

OptionalInput optional_input(SceneField field, std::optional<float> given) {
  const FieldRange& r = field_range(field);
  return {std::string(r.name), number_text(given.value_or(r.default_value.value_or(0.0f))),
          given ? "--" + std::string(r.option) : std::string()};
}

bool check_ranges(std::span<const std::string_view> values, std::span<const std::string> names,
                  std::span<const float> numbers, std::span<const SceneField> fields,
                  std::string& reason) {
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!in_range(fields[i], numbers[i])) {
      reason = names[i] + " = " + escaped(trim_blanks(values[i])) + " is outside " +
               range_text(fields[i]);
      return false;
    }
  }
  return true;
}

int run_conversion(RecordSource& source, const std::string& header,
                   std::optional<std::uint64_t> total, const RowConversion& conversion,
                   OnError on_error, const OutputOptions& options,
                   const std::atomic<bool>& stop_requested, ScratchFile* side,
                   const std::function<int(const std::string&)>& after_output,
                   const SinkByPath& make_sink) {
  OutputFile output(options.output, !make_sink);
  std::unique_ptr<RecordSink> file_sink;
  if (make_sink) {
    file_sink = make_sink(output.path(), output.name(), source);
  } else {
    file_sink =
        std::make_unique<CsvSink>([&](std::string_view bytes) { output.write(bytes); }, header);
  }
  RecordSink& sink = *file_sink;
  ProgressLine progress(options, total);
  std::uint64_t rows = 0;
  const auto written = [&](const RecordBlock& block) {
    if (side != nullptr) {
      side->write(block.side);
    }
    rows += block.rows;
    progress.update(block.input_offset, rows);
  };
  const RowResult result = run_rows(source, sink, conversion, {on_error, options.threads, written});
  progress.clear();
  const int status_so_far = settle_output(output, result.rows, result.stop, stop_requested);
  if (status_so_far != exit_success) {
    return status_so_far;
  }
  if (source.skipped() > 0 && !options.quiet) {
    report(source.name() + ": " + count_of(source.skipped(), "blank line") + " skipped");
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

namespace {

// True when `path` is read or written as NetCDF: --input-format or
// --output-format (`format`), else a name ending in .nc. Throws UsageError
// for NetCDF on a standard stream or in a build without it.
bool netcdf_file(const std::string& format, const std::string& path, std::string_view option) {
  const bool netcdf = format == "netcdf" || (format.empty() && path.ends_with(".nc"));
  if (netcdf && path == standard_stream) {
    throw UsageError(std::string(option) +
                     " netcdf: standard input and output are CSV; name a file");
  }
#if !NERIDO_HAVE_NETCDF
  if (netcdf) {
    throw UsageError(path +
                     ": this nerido-batch reads and writes CSV only (built without "
                     "netCDF-C and UDUNITS-2: Debian packages libnetcdf-dev, libudunits2-dev)");
  }
#endif
  return netcdf;
}

// "<ISO 8601 UTC time>Z nerido-batch <version> <arguments>": a line of the
// CF history attribute.
[[maybe_unused]] std::string history_line() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::array<char, 32> stamp{};
  const std::size_t size = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(stamp.data(), size) + " nerido-batch " + std::string(version.text) +
         invocation;
}

// Reads --map FIELD=NAME into `map`. FIELD must be one of `known` or
// all_channels_field. Throws UsageError naming the option.
FieldMap read_maps(const std::vector<std::string>& texts, std::span<const std::string> known) {
  FieldMap map;
  for (const std::string& text : texts) {
    const auto equals = text.find('=');
    const std::string field = text.substr(0, equals);
    if (equals == std::string::npos || equals + 1 == text.size() || equals == 0) {
      throw UsageError("--map " + text + ": give FIELD=NAME");
    }
    if (field != all_channels_field &&
        std::find(known.begin(), known.end(), field) == known.end()) {
      std::string fields;
      for (const auto& k : known) {
        fields += k + ", ";
      }
      std::string message = "--map ";
      message.append(text).append(": unknown field '").append(field).append("' (fields: ");
      message.append(fields).append(all_channels_field).append(")");
      throw UsageError(message);
    }
    map[field] = text.substr(equals + 1);
  }
  return map;
}

}  // namespace

int run_file(const RowConversion& conversion, const RowsOptions& options,
             const std::atomic<bool>& stop_requested, ScratchFile* side,
             const std::function<int(const std::string&)>& after_output) {
  std::vector<std::string> optional;
  for (const OptionalInput& input : conversion.optional_inputs) {
    optional.push_back(input.name);
  }
  std::vector<std::string> known = conversion.inputs;
  known.insert(known.end(), optional.begin(), optional.end());
  const FieldMap map = read_maps(options.maps, known);
  const OnError on_error = options.on_error == "mark" ? OnError::mark : OnError::stop;
  const bool netcdf_in = netcdf_file(options.input_format, options.input, "--input-format");
  const bool netcdf_out = netcdf_file(options.output_format, options.out.output, "--output-format");
#if NERIDO_HAVE_NETCDF
  std::optional<NetcdfSource> netcdf;
  if (netcdf_in) {
    netcdf.emplace(
        NetcdfSource::open(options.input), conversion.inputs, map,
        [](const std::string& note) { report(note); }, optional);
  }
  SinkByPath netcdf_sink;
  if (netcdf_out) {
    const NetcdfSource* copy_from = netcdf ? &*netcdf : nullptr;
    netcdf_sink = [copy_from](const std::string& path, const std::string& name,
                              const RecordSource& source) -> std::unique_ptr<RecordSink> {
      return std::make_unique<NetcdfSink>(path, name, source, copy_from, history_line());
    };
  }
  if (netcdf) {
    return run_conversion(*netcdf, "", netcdf->records().length, conversion, on_error, options.out,
                          stop_requested, side, after_output, netcdf_sink);
  }
#else
  (void)netcdf_in;
  (void)netcdf_out;
  const SinkByPath netcdf_sink;
#endif
  if (const auto tb = map.find(all_channels_field); tb != map.end()) {
    throw UsageError("--map " + tb->first + "=" + tb->second +
                     ": a CSV file has no two-dimensional variable; map tb_4.74 ... instead");
  }
  InputFile input(options.input);
  CsvSource source(
      input.name(),
      [&](char* buffer, std::size_t size) { return input.read(buffer, size, &stop_requested); },
      [&] { return input.would_wait(); }, &stop_requested);
  for (const auto& [field, column] : map) {
    if (!source.rename(column, field)) {
      std::string message = input.name();
      message.append(": no column '").append(column).append("' (--map ").append(field);
      message.append("=").append(column).append(")");
      throw DataError(message);
    }
  }
  return run_conversion(source, source.header_text(), input.size(), conversion, on_error,
                        options.out, stop_requested, side, after_output, netcdf_sink);
}

void add_output_options(CLI::App& command, OutputOptions& options) {
  options.threads = std::clamp(std::thread::hardware_concurrency(), 1u, max_threads);
  command.add_option("-o,--output", options.output, "Output CSV file (default: standard output)")
      ->option_text("FILE");
  command.add_option("--threads", options.threads, "Worker threads (default: one per core)")
      ->check(CLI::Range(1u, max_threads))
      ->option_text("N");
  command
      .add_option("--decimals", options.format.decimals,
                  "Fixed decimals for the computed numbers (default: shortest exact text)")
      ->check(CLI::Range(0, max_decimals))
      ->option_text("N");
  command.add_flag("-q,--quiet", options.quiet, "No progress line, no note of skipped blank lines");
}

void add_rows_options(CLI::App& command, RowsOptions& options) {
  command.add_option("input", options.input, "Input CSV file (default or -: standard input)")
      ->option_text("FILE");
  command.add_option("--on-error", options.on_error, "What a bad row does: stop or mark")
      ->check(CLI::IsMember({"stop", "mark"}))
      ->option_text("stop|mark");
  command
      .add_option("--input-format", options.input_format,
                  "Read the input as csv or netcdf (default: netcdf for a name ending in .nc)")
      ->check(CLI::IsMember({"csv", "netcdf"}))
      ->option_text("csv|netcdf");
  command
      .add_option("--output-format", options.output_format,
                  "Write the output as csv or netcdf (default: netcdf for -o ending in .nc)")
      ->check(CLI::IsMember({"csv", "netcdf"}))
      ->option_text("csv|netcdf");
  const FieldRange& salinity = field_range(SceneField::salinity_psu);
  command
      .add_option("--" + std::string(salinity.option), options.salinity,
                  "The " + std::string(salinity.label) + " of every row (" +
                      range_text(SceneField::salinity_psu) + "), for an input without a " +
                      std::string(salinity.name) + " column (default " +
                      number_text(salinity.default_value.value_or(0.0f)) + ")")
      ->option_text("PSU");
  command
      .add_option("--map", options.maps,
                  "Read FIELD from the column or variable NAME (repeatable); FIELD tb: one "
                  "(record, channel) NetCDF variable of the six Tb")
      ->option_text("FIELD=NAME")
      ->take_all();
  add_output_options(command, options.out);
}

int run_command_line(int argc, const char* const* argv) {
  CLI::App app{
      "Brightness temperatures of the sea (4.74 to 7.09 GHz) for files of scenes and grids.",
      "nerido-batch"};
  app.set_version_flag("--version", "nerido-batch " + std::string(version.text));
  app.require_subcommand(1);
  app.footer(std::string(program_footer));
  std::vector<Command> commands{add_forward(app), add_sweep(app)};
#if NERIDO_HAVE_RETRIEVAL
  commands.push_back(add_retrieve(app));
#endif

  // CLI11 would call a misspelt subcommand a missing one.
  if (argc > 1 && argv[1][0] != '-' &&
      std::none_of(commands.begin(), commands.end(),
                   [&](const Command& c) { return c.app->get_name() == argv[1]; })) {
    std::string known;
    for (const Command& c : commands) {
      known += (known.empty() ? "" : ", ") + c.app->get_name();
    }
    report("unknown subcommand '" + std::string(argv[1]) + "': " + known +
           " (see nerido-batch --help)");
    return exit_usage_error;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --help-all, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    report(one_line(e.what()) + " (see nerido-batch --help)");
    return exit_usage_error;
  }
  for (const Command& c : commands) {
    const CLI::Option* output = c.app->get_option_no_throw("--output");
    if (c.app->parsed() && output != nullptr && output->count() > 0 &&
        output->as<std::string>().empty()) {
      report("-o needs a file name");
      return exit_usage_error;
    }
  }

  for (int i = 1; i < argc; ++i) {
    invocation.append(" ").append(argv[i]);
  }
  const std::atomic<bool>& stop_requested = install_signal_handlers();
  try {
    for (const Command& c : commands) {
      if (c.app->parsed()) {
        return c.run(stop_requested);
      }
    }
    return exit_usage_error;
  } catch (const UsageError& error) {
    report(error.what());
    return exit_usage_error;
  } catch (const DataError& error) {
    report(error.what());
    return exit_data_error;
  } catch (const std::bad_alloc&) {
    report("out of memory");
    return exit_data_error;
  }
}

}  // namespace nerido::batch
