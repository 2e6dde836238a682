// The span API of <nerido/vector.hpp>: the path chosen once, scenes taken
// in steps of the kernel's lanes, and every scene that is out of range or
// failed a rounding test recomputed on the scalar path.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "nerido/vector.hpp"
#include "vector/isa_kernels.hpp"

namespace nerido {
namespace simd {
namespace {

constexpr std::array<std::string_view, path_count> path_names{"scalar", "avx2", "avx512"};
constexpr std::array<std::string_view, rounding_count> rounding_names{
    "conductivity",     "phase",       "half_phase_cos", "half_phase_sin",
    "altitude",         "rain_factor", "rain_power",     "air_transmissivity",
    "frequency_factor", "rain_up",     "rain_down",      "vertical_check"};

// The environment variable that forces a path.
constexpr const char* path_variable = "NERIDO_SIMD";

// The widest supported path, or the one NERIDO_SIMD names; the message of
// the error when that cannot be.
struct Choice {
  Path path = Path::scalar;
  std::string error;  // empty: the path is usable
};

std::string supported_list() {
  std::string text;
  for (std::size_t i = 0; i < path_count; ++i) {
    if (path_supported(static_cast<Path>(i))) {
      text += (text.empty() ? "" : ", ") + std::string(path_names[i]);
    }
  }
  return text;
}

Choice choose() {
  // Read once, before any thread of the library's callers could change the
  // environment through the library.
  const char* forced = std::getenv(path_variable);  // NOLINT(concurrency-mt-unsafe)
  if (forced == nullptr || *forced == '\0') {
    for (const Path p : {Path::avx512, Path::avx2}) {
      if (path_supported(p)) {
        return {p, {}};
      }
    }
    return {Path::scalar, {}};
  }
  const std::string_view value{forced};
  const auto* const found = std::find(path_names.begin(), path_names.end(), value);
  if (found == path_names.end()) {
    return {Path::scalar, std::string(path_variable) + " = '" + std::string(value) +
                              "' is not a path; use one of scalar, avx2, avx512 (this "
                              "processor: " +
                              supported_list() + ")"};
  }
  const auto path = static_cast<Path>(found - path_names.begin());
  if (!path_supported(path)) {
    return {Path::scalar, std::string(path_variable) + " = '" + std::string(value) +
                              "' is not supported by this processor; it supports " +
                              supported_list()};
  }
  return {path, {}};
}

// The fields the kernels read: the five of every scene, then the salinity,
// in the field table's order. Every field of Scene is one of them; a field
// added to Scene must enter the kernels (or send its scenes to the scalar
// path) before this holds again, else the vector paths would ignore it.
constexpr std::size_t kernel_field_count = scene_field_count + 1;
static_assert(static_cast<std::size_t>(SceneField::salinity_psu) == scene_field_count &&
                  sizeof(Scene) == kernel_field_count * sizeof(float),
              "Scene has a field the vector kernels do not read");

std::array<float, kernel_field_count> kernel_values(const Scene& scene) noexcept {
  const std::array<float, scene_field_count> values = scene_values(scene);
  std::array<float, kernel_field_count> all{};
  std::copy(values.begin(), values.end(), all.begin());
  all[scene_field_count] = scene.salinity_psu;
  return all;
}

// The scenes of one step of a kernel, at most this many lanes.
constexpr std::size_t max_lanes = 8;

using Kernel = void (*)(const kernel::Fields&, float*, kernel::Verdict*) noexcept;

void scalar_scenes(std::span<const Scene> scenes, std::span<std::array<float, channel_count>> tb,
                   Tally* tally) {
  for (std::size_t i = 0; i < scenes.size(); ++i) {
    tb[i] = brightness_temperatures(scenes[i]);
    if (tally != nullptr && first_invalid_field(scenes[i])) {
      ++tally->out_of_range;
    }
  }
}

// The kernel fields' ranges read once from the field table, to test many
// scenes as first_invalid_field does (a NaN is in no range).
class Ranges {
 public:
  Ranges() {
    for (std::size_t k = 0; k < kernel_field_count; ++k) {
      ranges_[k] = &field_range(static_cast<SceneField>(k));
    }
  }
  [[nodiscard]] bool valid(const std::array<float, kernel_field_count>& values) const noexcept {
    bool valid = true;
    for (std::size_t k = 0; k < kernel_field_count; ++k) {
      const FieldRange& r = *ranges_[k];
      const float v = values[k];
      valid = valid && (r.low_inclusive ? v >= r.low : v > r.low) && v <= r.high;
    }
    return valid;
  }

