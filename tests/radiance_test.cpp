#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "numeric_text.hpp"
#include "radiance/tbvanto.hpp"

namespace nerido::radiance {
namespace {

using testing::fixed;
using testing::hex;
using testing::sig;

struct Inputs {
  float f, sst_k, h, ta_k, e0, wind, rain;
};

float run(const Inputs& in) {
  const std::array<float, 2> wind_rain{in.wind, in.rain};
  return tbvanto(in.f, in.sst_k, in.h, in.ta_k, in.e0, wind_rain);
}

BudgetTrace trace(const Inputs& in) {
  const std::array<float, 2> wind_rain{in.wind, in.rain};
  return trace_budget(in.f, in.sst_k, in.h, in.ta_k, in.e0, wind_rain);
}

// 20 C sea, 10 C air at 3000 m, 10 m/s wind and 10 mm/h rain at 4.74 GHz.
constexpr Inputs traced_row{4.74f, 293.146f, 3000, 283.146f, 0.35f, 10, 10};

TEST(Tbvanto, WorkedExamples) {
  struct Case {
    Inputs in;
    const char* tb;
  };
  const Case cases[] = {
      {{4.74f, 293.146f, 3000, 283.146f, 0.35f, 0, 0}, "107.33"},
      {traced_row, "115.10"},
      {{4.74f, 293.146f, 3000, 283.146f, 0.35f, 150, 0}, "314.29"},
      {{7.09f, 293.146f, 3000, 283.146f, 0.35f, 10, 10}, "125.65"},
      {{6.02f, 301.146f, 12000, 243.146f, 0.35f, 10, 20}, "140.04"},
      {{5.31f, 298.146f, 100, 297.146f, 0.35f, 5, 20}, "117.54"},
      {{3.9f, 293.146f, 3000, 283.146f, 0.35f, 10, 10}, "0.00"},
      // A negative wind speed is not refused: below the calm sea's 111.48 and 121.80.
      {{4.74f, 293.146f, 3000, 283.146f, 0.35f, -5, 10}, "109.76"},
      {{7.09f, 293.146f, 3000, 283.146f, 0.35f, -150, 10}, "143.39"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "f=" << c.in.f << " W=" << c.in.wind << " R=" << c.in.rain);
    EXPECT_EQ(fixed(run(c.in), 2), c.tb);
  }
}

TEST(Tbvanto, TracedIntermediatesOfTheSecondExample) {
  const BudgetTrace t = trace(traced_row);
  EXPECT_EQ(sig(t.wind_increment, 5), "0.012952");
  EXPECT_EQ(t.frequency_correction, 0.0);
  EXPECT_EQ(sig(t.zenith_transmissivity, 8), "0.98958063");
  EXPECT_EQ(sig(t.surface_emissivity, 6), "0.362952");
  EXPECT_EQ(sig(t.altitude_factor, 8), "0.42437285");
  EXPECT_EQ(sig(t.air_transmissivity, 8), "0.99398899");
  EXPECT_EQ(sig(t.raw_rain_height_m, 8), "5106.5137");
  EXPECT_EQ(t.rain_height_m, 3000.0f);
  EXPECT_EQ(sig(t.rain_rate_factor, 8), "1.1481537");
  EXPECT_EQ(sig(t.frequency_exponent, 8), "3.0196443");
  EXPECT_EQ(sig(t.frequency_factor, 8), "109.80197");
  EXPECT_EQ(sig(t.rain_rate_power, 8), "7.4131026");
  EXPECT_EQ(sig(t.rain_attenuation, 8), "3.2070546e-06");
  EXPECT_EQ(sig(t.rain_up_transmissivity, 8), "0.99042499");
  EXPECT_EQ(sig(t.rain_down_transmissivity, 8), "0.98725373");
  EXPECT_EQ(fixed(t.sky_layer_k, 3), "274.446");
  EXPECT_EQ(fixed(t.low_layer_k, 3), "294.746");
  EXPECT_EQ(fixed(t.upwelling_k, 3), "294.746");
  EXPECT_EQ(sig(t.sky_k, 8), "5.5314218");
  EXPECT_EQ(sig(t.downwelling_k, 8), "9.2178301");
  EXPECT_EQ(sig(t.surface_k, 8), "112.27012");
  EXPECT_EQ(sig(t.brightness_k, 8), "115.10369");
  EXPECT_EQ(hex(run(traced_row)), hex(static_cast<float>(t.brightness_k)));
}

TEST(Tbvanto, FrequencyWindowIncludesBothEnds) {
  Inputs in = traced_row;
  for (float outside : {3.9f, 3.9999998f, 8.0000010f, 8.01f}) {
    in.f = outside;
    EXPECT_EQ(hex(run(in)), hex(0.0f)) << outside;
  }
  for (float inside : {4.0f, 8.0f}) {
    in.f = inside;
    EXPECT_GT(run(in), 100.0f) << inside;
  }
}

TEST(Tbvanto, WindIncrementPiecesSwitchOnStrictTests) {
  struct Case {
    float wind;
    int digits;
    const char* increment;
  };
  const Case cases[] = {
      {0, 5, "0.0000"},           {6.9999995f, 5, "0.0086240"},  // lower piece, just below 7
      {7, 7, "0.008624200"},       // middle piece, not the lower one's 0.008624
      {36.999996f, 5, "0.10876"},  // middle piece, just below 37
      {37, 6, "0.108768"},         // upper piece, not the middle one's 0.1087642
      {150, 5, "0.72394"},        {-5, 5, "-0.0061600"},  // a negative wind takes the lower piece
  };
  for (const Case& c : cases) {
    Inputs in = traced_row;
    in.wind = c.wind;
    EXPECT_EQ(sig(trace(in).wind_increment, c.digits), c.increment) << c.wind;
  }
}

TEST(Tbvanto, FrequencyCorrectionVanishesOnlyAtTheReferenceChannel) {
  for (float wind : {0.0f, 7.0f, 37.0f, 150.0f}) {
    Inputs in = traced_row;
    in.wind = wind;
    EXPECT_EQ(trace(in).frequency_correction, 0.0) << wind;
  }
  Inputs top = traced_row;
  top.f = 7.09f;
  top.wind = 0;
  EXPECT_EQ(sig(trace(top).frequency_correction, 5), sig(2.35 * 0.0002788, 5));
  top.f = 4.0f;
  EXPECT_LT(trace(top).frequency_correction, 0.0);
}

TEST(Tbvanto, NoRainMeansNoAttenuation) {
  for (float rain : {0.0f, -0.0f}) {
    Inputs in = traced_row;
    in.rain = rain;
    const BudgetTrace t = trace(in);
    EXPECT_EQ(t.rain_attenuation, 0.0);
    EXPECT_EQ(t.frequency_factor, 1.0f);
    EXPECT_EQ(t.rain_up_transmissivity, 1.0f);
    EXPECT_EQ(t.rain_down_transmissivity, 1.0f);
    EXPECT_FALSE(std::isnan(run(in)));
  }
}

TEST(Tbvanto, NegativeRainRateGivesNaN) {
  for (float rain : {-1e-30f, -0.5f, -150.0f}) {
    Inputs in = traced_row;
    in.rain = rain;
    EXPECT_TRUE(std::isnan(run(in))) << rain;
  }
}

TEST(Tbvanto, RainLayerLimitsApplyInOrder) {
  struct Case {
    float h, ta_k;
    const char* raw;
    const char* limited;
  };
  const Case cases[] = {
      {100, 297.146f, "4888.5", "100.00"},    // aircraft cap over everything
      {100, 253.146f, "-3540.6", "100.00"},   // the cap overrides the 150 m floor
      {3000, 283.146f, "5106.5", "3000.0"},   // aircraft cap
      {12000, 243.146f, "6443.7", "5000.0"},  // high-altitude cap
      {11000, 253.146f, "7359.4", "7359.4"},  // no cap at exactly 11000 m
      {16000, 213.146f, "4696.6", "4696.6"},  // below the high cap already
      {1500, 233.146f, "-5972.0", "150.00"},  // floor
  };
  for (const Case& c : cases) {
    Inputs in = traced_row;
    in.h = c.h;
    in.ta_k = c.ta_k;
    const BudgetTrace t = trace(in);
    EXPECT_EQ(sig(t.raw_rain_height_m, 5), c.raw) << c.h << " m";
    EXPECT_EQ(sig(t.rain_height_m, 5), c.limited) << c.h << " m";
  }
}

TEST(Tbvanto, UpwellingTemperatureIsTheWarmerOfLowLayerAndFlightLevel) {
  Inputs in = traced_row;
  in.h = 1000;
  BudgetTrace t = trace(in);
  EXPECT_EQ(t.low_layer_k, static_cast<double>(in.ta_k));
  EXPECT_EQ(t.upwelling_k, static_cast<double>(in.ta_k));
  in.h = 1001;
  t = trace(in);
  EXPECT_GT(t.upwelling_k, static_cast<double>(in.ta_k));
  EXPECT_EQ(t.upwelling_k, t.low_layer_k);
  in.h = 500;
  t = trace(in);
  EXPECT_EQ(t.upwelling_k, static_cast<double>(in.ta_k));
}

TEST(Tbvanto, DownwardRainDependsOnlyOnFrequencyAndRain) {
  const float reference = trace(traced_row).rain_down_transmissivity;
  for (float h : {50.0f, 1000.0f, 16000.0f}) {
    for (float ta : {203.146f, 318.146f}) {
      Inputs in = traced_row;
      in.h = h;
      in.ta_k = ta;
      EXPECT_EQ(hex(trace(in).rain_down_transmissivity), hex(reference));
    }
  }
}

TEST(Tbvanto, StormWindPushesEmissivityAboveOneAndStaysFinite) {
  Inputs in = traced_row;
  in.wind = 150;
  in.rain = 150;
  const BudgetTrace t = trace(in);
  EXPECT_GT(t.surface_emissivity, 1.0f);
  EXPECT_TRUE(std::isfinite(run(in)));
}

}  // namespace
}  // namespace nerido::radiance
