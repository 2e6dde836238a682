// The retrieval's accuracy over the grid of truths (see
// retrieval_monte_carlo.hpp): noise-free recovery, errors against the
// Cramer-Rao bound, honest sigmas, no rain where there is none, and missing
// channels. The Release build runs 200 noisy draws per truth; the Debug and
// sanitizer builds a few (NERIDO_MONTE_CARLO_DRAWS), enough for every check
// but the statistical ones.
#include <gtest/gtest.h>

#include <iostream>

#include "retrieval_monte_carlo.hpp"

#ifndef NERIDO_MONTE_CARLO_DRAWS
#define NERIDO_MONTE_CARLO_DRAWS 200
#endif

namespace nerido::testing {
namespace {

constexpr int draws = NERIDO_MONTE_CARLO_DRAWS;
// Fewer draws than this leave the statistical criteria unchecked.
constexpr int statistical_draws = 100;
constexpr std::uint64_t seed = monte_carlo_seed;

std::string where(const Scene& s) {
  return format("SST %g altitude %g wind %g rain %g", static_cast<double>(s.sst_c),
                static_cast<double>(s.altitude_m), static_cast<double>(s.wind_ms),
                static_cast<double>(s.rain_mmh));
}

TEST(RetrievalAccuracy, MonteCarloOverTheTruthGrid) {
  const std::vector<Cell> cells = run_grid(draws, seed);
  const Summary s = summarize(cells);
  std::cout << table(cells, s);

  for (const Cell& c : cells) {
    SCOPED_TRACE(where(c.truth));
    // Noise-free: the truth comes back, 0 as exactly 0, with status ok.
    EXPECT_NEAR(c.noise_free.wind_ms, c.truth.wind_ms, 0.01f);
    EXPECT_NEAR(c.noise_free.rain_mmh, c.truth.rain_mmh, 0.01f);
    EXPECT_EQ(c.noise_free.status, RetrievalStatus::ok);
    // With noise: never unconverged, negative or NaN.
    EXPECT_EQ(c.unconverged, 0);
    EXPECT_GE(c.min_wind, 0.0f);
    EXPECT_GE(c.min_rain, 0.0f);
    if (draws >= statistical_draws && c.inside) {
      EXPECT_LE(c.rms_wind_ratio(), 1.25);
      EXPECT_LE(c.rms_rain_ratio(), 1.25);
    }
  }
  EXPECT_GT(s.inside_cells, 200);
  if (draws >= statistical_draws) {
    EXPECT_LE(s.mean_wind_ratio, 1.15);
    EXPECT_LE(s.mean_rain_ratio, 1.15);
    EXPECT_LE(std::abs(s.wind_bias), 0.1);
    EXPECT_LE(std::abs(s.rain_bias), 0.1);
    EXPECT_GE(s.wind_coverage, 0.60);
    EXPECT_LE(s.wind_coverage, 0.76);
    EXPECT_GE(s.rain_coverage, 0.60);
    EXPECT_LE(s.rain_coverage, 0.76);
    EXPECT_LE(s.dry_mean_rain, 1.0);
  }

  // One channel missing, each in turn, at typical truths: the fit still
  // converges to the truth, the sigma it reports grows to the bound of the
  // five channels left, and the errors follow that bound.
  std::mt19937_64 random(seed + 1);
  for (std::size_t missing = 0; missing < channel_count; ++missing) {
    Present present = all_channels;
    present[missing] = false;
    for (const float wind : {10.0f, 30.0f, 50.0f}) {
      for (const float rain : {5.0f, 20.0f}) {
        const Scene truth{28.0f, 3000.0f, air_for(28.0f, 3000.0f), wind, rain};
        SCOPED_TRACE(where(truth) + format(" without channel %g", static_cast<double>(missing)));
        const Cell c = run_cell(truth, present, draws, random);
        const Bound all = cramer_rao(truth, all_channels);
        EXPECT_EQ(c.noise_free.status, RetrievalStatus::ok);
        EXPECT_EQ(c.noise_free.channels_used, 5);
        EXPECT_NEAR(c.noise_free.wind_ms, wind, 0.01f);
        EXPECT_NEAR(c.noise_free.rain_mmh, rain, 0.01f);
        EXPECT_GT(c.bound.wind_ms, all.wind_ms);
        EXPECT_GT(c.bound.rain_mmh, all.rain_mmh);
        EXPECT_NEAR(static_cast<double>(c.noise_free.wind_sigma_ms), c.bound.wind_ms,
                    0.02 * c.bound.wind_ms);
        EXPECT_NEAR(static_cast<double>(c.noise_free.rain_sigma_mmh), c.bound.rain_mmh,
                    0.02 * c.bound.rain_mmh);
        EXPECT_EQ(c.unconverged, 0);
        if (draws >= statistical_draws) {
          EXPECT_LE(c.rms_wind_ratio(), 1.25);
          EXPECT_LE(c.rms_rain_ratio(), 1.25);
        }
      }
    }
  }
}

// A model error common to all channels (0.5 K, drawn once per observation,
// beside 0.5 K of noise): with model_error_k at its size the truth lies
// inside +-1 sigma about as often as it should; without it, on the same
// draws and cells, the sigmas are too small.
TEST(RetrievalAccuracy, ModelErrorInTheSigmas) {
  constexpr double common_k = 0.5;
  RetrievalOptions with_error;
  with_error.model_error_k = static_cast<float>(common_k);
  std::mt19937_64 random(seed + 2);
  std::array<long, 2> covered{};  // with, without the model error
  long draws_inside = 0;
  for (const float sst : truth_ssts_c) {
    for (const float wind : {5.0f, 10.0f, 20.0f, 40.0f}) {
      for (const float rain : {2.0f, 5.0f, 10.0f, 20.0f}) {
        const Scene truth{sst, 3000.0f, air_for(sst, 3000.0f), wind, rain};
        std::mt19937_64 same_draws = random;
        const Cell with = run_cell(truth, all_channels, draws, random, with_error, common_k);
        const Cell without = run_cell(truth, all_channels, draws, same_draws, {}, common_k);
        EXPECT_EQ(with.unconverged, 0) << where(truth);
        if (with.inside) {
          covered[0] += with.covered_wind + with.covered_rain;
          covered[1] += without.covered_wind + without.covered_rain;
          draws_inside += 2L * with.draws;
        }
      }
    }
  }
  ASSERT_GT(draws_inside, 0);
  const double all = static_cast<double>(draws_inside);
  const double coverage = static_cast<double>(covered[0]) / all;
  const double noise_only = static_cast<double>(covered[1]) / all;
  std::cout << format("+-1 sigma coverage over %g draws: %.3f with the model error, %.3f without\n",
                      all, coverage, noise_only);
  if (draws >= statistical_draws) {
    EXPECT_GE(coverage, 0.60);
    EXPECT_LE(coverage, 0.76);
    EXPECT_LT(noise_only, coverage - 0.05);
  }
}

}  // namespace
}  // namespace nerido::testing
