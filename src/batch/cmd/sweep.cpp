// nerido-batch sweep: every combination of the values given for the five
// scene fields and, when given, the salinity, outer to inner in
// declaration order (SST outermost, salinity innermost), computed and
// written as CSV rows; and its picture.
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <system_error>
#include <vector>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/plot.hpp"
#include "precision/precision.hpp"

namespace nerido::batch {
namespace {

// Most values one option may take, most points of a grid, and most points
// a picture takes.
inline constexpr std::uint64_t max_axis_values = 1'000'000'000;
inline constexpr std::uint64_t max_grid_points = 1'000'000'000'000;
inline constexpr std::uint64_t max_plot_points = 1'000'000;
// A range's stop counts as reached within this fraction of a step.
inline constexpr double stop_tolerance_steps = 1e-6;
// Grid points in a block of records.
inline constexpr std::uint64_t block_points = 2048;

SceneField field_at(std::size_t i) { return static_cast<SceneField>(i); }
std::string option_of(std::size_t i) { return "--" + std::string(field_range(field_at(i)).option); }
std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// The values one scene field takes in a sweep: a single value ("28"), a
// list ("0,5,10,20") or a range "start:stop:step" (value i is start + i *
// step computed in double and rounded to float, the stop included when
// reached within a millionth of a step).
struct Axis {
  std::vector<float> list;  // the values of a list; empty for a range
  double start = 0.0;
  double step = 0.0;
  std::uint64_t count = 0;

  [[nodiscard]] std::uint64_t size() const noexcept { return list.empty() ? count : list.size(); }
  [[nodiscard]] float value(std::uint64_t index) const noexcept {
    return list.empty() ? to_single(start + static_cast<double>(index) * step) : list[index];
  }
};

// Throws UsageError naming the option for a malformed text, an empty range
// or a value outside the field's range.
Axis read_axis(std::size_t field, std::string_view text) {
  const std::string option = option_of(field);
  const auto check = [&](float value) {
    if (!in_range(field_at(field), value)) {
      throw UsageError(option + ": " + describe_out_of_range(field_at(field), value));
    }
  };
  const auto malformed = [&] {
    return UsageError(option + ": malformed range " + quoted(text) + " (start:stop:step)");
  };
  Axis axis;
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) {
    for (std::size_t begin = 0;;) {
      const std::size_t comma = text.find(',', begin);
      const std::string_view item = text.substr(begin, comma - begin);
      float v = 0.0f;
      const NumberRead read = read_number(item, v);
      if (read == NumberRead::empty) {
        throw UsageError(option + ": empty value in " + quoted(text));
      }
      if (read == NumberRead::not_a_number) {
        throw UsageError(option + ": " + quoted(item) + " is not a number");
      }
      check(v);
      axis.list.push_back(v);
      if (comma == std::string_view::npos) {
        return axis;
      }
      begin = comma + 1;
    }
  }
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos || text.find(':', second + 1) != std::string_view::npos) {
    throw malformed();
  }
  // A number of the range, by the same text rules as every other number.
  const auto range_number = [&](std::string_view item) {
    float checked = 0.0f;
    double value = 0.0;
    const std::string_view number = trim_blanks(item);
    const std::size_t plus = number.starts_with('+') ? 1 : 0;
    const auto [end, error] =
        std::from_chars(number.data() + plus, number.data() + number.size(), value);
    if (read_number(item, checked) != NumberRead::ok || error != std::errc{} ||
        !std::isfinite(value)) {
      throw malformed();
    }
    return value;
  };
  axis.start = range_number(text.substr(0, first));
  const double stop = range_number(text.substr(first + 1, second - first - 1));
  axis.step = range_number(text.substr(second + 1));
  if (axis.step == 0.0) {
    throw UsageError(option + ": range " + quoted(text) + " has a step of 0");
  }
  const double steps = (stop - axis.start) / axis.step;
  if (!(steps > -stop_tolerance_steps)) {
    throw UsageError(option + ": range " + quoted(text) +
                     " is empty: its step leads away from its stop");
  }
  if (!(steps < static_cast<double>(max_axis_values))) {
    throw UsageError(option + ": range " + quoted(text) + " has more than " +
                     std::to_string(max_axis_values) + " values");
  }
  axis.count = static_cast<std::uint64_t>(std::floor(steps + stop_tolerance_steps)) + 1;
  check(axis.value(0));  // the values are monotonic, so the ends bound them all
  check(axis.value(axis.count - 1));
  return axis;
}

