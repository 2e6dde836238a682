// nerido-batch forward: the six brightness temperatures appended to a CSV
// file of scenes.
#include "batch/cmd/commands.hpp"

namespace nerido::batch {
namespace {

constexpr SceneField field_at(std::size_t i) { return static_cast<SceneField>(i); }

// The columns forward reads: the scene's five fields in declaration order,
// then its salinity (optional).
constexpr std::array<SceneField, scene_field_count + 1> scene_fields = [] {
  std::array<SceneField, scene_field_count + 1> fields{};
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    fields[i] = field_at(i);
  }
  fields.back() = SceneField::salinity_psu;
  return fields;
}();

// "sst_c (deg C), altitude_m (m), ... and rain_mmh (mm/h)"
std::string scene_columns_text() {
  std::string text;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    const FieldRange& r = field_range(field_at(i));
    text += (i == 0                       ? ""
             : i + 1 == scene_field_count ? " and "
                                          : ", ") +
            std::string(r.name) + " (" + std::string(r.unit) + ")";
  }
  return text;
}

std::string forward_footer() {
  const FieldRange& salinity = field_range(SceneField::salinity_psu);
  return "Reads CSV with a header line; the columns " + scene_columns_text() +
         "\nare found by name, in any order; " + std::string(salinity.name) + " (" +
         std::string(salinity.unit) + ") too when there is one, else\n--" +
         std::string(salinity.option) + " or " +
         number_text(salinity.default_value.value_or(0.0f)) +
         " applies to every row. Every column passes through unchanged; "
         "tb_4.74 ... tb_7.09 (K)\nare appended. Numbers are the shortest text that reads back "
         "to the same float, unless\n--decimals is given.\n"
         "\n"
         "A bad row (a field missing, not a number or out of range, too few or too many\n"
         "fields) stops the run with FILE:LINE: reason and status 1; with -o FILE the rows\n"
         "before it are kept in FILE.partial-XXXXXX and FILE is left as it was. --on-error\n"
         "mark writes bad rows with the header's fields, empty Tb cells and the reason in a\n"
         "last column 'error', goes on, and ends with status 1. A record longer than 1 MiB\n"
         "always stops.\n"
         "\n"
         "Accepts LF and CRLF line ends, a UTF-8 byte-order mark and RFC 4180 quoting;\n"
         "blank lines are skipped. Output lines end in LF. With -o FILE the output is\n"
         "written beside FILE and renamed to FILE once complete. From a pipe or a terminal\n"
         "each row is written as soon as its line has arrived.\n";
}

}  // namespace

const std::array<std::string, channel_count>& tb_columns() {
  static const std::array<std::string, channel_count> names = [] {
    std::array<std::string, channel_count> n;
    for (std::size_t i = 0; i < n.size(); ++i) {
      n[i] = "tb_" + number_text(channels_ghz[i]);
    }
    return n;
  }();
  return names;
}

void append_tb_cells(std::string& out, const std::array<float, channel_count>& tb,
                     NumberFormat format) {
  for (const float value : tb) {
    out += ',';
    append_number(out, value, format);
  }
}

RowConversion forward_conversion(NumberFormat format, std::optional<float> salinity) {
  RowConversion conversion;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    conversion.inputs.emplace_back(field_range(field_at(i)).name);
  }
  conversion.optional_inputs.push_back(optional_input(SceneField::salinity_psu, salinity));
  conversion.outputs.assign(tb_columns().begin(), tb_columns().end());
  // Shared, not copied into each converter: with a copy the file-to-file
  // rate on 2 threads fell by 4-5 % (measured; the workers' states grew).
  std::vector<std::string> read = conversion.inputs;
  read.push_back(conversion.optional_inputs.front().name);
  auto names = std::make_shared<const std::vector<std::string>>(std::move(read));
  conversion.make_converter = [format, names]() -> RowConverter {
    return [format, names, cache = EmissivityCache{}](std::span<const std::string_view> values,
                                                      std::string& cells, std::string& /*side*/,
                                                      std::string& reason) mutable {
      // The five, then the salinity.
      std::array<float, scene_fields.size()> numbers{};
      if (!read_numbers(values, *names, numbers, false, reason) ||
          !check_ranges(values, *names, numbers, scene_fields, reason)) {
        return false;
      }
      std::array<float, scene_field_count> five{};
      std::copy_n(numbers.begin(), five.size(), five.begin());
      Scene scene = scene_from_values(five);
      scene.salinity_psu = numbers.back();
      append_tb_cells(cells, compute_tb(cache, scene), format);
      return true;
    };
  };
  return conversion;
}

Command add_forward(CLI::App& app) {
  auto options = std::make_shared<RowsOptions>();
  CLI::App* command = app.add_subcommand(
      "forward", "Append the six brightness temperatures to a CSV file of scenes");
  add_rows_options(*command, *options);
  command->footer(forward_footer());
  return {command, [options](const std::atomic<bool>& stop_requested) {
            return run_file(
                forward_conversion(options->out.format,
                                   read_field_option(SceneField::salinity_psu, options->salinity)),
                *options, stop_requested);
          }};
}

}  // namespace nerido::batch
