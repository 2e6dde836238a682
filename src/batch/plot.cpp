#include "batch/plot.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "batch/errors.hpp"
#include "batch/files.hpp"

extern char** environ;

namespace nerido::batch {
namespace {

// Smallest and largest side of a picture (pixels).
inline constexpr unsigned min_side_px = 16;
inline constexpr unsigned max_side_px = 10000;
// The Debian package that provides gnuplot without X.
inline constexpr std::string_view gnuplot_package = "gnuplot-nox";
// Most bytes of gnuplot's messages read back.
inline constexpr std::size_t message_bytes = 4096;

// How a scene field is shown in a picture.
struct FieldLabel {
  std::string_view name;
  std::string_view unit;
};
constexpr std::array<FieldLabel, scene_field_count> field_labels{{
    {"SST", "°C"},
    {"altitude", "m"},
    {"air temperature", "°C"},
    {"wind speed", "m/s"},
    {"rain rate", "mm/h"},
}};

const FieldLabel& label(SceneField field) { return field_labels[static_cast<std::size_t>(field)]; }

std::string number_text(float value) {
  std::string text;
  append_number(text, value, NumberFormat{});
  return text;
}

// "rain rate 5 mm/h"
std::string value_label(SceneField field, float value) {
  return std::string(label(field).name) + " " + number_text(value) + " " +
         std::string(label(field).unit);
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

unsigned read_side(std::string_view text, std::string_view size) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
      value < min_side_px || value > max_side_px) {
    throw UsageError("--size: '" + std::string(size) + "' is not WxH with each side " +
                     std::to_string(min_side_px) + " to " + std::to_string(max_side_px) +
                     " pixels");
  }
  return value;
}

// The title's fixed values: "SST 28 °C, altitude 3000 m, air temperature 15 °C".
std::string fixed_values(const Grid& grid) {
  std::string text;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    const auto field = static_cast<SceneField>(i);
    if (grid.axis(field).size() == 1) {
      text += (text.empty() ? "" : ", ") + value_label(field, grid.axis(field).value(0));
    }
  }
  return text;
}

// Blocks of "x tb1 ... tb6" lines, one block per curve, separated by two
// blank lines (gnuplot's `index`).
std::string sweep_data(const Grid& grid, SceneField x_field,
                       std::optional<SceneField> curve_field) {
  const Axis& x_axis = grid.axis(x_field);
  const std::uint64_t curves = curve_field ? grid.axis(*curve_field).size() : 1;
  Scene base = grid.scene(0);
  std::string data = "$sweep << EOD\n";
  SceneCalculator calculator;
  for (std::uint64_t c = 0; c < curves; ++c) {
    for (std::uint64_t i = 0; i < x_axis.size(); ++i) {
      Scene scene = base;
      std::array<float*, scene_field_count> fields{&scene.sst_c, &scene.altitude_m, &scene.air_c,
                                                   &scene.wind_ms, &scene.rain_mmh};
      *fields[static_cast<std::size_t>(x_field)] = x_axis.value(i);
      if (curve_field) {
        *fields[static_cast<std::size_t>(*curve_field)] = grid.axis(*curve_field).value(c);
      }
      append_number(data, x_axis.value(i), NumberFormat{});
      for (const float tb : calculator.compute(scene)) {
        data += ' ';
        append_number(data, tb, NumberFormat{});
      }
      data += '\n';
    }
    data += "\n\n";
  }
  data += "EOD\n";
  return data;
}

// Reads what gnuplot wrote on its standard error: the last line that says something.
std::string last_message(int fd) {
  std::string text(message_bytes, '\0');
  const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  const std::size_t start = text.find_last_of('\n');
  text = start == std::string::npos ? text : text.substr(start + 1);
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? "no message" : text.substr(first);
}

// SIGPIPE ignored while it lives: gnuplot ending early must not end the
// program. Only the calling thread runs meanwhile.
class PipeSignalIgnored {
 public:
  PipeSignalIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous_);
  }
  ~PipeSignalIgnored() { sigaction(SIGPIPE, &previous_, nullptr); }
  PipeSignalIgnored(const PipeSignalIgnored&) = delete;
  PipeSignalIgnored& operator=(const PipeSignalIgnored&) = delete;

 private:
  struct sigaction previous_ {};
};

