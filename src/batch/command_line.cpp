#include "batch/command_line.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <new>
#include <thread>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"

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

// CLI11's message for a parse error, as one line.
std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text;
}

}  // namespace

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
  for (const Command& c : commands) {
    const CLI::Option* output = c.app->get_option_no_throw("--output");
    if (c.app->parsed() && output != nullptr && output->count() > 0 &&
        output->as<std::string>().empty()) {
      report("-o needs a file name");
      return exit_usage_error;
    }
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
