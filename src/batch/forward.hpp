// The forward model as a row transformation: five scene columns in, the six
// brightness temperatures appended.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "batch/numbers.hpp"
#include "batch/rows.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {

// The scene's column names, in declaration order: sst_c, altitude_m, air_c,
// wind_ms, rain_mmh.
[[nodiscard]] std::span<const std::string, scene_field_count> scene_columns();
// The brightness temperatures' column names: tb_4.74 ... tb_7.09.
[[nodiscard]] std::span<const std::string, channel_count> tb_columns();

// Reads a scene from the text of its five values (in declaration order);
// answers why it is not one: a value empty, not a number, or outside its
// range (in the words of nerido::check_scene).
[[nodiscard]] std::optional<std::string> read_scene(std::span<const std::string_view> values,
                                                    Scene& scene);

// Brightness temperatures of scene after scene, with the six emissivities
// kept while the sea-surface temperature stays the same (bit for bit). The
// results are those of nerido::brightness_temperatures(scene).
class SceneCalculator {
 public:
  [[nodiscard]] std::array<float, channel_count> compute(const Scene& scene) noexcept;

 private:
  bool have_emissivities_ = false;
  std::uint32_t sst_bits_ = 0;
  std::array<float, channel_count> emissivities_{};
};

// Appends ",tb" for each channel.
void append_tb_cells(std::string& out, const std::array<float, channel_count>& tb,
                     NumberFormat format);

class ForwardTransform : public RowTransform {
 public:
  explicit ForwardTransform(NumberFormat format) : format_(format) {}
  [[nodiscard]] std::span<const std::string> inputs() const noexcept override {
    return scene_columns();
  }
  [[nodiscard]] std::span<const std::string> outputs() const noexcept override {
    return tb_columns();
  }
  [[nodiscard]] std::unique_ptr<RowConverter> converter() const override;

 private:
  NumberFormat format_;
};

}  // namespace nerido::batch
