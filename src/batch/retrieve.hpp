// The retrieval as a row transformation: six measured brightness
// temperatures and the SST, altitude and air temperature in; the retrieved
// wind and rain, their 1 sigma and correlation, the residual and the status
// appended. An empty Tb cell is a missing channel.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch/commands.hpp"
#include "batch/numbers.hpp"
#include "batch/rows.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {

// Reads --noise: one value for every channel, or six, comma-separated (K),
// each positive and finite. Throws UsageError naming the option.
std::array<float, channel_count> read_noise(std::string_view text);

class RetrieveTransform : public RowTransform {
 public:
  // `x_column`: a column whose value is collected beside each retrieval, as
  // the data lines of write_retrieval_plot; empty for none.
  RetrieveTransform(const RetrievalOptions& options, NumberFormat format, std::string x_column);
  [[nodiscard]] std::span<const std::string> inputs() const noexcept override { return inputs_; }
  [[nodiscard]] std::span<const std::string> outputs() const noexcept override;
  [[nodiscard]] std::unique_ptr<RowConverter> converter() const override;

 private:
  RetrievalOptions options_;
  NumberFormat format_;
  bool collect_x_;
  std::vector<std::string> inputs_;  // the six Tb, sst_c, altitude_m, air_c (, the x column)
};

struct RetrieveOptions {
  RowsOptions rows;
  std::string noise;  // --noise; empty: the library's default
  std::string plot;   // FILE.png or FILE.svg; empty: no picture
  std::string size{"1200x800"};
  std::string x_column;  // --x
};

// `nerido-batch retrieve`, as run_rows; with a picture of the retrievals
// against the --x column once the CSV is complete.
int run_retrieve(const RetrieveOptions& options, const std::atomic<bool>& stop_requested);

}  // namespace nerido::batch
