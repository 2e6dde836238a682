// nerido-batch retrieve: wind speed and rain rate retrieved from six
// measured brightness temperatures and the SST, altitude and air
// temperature, appended to each row; and their picture.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/plot.hpp"

namespace nerido::batch {
namespace {

// The scene fields a retrieval reads beside the six Tb, in this order.
constexpr std::array<SceneField, 3> fixed_fields{SceneField::sst_c, SceneField::altitude_m,
                                                 SceneField::air_c};
constexpr std::size_t x_input = channel_count + fixed_fields.size();
// The optional fields it reads, after the others, in this order.
constexpr std::array<SceneField, 3> optional_fields{SceneField::salinity_psu, SceneField::roll_deg,
                                                    SceneField::pitch_deg};

constexpr std::array<std::string_view, 7> retrieval_columns{"ret_wind_ms",
                                                            "ret_rain_mmh",
                                                            "ret_wind_sigma_ms",
                                                            "ret_rain_sigma_mmh",
                                                            "ret_wind_rain_correlation",
                                                            "ret_residual_rms_k",
                                                            "ret_status"};

// The optional columns, a line each: "  salinity_psu (psu): --salinity, else 36".
std::string optional_columns_text() {
  std::string text;
  for (const SceneField field : optional_fields) {
    const FieldRange& r = field_range(field);
    text += "  " + std::string(r.name) + " (" + std::string(r.unit) +
            "): " + (r.option.empty() ? "" : "--" + std::string(r.option) + ", else ") +
            number_text(r.default_value.value_or(0.0f)) + "\n";
  }
  return text;
}

// Every option of the subcommand. A new option of the retrieval goes here,
// into add_retrieve and into retrieval_options.
struct RetrieveOptions {
  RowsOptions rows;
  std::string noise;          // --noise; empty: the library's default
  std::string model_error;    // --model-error; empty: none
  std::string max_off_nadir;  // --max-off-nadir; empty: the library's default
  PictureOptions picture;
  std::string x_column;  // --x
};

// A kelvin value of an option, or a usage error naming the option and the range.
float read_kelvin(std::string_view option, std::string_view text, const KelvinRange& range) {
  float value = 0.0f;
  if (read_number(text, value) != NumberRead::ok || !(value >= range.low && value <= range.high)) {
    throw UsageError(std::string(option) + ": '" + escaped(text) + "' is not a number from " +
                     number_text(range.low) + " to " + number_text(range.high) + " K");
  }
  return value;
}

RetrievalOptions retrieval_options(const RetrieveOptions& options) {
  RetrievalOptions retrieval;
  if (!options.noise.empty()) {
    retrieval.noise_k = read_noise(options.noise);
  }
  if (!options.model_error.empty()) {
    retrieval.model_error_k =
        read_kelvin("--model-error", options.model_error, model_error_range_k);
  }
  if (!options.max_off_nadir.empty()) {
    float degrees = 0.0f;
    if (read_number(options.max_off_nadir, degrees) != NumberRead::ok ||
        !(degrees >= 0.0f && degrees <= max_off_nadir_limit_deg)) {
      throw UsageError("--max-off-nadir: '" + escaped(options.max_off_nadir) +
                       "' is not a number of degrees from 0 to " +
                       number_text(max_off_nadir_limit_deg));
    }
    retrieval.max_off_nadir_deg = degrees;
  }
  return retrieval;
}

// The --x value of a row: a number, or an ISO 8601 time (`time` set) in
// seconds since 1970.
bool read_x(std::string_view text, double& x, bool& time) {
  const std::string_view trimmed = trim_blanks(text);
  const auto [end, error] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), x);
  if (error == std::errc() && end == trimmed.data() + trimmed.size() && std::isfinite(x)) {
    return true;
  }
  time = read_iso_time(trimmed, x);
  return time;
}

// A number cell; empty for NaN (the results of an invalid input).
void append_cell(std::string& out, float value, NumberFormat format) {
  out += ',';
  if (!std::isnan(value)) {
    append_number(out, value, format);
  }
}

