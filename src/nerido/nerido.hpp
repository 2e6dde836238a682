// nerido: nadir brightness temperatures of the sea, 4.74 to 7.09 GHz, and the
// inverse problem (wind speed and rain rate from six measured temperatures).
//
// The public interface of the library. Every result is computed inside the
// library, which is built with its own numerics flags (no fused multiply-add,
// no folding of the elementary functions), so the flags a program compiles
// its own sources with cannot change a result bit. (Linking a program with
// -ffast-math sets flush-to-zero for the whole process, which does change
// results for subnormal inputs.)
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "nerido/retrieval.hpp"

namespace nerido {

// The library's version, from the one version of the project's build.
struct Version {
  int major;              // incremented for changes that break the interface
  int minor;              // incremented for additions (0.x: may change the interface)
  int patch;              // incremented for fixes
  std::string_view text;  // "major.minor.patch"
};
// This library's version.
extern const Version version;

// Number of radiometer channels.
inline constexpr std::size_t channel_count = 6;
// The channels' frequencies (GHz), in the order of every six-value array.
inline constexpr std::array<float, channel_count> channels_ghz{4.74f, 5.31f, 5.57f,
                                                               6.02f, 6.69f, 7.09f};

// What the radiometer looks at, and from where.
struct Scene {
  float sst_c;       // sea-surface temperature (degrees Celsius), -2 to 45
  float altitude_m;  // radar altitude (m), above 0 and up to 16000
  float air_c;       // flight-level air temperature (degrees Celsius), -70 to 45
  float wind_ms;     // surface wind speed (m/s), 0 to 150
  float rain_mmh;    // rain rate (mm/h), 0 to 150
};

// The fields of a scene, in declaration order.
enum class SceneField { sst_c, altitude_m, air_c, wind_ms, rain_mmh };

// The accepted range of one field.
struct FieldRange {
  std::string_view name;  // the field's name, e.g. "wind_ms"
  float low;              // the lowest accepted value (or, if not inclusive, the bound)
  bool low_inclusive;     // false for the altitude: 0 itself is refused
  float high;             // always inclusive
  std::string_view unit;  // e.g. "m/s"
};

// The accepted range of each field.
[[nodiscard]] const FieldRange& field_range(SceneField field) noexcept;

// True when `value` lies in the field's range (never for NaN or infinities).
[[nodiscard]] bool in_range(SceneField field, float value) noexcept;

// Why a value is refused, e.g. "wind_ms = 151 is outside 0 to 150 m/s". The
// value is written as the shortest text that reads back to the same float.
[[nodiscard]] std::string describe_out_of_range(SceneField field, float value);

// The first field of `scene` outside its range, in declaration order, and
// the text that says why; nothing when the scene is valid.
struct SceneError {
  SceneField field;     // the first field out of range
  float value;          // its value
  std::string message;  // as describe_out_of_range
};
// The first field of `scene` outside its range, or nothing (see SceneError).
[[nodiscard]] std::optional<SceneError> check_scene(const Scene& scene);

// Thrown by the checked computation for a scene outside the ranges; what()
// is the message of check_scene.
class InvalidScene : public std::invalid_argument {
 public:
  // The exception for the error check_scene found.
  explicit InvalidScene(const SceneError& error);
  // The first field out of range.
  [[nodiscard]] SceneField field() const noexcept { return field_; }
  // Its value.
  [[nodiscard]] float value() const noexcept { return value_; }

 private:
  SceneField field_;
  float value_;
};

// Calm-sea emissivity of each channel at nadir (dimensionless), for a
// sea-surface temperature in degrees Celsius. The costly half of a scene:
// callers whose SST does not change may compute it once.
[[nodiscard]] std::array<float, channel_count> emissivities(float sst_c) noexcept;

// Brightness temperatures (K) of the six channels, from the calm-sea
// emissivities of emissivities(scene.sst_c). Unchecked: the scene must lie
// in the ranges above (see check_scene); outside them the result is
// whatever the formulas give (a negative rain rate gives NaN).
[[nodiscard]] std::array<float, channel_count> brightness_temperatures(
    const Scene& scene, const std::array<float, channel_count>& emissivities) noexcept;

// Brightness temperatures (K) of the six channels; exactly
// brightness_temperatures(scene, emissivities(scene.sst_c)). Unchecked, as
// above: for callers who validated the scene already.
[[nodiscard]] std::array<float, channel_count> brightness_temperatures(const Scene& scene) noexcept;

// The same, checked: throws InvalidScene for a scene outside the ranges
// (NaN and infinities included), and computes nothing then.
[[nodiscard]] std::array<float, channel_count> checked_brightness_temperatures(const Scene& scene);

}  // namespace nerido
