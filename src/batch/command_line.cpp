#include "batch/command_line.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <new>
#include <thread>

#include "batch/commands.hpp"
#include "batch/errors.hpp"
#include "batch/forward.hpp"
#include "batch/progress.hpp"
#include "batch/signals.hpp"
#include "nerido/nerido.hpp"
#if NERIDO_HAVE_RETRIEVAL
#include "batch/retrieve.hpp"
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

constexpr std::string_view forward_footer =
    "Reads CSV with a header line; the columns sst_c (deg C), altitude_m (m), air_c\n"
    "(deg C), wind_ms (m/s) and rain_mmh (mm/h) are found by name, in any order. Every\n"
    "column passes through unchanged; tb_4.74 ... tb_7.09 (K) are appended. Numbers are\n"
    "the shortest text that reads back to the same float, unless --decimals is given.\n"
    "\n"
    "A bad row (a field missing, not a number or out of range, too few or too many\n"
    "fields) stops the run with FILE:LINE: reason and status 1; with -o FILE the rows\n"
    "before it are kept in FILE.partial and FILE is left as it was. --on-error mark\n"
    "writes bad rows with empty Tb cells and the reason in a last column 'error',\n"
    "goes on, and ends with status 1. A record longer than 1 MiB always stops.\n"
    "\n"
    "Accepts LF and CRLF line ends, a UTF-8 byte-order mark and RFC 4180 quoting;\n"
    "blank lines are skipped. Output lines end in LF. With -o FILE the output is\n"
    "written to FILE.partial and renamed to FILE once complete.\n";

constexpr std::string_view sweep_footer =
    "Each of --sst, --altitude, --air, --wind and --rain takes one value, a list\n"
    "(0,5,10,20) or a range start:stop:step (value i is start + i*step, the stop\n"
    "included when reached). Every combination is written, SST outermost and rain\n"
    "innermost: the five inputs and tb_4.74 ... tb_7.09 (K).\n"
    "\n"
    "--plot draws Tb against the first option that varies, one curve per value of the\n"
    "second (at most two may vary), one panel per channel, with gnuplot (Debian package\n"
    "gnuplot-nox). Without gnuplot the CSV is still written, and the status is 1.\n";

constexpr std::string_view retrieve_footer =
    "Reads CSV with a header line; the columns tb_4.74 ... tb_7.09 (K), sst_c (deg C),\n"
    "altitude_m (m) and air_c (deg C) are found by name (the names forward writes, so\n"
    "forward | retrieve is a round trip). An empty Tb cell is a missing channel. Every\n"
    "column passes through; appended are ret_wind_ms, ret_rain_mmh, ret_wind_sigma_ms,\n"
    "ret_rain_sigma_mmh, ret_wind_rain_correlation, ret_residual_rms_k (K) and\n"
    "ret_status (ok, at_bound, poor_fit, not_converged, invalid_input).\n"
    "\n"
    "A row that cannot be read (text that is not a number, too few or too many\n"
    "fields) is a bad row, as in forward. Every row that is read is written with its\n"
    "status, invalid_input included (empty result cells), and leaves the exit status\n"
    "alone: the data are yours to judge.\n"
    "\n"
    "--plot FILE --x COLUMN draws the retrieved wind and rain with their +-1 sigma\n"
    "band against COLUMN (best one that increases, such as a time), with gnuplot.\n";

unsigned default_threads() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, max_threads);
}