 private:
  std::array<const FieldRange*, kernel_field_count> ranges_{};
};

// One step of `lanes` scenes (fewer at the end: the last scene fills the
// remaining lanes, whose results are dropped).
void vector_step(Kernel run, std::size_t lanes, const Ranges& ranges, std::span<const Scene> scenes,
                 std::span<std::array<float, channel_count>> tb, Tally* tally) {
  std::array<std::array<float, max_lanes>, kernel_field_count> fields{};
  std::array<bool, max_lanes> valid{};
  for (std::size_t i = 0; i < lanes; ++i) {
    const std::array<float, kernel_field_count> values =
        kernel_values(scenes[std::min(i, scenes.size() - 1)]);
    valid[i] = ranges.valid(values);
    for (std::size_t k = 0; k < kernel_field_count; ++k) {
      fields[k][i] = values[k];
    }
  }
  std::array<float, channel_count * max_lanes> out{};
  std::array<kernel::Verdict, max_lanes> verdict{};
  run({fields[0].data(), fields[1].data(), fields[2].data(), fields[3].data(), fields[4].data(),
       fields[5].data()},
      out.data(), verdict.data());
  for (std::size_t i = 0; i < scenes.size(); ++i) {
    if (!valid[i] || verdict[i] != 0) {
      tb[i] = brightness_temperatures(scenes[i]);
      if (tally != nullptr) {
        ++(valid[i] ? tally->fell_back : tally->out_of_range);
        for (std::size_t r = 0; r < rounding_count && valid[i]; ++r) {
          tally->by_rounding[r] += (verdict[i] >> r) & 1U;
        }
      }
      continue;
    }
    for (std::size_t c = 0; c < channel_count; ++c) {
      tb[i][c] = out[c * lanes + i];
    }
  }
}

}  // namespace

std::string_view path_name(Path path) noexcept {
  return path_names[static_cast<std::size_t>(path)];
}

bool path_supported(Path path) noexcept {
  switch (path) {
    case Path::scalar:
      return true;
    case Path::avx2:
      // SLEEF's AVX2 functions use FMA instructions too.
      return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
    case Path::avx512:
      return __builtin_cpu_supports("avx512f") != 0;
  }
  return false;
}

Path active_path() {
  static const Choice choice = choose();
  if (!choice.error.empty()) {
    throw std::invalid_argument(choice.error);
  }
  return choice.path;
}

std::string_view rounding_name(Rounding rounding) noexcept {
  return rounding_names[static_cast<std::size_t>(rounding)];
}

void brightness_temperatures(std::span<const Scene> scenes,
                             std::span<std::array<float, channel_count>> tb, Path path,
                             Tally* tally) {
  if (tb.size() != scenes.size()) {
    throw std::invalid_argument("nerido: " + std::to_string(scenes.size()) +
                                " scenes but room for " + std::to_string(tb.size()) + " results");
  }
  if (!path_supported(path)) {
    throw std::invalid_argument("nerido: path " + std::string(path_name(path)) +
                                " is not supported by this processor; it supports " +
                                supported_list());
  }
  if (tally != nullptr) {
    tally->scenes += scenes.size();
  }
  if (path == Path::scalar) {
    scalar_scenes(scenes, tb, tally);
    return;
  }
  const Kernel run = path == Path::avx512 ? kernel::run_avx512 : kernel::run_avx2;
  const std::size_t lanes = path == Path::avx512 ? kernel::lanes_avx512() : kernel::lanes_avx2();
  const Ranges ranges;
  for (std::size_t first = 0; first < scenes.size(); first += lanes) {
    const std::size_t count = std::min(lanes, scenes.size() - first);
    vector_step(run, lanes, ranges, scenes.subspan(first, count), tb.subspan(first, count), tally);
  }
}

}  // namespace simd

void brightness_temperatures(std::span<const Scene> scenes,
                             std::span<std::array<float, channel_count>> tb) {
  simd::brightness_temperatures(scenes, tb, simd::active_path());
}

}  // namespace nerido
