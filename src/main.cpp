// nerido: brightness temperatures of the sea seen by a nadir-looking
// microwave radiometer, asked for one value at a time on the console.
#include <cstddef>
#include <span>

#include "dialogue/command_line.hpp"
#include "dialogue/console.hpp"
#include "dialogue/driver.hpp"

int main(int argc, char** argv) {
  const std::span<const char* const> arguments =
      argc > 1 ? std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
               : std::span<const char* const>();
  if (const auto status = nerido::dialogue::handle_arguments(arguments)) {
    return *status;
  }
  nerido::dialogue::install_signal_handlers();
  nerido::dialogue::StandardInput in;
  nerido::dialogue::StandardOutput out;
  const nerido::dialogue::Outcome outcome = nerido::dialogue::run_dialogue(in, out);
  return nerido::dialogue::finish(outcome, out);
}
