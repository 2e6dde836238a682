// The retrieval ends at the global minimum: from noise-free brightness
// temperatures anywhere in the domain it comes back to the truth, also above
// 100 m/s where wind and rain warm the spectrum almost alike and the misfit
// has a second, shallow minimum a few mm/h of rain away. The million-scene
// version of the sample is nerido_global_minimum_check.
#include "global_minimum.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <sstream>

namespace nerido {
namespace {

// Scenes of two minima whose fits ended at the wrong one (or at none):
// drawn by the check, the first few of seeds 1 and 2.
TEST(GlobalMinimum, ScenesOfTwoMinimaComeBackToTheTruth) {
  struct Case {
    Scene truth;
    const char* before;  // what the 16-rung first guess gave
  };
  const Case cases[] = {
      {{19.46772f, 14680.5244f, -20.9658051f, 119.542953f, 138.49411f}, "126.9, 92.3 ok 0.13 K"},
      {{23.1079025f, 15977.5469f, 29.2806034f, 131.895157f, 75.4894714f}, "133.6, 66.9 ok 0.03 K"},
      {{-1.93908036f, 15227.9277f, 6.83620977f, 142.033005f, 113.847137f}, "148.2, 72.3 ok 0.50 K"},
      {{31.1856976f, 5571.60791f, 32.586483f, 124.154549f, 115.785088f}, "118.9, 150 at_bound"},
      {{5.18116951f, 9455.75879f, 44.534214f, 144.203079f, 60.2110443f}, "139.9, 74.9 ok 0.07 K"},
      {{20.9661541f, 6978.80908f, 13.2563715f, 109.383644f, 113.182724f}, "117.7, 77.4 ok 0.25 K"},
      {{35.8862038f, 6813.28857f, 37.7594719f, 108.955643f, 91.3834229f}, "116.5, 60.5 ok 0.34 K"},
      {{9.56430912f, 9792.19922f, 33.3252335f, 122.305595f, 149.890167f},
       "150, 66.8 not_converged"},
      {{-1.320544f, 10735.8008f, 42.5870285f, 86.7360535f, 129.239578f}, "150, 39.3 not_converged"},
  };
  for (const Case& c : cases) {
    const testing::Verdict v = testing::judge(c.truth);
    const Retrieval& r = v.retrieval;
    SCOPED_TRACE(::testing::Message()
                 << "truth " << c.truth.wind_ms << " m/s, " << c.truth.rain_mmh << " mm/h (was "
                 << c.before << "): " << r.wind_ms << ", " << r.rain_mmh << " "
                 << status_name(r.status) << " " << r.residual_rms_k << " K");
    EXPECT_EQ(r.status, RetrievalStatus::ok);
    EXPECT_FALSE(v.wrong_minimum());
    EXPECT_NEAR(r.wind_ms, c.truth.wind_ms, 0.05f);
    EXPECT_NEAR(r.rain_mmh, c.truth.rain_mmh, 0.1f);
  }
}

// A fixed sample of the check's scenes, uniform over the whole domain.
TEST(GlobalMinimum, NoWrongMinimumOverRandomScenes) {
#if defined(NERIDO_SANITIZED) || !defined(NDEBUG)  // sanitizers or no optimisation
  constexpr std::uint64_t count = 1000;
#else
  constexpr std::uint64_t count = 20000;
#endif
  constexpr std::uint64_t seed = 1;
  int wrong = 0;
  int unfinished = 0;  // not converged or a poor fit: none from noise-free data
  std::ostringstream examples;
  for (std::uint64_t i = 0; i < count; ++i) {
    const Scene truth = testing::random_scene(seed, i);
    const testing::Verdict v = testing::judge(truth);
    const Retrieval& r = v.retrieval;
    const bool is_wrong = v.wrong_minimum();
    const bool is_unfinished =
        r.status == RetrievalStatus::not_converged || r.status == RetrievalStatus::poor_fit;
    wrong += is_wrong ? 1 : 0;
    unfinished += is_unfinished ? 1 : 0;
    if ((is_wrong || is_unfinished) && wrong + unfinished <= 10) {
      examples << "  #" << i << " truth " << truth.wind_ms << ", " << truth.rain_mmh << " -> "
               << r.wind_ms << ", " << r.rain_mmh << " " << status_name(r.status) << " "
               << r.residual_rms_k << " K\n";
    }
  }
  EXPECT_EQ(wrong, 0) << examples.str();
  EXPECT_EQ(unfinished, 0) << examples.str();
}

}  // namespace
}  // namespace nerido