// Retrieved wind and rain against the --x column, each with its +-1 sigma
// band shaded, the rows whose status is not ok marked by status; titled
// with the file and the fixed noise. The data lines are
// "x wind wind_sigma rain rain_sigma status".
void write_retrieval_commands(const ScriptOutput& out, const RetrieveOptions& options,
                              bool time_axis) {
  const std::string noise = options.noise.empty() ? "0.5" : options.noise;
  std::string c = "set grid\nset key outside right top\nset xlabel " +
                  gnuplot_string(options.x_column + (time_axis ? " (UTC)" : "")) + "\n" +
                  (time_axis ? "set xdata time\nset timefmt '%s'\nset format x '%H:%M'\n" : "") +
                  "set multiplot layout 2,1 title " +
                  gnuplot_string("nerido-batch retrieve: " +
                                 (options.rows.input == "-" ? "<stdin>" : options.rows.input) +
                                 ", noise " + noise + " K") +
                  "\n";
  // Panel: column of the value, column of its sigma, name, unit.
  const std::array<std::array<std::string_view, 4>, 2> panels{
      {{"2", "3", "wind speed", "m/s"}, {"4", "5", "rain rate", "mm/h"}}};
  for (const auto& [value, sigma, name, unit] : panels) {
    const std::string v = "$" + std::string(value);
    const std::string s = "$" + std::string(sigma);
    std::string label(name);
    label.append(" (").append(unit).append(")");
    c.append("set ylabel ").append(gnuplot_string(label));
    // The band from value - sigma (at least 0) to value + sigma, then the value.
    c.append("\nplot $retrieval using 1:(").append(v).append(" > ").append(s).append(" ? ");
    c.append(v).append(" - ").append(s).append(" : 0):(").append(v).append(" + ").append(s);
    c.append(") with filledcurves fillcolor rgb '#9ecae1' fillstyle solid 1.0 noborder ");
    c.append("title '±1 sigma', $retrieval using 1:").append(value);
    c.append(" with lines linecolor rgb '#08519c' linewidth 1 title ").append(gnuplot_string(name));
    for (int status = 1; status <= 3; ++status) {
      c += ", $retrieval using 1:($6 == " + std::to_string(status) + " ? " + v +
           " : NaN) with points pointtype " + std::to_string(4 + 2 * status) +
           " pointsize 0.6 linecolor " + std::to_string(status + 3) + " title " +
           gnuplot_string(std::string(status_name(static_cast<RetrievalStatus>(status))));
    }
    c += "\n";
  }
  out(c + "unset multiplot\n");
}

// True when the picture's x values are times: the first data line's last field.
bool time_axis(const ScratchFile& data) {
  std::string first;
  data.read_back([&](std::string_view piece) {
    if (first.find('\n') == std::string::npos) {
      first += piece.substr(0, 256);
    }
  });
  const std::string_view line = std::string_view(first).substr(0, first.find('\n'));
  return line.ends_with(" 1");
}

int run_retrieve(RetrieveOptions& options, const std::atomic<bool>& stop_requested) {
  const RetrievalOptions retrieval = retrieval_options(options);
  const std::optional<float> salinity =
      read_field_option(SceneField::salinity_psu, options.rows.salinity);
  if (options.picture.path.empty()) {
    return run_file(retrieve_conversion(retrieval, options.rows.out.format, "", salinity),
                    options.rows, stop_requested);
  }
  check_picture_options(options.picture);
  ScratchFile data;
  const auto draw = [&](const std::string& output_name) {
    if (data.size() == 0) {
      report("cannot draw " + options.picture.path + ": no row has a retrieval and a number in '" +
             options.x_column + "'; the CSV was written to " + output_name);
      return exit_data_error;
    }
    return draw_picture(
        options.picture, "retrieval", data,
        [&](const ScriptOutput& out) { write_retrieval_commands(out, options, time_axis(data)); },
        output_name);
  };
  return run_file(
      retrieve_conversion(retrieval, options.rows.out.format, options.x_column, salinity),
      options.rows, stop_requested, &data, draw);
}

}  // namespace

