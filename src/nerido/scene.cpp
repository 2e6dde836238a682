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

// The fields: the one table of their names, units, ranges and defaults.
constexpr std::optional<float> required = std::nullopt;
constexpr std::array<FieldRange, field_count> field_ranges{{
    {"sst_c", "sea-surface temperature", "deg C", "sst", -2.0f, true, 45.0f, "degC",
     "sea_surface_temperature", required},
    {"altitude_m", "radar altitude", "m", "altitude", 0.0f, false, 16000.0f, "m", "", required},
    {"air_c", "flight-level air temperature", "deg C", "air", -70.0f, true, 45.0f, "degC",
     "air_temperature", required},
    {"wind_ms", "surface wind speed", "m/s", "wind", 0.0f, true, 150.0f, "m s-1", "wind_speed",
     required},
    {"rain_mmh", "rain rate", "mm/h", "rain", 0.0f, true, 150.0f, "mm h-1", "rainfall_rate",
     required},
    // Practical salinity; CF writes its unit 1e-3.
    {"salinity_psu", "sea-surface salinity", "psu", "salinity", 0.0f, true, 40.0f, "1e-3",
     "sea_water_salinity", default_salinity_psu},
    // The sign of either angle does not matter to the retrieval (hence
    // CF's names of unknown sign convention).
    {"roll_deg", "aircraft roll angle", "deg", "", -90.0f, true, 90.0f, "degree", "platform_roll",
     0.0f},
    {"pitch_deg", "aircraft pitch angle", "deg", "", -90.0f, true, 90.0f, "degree",
     "platform_pitch", 0.0f},
}};

// The value of `field` in `scene` (one of the fields a Scene has).
float value_of(const Scene& scene, SceneField field) noexcept {
  return field == SceneField::salinity_psu ? scene.salinity_psu
                                           : scene_values(scene)[static_cast<std::size_t>(field)];
}

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
  if (!in_range(SceneField::salinity_psu, scene.salinity_psu)) {
    return SceneField::salinity_psu;
  }
  return std::nullopt;
}

std::optional<SceneError> check_scene(const Scene& scene) {
  const std::optional<SceneField> field = first_invalid_field(scene);
  if (!field) {
    return std::nullopt;
  }
  const float value = value_of(scene, *field);
  return SceneError{*field, value, describe_out_of_range(*field, value)};
}

InvalidScene::InvalidScene(const SceneError& error)
    : std::invalid_argument(error.message), field_(error.field), value_(error.value) {}

std::array<float, channel_count> emissivities(float sst_c, float salinity_psu) noexcept {
  std::array<float, channel_count> e{};
  emissivity::klsw_loop(channels_ghz, sst_c, nadir_deg, nadir_deg, e, horizontal_selector,
                        static_cast<std::int32_t>(channel_count), salinity_psu);
  return e;
}

const std::array<float, channel_count>& EmissivityCache::emissivities(float sst_c,
                                                                      float salinity_psu) noexcept {
  const auto sst_bits = std::bit_cast<std::uint32_t>(sst_c);
  const auto salinity_bits = std::bit_cast<std::uint32_t>(salinity_psu);
  if (!filled_ || sst_bits != sst_bits_ || salinity_bits != salinity_bits_) {
    emissivities_ = nerido::emissivities(sst_c, salinity_psu);
    sst_bits_ = sst_bits;
    salinity_bits_ = salinity_bits;
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
  return brightness_temperatures(scene, emissivities(scene.sst_c, scene.salinity_psu));
}

std::array<float, channel_count> checked_brightness_temperatures(const Scene& scene) {
  if (const auto error = check_scene(scene)) {
    throw InvalidScene(*error);
  }
  return brightness_temperatures(scene);
}

}  // namespace nerido
