#include "dialogue/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace nerido::dialogue {
namespace {

// Raised by fill() from just before its pending-signal check until read(2)
// returns. Only then may the handler end the process itself: nothing is left
// unwritten at that point.
volatile std::sig_atomic_t waiting_for_input = 0;
// The signal that asked the program to stop, or 0.
volatile std::sig_atomic_t pending_signal = 0;

constexpr std::string_view interrupt_message = "Interrupt\n";
constexpr std::string_view termination_message = "Killed\n";
constexpr std::string_view write_error_message = "nerido: error writing standard output\n";
// The lines of the end-of-input diagnostic after its first.
constexpr std::string_view read_end_state =
    "apparent state: unit 5 (unnamed)\n"
    "last format: (a)\n"
    "lately reading sequential formatted external IO\n";

std::string_view stop_message(int signal_number) {
  return signal_number == SIGTERM ? termination_message : interrupt_message;
}

// write(2) until all is out or it fails; async-signal-safe.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR && pending_signal == 0) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The handler has two routes because of one race. fill() looks at
// pending_signal just before it blocks in read(2); a signal that arrived
// between that look and the read would find no call to interrupt, and the
// program would sit in read() until the operator typed another line. So
// fill() raises waiting_for_input before it looks, and while it is raised the
// handler ends the process itself: the prompt was flushed before the read,
// nothing is lost. At any other time (computing, or blocked writing) ending
// here would drop buffered output, so the handler only records the signal: a
// blocked write returns EINTR (no SA_RESTART), and the dialogue stops at its
// next line read, where finish() flushes and reports.
extern "C" void on_stop_signal(int signal_number) {
  if (waiting_for_input != 0) {
    const int saved_errno = errno;
    write_all(STDERR_FILENO, stop_message(signal_number));
    errno = saved_errno;
    ::_exit(1);
  }
  if (pending_signal == 0) {
    pending_signal = signal_number;
  }
}

// Installs the stop handler for one signal; false when that failed.
bool install(SignalActionCall call, int signal_number) {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR
  return call(signal_number, &action, nullptr) == 0;
}

// Names a signal whose handler is missing, with the reason, on standard error.
void report_missing_handler(std::string_view signal_name, int error) {
  // Called at start, before the program has a second thread.
  const char* const reason = std::strerror(error);  // NOLINT(concurrency-mt-unsafe)
  const std::string message =
      "nerido: cannot install the " + std::string(signal_name) + " handler: " + reason + "\n";
  write_all(STDERR_FILENO, message);
}

}  // namespace

void install_signal_handlers(SignalActionCall call) {
  struct sigaction previous {};
  if (call(SIGINT, nullptr, &previous) != 0 ||
      (previous.sa_handler != SIG_IGN && !install(call, SIGINT))) {
    report_missing_handler("SIGINT", errno);
  }
  if (!install(call, SIGTERM)) {
    report_missing_handler("SIGTERM", errno);
  }
}

bool StandardInput::stop_requested() const { return pending_signal != 0; }

long StandardInput::fill(char* into, std::size_t size) {
  for (;;) {
    waiting_for_input = 1;
    if (pending_signal != 0) {
      waiting_for_input = 0;
      return -1;
    }
    const ssize_t n = ::read(STDIN_FILENO, into, size);
    waiting_for_input = 0;
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

bool StandardOutput::drain(const char* data, std::size_t size) {
  return write_all(STDOUT_FILENO, {data, size});
}

int finish(const Outcome& outcome, StandardOutput& out) {
  switch (outcome.ending) {
    case Ending::operator_stop: {
      out.flush();
      const bool closed = ::close(STDOUT_FILENO) == 0 || errno == EINTR;
      if (out.failed() || !closed) {
        write_all(STDERR_FILENO, write_error_message);
        return 1;
      }
      return 0;
    }
    case Ending::stop_requested:
      out.flush();
      write_all(STDERR_FILENO, stop_message(pending_signal));
      return 1;
    case Ending::input_ended:
      break;
  }
  write_all(STDERR_FILENO, read_end_diagnostic(outcome.read));
  out.flush();
  // Cannot fail for SIGABRT; abort() ends the program whatever it returns.
  (void)std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

std::string read_end_diagnostic(LineRead ending) {
  const std::string_view first_line =
      ending == LineRead::ended_before_start ? "read start: end of file\n" : "fmt: end of file\n";
  return std::string(first_line) + std::string(read_end_state);
}

}  // namespace nerido::dialogue
