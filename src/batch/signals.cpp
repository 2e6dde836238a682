#include "batch/signals.hpp"

#include <csignal>

namespace nerido::batch {
namespace {

std::atomic<bool> stop_requested{false};
volatile std::sig_atomic_t stop_signal_number = 0;

extern "C" void request_stop(int signal_number) {
  stop_signal_number = signal_number;
  stop_requested.store(true);
}

}  // namespace

const std::atomic<bool>& install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read returns and sees the flag
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_DFL);
  return stop_requested;
}

void end_by_stop_signal() {
  const int signal_number = stop_signal_number;
  if (signal_number == 0) {
    return;
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace nerido::batch
