#include "batch/forward.hpp"

#include <bit>

namespace nerido::batch {
namespace {

std::array<std::string, scene_field_count> make_scene_columns() {
  std::array<std::string, scene_field_count> names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    names[i] = field_range(static_cast<SceneField>(i)).name;
  }
  return names;
}

std::array<std::string, channel_count> make_tb_columns() {
  std::array<std::string, channel_count> names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    names[i] = "tb_";
    append_number(names[i], channels_ghz[i], NumberFormat{});
  }
  return names;
}

class ForwardConverter : public RowConverter {
 public:
  explicit ForwardConverter(NumberFormat format) : format_(format) {}
  std::optional<std::string> convert(std::span<const std::string_view> values, std::string& out,
                                     std::string& /*side*/) override {
    Scene scene{};
    if (auto reason = read_scene(values, scene)) {
      return reason;
    }
    append_tb_cells(out, calculator_.compute(scene), format_);
    return std::nullopt;
  }

 private:
  NumberFormat format_;
  SceneCalculator calculator_;
};

}  // namespace

std::span<const std::string, scene_field_count> scene_columns() {
  static const std::array<std::string, scene_field_count> names = make_scene_columns();
  return names;
}

std::span<const std::string, channel_count> tb_columns() {
  static const std::array<std::string, channel_count> names = make_tb_columns();
  return names;
}

std::optional<std::string> read_scene(std::span<const std::string_view> values, Scene& scene) {
  std::array<float, scene_field_count> numbers{};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::string& name = scene_columns()[i];
    switch (read_number(values[i], numbers[i])) {
      case NumberRead::ok:
        break;
      case NumberRead::empty:
        return name + " is empty";
      case NumberRead::not_a_number:
        return not_a_number(name, values[i]);
    }
  }
  scene = Scene{numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]};
  if (auto error = check_scene(scene)) {
    return std::move(error->message);
  }
  return std::nullopt;
}

std::array<float, channel_count> SceneCalculator::compute(const Scene& scene) noexcept {
  const auto sst_bits = std::bit_cast<std::uint32_t>(scene.sst_c);
  if (!have_emissivities_ || sst_bits != sst_bits_) {
    emissivities_ = emissivities(scene.sst_c);
    sst_bits_ = sst_bits;
    have_emissivities_ = true;
  }
  return brightness_temperatures(scene, emissivities_);
}

void append_tb_cells(std::string& out, const std::array<float, channel_count>& tb,
                     NumberFormat format) {
  for (const float value : tb) {
    out += ',';
    append_number(out, value, format);
  }
}

std::unique_ptr<RowConverter> ForwardTransform::converter() const {
  return std::make_unique<ForwardConverter>(format_);
}

}  // namespace nerido::batch