// Options shared by the subcommands.
void add_output_options(CLI::App& command, OutputOptions& options) {
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

// Options of a subcommand that reads CSV rows.
void add_rows_options(CLI::App& command, RowsOptions& options, std::string& on_error) {
  command.add_option("input", options.input, "Input CSV file (default or -: standard input)")
      ->option_text("FILE");
  command.add_option("--on-error", on_error, "What a bad row does: stop or mark")
      ->check(CLI::IsMember({"stop", "mark"}))
      ->option_text("stop|mark");
  add_output_options(command, options.out);
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

int run_command_line(int argc, const char* const* argv) {
  CLI::App app{
      "Brightness temperatures of the sea (4.74 to 7.09 GHz) for files of scenes and grids.",
      "nerido-batch"};
  app.set_version_flag("--version", "nerido-batch " + std::string(version.text));
  app.require_subcommand(1);
  app.footer(std::string(program_footer));

  RowsOptions forward;
  forward.out.threads = default_threads();
  std::string on_error = "stop";
  CLI::App* forward_command = app.add_subcommand(
      "forward", "Append the six brightness temperatures to a CSV file of scenes");
  add_rows_options(*forward_command, forward, on_error);
  forward_command->footer(std::string(forward_footer));

  SweepOptions sweep;
  sweep.out.threads = default_threads();
  CLI::App* sweep_command = app.add_subcommand(
      "sweep", "Compute a grid of scenes: every combination of the values given");
  const std::array<std::string_view, scene_field_count> descriptions{
      "Sea-surface temperature (deg C), -2 to 45", "Radar altitude (m), above 0 to 16000",
      "Flight-level air temperature (deg C), -70 to 45", "Wind speed (m/s), 0 to 150",
      "Rain rate (mm/h), 0 to 150"};
  const std::array<std::string_view, scene_field_count> names{"--sst", "--altitude", "--air",
                                                              "--wind", "--rain"};
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    sweep_command->add_option(std::string(names[i]), sweep.axes[i], std::string(descriptions[i]))
        ->required()
        ->option_text("V|V,V,..|START:STOP:STEP");
  }
  CLI::Option* plot = sweep_command
                          ->add_option("--plot", sweep.plot,
                                       "Also draw the sweep into FILE.png or FILE.svg (gnuplot)")
                          ->option_text("FILE");
  sweep_command->add_option("--size", sweep.size, "Picture size in pixels (default 1200x800)")
      ->needs(plot)
      ->option_text("WxH");
  sweep_command->add_option("--channel", sweep.channel, "Draw one channel only, e.g. 6.02 (GHz)")
      ->needs(plot)
      ->option_text("GHZ");
  add_output_options(*sweep_command, sweep.out);
  sweep_command->footer(std::string(sweep_footer));

#if NERIDO_HAVE_RETRIEVAL
  RetrieveOptions retrieval;
  retrieval.rows.out.threads = default_threads();
  std::string retrieval_on_error = "stop";
  CLI::App* retrieve_command = app.add_subcommand(
      "retrieve", "Append wind speed and rain rate retrieved from six brightness temperatures");
  add_rows_options(*retrieve_command, retrieval.rows, retrieval_on_error);
  retrieve_command
      ->add_option("--noise", retrieval.noise,
                   "1 sigma of each channel's measurement (K): one value, or six (default 0.5)")
      ->option_text("K|K,K,K,K,K,K");
  CLI::Option* retrieve_plot =
      retrieve_command
          ->add_option("--plot", retrieval.plot,
                       "Also draw wind and rain against --x into FILE.png or FILE.svg (gnuplot)")
          ->option_text("FILE");
  CLI::Option* retrieve_x =
      retrieve_command->add_option("--x", retrieval.x_column, "The column to draw them against")
          ->option_text("COLUMN");
  retrieve_plot->needs(retrieve_x);
  retrieve_x->needs(retrieve_plot);
  retrieve_command
      ->add_option("--size", retrieval.size, "Picture size in pixels (default 1200x800)")
      ->needs(retrieve_plot)
      ->option_text("WxH");
  retrieve_command->footer(std::string(retrieve_footer));
#endif

  // CLI11 would call a misspelt subcommand a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    std::string known;
    bool found = false;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
      known += (known.empty() ? "" : ", ") + command->get_name();
      found = found || command->get_name() == argv[1];
    }
    if (!found) {
      report("unknown subcommand '" + std::string(argv[1]) + "': " + known +
             " (see nerido-batch --help)");
      return exit_usage_error;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    report(one_line(e.what()) + " (see nerido-batch --help)");
    return exit_usage_error;
  }
  forward.on_error = on_error == "mark" ? OnError::mark : OnError::stop;

  const std::atomic<bool>& stop_requested = install_signal_handlers();
  try {
    if (forward_command->parsed()) {
      return run_rows(ForwardTransform(forward.out.format), forward, stop_requested);
    }
#if NERIDO_HAVE_RETRIEVAL
    if (retrieve_command->parsed()) {
      retrieval.rows.on_error = retrieval_on_error == "mark" ? OnError::mark : OnError::stop;
      return run_retrieve(retrieval, stop_requested);
    }
#endif
    return run_sweep(sweep, stop_requested);
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
