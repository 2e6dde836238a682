// The program's command line: none is needed; --help and --version answer
// and end the program, anything else is refused.
#pragma once

#include <optional>
#include <span>

namespace nerido::dialogue {

// Exit statuses of a command line that ends the program before the dialogue.
inline constexpr int usage_error_status = 2;

// Acts on the program's arguments (argv[1] onward). Returns the exit status
// when they end the program (--help or --version: text on standard output,
// 0; anything else: a usage line on standard error, 2), and nothing when the
// dialogue should run (no arguments).
std::optional<int> handle_arguments(std::span<const char* const> arguments);

}  // namespace nerido::dialogue