// The fields a sweep may vary: those of a Scene (each has an option).
inline constexpr std::size_t sweep_field_count =
    static_cast<std::size_t>(SceneField::salinity_psu) + 1;

// The axes of the fields given, in declaration order; `fields` their
// indices in the field table.
struct Axes {
  std::vector<Axis> axes;
  std::vector<std::size_t> fields;
  [[nodiscard]] std::size_t size() const noexcept { return axes.size(); }
  [[nodiscard]] const Axis& operator[](std::size_t i) const noexcept { return axes[i]; }
};

// The grid's points as records of the values of its axes, point 0 first
// and the last axis varying fastest; it ends early once a stop is asked for.
class GridSource : public RecordSource {
 public:
  GridSource(const Axes& axes, std::uint64_t size, const std::atomic<bool>& stop)
      : axes_(axes), size_(size), stop_(stop) {
    for (const std::size_t field : axes.fields) {
      names_.emplace_back(field_range(field_at(field)).name);
    }
  }
  [[nodiscard]] std::span<const std::string> schema() const noexcept override { return names_; }
  bool read(RecordBlock& block) override {
    if (next_ >= size_ || stop_.load()) {
      return false;
    }
    for (const std::uint64_t end = std::min(size_, next_ + block_points); next_ < end; ++next_) {
      const auto record_start = static_cast<std::uint32_t>(block.text.size());
      std::array<float, sweep_field_count> values{};
      const std::size_t count = axes_.size();
      for (std::uint64_t i = count, rest = next_; i-- > 0; rest /= axes_[i].size()) {
        values[i] = axes_[i].value(rest % axes_[i].size());
      }
      for (const float value : std::span(values).first(count)) {
        const auto field_start = static_cast<std::uint32_t>(block.text.size() + 1);
        block.text += ',';
        append_number(block.text, value);
        block.fields.push_back(
            {field_start, static_cast<std::uint32_t>(block.text.size() - field_start)});
      }
      block.records.push_back({record_start + 1,
                               static_cast<std::uint32_t>(block.text.size() - record_start - 1),
                               next_ + 2, static_cast<std::uint32_t>(block.fields.size() - count),
                               static_cast<std::uint32_t>(count)});
    }
    block.input_offset = next_;
    return true;
  }
  [[nodiscard]] const std::string& name() const noexcept override { return name_; }
  [[nodiscard]] std::string where(std::uint64_t line) const override {
    return name_ + ":" + std::to_string(line);
  }

 private:
  const Axes& axes_;
  std::uint64_t size_;
  const std::atomic<bool>& stop_;
  std::uint64_t next_ = 0;
  std::vector<std::string> names_;
  std::string name_{"sweep"};
};

struct SweepOptions {
  std::array<std::string, sweep_field_count> axes;  // in declaration order
  std::array<CLI::Option*, sweep_field_count> given{};
  PictureOptions picture;
  std::string channel;  // empty: all six
  bool same_tb_axis = false;
  OutputOptions out;
};

// "rain rate 5 mm/h"
std::string value_label(std::size_t field, float value) {
  return std::string(field_range(field_at(field)).label) + " " + number_text(value) + " " +
         std::string(field_range(field_at(field)).unit);
}

// What the picture draws: the channel (or all), the fields on the axis
// and on the curves, and the range of every Tb when one axis is shared.
struct Picture {
  std::optional<std::size_t> channel;
  std::size_t x_field = 0;
  std::optional<std::size_t> curve_field;
  std::optional<std::pair<float, float>> tb;
};

Picture read_picture(SweepOptions& options, const Axes& axes, std::uint64_t points) {
  check_picture_options(options.picture);
  Picture picture;
  if (!options.channel.empty()) {
    float ghz = 0.0f;
    const bool number = read_number(options.channel, ghz) == NumberRead::ok;
    std::string known;
    for (std::size_t i = 0; i < channel_count; ++i) {
      picture.channel = number && channels_ghz[i] == ghz ? i : picture.channel;
      known += (i == 0 ? "" : ", ") + number_text(channels_ghz[i]);
    }
    if (!picture.channel) {
      throw UsageError("--channel: '" + options.channel + "' is not one of " + known + " (GHz)");
    }
  }
  std::vector<std::size_t> varying;
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (axes[i].size() > 1) {
      varying.push_back(i);
    }
  }
  if (varying.empty() || varying.size() > 2) {
    throw UsageError("--plot: " + std::to_string(varying.size()) +
                     " options vary; a picture needs one or two");
  }
  // gnuplot holds the picture's data in memory, so the grid it draws is
  // bounded (the CSV itself streams, whatever its size).
  if (points > max_plot_points) {
    throw UsageError("--plot: the grid has " + std::to_string(points) +
                     " points; a picture takes at most " + std::to_string(max_plot_points));
  }
  picture.x_field = varying[0];
  if (varying.size() == 2) {
    picture.curve_field = varying[1];
  }
  return picture;
}

