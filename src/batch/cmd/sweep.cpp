// nerido-batch sweep: every combination of the values given for the five
// scene fields, outer to inner in declaration order (SST outermost, rain
// rate innermost), computed and written as CSV rows; and its picture.
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <vector>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/io/progress.hpp"
#include "batch/pipeline.hpp"
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
// Grid points in a job of the pipeline.
inline constexpr std::uint64_t job_points = 2048;

SceneField field_at(std::size_t i) { return static_cast<SceneField>(i); }
std::string option_of(std::size_t i) { return "--" + std::string(field_range(field_at(i)).option); }
std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// The values one scene field takes in a sweep: a single value ("28"), a
// list ("0,5,10,20") or a range "start:stop:step" (value i is start + i *
// step computed in double and rounded to float, the stop included when
// reached within a millionth of a step).
class Axis {
 public:
  Axis() = default;
  // Throws UsageError naming the option for a malformed text, an empty
  // range or a value outside the field's range.
  Axis(std::size_t field, std::string_view text);
  [[nodiscard]] std::uint64_t size() const noexcept {
    return list_.empty() ? count_ : list_.size();
  }
  [[nodiscard]] float value(std::uint64_t index) const noexcept {
    return list_.empty() ? to_single(start_ + static_cast<double>(index) * step_) : list_[index];
  }

 private:
  double read_range_number(std::string_view range, std::string_view text) const;
  void check(float value) const;

  std::string option_;
  std::size_t field_ = 0;
  std::vector<float> list_;  // the values of a list; empty for a range
  double start_ = 0.0;
  double step_ = 0.0;
  std::uint64_t count_ = 0;
};

double Axis::read_range_number(std::string_view range, std::string_view text) const {
  float check_value = 0.0f;  // the same text rules as every other number
  double value = 0.0;
  const std::string_view number = trim_blanks(text);
  const bool plus = number.starts_with('+');
  const auto [end, error] =
      std::from_chars(number.data() + (plus ? 1 : 0), number.data() + number.size(), value);
  if (read_number(text, check_value) != NumberRead::ok || error != std::errc{} ||
      !std::isfinite(value)) {
    throw UsageError(option_ + ": malformed range " + quoted(range) + " (start:stop:step)");
  }
  return value;
}

void Axis::check(float value) const {
  if (!in_range(field_at(field_), value)) {
    throw UsageError(option_ + ": " + describe_out_of_range(field_at(field_), value));
  }
}

Axis::Axis(std::size_t field, std::string_view text) : option_(option_of(field)), field_(field) {
  const std::size_t first = text.find(':');
  if (first != std::string_view::npos) {
    const std::size_t second = text.find(':', first + 1);
    if (second == std::string_view::npos || text.find(':', second + 1) != std::string_view::npos) {
      throw UsageError(option_ + ": malformed range " + quoted(text) + " (start:stop:step)");
    }
    start_ = read_range_number(text, text.substr(0, first));
    const double stop = read_range_number(text, text.substr(first + 1, second - first - 1));
    step_ = read_range_number(text, text.substr(second + 1));
    if (step_ == 0.0) {
      throw UsageError(option_ + ": range " + quoted(text) + " has a step of 0");
    }
    const double steps = (stop - start_) / step_;
    if (!(steps > -stop_tolerance_steps)) {
      throw UsageError(option_ + ": range " + quoted(text) +
                       " is empty: its step leads away from its stop");
    }
    if (!(steps < static_cast<double>(max_axis_values))) {
      throw UsageError(option_ + ": range " + quoted(text) + " has more than " +
                       std::to_string(max_axis_values) + " values");
    }
    count_ = static_cast<std::uint64_t>(std::floor(steps + stop_tolerance_steps)) + 1;
    check(value(0));  // the values are monotonic, so the ends bound them all
    check(value(count_ - 1));
    return;
  }
  for (std::size_t begin = 0;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string_view item = text.substr(
        begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin);
    float v = 0.0f;
    const NumberRead read = read_number(item, v);
    if (read == NumberRead::empty) {
      throw UsageError(option_ + ": empty value in " + quoted(text));
    }
    if (read == NumberRead::not_a_number) {
      throw UsageError(option_ + ": " + quoted(item) + " is not a number");
    }
    check(v);
    list_.push_back(v);
    if (comma == std::string_view::npos) {
      return;
    }
    begin = comma + 1;
  }
}

struct SweepOptions {
  std::array<std::string, scene_field_count> axes;  // in declaration order
  PictureOptions picture;
  std::string channel;  // empty: all six
  bool same_tb_axis = false;
  OutputOptions out;
};

// The five axes of a sweep; point 0 to size() - 1, the rain rate varying fastest.
struct Grid {
  std::array<Axis, scene_field_count> axes;
  std::uint64_t size = 1;

