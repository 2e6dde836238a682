// Pictures drawn by gnuplot (Debian package gnuplot-nox), run as a child
// process that reads its script on a pipe, into the one atomic output file.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "batch/io/files.hpp"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace nerido::batch {

// What --plot and --size ask for.
struct PictureOptions {
  std::string path;  // FILE.png or FILE.svg; empty: no picture
  std::string size{"1200x800"};
  unsigned width = 0;   // pixels, set by check_picture_options
  unsigned height = 0;  // pixels, set by check_picture_options
};
// Adds --plot (drawing `what`) and --size; answers --plot.
CLI::Option* add_picture_options(CLI::App& command, PictureOptions& options, std::string_view what);
// Sets the width and height. Throws UsageError naming the option: a name
// not ending in .png or .svg, a size not "WxH" with each side 16 to 10000
// pixels.
void check_picture_options(PictureOptions& options);

// gnuplot's text for a string: in single quotes, a single quote doubled.
std::string gnuplot_string(std::string_view text);

// Takes a picture's script, piece by piece.
using ScriptOutput = std::function<void(std::string_view)>;

// Runs gnuplot on the lines that select the picture's format, size and
// file, then `data` as the data block $NAME (`data_name`), then what
// `write_commands` writes. Reports a picture not drawn (gnuplot missing,
// with its Debian package, or failing, with its last message), adding that
// the CSV was written to `output_name`, and answers status 1; 0 when drawn.
int draw_picture(const PictureOptions& picture, std::string_view data_name, const ScratchFile& data,
                 const std::function<void(const ScriptOutput&)>& write_commands,
                 const std::string& output_name);

}  // namespace nerido::batch
