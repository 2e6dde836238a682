// Prints the retrieval's Monte Carlo table: per truth, the RMS errors of
// wind and rain over the noisy draws against the Cramer-Rao bound, then the
// summary and the worst cells.
//   build/tests/nerido_retrieval_table [draws per truth, default 200]
#include <cstdio>
#include <cstdlib>

#include "retrieval_monte_carlo.hpp"

int main(int argc, char** argv) {
  const int draws = argc > 1 ? std::atoi(argv[1]) : 200;
  if (draws < 1) {
    std::fprintf(stderr, "usage: %s [draws per truth, 1 or more]\n", argv[0]);
    return 2;
  }
  const std::vector<nerido::testing::Cell> cells =
      nerido::testing::run_grid(draws, nerido::testing::monte_carlo_seed);
  std::fputs(nerido::testing::table(cells, nerido::testing::summarize(cells)).c_str(), stdout);
  return 0;
}
