#include "dialogue/driver.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "dialogue/line_reader.hpp"
#include "dialogue/output_record.hpp"
#include "dialogue/value_field.hpp"
#include "nerido/nerido.hpp"

namespace nerido::dialogue {
namespace {

enum class Prompt { sst, altitude, air_temperature, wind_speed, rain_rate, count };

struct PromptRule {
  std::string_view text;
  SceneField field;  // whose range the value must lie in
  std::string_view range_message;
  // Where a blank line or "NO" leads; nothing means the dialogue stops.
  std::optional<Prompt> back_to;
};

constexpr std::array<PromptRule, static_cast<std::size_t>(Prompt::count)> prompt_rules{{
    {"Enter SST (deg C) > ", SceneField::sst_c, "SST value out of range (-2 to 45 C)",
     std::nullopt},
    {"Enter Radar Altitude (meters) > ", SceneField::altitude_m,
     "Alt value out of range (0 to 16000 m)", Prompt::sst},
    {"Enter Flight Level Ambient Temp (deg C) > ", SceneField::air_c,
     "Temp value out of range (-70 to +45 C)", std::nullopt},
    {"Estimated Wind Speed (m/s) > ", SceneField::wind_ms, "WS value out of range (0 to 150 m/s)",
     Prompt::altitude},
    {"Estimated Rain Rate (mm/hr) > ", SceneField::rain_mmh,
     "RR value out of range (0 to 150 mm/hr)", Prompt::altitude},
}};

const PromptRule& rule(Prompt p) { return prompt_rules[static_cast<std::size_t>(p)]; }

// The rule of the prompt that asks for `field` (one prompt per field).
const PromptRule& rule_of(SceneField field) {
  return *std::find_if(prompt_rules.begin(), prompt_rules.end(),
                       [field](const PromptRule& r) { return r.field == field; });
}

// A value line must hold one value that fits the ten-column field, the
// point the line reader appended included. The field rule would silently
// ignore text past column 10 ('     15000' would read as 0.15, '28        sea'
// as 0.00028) and anything after a comma ('28,5' would read as 0.00028, the
// appended point lost behind the comma), so such lines are refused instead.
bool holds_one_value(const LineBuffer& line) {
  const auto tail = line.begin() + value_field_columns;
  return std::all_of(tail, line.end(), [](char c) { return c == ' '; }) &&
         std::find(line.begin(), tail, ',') == tail;
}

// Everything the dialogue holds for the whole run.
class Dialogue {
 public:
  Dialogue(LookaheadInput& in, ByteSink& out) : in_(in), out_(out) {}
  Outcome run();

 private:
  enum class Answer { value, back, stop, ended };
  Answer ask(Prompt p, float& value);
  void store(Prompt p, float value);
  void compute_and_print();
  void write_line(std::string_view text);

  LookaheadInput& in_;
  ByteSink& out_;
  Record record_;
  LineBuffer line_{};
  std::int32_t status_ = value_line;
  LineRead last_read_ = LineRead::delivered;
  Prompt back_to_ = Prompt::sst;

  Scene scene_{};  // the five values as entered
  std::array<float, channel_count> brightness_k_{};
};

void Dialogue::write_line(std::string_view text) {
  put_text(record_, text);
  end_line(record_, out_);
}

Dialogue::Answer Dialogue::ask(Prompt p, float& value) {
  const PromptRule& r = rule(p);
  for (;;) {
    put_text(record_, r.text);
    end_prompt(record_, out_);
    last_read_ = cread(in_, line_, status_);
    if (last_read_ != LineRead::delivered) {
      return Answer::ended;
    }
    if (status_ == exit_line) {
      return Answer::stop;
    }
    if (status_ == blank_line || status_ == no_line) {
      if (!r.back_to) {
        return Answer::stop;
      }
      back_to_ = *r.back_to;
      return Answer::back;
    }
    std::int32_t code = holds_one_value(line_) ? read_fixed(line_, value) : unexpected_character;
    if (code != conversion_ok) {
      put_text(record_, "I/O Error");
      put_int(record_, code);
      put_text(record_, " while reading value!");
      end_line(record_, out_);
      continue;
    }
    if (!in_range(r.field, value)) {
      write_line(r.range_message);
      continue;
    }
    return Answer::value;
  }
}

void Dialogue::store(Prompt p, float value) {
  switch (p) {
    case Prompt::sst:
      scene_.sst_c = value;
      break;
    case Prompt::altitude:
      scene_.altitude_m = value;
      break;
    case Prompt::air_temperature:
      scene_.air_c = value;
      break;
    case Prompt::wind_speed:
      scene_.wind_ms = value;
      break;
    case Prompt::rain_rate:
      scene_.rain_mmh = value;
      break;
    case Prompt::count:
      break;
  }
}

void Dialogue::compute_and_print() {
  brightness_k_ = brightness_temperatures(scene_);
  put_text(record_, "Freq:");
  for (float f : channels_ghz) {
    put_real(record_, f);
  }
  put_text(record_, " GHz");
  end_line(record_, out_);
  put_text(record_, "  Tb:");
  for (float tb : brightness_k_) {
    put_real(record_, tb);
  }
  put_text(record_, " K");
  end_line(record_, out_);
}

Outcome Dialogue::run() {
  Prompt p = Prompt::sst;
  for (;;) {
    float value = 0.0f;
    switch (ask(p, value)) {
      case Answer::stop:
        return {Ending::operator_stop, LineRead::delivered};
      case Answer::ended:
        return last_read_ == LineRead::stopped ? Outcome{Ending::stop_requested, last_read_}
                                               : Outcome{Ending::input_ended, last_read_};
      case Answer::back:
        p = back_to_;
        continue;
      case Answer::value:
        store(p, value);
        break;
    }
    if (p == Prompt::rain_rate) {
      compute_and_print();
      p = Prompt::wind_speed;
    } else {
      p = static_cast<Prompt>(static_cast<int>(p) + 1);
    }
  }
}

}  // namespace

std::string_view prompt_text(SceneField field) { return rule_of(field).text; }
std::string_view range_message(SceneField field) { return rule_of(field).range_message; }

Outcome run_dialogue(LookaheadInput& in, ByteSink& out) { return Dialogue(in, out).run(); }

}  // namespace nerido::dialogue