std::array<float, channel_count> read_noise(std::string_view text) {
  std::vector<float> values;
  for (std::size_t begin = 0;;) {
    const std::size_t comma = text.find(',', begin);
    values.push_back(read_kelvin("--noise", text.substr(begin, comma - begin), noise_range_k));
    if (comma == std::string_view::npos) {
      break;
    }
    begin = comma + 1;
  }
  if (values.size() != 1 && values.size() != channel_count) {
    throw UsageError("--noise: " + std::to_string(values.size()) +
                     " values; give one for every channel, or six");
  }
  std::array<float, channel_count> noise{};
  for (std::size_t i = 0; i < noise.size(); ++i) {
    noise[i] = values[values.size() == 1 ? 0 : i];
  }
  return noise;
}

RowConversion retrieve_conversion(const RetrievalOptions& options, NumberFormat format,
                                  const std::string& x_column, std::optional<float> salinity) {
  RowConversion conversion;
  conversion.inputs.assign(tb_columns().begin(), tb_columns().end());
  for (const SceneField field : fixed_fields) {
    conversion.inputs.emplace_back(field_range(field).name);
  }
  if (!x_column.empty()) {
    conversion.inputs.push_back(x_column);
  }
  for (const SceneField field : optional_fields) {
    conversion.optional_inputs.push_back(
        optional_input(field, field == SceneField::salinity_psu ? salinity : std::nullopt));
  }
  conversion.outputs.assign(retrieval_columns.begin(), retrieval_columns.end());
  const bool collect_x = !x_column.empty();
  std::vector<std::string> names = conversion.inputs;
  for (const OptionalInput& input : conversion.optional_inputs) {
    names.push_back(input.name);
  }
  conversion.make_converter = [options, format, collect_x, names]() {
    return RowConverter([options, format, collect_x, names](
                            std::span<const std::string_view> values, std::string& cells,
                            std::string& side, std::string& reason) {
      // An empty Tb is a missing channel; the SST, altitude and air
      // temperature must be there and in range, as in forward, and so must
      // the salinity; an empty roll or pitch is the library's to judge, one
      // out of its range a bad row.
      std::array<float, x_input> numbers{};
      std::array<float, optional_fields.size()> optional{};
      const std::size_t optional_at = names.size() - optional.size();
      const auto fixed = std::span(numbers).subspan(channel_count);
      const auto fixed_values = values.subspan(channel_count);
      const auto fixed_names = std::span(names).subspan(channel_count);
      const auto optional_values = values.subspan(optional_at);
      const auto optional_names = std::span(names).subspan(optional_at);
      if (!read_numbers(values, names, std::span(numbers).first(channel_count), true, reason) ||
          !read_numbers(fixed_values, fixed_names, fixed, false, reason) ||
          !check_ranges(fixed_values, fixed_names, fixed, fixed_fields, reason) ||
          !read_numbers(optional_values, optional_names, std::span(optional).first(1), false,
                        reason) ||
          !read_numbers(optional_values.subspan(1), optional_names.subspan(1),
                        std::span(optional).subspan(1), true, reason)) {
        return false;
      }
      for (std::size_t i = 0; i < optional.size(); ++i) {
        if (!std::isnan(optional[i]) && !in_range(optional_fields[i], optional[i])) {
          reason = names[optional_at + i] + " = " + escaped(trim_blanks(values[optional_at + i])) +
                   " is outside " + range_text(optional_fields[i]);
          return false;
        }
      }
      Observation observation{};
      std::copy_n(numbers.begin(), channel_count, observation.tb_k.begin());
      observation.sst_c = numbers[channel_count];
      observation.altitude_m = numbers[channel_count + 1];
      observation.air_c = numbers[channel_count + 2];
      observation.salinity_psu = optional[0];
      observation.roll_deg = optional[1];
      observation.pitch_deg = optional[2];
      const Retrieval r = retrieve(observation, options);
      for (const float value : {r.wind_ms, r.rain_mmh, r.wind_sigma_ms, r.rain_sigma_mmh,
                                r.wind_rain_correlation, r.residual_rms_k}) {
        append_cell(cells, value, format);
      }
      cells += ',';
      cells += status_name(r.status);
      double x = 0.0;
      bool time = false;
      if (collect_x && !std::isnan(r.wind_ms) &&  // a fit was made
          read_x(values[x_input], x, time)) {
        std::array<char, 32> digits{};
        const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), x);
        side.append(digits.data(), end.ptr).push_back(' ');
        for (const float value : {r.wind_ms, r.wind_sigma_ms, r.rain_mmh, r.rain_sigma_mmh}) {
          append_number(side, value);
          side += ' ';
        }
        side += std::to_string(static_cast<int>(r.status)) + (time ? " 1\n" : " 0\n");
      }
      return true;
    });
  };
  return conversion;
}