  [[nodiscard]] Scene scene(std::uint64_t point) const noexcept {
    std::array<float, scene_field_count> v{};
    for (std::size_t i = v.size(); i-- > 0;) {
      v[i] = axes[i].value(point % axes[i].size());
      point /= axes[i].size();
    }
    return scene_from_values(v);
  }
  [[nodiscard]] std::vector<std::size_t> varying() const {
    std::vector<std::size_t> fields;
    for (std::size_t i = 0; i < axes.size(); ++i) {
      if (axes[i].size() > 1) {
        fields.push_back(i);
      }
    }
    return fields;
  }
};

// "rain rate 5 mm/h"
std::string value_label(std::size_t field, float value) {
  return std::string(field_range(field_at(field)).label) + " " + number_text(value) + " " +
         std::string(field_range(field_at(field)).unit);
}

// Grid points [first, first + count), their rows and their picture data.
struct GridJob {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  std::string rows;
  std::string side;  // "x tb ... tb" per point, when drawing
  float tb_low = std::numeric_limits<float>::infinity();
  float tb_high = -std::numeric_limits<float>::infinity();
  void clear() {
    rows.clear();
    side.clear();
    tb_low = std::numeric_limits<float>::infinity();
    tb_high = -std::numeric_limits<float>::infinity();
  }
};

// What the picture needs: the channel drawn (or all), the fields on the
// axis and on the curves, the range of every Tb when one axis is shared.
struct Picture {
  PictureRequest request;
  std::optional<std::size_t> channel;
  std::size_t x_field = 0;
  std::optional<std::size_t> curve_field;
};

Picture read_picture(const SweepOptions& options, const Grid& grid) {
  Picture picture{read_picture_request(options.picture), std::nullopt, 0, std::nullopt};
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
  const std::vector<std::size_t> varying = grid.varying();
  if (varying.empty() || varying.size() > 2) {
    throw UsageError("--plot: " + std::to_string(varying.size()) +
                     " options vary; a picture needs one or two");
  }
  // gnuplot holds the picture's data in memory, so the grid it draws is
  // bounded (the CSV itself streams, whatever its size).
  if (grid.size > max_plot_points) {
    throw UsageError("--plot: the grid has " + std::to_string(grid.size) +
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
// fixed values; one legend, beside the panels.
void write_sweep_commands(const ScriptOutput& out, const Picture& p, const Grid& grid,
                          const ScratchFile& data, std::optional<std::pair<float, float>> tb) {
  out("$sweep << EOD\n");
  data.read_back([&](std::string_view piece) { out(piece); });
  out("EOD\n");
  std::string fixed;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    if (grid.axes[i].size() == 1) {
      fixed += (fixed.empty() ? "" : ", ") + value_label(i, grid.axes[i].value(0));
    }
  }
  const std::uint64_t curves = p.curve_field ? grid.axes[*p.curve_field].size() : 1;
  // Panels left of the legend, under the title (fractions of the picture).
  const double width = p.curve_field ? 0.84 : 1.0;
  const double height = 0.94;
  const int columns = p.channel ? 1 : 3;
  const int rows = p.channel ? 1 : 2;
  std::string c = "set grid\nset xlabel " +
                  gnuplot_string(std::string(field_range(field_at(p.x_field)).label) + " (" +
                                 std::string(field_range(field_at(p.x_field)).unit) + ")") +
                  "\nset ylabel 'Tb (K)'\nunset key\n";
  if (tb) {
    const double pad = 0.03 * (static_cast<double>(tb->second) - static_cast<double>(tb->first));
    c += "set yrange [" + std::to_string(static_cast<double>(tb->first) - pad) + ":" +
         std::to_string(static_cast<double>(tb->second) + pad) + "]\n";
  }
  c += "set multiplot title " +
       gnuplot_string("nerido-batch sweep" + (fixed.empty() ? "" : ": " + fixed)) + "\n";
  int panel = 0;
  for (std::size_t ch = 0; ch < channel_count; ++ch) {
    if (p.channel && ch != *p.channel) {
      continue;
    }
    c += "set origin " + std::to_string(width / columns * (panel % columns)) + "," +
         std::to_string(height / rows * (rows - 1 - panel / columns)) + "\nset size " +
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
    const Axis& axis = grid.axes[*p.curve_field];
    c += "set origin " + std::to_string(width) + ",0\nset size " + std::to_string(1.0 - width) +
         "," + std::to_string(height) +
         "\nunset border\nunset tics\nunset grid\nunset title\nunset xlabel\nunset ylabel\n"
         "set xrange [0:1]\nset yrange [0:1]\nset key center center vertical\nplot ";
    for (std::uint64_t k = 0; k < curves; ++k) {
      c += (k == 0 ? "" : ", ") + std::string("2 with linespoints pointtype 7 linetype ") +
           std::to_string(k + 1) + " title " +
           gnuplot_string(value_label(*p.curve_field, axis.value(k)));
    }
    c += "\n";
  }
  out(c + "unset multiplot\n");
}

int run_sweep(const SweepOptions& options, const std::atomic<bool>& stop_requested) {
  Grid grid;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    grid.axes[i] = Axis(i, options.axes[i]);
    if (grid.axes[i].size() > max_grid_points / grid.size) {
      throw UsageError("the grid has more than " + std::to_string(max_grid_points) + " points");
    }
    grid.size *= grid.axes[i].size();
  }
  std::optional<Picture> picture;
  std::optional<ScratchFile> data;
  if (!options.picture.path.empty()) {
    picture = read_picture(options, grid);
    data.emplace();
  }
  OutputFile output(options.out.output);
  std::string header;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    header += std::string(field_range(field_at(i)).name) + ",";
  }
  for (const std::string& name : tb_columns()) {
    header += name + ",";
  }
  header.back() = '\n';
  output.write(header);

  ProgressLine progress(show_progress(options.out), grid.size);
  std::vector<EmissivityCache> caches(options.out.threads);
  std::uint64_t next = 0;
  std::uint64_t rows = 0;
  float tb_low = std::numeric_limits<float>::infinity();
  float tb_high = -tb_low;
  PipelineStages<GridJob> stages;
  stages.fill = [&](GridJob& job) {
    if (next >= grid.size || stop_requested.load()) {
      return false;
    }
    job.first = next;
    job.count = std::min(job_points, grid.size - next);
    next += job.count;
    return true;
  };
  stages.process = [&](GridJob& job, unsigned worker) {
    for (std::uint64_t point = job.first; point < job.first + job.count; ++point) {
      const Scene scene = grid.scene(point);
      const std::array<float, scene_field_count> values = scene_values(scene);
      for (const float value : values) {
        append_number(job.rows, value);
        job.rows += ',';
      }
      job.rows.pop_back();
      const std::array<float, channel_count> tb = compute_tb(caches[worker], scene);
      append_tb_cells(job.rows, tb, options.out.format);
      job.rows += '\n';
      if (picture) {
        append_number(job.side, values[picture->x_field]);
        for (const float value : tb) {
          job.side += ' ';
          append_number(job.side, value);
          job.tb_low = std::min(job.tb_low, value);
          job.tb_high = std::max(job.tb_high, value);
        }
        job.side += '\n';
      }
    }
  };
  stages.write = [&](GridJob& job) {
    output.write(job.rows);
    if (data) {
      data->write(job.side);
    }
    tb_low = std::min(tb_low, job.tb_low);
    tb_high = std::max(tb_high, job.tb_high);
    rows += job.count;
    progress.update(job.first + job.count, rows);
    return true;
  };
  stages.bytes = [](const GridJob& job) { return static_cast<std::size_t>(job.count); };
  run_pipeline(stages, options.out.threads);
  progress.clear();
  const int status = settle_output(output, rows, std::nullopt, stop_requested);
  if (status != exit_success || !picture) {
    return status;
  }
  const auto shared_axis =
      options.same_tb_axis ? std::optional(std::pair(tb_low, tb_high)) : std::nullopt;
  return draw_picture(
      picture->request,
      [&](const ScriptOutput& out) {
        write_sweep_commands(out, *picture, grid, *data, shared_axis);
      },
      output.name());
}

}  // namespace

