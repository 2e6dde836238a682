// The subcommands of nerido-batch: each file of this folder holds one, with
// its options, help text, row conversion and picture.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "batch/io/text.hpp"
#include "batch/rows.hpp"
#include "batch/run.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {

// A subcommand added to the command line, and what runs it once parsed.
struct Command {
  CLI::App* app = nullptr;
  std::function<int(const std::atomic<bool>& stop_requested)> run;
};

Command add_forward(CLI::App& app);
Command add_sweep(CLI::App& app);
Command add_retrieve(CLI::App& app);

// Options every subcommand takes, and those of one that reads CSV rows.
void add_output_options(CLI::App& command, OutputOptions& options);
void add_rows_options(CLI::App& command, RowsOptions& options);

// The brightness temperatures' column names: tb_4.74 ... tb_7.09.
[[nodiscard]] const std::array<std::string, channel_count>& tb_columns();
// Appends ",tb" for each channel.
void append_tb_cells(std::string& out, const std::array<float, channel_count>& tb,
                     NumberFormat format);

// The six Tb of `scene`, its emissivities reused while the SST stays the same.
[[nodiscard]] inline std::array<float, channel_count> compute_tb(EmissivityCache& cache,
                                                                 const Scene& scene) noexcept {
  return brightness_temperatures(scene, cache.emissivities(scene.sst_c));
}

// The conversions, as the row loop runs them.
[[nodiscard]] RowConversion forward_conversion(NumberFormat format);
[[nodiscard]] RowConversion retrieve_conversion(const RetrievalOptions& options,
                                                NumberFormat format, const std::string& x_column);

// The values a sweep option gives `field` (its first million). Throws
// UsageError naming the option.
[[nodiscard]] std::vector<float> axis_values(SceneField field, std::string_view text);

// Reads --noise: one value for every channel, or six, comma-separated (K),
// each positive and finite. Throws UsageError naming the option.
[[nodiscard]] std::array<float, channel_count> read_noise(std::string_view text);

}  // namespace nerido::batch
