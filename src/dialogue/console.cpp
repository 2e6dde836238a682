#include "dialogue/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

namespace nerido::dialogue {
namespace {

// Set while the program is blocked reading standard input. Only then may the
// handler end the process itself: nothing is left unwritten at that point.
volatile std::sig_atomic_t waiting_for_input = 0;
// The signal that asked the program to stop, or 0.
volatile std::sig_atomic_t pending_signal = 0;

constexpr std::string_view interrupt_message = "Interrupt\n";
constexpr std::string_view termination_message = "Killed\n";
constexpr std::string_view write_error_message = "nerido: error writing standard output\n";

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

void install(int signal_number) {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void install_signal_handlers() {
  struct sigaction previous {};
  if (sigaction(SIGINT, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
    install(SIGINT);
  }
  install(SIGTERM);
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
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

}  // namespace nerido::dialogue