// Tb against the first field that varies, one curve per value of the
// second, one panel per channel (or the one asked for), titled with the
// fixed values; one legend, beside the panels. The data lines are
// "x tb ... tb".
void write_sweep_commands(const ScriptOutput& out, const Picture& p, const Axes& axes) {
  std::string fixed;
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (axes[i].size() == 1) {
      fixed += (fixed.empty() ? "" : ", ") + value_label(axes.fields[i], axes[i].value(0));
    }
  }
  const std::uint64_t curves = p.curve_field ? axes[*p.curve_field].size() : 1;
  // Panels left of the legend, under the title (fractions of the picture).
  const double width = p.curve_field ? 0.84 : 1.0;
  const double height = 0.94;
  const int columns = p.channel ? 1 : 3;
  const int rows = p.channel ? 1 : 2;
  std::string c =
      "set grid\nset xlabel " +
      gnuplot_string(std::string(field_range(field_at(axes.fields[p.x_field])).label) + " (" +
                     std::string(field_range(field_at(axes.fields[p.x_field])).unit) + ")") +
      "\nset ylabel 'Tb (K)'\nunset key\n";
  if (p.tb) {
    const double pad =
        0.03 * (static_cast<double>(p.tb->second) - static_cast<double>(p.tb->first));
    c += "set yrange [" + std::to_string(static_cast<double>(p.tb->first) - pad) + ":" +
         std::to_string(static_cast<double>(p.tb->second) + pad) + "]\n";
  }
  c += "set multiplot title " +
       gnuplot_string("nerido-batch sweep" + (fixed.empty() ? "" : ": " + fixed)) + "\n";
  int panel = 0;
  for (std::size_t ch = 0; ch < channel_count; ++ch) {
    if (p.channel && ch != *p.channel) {
      continue;
    }
    const int column = panel % columns;
    const int row = panel / columns;  // from the top
    c += "set origin " + std::to_string(width / columns * column) + "," +
         std::to_string(height / rows * (rows - 1 - row)) + "\nset size " +
         std::to_string(width / columns) + "," + std::to_string(height / rows) + "\nset title " +
         gnuplot_string(number_text(channels_ghz[ch]) + " GHz") + "\nplot ";
    for (std::uint64_t k = 0; k < curves; ++k) {
      c += (k == 0 ? "" : ", ") + std::string("$sweep every ") + std::to_string(curves) +
           "::" + std::to_string(k) + " using 1:" + std::to_string(ch + 2) +
           " with linespoints pointtype 7 linetype " + std::to_string(k + 1);
    }
    c += "\n";
    ++panel;
  }
  if (p.curve_field) {
    c += "set origin " + std::to_string(width) + ",0\nset size " + std::to_string(1.0 - width) +
         "," + std::to_string(height) +
         "\nunset border\nunset tics\nunset grid\nunset title\nunset xlabel\nunset ylabel\n"
         "set xrange [0:1]\nset yrange [0:1]\nset key center center vertical\nplot ";
    for (std::uint64_t k = 0; k < curves; ++k) {
      c += (k == 0 ? "" : ", ") + std::string("2 with linespoints pointtype 7 linetype ") +
           std::to_string(k + 1) + " title " +
           gnuplot_string(value_label(axes.fields[*p.curve_field], axes[*p.curve_field].value(k)));
    }
    c += "\n";
  }
  out(c + "unset multiplot\n");
}

