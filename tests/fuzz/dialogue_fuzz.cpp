// Drives whole dialogues in-process from arbitrary bytes on standard input,
// once in one read and once in small pieces: both must give the same run.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "chunked_source.hpp"
#include "dialogue/byte_streams.hpp"
#include "dialogue/driver.hpp"

namespace {

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nerido::dialogue;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  StringSource in(input);
  StringSink out;
  const Outcome outcome = run_dialogue(in, out);
  out.flush();
  // Memory input never asks to stop, and every line of input produces a
  // bounded amount of output (a prompt, a message or two result lines).
  check(outcome.ending != Ending::stop_requested && out.text().size() <= 200 * (size + 1));
  check(outcome.ending != Ending::input_ended || outcome.read != LineRead::delivered);

  // Pieces of 1 to 7 bytes, the size chosen by the input's length.
  const nerido::testing::Pieces pieces{"small pieces", 1 + size % 7, ""};
  nerido::testing::ChunkedSource in_pieces(input, pieces);
  StringSink out_pieces;
  const Outcome outcome_pieces = run_dialogue(in_pieces, out_pieces);
  out_pieces.flush();
  check(outcome_pieces.ending == outcome.ending && outcome_pieces.read == outcome.read);
  check(out_pieces.text() == out.text() && in_pieces.reads_after_end() == 0);
  return 0;
}
