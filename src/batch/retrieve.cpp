#include "batch/retrieve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "batch/errors.hpp"
#include "batch/files.hpp"
#include "batch/plot.hpp"
#include "batch/progress.hpp"

namespace nerido::batch {
namespace {

// Where the scene's other values sit in inputs(), after the six Tb.
inline constexpr std::size_t sst_input = channel_count;
inline constexpr std::size_t x_input = channel_count + 3;

const std::array<std::string, 7>& retrieval_columns() {
  static const std::array<std::string, 7> names{"ret_wind_ms",
                                                "ret_rain_mmh",
                                                "ret_wind_sigma_ms",
                                                "ret_rain_sigma_mmh",
                                                "ret_wind_rain_correlation",
                                                "ret_residual_rms_k",
                                                "ret_status"};
  return names;
}

// A number cell; empty for NaN (the results of an invalid input).
void append_cell(std::string& out, float value, NumberFormat format) {
  out += ',';
  if (!std::isnan(value)) {
    append_number(out, value, format);
  }
}

class RetrieveConverter : public RowConverter {
 public:
  RetrieveConverter(const RetrievalOptions& options, NumberFormat format, bool collect_x,
                    std::span<const std::string> names)
      : options_(options), format_(format), collect_x_(collect_x), names_(names) {}

  std::optional<std::string> convert(std::span<const std::string_view> values, std::string& out,
                                     std::string& side) override {
    // Every value may be empty: a Tb then is a missing channel, any other
    // value makes the input invalid, which the status reports.
    std::array<float, channel_count + 3> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      switch (read_number(values[i], numbers[i])) {
        case NumberRead::ok:
          break;
        case NumberRead::empty:
          numbers[i] = std::numeric_limits<float>::quiet_NaN();
          break;
        case NumberRead::not_a_number:
          return not_a_number(names_[i], values[i]);
      }
    }
    Observation observation{};
    std::copy_n(numbers.begin(), channel_count, observation.tb_k.begin());
    observation.sst_c = numbers[sst_input];
    observation.altitude_m = numbers[sst_input + 1];
    observation.air_c = numbers[sst_input + 2];
    const Retrieval r = retrieve(observation, options_);

    for (const float value : {r.wind_ms, r.rain_mmh, r.wind_sigma_ms, r.rain_sigma_mmh,
                              r.wind_rain_correlation, r.residual_rms_k}) {
      append_cell(out, value, format_);
    }
    out += ',';
    out += status_name(r.status);
    float x = 0.0f;
    if (collect_x_ && r.status != RetrievalStatus::invalid_input &&
        read_number(values[x_input], x) == NumberRead::ok) {
      for (const float value : {x, r.wind_ms, r.wind_sigma_ms, r.rain_mmh, r.rain_sigma_mmh}) {
        append_number(side, value, NumberFormat{});
        side += ' ';
      }
      side.back() = '\n';
    }
    return std::nullopt;
  }

 private:
  RetrievalOptions options_;
  NumberFormat format_;
  bool collect_x_;
  std::span<const std::string> names_;
};

}  // namespace

std::array<float, channel_count> read_noise(std::string_view text) {
  std::vector<float> values;
  for (std::size_t begin = 0;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string_view item = text.substr(begin, comma - begin);
    float value = 0.0f;
    if (read_number(item, value) != NumberRead::ok || !(value > 0.0f) || std::isinf(value)) {
      throw UsageError("--noise: '" + std::string(item) + "' is not a positive number of kelvin");
    }
    values.push_back(value);
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

RetrieveTransform::RetrieveTransform(const RetrievalOptions& options, NumberFormat format,
                                     std::string x_column)
    : options_(options), format_(format), collect_x_(!x_column.empty()) {
  inputs_.assign(tb_columns().begin(), tb_columns().end());
  for (const SceneField field : {SceneField::sst_c, SceneField::altitude_m, SceneField::air_c}) {
    inputs_.emplace_back(field_range(field).name);
  }
  if (collect_x_) {
    inputs_.push_back(std::move(x_column));
  }
}

std::span<const std::string> RetrieveTransform::outputs() const noexcept {
  return retrieval_columns();
}

std::unique_ptr<RowConverter> RetrieveTransform::converter() const {
  return std::make_unique<RetrieveConverter>(options_, format_, collect_x_, inputs_);
}

int run_retrieve(const RetrieveOptions& options, const std::atomic<bool>& stop_requested) {
  RetrievalOptions retrieval;
  if (!options.noise.empty()) {
    retrieval.noise_k = read_noise(options.noise);
  }
  std::optional<PictureRequest> picture;
  std::optional<ScratchFile> plot_data;
  if (!options.plot.empty()) {
    picture = read_picture_request(options.plot, options.size, "");
    plot_data.emplace();
  }
  const RetrieveTransform transform(retrieval, options.rows.out.format,
                                    picture ? options.x_column : "");
  const auto draw = [&](const std::string& output_name) {
    if (plot_data->size() == 0) {
      report("cannot draw " + picture->path + ": no row has a retrieval and a number in '" +
             options.x_column + "'; the CSV was written to " + output_name);
      return exit_data_error;
    }
    const std::string title = "nerido-batch retrieve: " + output_name;
    return draw_after_output(
        *picture,
        [&](ScriptOutput& out) {
          write_retrieval_plot(out, options.x_column, title, [&](ScriptOutput& data) {
            plot_data->read_back([&](std::string_view piece) { data.write(piece); });
          });
        },
        output_name);
  };
  return run_rows(transform, options.rows, stop_requested, plot_data ? &*plot_data : nullptr,
                  picture ? std::function<int(const std::string&)>(draw) : nullptr);
}

}  // namespace nerido::batch
