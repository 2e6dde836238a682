// Prints the retrieval's Monte Carlo table: per truth, the RMS errors of
// wind and rain over the noisy draws against the Cramer-Rao bound, then the
// summary and the worst cells; with "clear-air", the mean rain and wind
// errors retrieved from rain-free scenes instead.
//   build/tests/nerido_retrieval_table [draws per truth, default 200] [clear-air]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "retrieval_monte_carlo.hpp"

namespace {

using nerido::testing::format;

// Rain cannot go below 0: the bias that leaves in clear air, per wind and SST.
std::string clear_air_table(int draws) {
  constexpr float altitude_m = 3000.0f;
  const float winds_ms[] = {2, 5, 10, 20, 40};
  std::mt19937_64 random(nerido::testing::monte_carlo_seed);
  std::string out = format(
      "clear air, altitude %g m, noise %g K, %g draws a cell: mean retrieved rain (mm/h) | "
      "mean wind error (m/s)\nwind",
      static_cast<double>(altitude_m), nerido::testing::noise_k, draws);
  for (const float sst : nerido::testing::truth_ssts_c) {
    out += format("   SST %2.0f C     ", static_cast<double>(sst));
  }
  out += "\n";
  for (const float wind : winds_ms) {
    out += format("%4.0f", static_cast<double>(wind));
    for (const float sst : nerido::testing::truth_ssts_c) {
      const nerido::Scene truth{sst, altitude_m, nerido::testing::air_for(sst, altitude_m), wind,
                                0.0f};
      const nerido::testing::Cell c =
          nerido::testing::run_cell(truth, nerido::testing::all_channels, draws, random);
      out += format("   %5.2f | %+5.2f", c.sum_rain / c.draws,
                    c.sum_wind_in_bounds / c.draws * c.bound.wind_ms);
    }
    out += "\n";
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int draws = argc > 1 ? std::atoi(argv[1]) : 200;
  const bool clear_air = argc > 2 && std::strcmp(argv[2], "clear-air") == 0;
  if (draws < 1 || (argc > 2 && !clear_air) || argc > 3) {
    std::fprintf(stderr, "usage: %s [draws per truth, 1 or more] [clear-air]\n", argv[0]);
    return 2;
  }
  if (clear_air) {
    std::fputs(clear_air_table(draws).c_str(), stdout);
    return 0;
  }
  const std::vector<nerido::testing::Cell> cells =
      nerido::testing::run_grid(draws, nerido::testing::monte_carlo_seed);
  std::fputs(nerido::testing::table(cells, nerido::testing::summarize(cells)).c_str(), stdout);
  return 0;
}
