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
#include <cstdio>
#include <cstring>
#include <system_error>

#include "batch/errors.hpp"
#include "batch/io/files.hpp"
#include "batch/io/text.hpp"

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

// Runs gnuplot on the script `write_script` writes; answers its exit status
// (-1 when it did not exit), its messages going to `messages_fd`.
int run_gnuplot(const std::function<void(const ScriptOutput&)>& write_script, int messages_fd,
                const std::string& picture) {
  std::array<int, 2> pipe_fds{};
  if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
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
    throw DataError("cannot draw " + picture + ": " +
                    (spawned == ENOENT
                         ? "gnuplot not found (Debian package " + std::string(gnuplot_package) + ")"
                         : "cannot run gnuplot: " + std::string(std::strerror(spawned))));
  }
  {
    // Once gnuplot has ended, writes do nothing: its exit status says why.
    const PipeSignalIgnored ignored;
    bool open = true;
    try {
      write_script([&](std::string_view text) { open = open && write_all(pipe_fds[1], text); });
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

void draw(const PictureRequest& request,
          const std::function<void(const ScriptOutput&)>& write_commands) {
  OutputFile picture(request.path, false);
  const auto write_script = [&](const ScriptOutput& out) {
    out(std::string("set encoding utf8\nset terminal ") + (request.png ? "pngcairo" : "svg") +
        " size " + std::to_string(request.width) + "," + std::to_string(request.height) +
        " noenhanced font 'sans,10'\nset output " + gnuplot_string(picture.path()) + "\n");
    write_commands(out);
    out("set output\n");
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
    throw DataError("cannot draw " + request.path + ": gnuplot failed: " + message);
  }
  picture.commit();
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

PictureRequest read_picture_request(const PictureOptions& options) {
  PictureRequest request;
  request.path = options.path;
  const std::string_view path = options.path;
  if (!path.ends_with(".png") && !path.ends_with(".svg")) {
    throw UsageError("--plot: '" + options.path + "' does not end in .png or .svg");
  }
  request.png = path.ends_with(".png");
  const std::string_view size = options.size;
  const std::size_t x = size.find('x');
  if (x == std::string_view::npos) {
    read_side({}, size);  // throws
  }
  request.width = read_side(size.substr(0, x), size);
  request.height = read_side(size.substr(x + 1), size);
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

int draw_picture(const PictureRequest& request,
                 const std::function<void(const ScriptOutput&)>& write_commands,
                 const std::string& output_name) {
  try {
    draw(request, write_commands);
  } catch (const DataError& error) {
    report(std::string(error.what()) + "; the CSV was written to " + output_name);
    return exit_data_error;
  }
  return exit_success;
}

}  // namespace nerido::batch
