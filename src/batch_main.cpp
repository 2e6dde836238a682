// nerido-batch: brightness temperatures for files of scenes and for grids.
#include "batch/cmd/commands.hpp"

int main(int argc, char** argv) { return nerido::batch::run_command_line(argc, argv); }
