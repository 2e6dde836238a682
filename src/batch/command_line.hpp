// The command line of nerido-batch.
#pragma once

namespace nerido::batch {

// Parses the command line, runs the subcommand and answers the exit status:
// 0 success, 1 a data error, 2 a usage error (CLI11's own parse errors
// included), each but success with a one-line message on standard error.
int run_command_line(int argc, const char* const* argv);

}  // namespace nerido::batch
