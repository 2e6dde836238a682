// nerido: brightness temperatures of the sea seen by a nadir-looking
// microwave radiometer, asked for one value at a time on the console.
#include "dialogue/console.hpp"
#include "dialogue/driver.hpp"

int main() {
  nerido::dialogue::install_signal_handlers();
  nerido::dialogue::StandardInput in;
  nerido::dialogue::StandardOutput out;
  const nerido::dialogue::Outcome outcome = nerido::dialogue::run_dialogue(in, out);
  return nerido::dialogue::finish(outcome, out);
}