int run_sweep(SweepOptions& options, const std::atomic<bool>& stop_requested) {
  Axes axes;
  std::uint64_t points = 1;
  for (std::size_t i = 0; i < sweep_field_count; ++i) {
    if (options.given[i]->count() == 0) {
      continue;  // an optional field not given: its default, and no column
    }
    axes.axes.push_back(read_axis(i, options.axes[i]));
    axes.fields.push_back(i);
    if (axes.axes.back().size() > max_grid_points / points) {
      throw UsageError("the grid has more than " + std::to_string(max_grid_points) + " points");
    }
    points *= axes.axes.back().size();
  }
  std::optional<Picture> picture;
  std::optional<ScratchFile> data;
  if (!options.picture.path.empty()) {
    picture = read_picture(options, axes, points);
    data.emplace();
  }
  // The lowest and highest Tb each worker computed.
  std::deque<std::pair<float, float>> tb_ranges;
  GridSource source(axes, points, stop_requested);
  RowConversion conversion;
  conversion.inputs.assign(source.schema().begin(), source.schema().end());
  conversion.outputs.assign(tb_columns().begin(), tb_columns().end());
  conversion.make_converter = [&]() -> RowConverter {
    auto& range = tb_ranges.emplace_back(std::numeric_limits<float>::infinity(),
                                         -std::numeric_limits<float>::infinity());
    return
        [&, cache = EmissivityCache{}](std::span<const std::string_view> text, std::string& cells,
                                       std::string& side, std::string& /*reason*/) mutable {
          std::array<float, scene_field_count> values{};
          Scene scene{};
          for (std::size_t i = 0; i < axes.size(); ++i) {
            float value = 0.0f;
            (void)read_number(text[i], value);  // the grid's own text: shortest, exact
            if (axes.fields[i] < scene_field_count) {
              values[axes.fields[i]] = value;
            } else {
              scene.salinity_psu = value;
            }
          }
          const float salinity = scene.salinity_psu;
          scene = scene_from_values(values);
          scene.salinity_psu = salinity;
          const std::array<float, channel_count> tb = compute_tb(cache, scene);
          append_tb_cells(cells, tb, options.out.format);
          if (picture) {
            side.append(text[picture->x_field]);
            for (const float value : tb) {
              side += ' ';
              append_number(side, value);
              range = {std::min(range.first, value), std::max(range.second, value)};
            }
            side += '\n';
          }
          return true;
        };
  };
  const auto draw = [&](const std::string& output_name) {
    if (options.same_tb_axis) {
      picture->tb = tb_ranges.front();
      for (const auto& [low, high] : tb_ranges) {
        picture->tb =
            std::pair(std::min(picture->tb->first, low), std::max(picture->tb->second, high));
      }
    }
    return draw_picture(
        options.picture, "sweep", *data,
        [&](const ScriptOutput& out) { write_sweep_commands(out, *picture, axes); }, output_name);
  };
  return run_conversion(source, "", points, conversion, OnError::stop, options.out, stop_requested,
                        data ? &*data : nullptr,
                        picture ? std::function<int(const std::string&)>(draw) : nullptr);
}

}  // namespace

std::vector<float> axis_values(SceneField field, std::string_view text) {
  const Axis axis = read_axis(static_cast<std::size_t>(field), text);
  std::vector<float> values;
  for (std::uint64_t i = 0; i < axis.size() && i < max_plot_points; ++i) {
    values.push_back(axis.value(i));
  }
  return values;
}

Command add_sweep(CLI::App& app) {
  auto options = std::make_shared<SweepOptions>();
  CLI::App* command = app.add_subcommand(
      "sweep", "Compute a grid of scenes: every combination of the values given");
  for (std::size_t i = 0; i < sweep_field_count; ++i) {
    const FieldRange& r = field_range(field_at(i));
    options->given[i] =
        command
            ->add_option(option_of(i), options->axes[i],
                         std::string(r.label) + ": " + range_text(field_at(i)) +
                             (r.default_value ? " (default " + number_text(*r.default_value) +
                                                    ", and no column)"
                                              : ""))
            ->required(!r.default_value)
            ->option_text("V|V,V,..|START:STOP:STEP");
  }
  CLI::Option* plot = add_picture_options(*command, options->picture, "the sweep");
  command->add_option("--channel", options->channel, "Draw one channel only, e.g. 6.02 (GHz)")
      ->needs(plot)
      ->option_text("GHZ");
  command->add_flag("--same-tb-axis", options->same_tb_axis, "One Tb scale for every panel")
      ->needs(plot);
  add_output_options(*command, options->out);
  command->footer(
      "Each of --sst, --altitude, --air, --wind, --rain and --salinity takes one value, a\n"
      "list (0,5,10,20) or a range start:stop:step (value i is start + i*step, the stop\n"
      "included when reached). Every combination is written, SST outermost and rain (or\n"
      "the salinity, when given) innermost: the inputs and tb_4.74 ... tb_7.09 (K).\n"
      "\n"
      "--plot draws Tb against the first option that varies, one curve per value of the\n"
      "second (at most two may vary), one panel per channel, with gnuplot (Debian package\n"
      "gnuplot-nox). Without gnuplot the CSV is still written, and the status is 1.\n");
  return {command, [options](const std::atomic<bool>& stop_requested) {
            return run_sweep(*options, stop_requested);
          }};
}

}  // namespace nerido::batch
