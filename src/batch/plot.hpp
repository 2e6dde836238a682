// Pictures drawn by gnuplot (Debian package gnuplot-nox), run as a child
// process that reads its script on a pipe, into the one atomic output file.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace nerido::batch {

// What --plot and --size ask for.
struct PictureOptions {
  std::string path;  // FILE.png or FILE.svg; empty: no picture
  std::string size{"1200x800"};
};
// Adds --plot (drawing `what`) and --size; answers --plot.
CLI::Option* add_picture_options(CLI::App& command, PictureOptions& options, std::string_view what);

struct PictureRequest {
  std::string path;
  bool png = true;      // else SVG
  unsigned width = 0;   // pixels
  unsigned height = 0;  // pixels
};
// Throws UsageError naming the option: a name not ending in .png or .svg, a
// size not "WxH" with each side 16 to 10000 pixels.
PictureRequest read_picture_request(const PictureOptions& options);

// gnuplot's text for a string: in single quotes, a single quote doubled.
std::string gnuplot_string(std::string_view text);

// Takes a picture's script, piece by piece.
using ScriptOutput = std::function<void(std::string_view)>;

// Runs gnuplot on what `write_commands` writes, after the lines that select
// the picture's format, size and file. Reports a picture not drawn (gnuplot
// missing, with its Debian package, or failing, with its last message),
// adding that the CSV was written to `output_name`, and answers status 1;
// 0 when drawn.
int draw_picture(const PictureRequest& request,
                 const std::function<void(const ScriptOutput&)>& write_commands,
                 const std::string& output_name);

}  // namespace nerido::batch
