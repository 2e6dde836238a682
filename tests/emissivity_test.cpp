#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "emissivity/kleinswift.hpp"
#include "emissivity/sea_water.hpp"
#include "nerido/nerido.hpp"
#include "numeric_text.hpp"

namespace nerido::emissivity {
namespace {

using testing::hex;
using testing::sig;

using nerido::channels_ghz;

TEST(SeaWaterPermittivity, ReferenceTableToFourFigures) {
  struct Case {
    float f, t, s;
    const char* real;
    const char* loss;
  };
  const Case cases[] = {
      {4.74f, 28, 36, "66.91", "35.53"}, {7.09f, 28, 36, "63.54", "33.96"},
      {4.74f, 0, 36, "62.71", "40.62"},  {7.09f, 0, 36, "51.03", "42.55"},
      {4.74f, -2, 36, "61.21", "41.19"}, {4.74f, 45, 36, "67.40", "39.09"},
      {4.74f, 20, 0, "74.76", "19.30"},  {7.09f, 20, 0, "69.12", "26.54"},
      {4.74f, 25, 36, "67.23", "35.40"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "f=" << c.f << " T=" << c.t << " S=" << c.s);
    const Permittivity eps = sea_water_permittivity(c.f, c.t, c.s);
    EXPECT_EQ(sig(eps.real, 4), c.real);
    EXPECT_EQ(sig(eps.loss, 4), c.loss);
  }
}

TEST(SeaWaterPermittivity, IntermediatesAtTheFirstChannel) {
  EXPECT_EQ(sig(static_permittivity(28, 36), 4), "69.93");
  EXPECT_EQ(sig(relaxation_time(28, 36), 4), "7.409e-12");
  EXPECT_EQ(sig(ionic_conductivity(28, 36), 4), "5.761");
}

TEST(SeaWaterPermittivity, AtTwentyFiveDegreesConductivityIsSalinityTimesP) {
  // phi = 0 there, so exp(phi) is exactly 1 and sigma = S * P.
  EXPECT_EQ(sig(ionic_conductivity(25, 36), 4), "5.437");
}

TEST(SeaWaterPermittivity, FreshWaterBranchStartsJustBelowSalinityPointOne) {
  const float below = std::nextafter(fresh_water_salinity_limit, 0.0f);
  EXPECT_EQ(sig(static_permittivity(20, below), 4), "80.09");
  EXPECT_EQ(sig(static_permittivity(20, fresh_water_salinity_limit), 4), "80.10");
  // tau and sigma have no branch: they move smoothly across the threshold.
  const double tau_step =
      relaxation_time(20, fresh_water_salinity_limit) - relaxation_time(20, below);
  const double sigma_step =
      ionic_conductivity(20, fresh_water_salinity_limit) - ionic_conductivity(20, below);
  EXPECT_LT(std::abs(tau_step), 1e-19);
  EXPECT_LT(std::abs(sigma_step), 1e-6);
}

TEST(SeaWaterPermittivity, FreshWaterHasNoConductivityLoss) {
  EXPECT_EQ(ionic_conductivity(20, 0), 0.0);
  EXPECT_GT(sea_water_permittivity(4.74f, 20, 0).loss, 0.0f);
}

TEST(Kleinswift, ReflectivitiesAtTwentyEightDegrees) {
  struct Case {
    float f, angle_deg;
    const char* rv;
    const char* rh;
  };
  const Case cases[] = {
      {4.74f, 0, "0.6393", "0.6393"},  {4.74f, 30, "0.5965", "0.6786"},
      {4.74f, 53, "0.4745", "0.7637"}, {7.09f, 0, "0.6321", "0.6321"},
      {7.09f, 30, "0.5888", "0.6720"}, {7.09f, 53, "0.4656", "0.7585"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "f=" << c.f << " angle=" << c.angle_deg);
    const float theta = static_cast<float>(static_cast<double>(c.angle_deg) *
                                           static_cast<double>(radians_per_degree));
    float rv = 0, rh = 0, er = 0, ei = 0;
    kleinswift(c.f, theta, 28, ocean_salinity, rv, rh, er, ei);
    EXPECT_EQ(sig(rv, 4), c.rv);
    EXPECT_EQ(sig(rh, 4), c.rh);
    const Permittivity eps = sea_water_permittivity(c.f, 28, ocean_salinity);
    EXPECT_EQ(hex(er), hex(eps.real));
    EXPECT_EQ(hex(ei), hex(eps.loss));
  }
}

TEST(Kleinswift, GrazingIncidenceGivesVerticalReflectivityAboveOne) {
  // 90 degrees in single precision is 1.5707964 rad, whose cosine is -4.4e-8,
  // not 0; nothing clamps the result.
  const float theta = static_cast<float>(90.0 * static_cast<double>(radians_per_degree));
  float rv = 0, rh = 0, er = 0, ei = 0;
  kleinswift(4.74f, theta, 28, ocean_salinity, rv, rh, er, ei);
  EXPECT_EQ(sig(rv, 8), "1.0000014");
  EXPECT_EQ(rh, 1.0f);
}

// Regression: outputs written while the computation still read them would
// let a caller who passes one variable twice corrupt the result.
TEST(Kleinswift, SharedOutputVariableEndsWithVerticalReflectivity) {
  float rv = 0, rh = 0, er = 0, ei = 0;
  kleinswift(5.57f, 0.3f, 12, ocean_salinity, rv, rh, er, ei);

  float shared = 0;
  kleinswift(5.57f, 0.3f, 12, ocean_salinity, shared, shared, shared, shared);
  EXPECT_EQ(hex(shared), hex(rv));

  float rv2 = 0, rh_and_eps = 0;
  kleinswift(5.57f, 0.3f, 12, ocean_salinity, rv2, rh_and_eps, rh_and_eps, rh_and_eps);
  EXPECT_EQ(hex(rv2), hex(rv));
  EXPECT_EQ(hex(rh_and_eps), hex(rh));
}

std::string joined(const std::array<float, 6>& values) {
  std::string text;
  for (float v : values) {
    if (!text.empty()) {
      text += ' ';
    }
    text += sig(v, 4);
  }
  return text;
}

TEST(KlswLoop, ChannelEmissivities) {
  struct Case {
    float t, angle1, angle2;
    std::int32_t selector;
    const char* emissivities;
  };
  const Case cases[] = {
      {28, 0, 0, 1, "0.3607 0.3630 0.3639 0.3652 0.3670 0.3679"},
      {15, 0, 0, 1, "0.3585 0.3604 0.3612 0.3625 0.3644 0.3655"},
      {-2, 0, 0, 1, "0.3603 0.3631 0.3644 0.3667 0.3702 0.3724"},
      {45, 0, 0, 1, "0.3553 0.3586 0.3598 0.3616 0.3639 0.3650"},
      {28, 30, 30, 1, "0.2787 0.2805 0.2813 0.2824 0.2839 0.2847"},
      {28, 30, 30, 20, "0.4428 0.4454 0.4464 0.4480 0.4500 0.4511"},
      {28, 30, 0, 1, "0.3214 0.3234 0.3242 0.3255 0.3271 0.3280"},
      {28, 30, 0, 20, "0.4035 0.4059 0.4068 0.4083 0.4102 0.4112"},
      {28, 0, 30, 1, "0.3180 0.3201 0.3209 0.3222 0.3238 0.3247"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "T=" << c.t << " angles=" << c.angle1 << "," << c.angle2
                                      << " selector=" << c.selector);
    std::array<float, 6> e{};
    klsw_loop(channels_ghz, c.t, c.angle1, c.angle2, e, c.selector, 6);
    EXPECT_EQ(joined(e), c.emissivities);
  }
}

TEST(KlswLoop, AtNadirEachEmissivityIsExactlyOneMinusHorizontalReflectivity) {
  for (float t : {-2.0f, 15.0f, 28.0f, 45.0f}) {
    std::array<float, 6> e{};
    klsw_loop(channels_ghz, t, 0, 0, e, 1, 6);
    for (std::size_t i = 0; i < e.size(); ++i) {
      float rv = 0, rh = 0, er = 0, ei = 0;
      kleinswift(channels_ghz[i], 0.0f, t, ocean_salinity, rv, rh, er, ei);
      EXPECT_EQ(hex(e[i]), hex(static_cast<float>(1.0 - static_cast<double>(rh))))
          << "T=" << t << " channel " << i;
    }
  }
}

// At nadir the horizontal formula subtracts Rv(0) from itself. The loop
// leaves Rv out where it is certainly finite (the difference is +0), so it
// must still give the full formula's bits where Rv may be infinite or NaN:
// near 341 C, Rv is NaN while Rh is 1, and so is the emissivity.
TEST(KlswLoop, AtNadirHorizontalEmissivityKeepsTheFullFormulasBits) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float t;
    bool nan_from_rv;  // channel 1's Rv is NaN and its Rh is not
  };
  const Case cases[] = {
      {-2, false},
      {28, false},
      {45, false},
      {-40, false},
      {0x1.54db28p+8f, true},
      {1e6f, false},
      {-1e6f, false},
      {3e38f, false},
      {inf, false},
      {-inf, false},
      {std::numeric_limits<float>::quiet_NaN(), false},
  };
  for (const Case& c : cases) {
    std::array<float, 6> e{};
    klsw_loop(channels_ghz, c.t, 0, 0, e, 1, 6);
    for (std::size_t i = 0; i < e.size(); ++i) {
      float rv = 0, rh = 0, er = 0, ei = 0;
      kleinswift(channels_ghz[i], 0.0f, c.t, ocean_salinity, rv, rh, er, ei);
      const auto full = static_cast<float>((1.0 - static_cast<double>(rh)) -
                                           (static_cast<double>(rv) - static_cast<double>(rv)));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(e[i]), std::bit_cast<std::uint32_t>(full))
          << "T=" << hex(c.t) << " channel " << i << ": " << hex(e[i]) << " against " << hex(full);
      if (i == 0) {
        EXPECT_EQ(std::isnan(rv) && !std::isnan(rh), c.nan_from_rv) << "T=" << hex(c.t);
      }
    }
  }
}