// gnuplot's standard input. Once gnuplot has ended, writes do nothing: its
// exit status says why.
class GnuplotInput : public ScriptOutput {
 public:
  explicit GnuplotInput(int fd) : fd_(fd) {}
  void write(std::string_view text) override {
    while (open_ && !text.empty()) {
      const ssize_t n = ::write(fd_, text.data(), text.size());
      if (n < 0 && errno == EINTR) {
        continue;
      }
      open_ = n > 0;
      text.remove_prefix(open_ ? static_cast<std::size_t>(n) : text.size());
    }
  }

 private:
  int fd_;
  bool open_ = true;
};

// Runs gnuplot with the script that `write_script` writes on its standard
// input; answers its exit status (-1 when it did not exit), its messages
// going to `messages_fd`.
int run_gnuplot(const ScriptWriter& write_script, int messages_fd, const std::string& picture) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    throw DataError("cannot draw " + picture + ": " + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, messages_fd, STDERR_FILENO);
  std::array<char*, 2> arguments{const_cast<char*>("gnuplot"), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "gnuplot", &actions, nullptr, arguments.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[0]);
  if (spawned != 0) {
    ::close(pipe_fds[1]);
    if (spawned == ENOENT) {
      throw DataError("cannot draw " + picture + ": gnuplot not found (Debian package " +
                      std::string(gnuplot_package) + ")");
    }
    throw DataError("cannot draw " + picture + ": cannot run gnuplot: " + std::strerror(spawned));
  }
  {
    const PipeSignalIgnored ignored;
    GnuplotInput input(pipe_fds[1]);
    try {
      write_script(input);
    } catch (...) {
      ::close(pipe_fds[1]);
      ::waitpid(pid, nullptr, 0);
      throw;
    }
    ::close(pipe_fds[1]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

PictureRequest read_picture_request(std::string_view path, std::string_view size,
                                    std::string_view channel) {
  PictureRequest request;
  request.path = path;
  if (ends_with(path, ".png")) {
    request.format = PictureFormat::png;
  } else if (ends_with(path, ".svg")) {
    request.format = PictureFormat::svg;
  } else {
    throw UsageError("--plot: '" + std::string(path) + "' does not end in .png or .svg");
  }
  const std::size_t x = size.find('x');
  if (x == std::string_view::npos) {
    read_side({}, size);  // throws
  }
  request.width = read_side(size.substr(0, x), size);
  request.height = read_side(size.substr(x + 1), size);
  if (!channel.empty()) {
    float ghz = 0.0f;
    const bool number = read_number(channel, ghz) == NumberRead::ok;
    for (std::size_t i = 0; number && i < channels_ghz.size(); ++i) {
      if (channels_ghz[i] == ghz) {
        request.channel = i;
      }
    }
    if (!request.channel) {
      throw UsageError("--channel: '" + std::string(channel) +
                       "' is not one of 4.74, 5.31, 5.57, 6.02, 6.69, 7.09 (GHz)");
    }
  }
  return request;
}

std::string gnuplot_string(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c;
    if (c == '\'') {
      quoted += '\'';
    }
  }
  return quoted + "'";
}

std::string sweep_plot_commands(const Grid& grid, const PictureRequest& request) {
  const std::vector<SceneField> varying = grid.varying();
  if (varying.empty() || varying.size() > 2) {
    throw UsageError("--plot: " + std::to_string(varying.size()) +
                     " options vary; a picture needs one or two");
  }
  // The picture's data go to gnuplot in one script held in memory, so the
  // grid it draws is bounded (the CSV itself streams, whatever its size).
  if (grid.size() > max_plot_points) {
    throw UsageError("--plot: the grid has " + std::to_string(grid.size()) +
                     " points; a picture takes at most " + std::to_string(max_plot_points));
  }
  const SceneField x_field = varying[0];
  const std::optional<SceneField> curve_field =
      varying.size() == 2 ? std::optional(varying[1]) : std::nullopt;
  std::string commands = sweep_data(grid, x_field, curve_field);
  const std::string fixed = fixed_values(grid);
  commands += "set grid\nset key top left\n";
  commands += "set xlabel " +
              gnuplot_string(std::string(label(x_field).name) + " (" +
                             std::string(label(x_field).unit) + ")") +
              "\nset ylabel 'Tb (K)'\n";
  const bool all_channels = !request.channel.has_value();
  commands += std::string("set multiplot layout ") + (all_channels ? "2,3" : "1,1") + " title " +
              gnuplot_string("nerido-batch sweep" + (fixed.empty() ? "" : ": " + fixed)) + "\n";
  for (std::size_t ch = 0; ch < channel_count; ++ch) {
    if (!all_channels && ch != *request.channel) {
      continue;
    }
    commands += "set title " + gnuplot_string(number_text(channels_ghz[ch]) + " GHz") + "\nplot ";
    const std::uint64_t curves = curve_field ? grid.axis(*curve_field).size() : 1;
    for (std::uint64_t c = 0; c < curves; ++c) {
      commands += (c == 0 ? "" : ", ") + std::string("$sweep index ") + std::to_string(c) +
                  " using 1:" + std::to_string(ch + 2) + " with linespoints pointtype 7 " +
                  (curve_field ? "title " + gnuplot_string(value_label(
                                                *curve_field, grid.axis(*curve_field).value(c)))
                               : std::string("notitle"));
    }
    commands += "\n";
  }
  commands += "unset multiplot\n";
  return commands;
}

void write_retrieval_plot(ScriptOutput& out, std::string_view x_column, std::string_view title,
                          const ScriptWriter& write_data) {
  out.write("$retrieval << EOD\n");
  write_data(out);
  out.write("EOD\n");
  std::string commands = "set grid\nset key top left\nset xlabel " + gnuplot_string(x_column) +
                         "\nset multiplot layout 2,1 title " + gnuplot_string(title) + "\n";
  // Panel: column of the value, column of its sigma, name, unit.
  const std::array<std::array<std::string_view, 4>, 2> panels{
      {{"2", "3", "wind speed", "m/s"}, {"4", "5", "rain rate", "mm/h"}}};
  for (const auto& [value, sigma, name, unit] : panels) {
    std::string v = "$";  // gnuplot's column references: $2, $3 ...
    v += value;
    std::string s = "$";
    s += sigma;
    commands += "set ylabel " + gnuplot_string(std::string(name) + " (" + std::string(unit) + ")") +
                "\nplot $retrieval using 1:(" + v + " > " + s + " ? " + v + " - " + s + " : 0):(" +
                v + " + " + s + ") with filledcurves fillstyle transparent solid 0.3 noborder " +
                "title '±1 sigma', $retrieval using 1:" + std::string(value) +
                " with lines linewidth 1.5 title " + gnuplot_string(name) + "\n";
  }
  out.write(commands + "unset multiplot\n");
}

void draw_picture(const PictureRequest& request, const ScriptWriter& write_commands) {
  // A device or a pipe is drawn into as it is, never replaced.
  struct stat status {};
  const bool in_place = ::stat(request.path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
  const std::string partial = in_place ? request.path : request.path + std::string(partial_suffix);
  const ScriptWriter write_script = [&](ScriptOutput& out) {
    out.write(std::string("set encoding utf8\nset terminal ") +
              (request.format == PictureFormat::png ? "pngcairo" : "svg") + " size " +
              std::to_string(request.width) + "," + std::to_string(request.height) +
              " noenhanced font 'sans,10'\nset output " + gnuplot_string(partial) + "\n");
    write_commands(out);
    out.write("set output\n");
  };

  std::FILE* messages = std::tmpfile();
  if (messages == nullptr) {
    throw DataError("cannot draw " + request.path + ": " + std::strerror(errno));
  }
  int exit_status = -1;
  try {
    exit_status = run_gnuplot(write_script, ::fileno(messages), request.path);
  } catch (...) {
    std::fclose(messages);
    throw;
  }
  const std::string message = last_message(::fileno(messages));
  std::fclose(messages);
  if (exit_status != 0) {
    if (!in_place) {
      std::remove(partial.c_str());
    }
    throw DataError("cannot draw " + request.path + ": gnuplot failed: " + message);
  }
  if (!in_place && std::rename(partial.c_str(), request.path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(partial.c_str());
    throw DataError("cannot draw " + request.path + ": " + reason);
  }
}

}  // namespace nerido::batch
