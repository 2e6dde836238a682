// How signals end a run. An interrupt, a termination request or a hangup
// stops the run after the rows being written; the program then tidies its
// output and ends by the same signal. Writing into a closed pipe ends the
// program at once (SIGPIPE at its default action), as it ends other filters.
#pragma once

#include <atomic>

namespace nerido::batch {

// Installs the handlers (SIGINT, SIGTERM, SIGHUP) and the default action of
// SIGPIPE; answers the flag the handlers set.
const std::atomic<bool>& install_signal_handlers();

// Ends the process by the signal that set the flag: its default action,
// raised again. Returns only when no signal set it.
void end_by_stop_signal();

}  // namespace nerido::batch
