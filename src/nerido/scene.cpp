#include <array>
#include <charconv>
#include <cmath>
#include <span>
#include <string>

#include "emissivity/kleinswift.hpp"
#include "nerido/nerido.hpp"
#include "precision/precision.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido {
namespace {

// Degrees Celsius to kelvin as the model was built: 273.146, not 273.15.
constexpr float celsius_to_kelvin = 273.146f;
// Nadir view: both incidence angles of the emissivity loop (degrees).
constexpr float nadir_deg = 0.0f;
// Polarisation selector of the emissivity loop: horizontal at nadir.
constexpr std::int32_t horizontal_selector = 1;

constexpr std::array<FieldRange, 5> field_ranges{{
    {"sst_c", -2.0f, true, 45.0f, "deg C"},
    {"altitude_m", 0.0f, false, 16000.0f, "m"},
    {"air_c", -70.0f, true, 45.0f, "deg C"},
    {"wind_ms", 0.0f, true, 150.0f, "m/s"},
    {"rain_mmh", 0.0f, true, 150.0f, "mm/h"},
}};

// The shortest text that reads back to the same float ("151", "0.1", "nan").
std::string shortest(float value) {
  std::array<char, 32> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
  return {text.data(), result.ptr};
}

// Single-precision sum: the exact sum of two floats of these sizes fits a
// double, so rounding it once gives what a float addition gives.
float to_kelvin(float celsius) noexcept {
  return to_single(wide(celsius) + wide(celsius_to_kelvin));
}

}  // namespace

const FieldRange& field_range(SceneField field) noexcept {
  return field_ranges[static_cast<std::size_t>(field)];
}

bool in_range(SceneField field, float value) noexcept {
  const FieldRange& r = field_range(field);
  const bool above_low = r.low_inclusive ? value >= r.low : value > r.low;
  return above_low && value <= r.high;  // false for a NaN
}

std::string describe_out_of_range(SceneField field, float value) {
  const FieldRange& r = field_range(field);
  std::string text{r.name};
  text += " = " + shortest(value) + " is outside " + shortest(r.low);
  text += r.low_inclusive ? " to " : " (exclusive) to ";
  text += shortest(r.high) + " ";
  text += r.unit;
  return text;
}

std::optional<SceneError> check_scene(const Scene& scene) {
  const std::array<float, 5> values{scene.sst_c, scene.altitude_m, scene.air_c, scene.wind_ms,
                                    scene.rain_mmh};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto field = static_cast<SceneField>(i);
    if (!in_range(field, values[i])) {
      return SceneError{field, values[i], describe_out_of_range(field, values[i])};
    }
  }
  return std::nullopt;
}

InvalidScene::InvalidScene(const SceneError& error)
    : std::invalid_argument(error.message), field_(error.field), value_(error.value) {}

std::array<float, channel_count> emissivities(float sst_c) noexcept {
  std::array<float, channel_count> e{};
  emissivity::klsw_loop(channels_ghz, sst_c, nadir_deg, nadir_deg, e, horizontal_selector,
                        static_cast<std::int32_t>(channel_count));
  return e;
}

std::array<float, channel_count> brightness_temperatures(
    const Scene& scene, const std::array<float, channel_count>& emissivities) noexcept {
  // The budget of each channel, with the parts that all channels share
  // computed once: bit for bit tbvanto of every channel.
  const radiance::AirTerms air =
      radiance::air_terms(to_kelvin(scene.sst_c), scene.altitude_m, to_kelvin(scene.air_c));
  const radiance::RainTerms rain = radiance::rain_terms(scene.rain_mmh);
  std::array<float, channel_count> tb{};
  for (std::size_t i = 0; i < channel_count; ++i) {
    tb[i] = radiance::channel_brightness(
        air, radiance::channel_terms(air, channels_ghz[i], emissivities[i]), scene.wind_ms, rain);
  }
  return tb;
}

std::array<float, channel_count> brightness_temperatures(const Scene& scene) noexcept {
  return brightness_temperatures(scene, emissivities(scene.sst_c));
}

std::array<float, channel_count> checked_brightness_temperatures(const Scene& scene) {
  if (const auto error = check_scene(scene)) {
    throw InvalidScene(*error);
  }
  return brightness_temperatures(scene);
}

}  // namespace nerido