Command add_sweep(CLI::App& app) {
  auto options = std::make_shared<SweepOptions>();
  CLI::App* command = app.add_subcommand(
      "sweep", "Compute a grid of scenes: every combination of the values given");
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    const FieldRange& r = field_range(field_at(i));
    command
        ->add_option(option_of(i), options->axes[i],
                     std::string(r.label) + ": " + range_text(field_at(i)))
        ->required()
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
      "Each of --sst, --altitude, --air, --wind and --rain takes one value, a list\n"
      "(0,5,10,20) or a range start:stop:step (value i is start + i*step, the stop\n"
      "included when reached). Every combination is written, SST outermost and rain\n"
      "innermost: the five inputs and tb_4.74 ... tb_7.09 (K).\n"
      "\n"
      "--plot draws Tb against the first option that varies, one curve per value of the\n"
      "second (at most two may vary), one panel per channel, with gnuplot (Debian package\n"
      "gnuplot-nox). Without gnuplot the CSV is still written, and the status is 1.\n");
  return {command, [options](const std::atomic<bool>& stop_requested) {
            return run_sweep(*options, stop_requested);
          }};
}

}  // namespace nerido::batch

namespace nerido::batch {

std::vector<float> axis_values(SceneField field, std::string_view text) {
  const Axis axis(static_cast<std::size_t>(field), text);
  std::vector<float> values;
  for (std::uint64_t i = 0; i < axis.size() && i < max_plot_points; ++i) {
    values.push_back(axis.value(i));
  }
  return values;
}

}  // namespace nerido::batch
