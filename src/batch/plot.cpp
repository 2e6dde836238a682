#include "batch/plot.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <system_error>

#include "batch/errors.hpp"
#include "batch/io/text.hpp"

namespace nerido::batch {
namespace {

// Smallest and largest side of a picture (pixels).
inline constexpr unsigned min_side_px = 16;
inline constexpr unsigned max_side_px = 10000;
// Most bytes of gnuplot's messages read back.
inline constexpr std::size_t message_bytes = 4096;

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

// The last line that says something of what gnuplot wrote on its standard error.
std::string last_message(const ScratchFile& messages) {
  std::string text;
  messages.read_back([&](std::string_view piece) {
    text += piece.substr(0, message_bytes - std::min(message_bytes, text.size()));
  });
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  text.erase(0, text.find_last_of('\n') + 1);  // npos + 1 is 0
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? "no message" : text.substr(first);
}

// Runs gnuplot on the script `write_script` writes to draw `picture`;
// answers its exit status (-1 when it did not exit), its messages going to
// `messages`.
int run_gnuplot(const std::function<void(const ScriptOutput&)>& write_script,
                const ScratchFile& messages, const std::string& picture) {
  const auto cannot_draw = [&](const std::string& reason) {
    return DataError("cannot draw " + picture + ": " + reason);
  };
  std::array<int, 2> pipe_fds{};
  if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
    throw cannot_draw(error_text(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, messages.fd(), STDERR_FILENO);
  std::array<char*, 2> arguments{const_cast<char*>("gnuplot"), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "gnuplot", &actions, nullptr, arguments.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[0]);
  if (spawned != 0) {
    ::close(pipe_fds[1]);
    throw cannot_draw(spawned == ENOENT ? "gnuplot not found (Debian package gnuplot-nox)"
                                        : "cannot run gnuplot: " + error_text(spawned));
  }
  // SIGPIPE ignored meanwhile (only this thread runs): once gnuplot has
  // ended, writes do nothing, and its exit status says why.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  bool open = true;
  try {
    write_script([&](std::string_view text) { open = open && write_all(pipe_fds[1], text); });
  } catch (...) {
    sigaction(SIGPIPE, &previous, nullptr);
    ::close(pipe_fds[1]);
    ::waitpid(pid, nullptr, 0);
    throw;
  }
  sigaction(SIGPIPE, &previous, nullptr);
  ::close(pipe_fds[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

CLI::Option* add_picture_options(CLI::App& command, PictureOptions& options,
                                 std::string_view what) {
  CLI::Option* plot =
      command
          .add_option("--plot", options.path,
                      "Also draw " + std::string(what) + " into FILE.png or FILE.svg (gnuplot)")
          ->option_text("FILE");
  command.add_option("--size", options.size, "Picture size in pixels (default 1200x800)")
      ->needs(plot)
      ->option_text("WxH");
  return plot;
}

void check_picture_options(PictureOptions& options) {
  const std::string_view path = options.path;
  if (!path.ends_with(".png") && !path.ends_with(".svg")) {
    throw UsageError("--plot: '" + options.path + "' does not end in .png or .svg");
  }
  const std::string_view size = options.size;
  const std::size_t x = size.find('x');
  options.width = read_side(x == std::string_view::npos ? "" : size.substr(0, x), size);
  options.height = read_side(size.substr(x + 1), size);
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

int draw_picture(const PictureOptions& picture, std::string_view data_name, const ScratchFile& data,
                 const std::function<void(const ScriptOutput&)>& write_commands,
                 const std::string& output_name) {
  try {
    OutputFile file(picture.path, false);
    const auto write_script = [&](const ScriptOutput& out) {
      out(std::string("set encoding utf8\nset terminal ") +
          (picture.path.ends_with(".png") ? "pngcairo" : "svg") + " size " +
          std::to_string(picture.width) + "," + std::to_string(picture.height) +
          " noenhanced font 'sans,10'\nset output " + gnuplot_string(file.path()) + "\n$" +
          std::string(data_name) + " << EOD\n");
      data.read_back(out);
      out("EOD\n");
      write_commands(out);
      out("set output\n");
    };
    const ScratchFile messages;
    if (run_gnuplot(write_script, messages, picture.path) != 0) {
      throw DataError("cannot draw " + picture.path +
                      ": gnuplot failed: " + last_message(messages));
    }
    file.commit();
  } catch (const DataError& error) {
    report(std::string(error.what()) + "; the CSV was written to " + output_name);
    return exit_data_error;
  }
  return exit_success;
}

}  // namespace nerido::batch