TEST(KlswLoop, OnlySelectorTwentyTakesTheVerticalFormula) {
  std::array<float, 6> horizontal{};
  klsw_loop(channels_ghz, 28, 30, 30, horizontal, 1, 6);
  for (std::int32_t selector : {0, 2, 19, 21, -20}) {
    std::array<float, 6> e{};
    klsw_loop(channels_ghz, 28, 30, 30, e, selector, 6);
    EXPECT_EQ(joined(e), joined(horizontal)) << "selector " << selector;
  }
}

TEST(KlswLoop, CountBelowOneLeavesTheArrayUntouched) {
  const float sentinel = -123.5f;
  for (std::int32_t count : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
    std::array<float, 6> e{};
    e.fill(sentinel);
    klsw_loop(channels_ghz, 28, 0, 0, e, 1, count);
    for (float v : e) {
      EXPECT_EQ(v, sentinel) << "count " << count;
    }
  }
}

TEST(KlswLoop, CountComputesOnlyThatManyChannelsAndNeverPastTheArrays) {
  std::array<float, 6> all{};
  klsw_loop(channels_ghz, 28, 0, 0, all, 1, 6);

  for (std::int32_t count : {1, 2, 5}) {
    std::array<float, 6> part{};
    part.fill(-1.0f);
    klsw_loop(channels_ghz, 28, 0, 0, part, 1, count);
    for (std::size_t i = 0; i < part.size(); ++i) {
      EXPECT_EQ(part[i], i < static_cast<std::size_t>(count) ? all[i] : -1.0f)
          << "count " << count << ", channel " << i;
    }
  }

  // A count larger than the arrays stops at their end (the sanitizer build
  // would report any write beyond it).
  std::array<float, 3> short_out{};
  klsw_loop(channels_ghz, 28, 0, 0, short_out, 1, 1000);
  EXPECT_EQ(short_out[2], all[2]);
}

}  // namespace
}  // namespace nerido::emissivity
