#include "batch/sweep.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "batch/errors.hpp"
#include "precision/precision.hpp"

namespace nerido::batch {
namespace {

// A range's stop counts as reached within this fraction of a step.
inline constexpr double stop_tolerance_steps = 1e-6;

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// One number of a range (start, stop or step), in double precision.
double read_range_number(std::string_view option, std::string_view range, std::string_view text) {
  float check = 0.0f;  // the same text rules as every other number
  if (read_number(text, check) != NumberRead::ok) {
    throw UsageError(std::string(option) + ": malformed range " + quoted(range) +
                     " (start:stop:step)");
  }
  const std::size_t first = text.find_first_not_of(" \t+");
  const std::size_t last = text.find_last_not_of(" \t");
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data() + first, text.data() + last + 1, value);
  if (error != std::errc{} || !std::isfinite(value)) {
    throw UsageError(std::string(option) + ": malformed range " + quoted(range) +
                     " (start:stop:step)");
  }
  return value;
}

void check_value(std::string_view option, SceneField field, float value) {
  if (!in_range(field, value)) {
    throw UsageError(std::string(option) + ": " + describe_out_of_range(field, value));
  }
}

}  // namespace

Axis Axis::parse(std::string_view option, std::string_view text, SceneField field) {
  Axis axis;
  if (text.find(':') != std::string_view::npos) {
    const std::size_t first = text.find(':');
    const std::size_t second = text.find(':', first + 1);
    if (second == std::string_view::npos || text.find(':', second + 1) != std::string_view::npos) {
      throw UsageError(std::string(option) + ": malformed range " + quoted(text) +
                       " (start:stop:step)");
    }
    const double start = read_range_number(option, text, text.substr(0, first));
    const double stop = read_range_number(option, text, text.substr(first + 1, second - first - 1));
    const double step = read_range_number(option, text, text.substr(second + 1));
    if (step == 0.0) {
      throw UsageError(std::string(option) + ": range " + quoted(text) + " has a step of 0");
    }
    const double steps = (stop - start) / step;
    if (!(steps > -stop_tolerance_steps)) {
      throw UsageError(std::string(option) + ": range " + quoted(text) +
                       " is empty: its step leads away from its stop");
    }
    if (!(steps < static_cast<double>(max_axis_values))) {
      throw UsageError(std::string(option) + ": range " + quoted(text) + " has more than " +
                       std::to_string(max_axis_values) + " values");
    }
    axis.start_ = start;
    axis.step_ = step;
    axis.count_ = static_cast<std::uint64_t>(std::floor(steps + stop_tolerance_steps)) + 1;
    // The values are monotonic, so the ends bound them all.
    check_value(option, field, axis.value(0));
    check_value(option, field, axis.value(axis.count_ - 1));
    return axis;
  }
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string_view item = text.substr(
        begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin);
    float value = 0.0f;
    const NumberRead read = read_number(item, value);
    if (read == NumberRead::empty) {
      throw UsageError(std::string(option) + ": empty value in " + quoted(text));
    }
    if (read == NumberRead::not_a_number) {
      throw UsageError(std::string(option) + ": " + quoted(item) + " is not a number");
    }
    check_value(option, field, value);
    axis.list_.push_back(value);
    if (comma == std::string_view::npos) {
      return axis;
    }
    begin = comma + 1;
  }
}

float Axis::value(std::uint64_t index) const noexcept {
  if (!list_.empty()) {
    return list_[index];
  }
  return to_single(start_ + static_cast<double>(index) * step_);
}

Grid::Grid(std::array<Axis, scene_field_count> axes) : axes_(std::move(axes)) {
  for (const Axis& axis : axes_) {
    if (axis.size() > max_grid_points / size_) {
      throw UsageError("the grid has more than " + std::to_string(max_grid_points) + " points");
    }
    size_ *= axis.size();
  }
}

std::vector<SceneField> Grid::varying() const {
  std::vector<SceneField> fields;
  for (std::size_t i = 0; i < axes_.size(); ++i) {
    if (axes_[i].size() > 1) {
      fields.push_back(static_cast<SceneField>(i));
    }
  }
  return fields;
}

Scene Grid::scene(std::uint64_t point) const noexcept {
  std::array<float, scene_field_count> values{};
  for (std::size_t i = values.size(); i-- > 0;) {
    const std::uint64_t n = axes_[i].size();
    values[i] = axes_[i].value(point % n);
    point /= n;
  }
  return Scene{values[0], values[1], values[2], values[3], values[4]};
}

std::string sweep_header() {
  std::string header;
  for (const std::string& name : scene_columns()) {
    header += name;
    header += ',';
  }
  for (const std::string& name : tb_columns()) {
    header += name;
    header += ',';
  }
  header.back() = '\n';
  return header;
}

bool GridSource::fill(Chunk& chunk) {
  if (next_ >= grid_.size()) {
    return false;
  }
  chunk.first_point = next_;
  chunk.point_count = std::min(chunk_points, grid_.size() - next_);
  next_ += chunk.point_count;
  chunk.input_offset = next_;
  return true;
}

void GridWorker::process(Chunk& chunk) {
  std::string& out = chunk.output;
  for (std::uint64_t point = chunk.first_point; point < chunk.first_point + chunk.point_count;
       ++point) {
    const Scene scene = grid_.scene(point);
    for (const float value :
         {scene.sst_c, scene.altitude_m, scene.air_c, scene.wind_ms, scene.rain_mmh}) {
      append_number(out, value, NumberFormat{});
      out += ',';
    }
    out.pop_back();
    append_tb_cells(out, calculator_.compute(scene), format_);
    out += '\n';
    ++chunk.rows;
  }
}

}  // namespace nerido::batch
