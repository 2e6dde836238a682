// The dialogue: five prompts, validation, navigation, and the six-channel
// brightness temperatures whenever all five values stand.
#pragma once

#include <string_view>

#include "dialogue/byte_streams.hpp"
#include "dialogue/line_reader.hpp"
#include "nerido/nerido.hpp"

namespace nerido::dialogue {

enum class Ending {
  operator_stop,   // a blank line, "NO" or "EX" where it stops the dialogue
  input_ended,     // the input ended while a prompt waited (see `read`)
  stop_requested,  // a signal asked the program to stop
};

struct Outcome {
  Ending ending = Ending::operator_stop;
  LineRead read = LineRead::delivered;  // for input_ended: how the read ended
};

// The prompt that asks for a field, e.g. "Estimated Wind Speed (m/s) > ",
// and the message that refuses a value outside the field's range.
std::string_view prompt_text(SceneField field);
std::string_view range_message(SceneField field);

// Runs one whole dialogue on `in` and `out` and says how it ended. It owns
// every value of the run; what the process does at the end (exit status,
// diagnostic, abort) is the caller's.
Outcome run_dialogue(LookaheadInput& in, ByteSink& out);

}  // namespace nerido::dialogue
