#include "dialogue/command_line.hpp"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "dialogue/driver.hpp"
#include "nerido/nerido.hpp"

namespace nerido::dialogue {
namespace {

constexpr std::string_view help_head =
    "Usage: nerido [--help | --version]\n"
    "\n"
    "Brightness temperatures (K) that a nadir-looking radiometer receives from\n"
    "the sea in six channels, 4.74 to 7.09 GHz. The program asks for five values,\n"
    "one prompt at a time:\n"
    "\n";

constexpr std::string_view help_tail =
    "\n"
    "and prints the six frequencies and their brightness temperatures. It then\n"
    "asks for a new wind speed and rain rate, keeping the other three values.\n"
    "\n"
    "A value takes at most nine columns, or ten with its decimal point typed;\n"
    "'28' reads as 28.0. One value per line: text after it, or a comma, is\n"
    "refused with 'I/O Error  115 while reading value!' and the prompt repeats.\n"
    "\n"
    "A blank line or NO steps back (from the altitude to the SST, from the wind\n"
    "speed or rain rate to the altitude) and, at the SST and air-temperature\n"
    "prompts, ends the run. EX ends the run at any prompt.\n"
    "\n"
    "Exit status: 0 when the operator ends the run; 1 after an interrupt\n"
    "(\"Interrupt\"), a termination request (\"Killed\"), or a failed write to\n"
    "standard output; an abort, after a four-line diagnostic on standard error,\n"
    "when standard input ends while a prompt waits; 2 for a bad argument.\n";

// Column where the help's description of each prompt starts.
constexpr std::size_t help_description_column = 47;

// One line of the prompt table: the prompt, what it asks for and its range.
std::string prompt_help_line(SceneField field) {
  std::string line = "  ";
  std::string_view prompt = prompt_text(field);
  while (!prompt.empty() && prompt.back() == ' ') {
    prompt.remove_suffix(1);
  }
  line += prompt;
  line.resize(std::max(line.size() + 1, help_description_column), ' ');
  line += field_range(field).label;
  line += ", " + range_text(field) + "\n";
  return line;
}

std::string help_text() {
  std::string text{help_head};
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    text += prompt_help_line(static_cast<SceneField>(i));
  }
  text += help_tail;
  return text;
}

void write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) {
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::optional<int> handle_arguments(std::span<const char* const> arguments) {
  if (arguments.empty()) {
    return std::nullopt;
  }
  const std::string_view first = arguments[0] != nullptr ? arguments[0] : "";
  if (arguments.size() == 1 && first == "--help") {
    write_text(STDOUT_FILENO, help_text());
    return 0;
  }
  if (arguments.size() == 1 && first == "--version") {
    write_text(STDOUT_FILENO, "nerido " + std::string(version.text) + "\n");
    return 0;
  }
  write_text(STDERR_FILENO, "nerido: unexpected argument '" + std::string(first) +
                                "'; usage: nerido [--help | --version]\n");
  return usage_error_status;
}

}  // namespace nerido::dialogue
