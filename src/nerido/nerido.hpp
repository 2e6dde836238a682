// nerido: nadir brightness temperatures of the sea, 4.74 to 7.09 GHz, and the
// inverse problem (wind speed and rain rate from six measured temperatures).
//
// The public interface of the library. Every result is computed inside the
// library, which is built with its own numerics flags (no fused multiply-add,
// no folding of the elementary functions), so the flags a program compiles
// its own sources with cannot change a result bit. (Linking a program with
// -ffast-math sets flush-to-zero for the whole process, which does change
// results for subnormal inputs.)
//
// Threads: every function here may be called from any number of threads at
// once (each reads only its arguments and constant tables); an
// EmissivityCache belongs to one thread at a time. Allocation: none of the
// computations allocates; the functions that return a std::string or a
// SceneError (range_text, describe_out_of_range, check_scene) and the
// throwing path of checked_brightness_temperatures do. The retrieval
// (retrieval.hpp) says the same of itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "nerido/channels.hpp"
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

// What the radiometer looks at, and from where.
struct Scene {
  float sst_c;       // sea-surface temperature (degrees Celsius)
  float altitude_m;  // radar altitude (m)
  float air_c;       // flight-level air temperature (degrees Celsius)
  float wind_ms;     // surface wind speed (m/s)
  float rain_mmh;    // rain rate (mm/h)

  // Sea-surface salinity (psu). The sea-water permittivity was fitted over
  // about 4 to 35 psu; below 0.1 its fresh-water static permittivity applies.
  float salinity_psu = default_salinity_psu;
};
// The accepted ranges of the fields are in the table below (field_range).

// The fields of the one field table, in this order: the five every scene
// gives, then the optional ones, each with a default: the salinity (of a
// Scene and of an Observation) and the aircraft's attitude (of an
// Observation).
enum class SceneField {
  sst_c,
  altitude_m,
  air_c,
  wind_ms,
  rain_mmh,
  salinity_psu,
  roll_deg,
  pitch_deg
};
// The five every scene gives, first in the table.
inline constexpr std::size_t scene_field_count = 5;
// Every field of the table.
inline constexpr std::size_t field_count = 8;

// Everything a reader or writer of one field needs to know: the field
// table holds one of these per field, and every name, unit and range the
// programs print or check is read from it.
struct FieldRange {
  std::string_view name;           // the field's name, e.g. "wind_ms" (also the CSV column)
  std::string_view label;          // what it is, e.g. "surface wind speed"
  std::string_view unit;           // e.g. "m/s"
  std::string_view option;         // nerido-batch's option for it, without dashes, e.g. "wind";
                                   // empty when it has none
  float low;                       // the lowest accepted value (or, if not inclusive, the bound)
  bool low_inclusive;              // false for the altitude: 0 itself is refused
  float high;                      // always inclusive
  std::string_view cf_units;       // the unit as UDUNITS-2 and CF files spell it, e.g. "m s-1"
  std::string_view standard_name;  // its CF standard name; empty where CF has none

  // An optional field's value when none is given; nothing for the five
  // every scene gives.
  std::optional<float> default_value;
};

// The table entry of one field.
[[nodiscard]] const FieldRange& field_range(SceneField field) noexcept;

// True when `value` lies in the field's range (never for NaN or infinities).
[[nodiscard]] bool in_range(SceneField field, float value) noexcept;

// The field's range as text, e.g. "0 to 150 m/s" or "0 (exclusive) to
// 16000 m"; bounds written as the shortest text that reads back to them.
[[nodiscard]] std::string range_text(SceneField field);

// Why a value is refused, e.g. "wind_ms = 151 is outside 0 to 150 m/s". The
// value is written as the shortest text that reads back to the same float.
[[nodiscard]] std::string describe_out_of_range(SceneField field, float value);

// The five fields every scene gives, as an array in declaration order, and back.
[[nodiscard]] std::array<float, scene_field_count> scene_values(const Scene& scene) noexcept;
// The scene of values in the order of scene_values, at the default salinity.
[[nodiscard]] Scene scene_from_values(const std::array<float, scene_field_count>& values) noexcept;

// The first field of `scene` outside its range, in declaration order (the
// salinity last); nothing when the scene is valid. Allocates nothing.
[[nodiscard]] std::optional<SceneField> first_invalid_field(const Scene& scene) noexcept;

// The first invalid field with its value and the text that says why;
// nothing when the scene is valid (first_invalid_field with a message).
struct SceneError {
  SceneField field;     // the first field out of range
  float value;          // its value
  std::string message;  // as describe_out_of_range
};
// The first field of `scene` outside its range, or nothing (see SceneError).
[[nodiscard]] std::optional<SceneError> check_scene(const Scene& scene);

// Degrees Celsius to kelvin as the model converts them: with the model's
// own offset, 0.004 K below the usual one, rounded to single precision.
[[nodiscard]] float model_kelvin(float celsius) noexcept;

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
// sea-surface temperature in degrees Celsius and a salinity in psu. The
// costly half of a scene: callers whose SST and salinity do not change may
// compute it once.
[[nodiscard]] std::array<float, channel_count> emissivities(
    float sst_c, float salinity_psu = default_salinity_psu) noexcept;

// Brightness temperatures (K) of the six channels, from the calm-sea
// emissivities of emissivities(scene.sst_c, scene.salinity_psu). Unchecked:
// the scene must lie in the ranges above (see check_scene); outside them the
// result is whatever the formulas give (a negative rain rate gives NaN).
[[nodiscard]] std::array<float, channel_count> brightness_temperatures(
    const Scene& scene, const std::array<float, channel_count>& emissivities) noexcept;

// The calm-sea emissivities of a run of scenes, recomputed only when the
// bits of the SST or of the salinity change from one scene to the next (a
// run of constant SST costs about a sixth as much). One object per thread;
// the results are exactly emissivities(sst_c, salinity_psu).
class EmissivityCache {
 public:
  // emissivities(sst_c, salinity_psu), kept from the previous call when the
  // bits of both are the same.
  [[nodiscard]] const std::array<float, channel_count>& emissivities(
      float sst_c, float salinity_psu = default_salinity_psu) noexcept;

 private:
  std::array<float, channel_count> emissivities_{};
  std::uint32_t sst_bits_ = 0;
  std::uint32_t salinity_bits_ = 0;
  bool filled_ = false;
};

// Brightness temperatures (K) of the six channels; exactly
// brightness_temperatures(scene, emissivities(scene.sst_c, scene.salinity_psu)).
// Unchecked, as above: for callers who validated the scene already.
[[nodiscard]] std::array<float, channel_count> brightness_temperatures(const Scene& scene) noexcept;

// The same, checked: throws InvalidScene for a scene outside the ranges
// (NaN and infinities included), and computes nothing then.
[[nodiscard]] std::array<float, channel_count> checked_brightness_temperatures(const Scene& scene);

}  // namespace nerido
