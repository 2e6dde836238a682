#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <span>
#include <string>

#include "emissivity/kleinswift.hpp"
#include "nerido/nerido.hpp"
#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido {
namespace {

// Nadir view: both incidence angles of the emissivity loop (degrees).
constexpr float nadir_deg = 0.0f;
// Polarisation selector of the emissivity loop: horizontal at nadir.
constexpr std::int32_t horizontal_selector = 1;

// The scene's fields: the one table of their names, units and ranges.
constexpr std::array<FieldRange, scene_field_count> field_ranges{{
    {"sst_c", "sea-surface temperature", "deg C", "sst", -2.0f, true, 45.0f, "degC",
     "sea_surface_temperature"},
    {"altitude_m", "radar altitude", "m", "altitude", 0.0f, false, 16000.0f, "m", ""},
    {"air_c", "flight-level air temperature", "deg C", "air", -70.0f, true, 45.0f, "degC",
     "air_temperature"},
    {"wind_ms", "surface wind speed", "m/s", "wind", 0.0f, true, 150.0f, "m s-1", "wind_speed"},
    {"rain_mmh", "rain rate", "mm/h", "rain", 0.0f, true, 150.0f, "mm h-1", "rainfall_rate"},
}};

// The shortest text that reads back to the same float ("151", "0.1", "nan").
std::string shortest(float value) {
  std::array<char, 32> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
  return {text.data(), result.ptr};
}

}  // namespace

// Single-precision sum: the exact sum of two floats of these sizes fits a
// double, so rounding it once gives what a float addition gives.
float model_kelvin(float celsius) noexcept {
  return to_single(wide(celsius) + wide(radiance::budget::celsius_to_kelvin));
}

const FieldRange& field_range(SceneField field) noexcept {
  return field_ranges[static_cast<std::size_t>(field)];
}

bool in_range(SceneField field, float value) noexcept {
  const FieldRange& r = field_range(field);
  const bool above_low = r.low_inclusive ? value >= r.low : value > r.low;
  return above_low && value <= r.high;  // false for a NaN
}

std::string range_text(SceneField field) {
  const FieldRange& r = field_range(field);
  std::string text = shortest(r.low);
  text += r.low_inclusive ? " to " : " (exclusive) to ";
  text += shortest(r.high) + " ";
  text += r.unit;
  return text;
}

std::string describe_out_of_range(SceneField field, float value) {
  std::string text{field_range(field).name};
  text += " = " + shortest(value) + " is outside " + range_text(field);
  return text;
}

std::array<float, scene_field_count> scene_values(const Scene& scene) noexcept {
  return {scene.sst_c, scene.altitude_m, scene.air_c, scene.wind_ms, scene.rain_mmh};
}

Scene scene_from_values(const std::array<float, scene_field_count>& values) noexcept {
  return {values[0], values[1], values[2], values[3], values[4]};
}

std::optional<SceneField> first_invalid_field(const Scene& scene) noexcept {
  const std::array<float, scene_field_count> values = scene_values(scene);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto field = static_cast<SceneField>(i);
    if (!in_range(field, values[i])) {
      return field;
    }
  }
  return std::nullopt;
}

std::optional<SceneError> check_scene(const Scene& scene) {
  const std::optional<SceneField> field = first_invalid_field(scene);
  if (!field) {
    return std::nullopt;
  }
  const float value = scene_values(scene)[static_cast<std::size_t>(*field)];
  return SceneError{*field, value, describe_out_of_range(*field, value)};
}

InvalidScene::InvalidScene(const SceneError& error)
    : std::invalid_argument(error.message), field_(error.field), value_(error.value) {}

std::array<float, channel_count> emissivities(float sst_c) noexcept {
  std::array<float, channel_count> e{};
  emissivity::klsw_loop(channels_ghz, sst_c, nadir_deg, nadir_deg, e, horizontal_selector,
                        static_cast<std::int32_t>(channel_count));
  return e;
}

const std::array<float, channel_count>& EmissivityCache::emissivities(float sst_c) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(sst_c);
  if (!filled_ || bits != sst_bits_) {
    emissivities_ = nerido::emissivities(sst_c);
    sst_bits_ = bits;
    filled_ = true;
  }
  return emissivities_;
}

std::array<float, channel_count> brightness_temperatures(
    const Scene& scene, const std::array<float, channel_count>& emissivities) noexcept {
  // The budget of each channel, with the parts that all channels share
  // computed once: bit for bit tbvanto of every channel.
  const radiance::AirTerms air =
      radiance::air_terms(model_kelvin(scene.sst_c), scene.altitude_m, model_kelvin(scene.air_c));
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
