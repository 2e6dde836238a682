// Drives whole dialogues in-process from arbitrary bytes on standard input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dialogue/byte_streams.hpp"
#include "dialogue/driver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nerido::dialogue;
  StringSource in(std::string_view(reinterpret_cast<const char*>(data), size));
  StringSink out;
  const Outcome outcome = run_dialogue(in, out);
  out.flush();
  // Memory input never asks to stop, and every line of input produces a
  // bounded amount of output (a prompt, a message or two result lines).
  if (outcome.ending == Ending::stop_requested || out.text().size() > 200 * (size + 1)) {
    __builtin_trap();
  }
  if (outcome.ending == Ending::input_ended && outcome.read == LineRead::delivered) {
    __builtin_trap();
  }
  return 0;
}
