#include "dialogue/driver.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "dialogue/line_reader.hpp"
#include "emissivity/kleinswift.hpp"
#include "precision/precision.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido::dialogue {
namespace {

// Radiometer channels (GHz).
constexpr std::array<float, 6> channel_table_ghz{4.74f, 5.31f, 5.57f, 6.02f, 6.69f, 7.09f};
constexpr std::int32_t channel_count = static_cast<std::int32_t>(channel_table_ghz.size());

// Degrees Celsius to kelvin as the model was built: 273.146, not 273.15.
constexpr float celsius_to_kelvin = 273.146f;
// Nadir view: both incidence angles of the emissivity loop (degrees).
constexpr float nadir_deg = 0.0f;
// Polarisation selector of the emissivity loop: horizontal at nadir.
constexpr std::int32_t horizontal_selector = 1;

enum class Prompt { sst, altitude, air_temperature, wind_speed, rain_rate, count };

struct PromptRule {
  std::string_view text;
  float low;
  bool low_inclusive;
  float high;
  std::string_view range_message;
  // Where a blank line or "NO" leads; nothing means the dialogue stops.
  std::optional<Prompt> back_to;
};

constexpr std::array<PromptRule, static_cast<std::size_t>(Prompt::count)> prompt_rules{{
    {"Enter SST (deg C) > ", -2.0f, true, 45.0f, "SST value out of range (-2 to 45 C)",
     std::nullopt},
    {"Enter Radar Altitude (meters) > ", 0.0f, false, 16000.0f,
     "Alt value out of range (0 to 16000 m)", Prompt::sst},
    {"Enter Flight Level Ambient Temp (deg C) > ", -70.0f, true, 45.0f,
     "Temp value out of range (-70 to +45 C)", std::nullopt},
    {"Estimated Wind Speed (m/s) > ", 0.0f, true, 150.0f, "WS value out of range (0 to 150 m/s)",
     Prompt::altitude},
    {"Estimated Rain Rate (mm/hr) > ", 0.0f, true, 150.0f, "RR value out of range (0 to 150 mm/hr)",
     Prompt::altitude},
}};

const PromptRule& rule(Prompt p) { return prompt_rules[static_cast<std::size_t>(p)]; }

bool in_range(const PromptRule& r, float v) {
  const bool above_low = r.low_inclusive ? v >= r.low : v > r.low;
  return above_low && v <= r.high;  // false for a NaN
}

// Single-precision sum: the exact sum of two floats of these sizes fits a
// double, so rounding it once gives what a float addition gives.
float to_kelvin(float celsius) { return to_single(wide(celsius) + wide(celsius_to_kelvin)); }

// A value line must fit the ten-column field, the point the line reader
// appended included. Text past column 10 would be silently ignored by the
// field rule ('     15000' would read as 0.15, '28        sea' as 0.00028),
// so such a line is refused instead.
bool fits_value_field(const LineBuffer& line) {
  return std::all_of(line.begin() + value_field_columns, line.end(),
                     [](char c) { return c == ' '; });
}

// Everything the dialogue holds for the whole run.
class Dialogue {
 public:
  Dialogue(ByteSource& in, ByteSink& out) : in_(in), out_(out) {}
  Outcome run();

 private:
  enum class Answer { value, back, stop, ended };
  Answer ask(Prompt p, float& value);
  void store(Prompt p, float value);
  void compute_and_print();
  void write_line(std::string_view text);

  ByteSource& in_;
  ByteSink& out_;
  Record record_;
  LineBuffer line_{};
  std::int32_t status_ = value_line;
  LineRead last_read_ = LineRead::delivered;
  Prompt back_to_ = Prompt::sst;

  float sst_c_ = 0.0f;                // sea-surface temperature (degrees Celsius)
  float sst_k_ = 0.0f;                // the same in kelvin
  float altitude_m_ = 0.0f;           // radar altitude (m)
  float air_k_ = 0.0f;                // flight-level air temperature (kelvin)
  std::array<float, 2> wind_rain_{};  // wind speed (m/s), rain rate (mm/h)
  std::array<float, 6> emissivities_{};
  std::array<float, 6> brightness_k_{};
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
    std::int32_t code = fits_value_field(line_) ? read_fixed(line_, value) : unexpected_character;
    if (code != conversion_ok) {
      put_text(record_, "I/O Error");
      put_int(record_, code);
      put_text(record_, " while reading value!");
      end_line(record_, out_);
      continue;
    }
    if (!in_range(r, value)) {
      write_line(r.range_message);
      continue;
    }
    return Answer::value;
  }
}

void Dialogue::store(Prompt p, float value) {
  switch (p) {
    case Prompt::sst:
      sst_c_ = value;
      sst_k_ = to_kelvin(value);
      break;
    case Prompt::altitude:
      altitude_m_ = value;
      break;
    case Prompt::air_temperature:
      air_k_ = to_kelvin(value);
      break;
    case Prompt::wind_speed:
      wind_rain_[0] = value;
      break;
    case Prompt::rain_rate:
      wind_rain_[1] = value;
      break;
    case Prompt::count:
      break;
  }
}

void Dialogue::compute_and_print() {
  emissivity::klsw_loop(channel_table_ghz, sst_c_, nadir_deg, nadir_deg, emissivities_,
                        horizontal_selector, channel_count);
  for (std::size_t i = 0; i < channel_table_ghz.size(); ++i) {
    brightness_k_[i] = radiance::tbvanto(channel_table_ghz[i], sst_k_, altitude_m_, air_k_,
                                         emissivities_[i], wind_rain_);
  }
  put_text(record_, "Freq:");
  for (float f : channel_table_ghz) {
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

Outcome run_dialogue(ByteSource& in, ByteSink& out) { return Dialogue(in, out).run(); }

}  // namespace nerido::dialogue
