// The process's ends of the dialogue: standard input and output as byte
// streams, the interrupt and termination signals, and how the process ends.
#pragma once

#include <csignal>
#include <string>

#include "dialogue/byte_streams.hpp"
#include "dialogue/driver.hpp"
#include "dialogue/line_reader.hpp"

namespace nerido::dialogue {

// The call that reads and sets a signal's action: sigaction(2), or a stand-in
// in a test.
using SignalActionCall = int (*)(int, const struct sigaction*, struct sigaction*);

// Installs the handlers for the operator interrupt and the termination
// request. An interrupt that was ignored when the program started stays
// ignored. A handler that cannot be installed is named on standard error and
// the program runs on without it (that signal then ends the process without
// its message).
void install_signal_handlers(SignalActionCall call = ::sigaction);

// Standard input. A signal that arrives while the program waits for input
// ends the process at once from the handler ("Interrupt" or "Killed" on
// standard error, status 1): everything written so far has been flushed by
// the prompt. A signal that arrives at any other time is reported through
// stop_requested() and handled by finish().
class StandardInput final : public LookaheadInput {
 public:
  [[nodiscard]] bool stop_requested() const override;

 protected:
  long fill(char* into, std::size_t size) override;
};

// Standard output.
class StandardOutput final : public ByteSink {
 protected:
  bool drain(const char* data, std::size_t size) override;
};

// Ends the dialogue's process as its outcome says and returns the exit
// status; for an ended input it writes the diagnostic and aborts instead.
//   operator stop: 0, or 1 with "nerido: error writing standard output" when
//                  anything written to standard output failed
//   stop request:  "Interrupt" or "Killed" on standard error, 1
int finish(const Outcome& outcome, StandardOutput& out);

// The four-line diagnostic written to standard error when the input ends
// while a prompt waits; its first line says how the read ended.
std::string read_end_diagnostic(LineRead ending);

}  // namespace nerido::dialogue
