// Pictures drawn by gnuplot (Debian package gnuplot-nox), run as a child
// process that reads its script on a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "batch/sweep.hpp"

namespace nerido::batch {

enum class PictureFormat { png, svg };

// What --plot, --size and --channel ask for.
struct PictureRequest {
  std::string path;  // FILE.png or FILE.svg
  PictureFormat format = PictureFormat::png;
  unsigned width = 1200;               // pixels
  unsigned height = 800;               // pixels
  std::optional<std::size_t> channel;  // one channel's index, or all six
};

// Reads --plot FILE, --size WxH and --channel GHZ (empty: all channels).
// Throws UsageError naming the option: a name not ending in .png or .svg, a
// size not "WxH" with each side 16 to 10000 pixels, a frequency that is not
// one of the six channels.
PictureRequest read_picture_request(std::string_view path, std::string_view size,
                                    std::string_view channel);

// gnuplot's text for a string: in single quotes, a single quote doubled.
std::string gnuplot_string(std::string_view text);

// Most grid points a sweep's picture takes: its data are held in memory.
inline constexpr std::uint64_t max_plot_points = 1'000'000;

// The gnuplot commands that draw a sweep: Tb against the first field that
// varies, one curve per value of the second, one panel per channel (or the
// requested one), titled with the fixed values. Throws UsageError unless one
// or two fields vary, or when the grid has more than max_plot_points points.
std::string sweep_plot_commands(const Grid& grid, const PictureRequest& request);

// Where a picture's commands go: gnuplot's standard input.
class ScriptOutput {
 public:
  virtual ~ScriptOutput() = default;
  virtual void write(std::string_view text) = 0;
};
using ScriptWriter = std::function<void(ScriptOutput&)>;

// The commands that draw retrieved wind and rain against a column, each with
// its +-1 sigma band, in two panels. `write_data` writes the data lines
// "x wind wind_sigma rain rain_sigma", which become gnuplot's $retrieval.
void write_retrieval_plot(ScriptOutput& out, std::string_view x_column, std::string_view title,
                          const ScriptWriter& write_data);

// Runs gnuplot on the commands `write_commands` writes, after the lines that
// select the picture's format, size and file; the picture is drawn as
// FILE.partial and renamed to FILE when gnuplot succeeds (a device or a pipe
// is drawn into as it is). Throws DataError naming the picture when gnuplot
// is missing (and its Debian package) or fails (its last message).
void draw_picture(const PictureRequest& request, const ScriptWriter& write_commands);

}  // namespace nerido::batch
