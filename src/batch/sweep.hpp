// Grid sweeps: every combination of the values given for the five scene
// fields, outer to inner in declaration order (SST outermost, rain rate
// innermost), computed and written as CSV rows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "batch/forward.hpp"
#include "batch/numbers.hpp"
#include "batch/pipeline.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {

// Most values one option may take, and most points of a grid.
inline constexpr std::uint64_t max_axis_values = 1'000'000'000;
inline constexpr std::uint64_t max_grid_points = 1'000'000'000'000;

// The values one scene field takes in a sweep.
class Axis {
 public:
  // From a single value ("28"), a list ("0,5,10,20") or a range
  // "start:stop:step": value i is start + i * step computed in double and
  // rounded to float, the stop included when reached within a millionth of
  // a step. Throws UsageError naming `option` for a malformed text, an empty
  // range or a value outside the field's range.
  static Axis parse(std::string_view option, std::string_view text, SceneField field);

  [[nodiscard]] std::uint64_t size() const noexcept {
    return list_.empty() ? count_ : list_.size();
  }
  [[nodiscard]] float value(std::uint64_t index) const noexcept;

 private:
  std::vector<float> list_;  // the values of a list; empty for a range
  double start_ = 0.0;
  double step_ = 0.0;
  std::uint64_t count_ = 0;
};

// The five axes of a sweep, in declaration order of the scene's fields.
class Grid {
 public:
  // Throws UsageError when the grid has more than max_grid_points points.
  explicit Grid(std::array<Axis, scene_field_count> axes);

  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  [[nodiscard]] const Axis& axis(SceneField field) const noexcept {
    return axes_[static_cast<std::size_t>(field)];
  }
  // The fields that take more than one value, in declaration order.
  [[nodiscard]] std::vector<SceneField> varying() const;
  // Point `point` (0 to size() - 1), the rain rate varying fastest.
  [[nodiscard]] Scene scene(std::uint64_t point) const noexcept;

 private:
  std::array<Axis, scene_field_count> axes_;
  std::uint64_t size_ = 1;
};

// The sweep's header line: the five inputs and the six Tb, line end included.
[[nodiscard]] std::string sweep_header();

// Chunks of consecutive grid points.
class GridSource : public ChunkSource {
 public:
  static constexpr std::uint64_t chunk_points = 2048;
  explicit GridSource(const Grid& grid) : grid_(grid) {}
  bool fill(Chunk& chunk) override;

 private:
  const Grid& grid_;
  std::uint64_t next_ = 0;
};

// Writes each point of a chunk as a row: the five inputs in their shortest
// text, the six Tb in `format`.
class GridWorker : public ChunkWorker {
 public:
  GridWorker(const Grid& grid, NumberFormat format) : grid_(grid), format_(format) {}
  void process(Chunk& chunk) override;

 private:
  const Grid& grid_;
  NumberFormat format_;
  SceneCalculator calculator_;
};

}  // namespace nerido::batch