Command add_retrieve(CLI::App& app) {
  auto options = std::make_shared<RetrieveOptions>();
  CLI::App* command = app.add_subcommand(
      "retrieve", "Append wind speed and rain rate retrieved from six brightness temperatures");
  add_rows_options(*command, options->rows);
  command
      ->add_option("--noise", options->noise,
                   "1 sigma of each channel's measurement (K, 0.01 to 100): one value, or six "
                   "(default 0.5)")
      ->option_text("K|K,K,K,K,K,K");
  command
      ->add_option("--model-error", options->model_error,
                   "1 sigma of the model's error common to all channels (K, 0 to 100; default "
                   "0): it widens the sigmas")
      ->option_text("K");
  command
      ->add_option("--max-off-nadir", options->max_off_nadir,
                   "The largest off-nadir angle of roll and pitch that is fitted (degrees, 0 to " +
                       number_text(max_off_nadir_limit_deg) + "; default " +
                       number_text(RetrievalOptions{}.max_off_nadir_deg) + ")")
      ->option_text("DEG");
  CLI::Option* plot = add_picture_options(*command, options->picture, "wind and rain against --x");
  CLI::Option* x = command->add_option("--x", options->x_column, "The column to draw them against")
                       ->option_text("COLUMN");
  plot->needs(x);
  x->needs(plot);
  command->footer(
      "Reads CSV with a header line; the columns tb_4.74 ... tb_7.09 (K), sst_c (deg C),\n"
      "altitude_m (m) and air_c (deg C) are found by name (the names forward writes, so\n"
      "forward | retrieve is a round trip). Optional columns, with the value of a row\n"
      "without them:\n" +
      optional_columns_text() +
      "An empty Tb cell is a missing channel. Every column passes through; appended are\n"
      "ret_wind_ms, ret_rain_mmh, ret_wind_sigma_ms, ret_rain_sigma_mmh,\n"
      "ret_wind_rain_correlation, ret_residual_rms_k (K) and ret_status (ok, at_bound,\n"
      "poor_fit, not_converged, invalid_input, off_nadir).\n"
      "\n"
      "A row that cannot be read (text that is not a number, too few or too many\n"
      "fields, an SST, altitude, air temperature or salinity empty or out of range, a\n"
      "roll or pitch out of range) is a bad row, as in forward. Every other row is\n"
      "written with its status, invalid_input included (empty result cells), and leaves\n"
      "the exit status alone: the data are yours to judge.\n"
      "\n"
      "--plot FILE --x COLUMN draws the retrieved wind and rain with their +-1 sigma\n"
      "band against COLUMN (best one that increases, such as a time), with gnuplot;\n"
      "rows whose status is not ok are marked by status.\n");
  return {command, [options](const std::atomic<bool>& stop_requested) {
            return run_retrieve(*options, stop_requested);
          }};
}

}  // namespace nerido::batch
