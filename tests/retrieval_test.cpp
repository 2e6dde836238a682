#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "nerido/nerido.hpp"
#include "retrieval/first_guess.hpp"

namespace nerido {
namespace {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

// Air 1 C below the sea and 6.5 K colder a kilometre up, but not below -70 C.
Scene scene(float wind, float rain, float sst = 28.0f, float altitude = 3000.0f) {
  const double air = static_cast<double>(sst) - 1.0 - 0.0065 * static_cast<double>(altitude);
  return {sst, altitude, static_cast<float>(std::max(air, -70.0)), wind, rain};
}

retrieval::FitProblem problem_of(const Observation& o) {
  const std::optional<retrieval::FitProblem> p = retrieval::make_problem(o, {});
  if (!p) {
    throw std::invalid_argument("no problem for this observation");
  }
  return *p;
}

Observation noise_free(const Scene& s) {
  return {brightness_temperatures(s), s.sst_c, s.altitude_m, s.air_c};
}

std::string describe(const Retrieval& r) {
  return "wind " + std::to_string(r.wind_ms) + " rain " + std::to_string(r.rain_mmh) + " status " +
         std::string(status_name(r.status)) + " iterations " + std::to_string(r.iterations);
}

// Whatever the status, a valid input gives wind and rain in the domain and
// finite, positive sigmas.
void expect_usable(const Retrieval& r) {
  SCOPED_TRACE(describe(r));
  EXPECT_GE(r.wind_ms, 0.0f);
  EXPECT_LE(r.wind_ms, 150.0f);
  EXPECT_GE(r.rain_mmh, 0.0f);
  EXPECT_LE(r.rain_mmh, 150.0f);
  EXPECT_GT(r.wind_sigma_ms, 0.0f);
  EXPECT_GT(r.rain_sigma_mmh, 0.0f);
  EXPECT_LT(r.wind_sigma_ms, infinity);
  EXPECT_LT(r.rain_sigma_mmh, infinity);
  EXPECT_GE(r.wind_rain_correlation, -1.0f);
  EXPECT_LE(r.wind_rain_correlation, 1.0f);
  EXPECT_GE(r.residual_rms_k, 0.0f);
}

TEST(Retrieval, StatusNames) {
  const std::array<std::pair<RetrievalStatus, const char*>, 6> names{{
      {RetrievalStatus::ok, "ok"},
      {RetrievalStatus::at_bound, "at_bound"},
      {RetrievalStatus::poor_fit, "poor_fit"},
      {RetrievalStatus::not_converged, "not_converged"},
      {RetrievalStatus::invalid_input, "invalid_input"},
      {RetrievalStatus::off_nadir, "off_nadir"},
  }};
  for (const auto& [status, name] : names) {
    EXPECT_EQ(status_name(status), name);
  }
}

TEST(Retrieval, EachStatusWhereItBelongs) {
  struct Case {
    const char* what;
    Scene truth;
    std::array<float, 6> added_k;  // to the noise-free Tb
    int max_iterations;
    RetrievalStatus status;
  };
  const Case cases[] = {
      {"typical", scene(15, 5), {}, 50, RetrievalStatus::ok},
      {"heavy rain, high flight", scene(40, 70, 15, 12000), {}, 50, RetrievalStatus::ok},
      // 0 is a physical answer; only the top of the domain is at_bound.
      {"no rain", scene(10, 0), {}, 50, RetrievalStatus::ok},
      {"calm", scene(0, 10), {}, 50, RetrievalStatus::ok},
      {"calm and dry", scene(0, 0), {}, 50, RetrievalStatus::ok},
      {"the model's highest wind", scene(150, 0, 15, 500), {}, 50, RetrievalStatus::ok},
      {"colder than calm and dry", scene(0, 0), {-1, -1, -1, -1, -1, -1}, 50, RetrievalStatus::ok},
      {"rain beyond the top",
       scene(60, 150, 28, 1000),
       {2, 2, 2, 2, 2, 2},
       50,
       RetrievalStatus::at_bound},
      {"land in view", scene(10, 2), {150, 150, 150, 150, 150, 150}, 50, RetrievalStatus::poor_fit},
      {"one channel 10 K off", scene(10, 2), {0, 0, 10, 0, 0, 0}, 50, RetrievalStatus::poor_fit},
      {"within the noise",
       scene(10, 2),
       {0.4f, -0.4f, 0.4f, -0.4f, 0.4f, -0.4f},
       50,
       RetrievalStatus::ok},
      {"one iteration allowed",
       scene(25, 30),
       {0.3f, 0, 0, 0, 0, 0},
       1,
       RetrievalStatus::not_converged},
      {"no iteration allowed", scene(25, 30), {}, 0, RetrievalStatus::not_converged},
      {"no limit", scene(25, 30), {}, std::numeric_limits<int>::max(), RetrievalStatus::ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Observation o = noise_free(c.truth);
    for (std::size_t i = 0; i < 6; ++i) {
      o.tb_k[i] += c.added_k[i];
    }
    RetrievalOptions options;
    options.max_iterations = c.max_iterations;
    const Retrieval r = retrieve(o, options);
    EXPECT_EQ(r.status, c.status) << describe(r);
    if (r.status == RetrievalStatus::at_bound) {  // exactly at the top
      EXPECT_TRUE(r.wind_ms == 150.0f || r.rain_mmh == 150.0f);
    }
    EXPECT_LE(r.iterations, c.max_iterations);
    EXPECT_EQ(r.channels_used, 6);
    expect_usable(r);
  }
}

TEST(Retrieval, InvalidInputsSayWhy) {
  using R = InvalidReason;
  struct Case {
    const char* what;
    Observation observation;
    RetrievalOptions options;
    int channels_present;
    InvalidReason reason;
  };
  const Observation good = noise_free(scene(10, 5));
  const auto with = [&](auto change) {
    Observation o = good;
    change(o);
    return o;
  };
  const auto options_with = [](auto change) {
    RetrievalOptions o;
    change(o);
    return o;
  };
  const auto noise = [&](std::size_t channel, float value) {
    return options_with([=](RetrievalOptions& o) { o.noise_k[channel] = value; });
  };
  const Case cases[] = {
      {"SST below -2", with([](Observation& o) { o.sst_c = -2.5f; }), {}, 6, R::sst_c},
      {"SST NaN", with([](Observation& o) { o.sst_c = nan; }), {}, 6, R::sst_c},
      {"SST in kelvin", with([](Observation& o) { o.sst_c = 301.15f; }), {}, 6, R::sst_c},
      {"altitude 0", with([](Observation& o) { o.altitude_m = 0.0f; }), {}, 6, R::altitude_m},
      {"altitude above 16000",
       with([](Observation& o) { o.altitude_m = 16001.0f; }),
       {},
       6,
       R::altitude_m},
      {"air infinite", with([](Observation& o) { o.air_c = infinity; }), {}, 6, R::air_c},
      {"air above 45", with([](Observation& o) { o.air_c = 46.0f; }), {}, 6, R::air_c},
      {"salinity above 40",
       with([](Observation& o) { o.salinity_psu = 40.5f; }),
       {},
       6,
       R::salinity_psu},
      {"salinity NaN", with([](Observation& o) { o.salinity_psu = nan; }), {}, 6, R::salinity_psu},
      {"an infinite Tb",
       with([](Observation& o) { o.tb_k[3] = -infinity; }),
       {},
       6,
       R::infinite_tb},
      {"two channels",
       with([](Observation& o) { o.tb_k = {nan, 120.0f, nan, nan, 130.0f, nan}; }),
       {},
       2,
       R::too_few_channels},
      {"no channel", with([](Observation& o) { o.tb_k.fill(nan); }), {}, 0, R::too_few_channels},
      {"zero noise", good, noise(2, 0.0f), 6, R::noise},
      {"NaN noise", good, noise(5, nan), 6, R::noise},
      // Noise the weights cannot carry: sigma infinite, 0, or a wrong wind with status ok.
      {"noise 1e-8 K", good, noise(0, 1e-8f), 6, R::noise},
      {"subnormal noise", good, noise(1, 1e-40f), 6, R::noise},
      {"noise 1e-5 K", good, noise(2, 1e-5f), 6, R::noise},
      {"noise just below 0.01 K", good, noise(3, std::nextafter(0.01f, 0.0f)), 6, R::noise},
      {"noise above 100 K", good, noise(4, 100.5f), 6, R::noise},
      {"negative model error", good,
       options_with([](RetrievalOptions& o) { o.model_error_k = -1; }), 6, R::options},
      {"NaN model error", good, options_with([](RetrievalOptions& o) { o.model_error_k = nan; }), 6,
       R::options},
      {"model error above 100 K", good,
       options_with([](RetrievalOptions& o) { o.model_error_k = 101; }), 6, R::options},
      {"infinite independent error", good,
       options_with([](RetrievalOptions& o) { o.independent_error_k[4] = infinity; }), 6,
       R::options},
      {"roll NaN", with([](Observation& o) { o.roll_deg = nan; }), {}, 6, R::attitude},
      {"pitch beyond 90", with([](Observation& o) { o.pitch_deg = 91.0f; }), {}, 6, R::attitude},
      {"a bad SST before a roll",
       with([](Observation& o) { o.sst_c = 50.0f, o.roll_deg = 30.0f; }),
       {},
       6,
       R::sst_c},
      {"too few channels while rolled",
       with([](Observation& o) { o.tb_k.fill(nan), o.roll_deg = 30.0f; }),
       {},
       0,
       R::too_few_channels},
      {"negative off-nadir limit", good,
       options_with([](RetrievalOptions& o) { o.max_off_nadir_deg = -1.0f; }), 6, R::options},
      {"NaN off-nadir limit", good,
       options_with([](RetrievalOptions& o) { o.max_off_nadir_deg = nan; }), 6, R::options},
      {"negative iteration limit", good,
       options_with([](RetrievalOptions& o) { o.max_iterations = -1; }), 6, R::options},
      {"NaN tolerance", good,
       options_with([](RetrievalOptions& o) { o.step_tolerance = std::nan(""); }), 6, R::options},
      {"negative tolerance", good,
       options_with([](RetrievalOptions& o) { o.reduction_tolerance = -1.0; }), 6, R::options},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Retrieval r = retrieve(c.observation, c.options);
    EXPECT_EQ(r.status, RetrievalStatus::invalid_input);
    EXPECT_EQ(invalid_reason_name(r.invalid_reason), invalid_reason_name(c.reason));
    EXPECT_EQ(r.channels_used, c.channels_present);
    EXPECT_EQ(r.iterations, 0);
    for (const float value : {r.wind_ms, r.rain_mmh, r.wind_sigma_ms, r.rain_sigma_mmh,
                              r.wind_rain_correlation, r.residual_rms_k}) {
      EXPECT_TRUE(std::isnan(value));
    }
  }
  // The noise and error of a missing channel are not looked at; the ends of
  // the ranges are accepted.
  Observation missing = good;
  missing.tb_k[2] = nan;
  RetrievalOptions unusable_for_missing = noise(2, 0.0f);
  unusable_for_missing.independent_error_k[2] = nan;
  EXPECT_EQ(retrieve(missing, unusable_for_missing).status, RetrievalStatus::ok);
  for (const float ends : {0.01f, 100.0f}) {
    RetrievalOptions o = noise(0, ends);
    o.model_error_k = ends == 0.01f ? 0.0f : 100.0f;
    const Retrieval r = retrieve(good, o);
    EXPECT_NE(r.status, RetrievalStatus::invalid_input) << ends;
    EXPECT_EQ(r.invalid_reason, R::none);
  }
}

TEST(Retrieval, NonsenseMeasurementsStayInTheDomain) {
  const std::array<float, 6> nonsense[] = {
      {0, 0, 0, 0, 0, 0},
      {-300, -300, -300, -300, -300, -300},
      {1000, 1000, 1000, 1000, 1000, 1000},
      {3e38f, 3e38f, 3e38f, 3e38f, 3e38f, 3e38f},
      {-3e38f, 100, 3e38f, 100, -3e38f, 100},
      {400, 0, 400, 0, 400, 0},
      {90, 95, 100, 200, 250, 300},
      {300, 250, 200, 100, 95, 90},
  };
  for (const auto& tb : nonsense) {
    SCOPED_TRACE(std::to_string(tb[0]) + " " + std::to_string(tb[5]));
    const Retrieval r = retrieve({tb, 20.0f, 3000.0f, 0.0f});
    EXPECT_EQ(r.status, RetrievalStatus::poor_fit) << describe(r);
    EXPECT_FALSE(std::isnan(r.wind_ms));
    EXPECT_FALSE(std::isnan(r.rain_mmh));
    EXPECT_GE(r.wind_ms, 0.0f);
    EXPECT_LE(r.wind_ms, 150.0f);
    EXPECT_GE(r.rain_mmh, 0.0f);
    EXPECT_LE(r.rain_mmh, 150.0f);
  }
}

// The noise enters as weights: sigma scales with it, and a channel whose
// noise is the largest accepted counts for almost as little as a missing one.
TEST(Retrieval, NoiseWeightsTheChannels) {
  const Observation o = noise_free(scene(20, 10));
  const Retrieval base = retrieve(o);
  RetrievalOptions doubled;
  doubled.noise_k.fill(1.0f);
  const Retrieval twice = retrieve(o, doubled);
  EXPECT_NEAR(twice.wind_sigma_ms, 2.0f * base.wind_sigma_ms, 1e-4f * base.wind_sigma_ms);
  EXPECT_NEAR(twice.rain_sigma_mmh, 2.0f * base.rain_sigma_mmh, 1e-4f * base.rain_sigma_mmh);
  EXPECT_FLOAT_EQ(twice.wind_rain_correlation, base.wind_rain_correlation);

  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    Observation missing = o;
    missing.tb_k[i] = nan;
    RetrievalOptions deaf;
    deaf.noise_k[i] = noise_range_k.high;
    const Retrieval without = retrieve(missing);
    const Retrieval weighted = retrieve(o, deaf);
    EXPECT_EQ(without.channels_used, 5);
    EXPECT_GT(without.wind_sigma_ms, base.wind_sigma_ms);
    EXPECT_GT(without.rain_sigma_mmh, base.rain_sigma_mmh);
    EXPECT_NEAR(weighted.wind_sigma_ms, without.wind_sigma_ms, 1e-3f * without.wind_sigma_ms);
    EXPECT_NEAR(weighted.rain_sigma_mmh, without.rain_sigma_mmh, 1e-3f * without.rain_sigma_mmh);
  }
}

// Off nadir by acos(cos roll cos pitch): beyond max_off_nadir_deg no fit;
// within it the fit of a level aircraft, bit for bit.
TEST(Retrieval, OffNadirRecordsAreNotFitted) {
  struct Case {
    float roll_deg;
    float pitch_deg;
    float max_off_nadir_deg;
    bool fitted;
  };
  const Case cases[] = {
      {0, 0, 0, true},     {4, 3, 5, true},       {3, -4, 5, true},  {-5, 0, 5, true},
      {5, 0.1f, 5, false}, {0, -5.01f, 5, false}, {30, 0, 5, false}, {30, 20, 45, true},
      {-90, 0, 90, true},  {60, 60, 75, false},
  };
  const Observation level = noise_free(scene(15, 5));
  const Retrieval nadir = retrieve(level);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.roll_deg) + " " + std::to_string(c.pitch_deg));
    Observation o = level;
    o.roll_deg = c.roll_deg;
    o.pitch_deg = c.pitch_deg;
    RetrievalOptions options;
    options.max_off_nadir_deg = c.max_off_nadir_deg;
    const Retrieval r = retrieve(o, options);
    if (c.fitted) {
      EXPECT_EQ(r.status, nadir.status);
      EXPECT_EQ(r.wind_ms, nadir.wind_ms);
      EXPECT_EQ(r.rain_sigma_mmh, nadir.rain_sigma_mmh);
      EXPECT_EQ(r.iterations, nadir.iterations);
    } else {
      EXPECT_EQ(status_name(r.status), "off_nadir");
      EXPECT_EQ(r.invalid_reason, InvalidReason::none);
      EXPECT_EQ(r.iterations, 0);
      EXPECT_EQ(r.channels_used, 6);
      EXPECT_TRUE(std::isnan(r.wind_ms) && std::isnan(r.rain_sigma_mmh));
    }
  }
}

// An independent model error adds to the noise in quadrature: 0.5 K of
// noise with sqrt(0.75) K of own error in every channel is 1 K of noise,
// through the whitened (correlated) path of the fit.
TEST(Retrieval, IndependentErrorAddsToTheNoise) {
  Observation o = noise_free(scene(20, 10));
  o.tb_k[1] += 0.3f;
  o.tb_k[4] -= 0.2f;
  RetrievalOptions one_kelvin;
  one_kelvin.noise_k.fill(1.0f);
  RetrievalOptions split;
  split.independent_error_k.fill(static_cast<float>(std::sqrt(0.75)));
  const Retrieval a = retrieve(o, one_kelvin);
  const Retrieval b = retrieve(o, split);
  ASSERT_EQ(b.status, RetrievalStatus::ok) << describe(b);
  for (const auto& [got, expected] : {std::pair{b.wind_ms, a.wind_ms},
                                      {b.rain_mmh, a.rain_mmh},
                                      {b.wind_sigma_ms, a.wind_sigma_ms},
                                      {b.rain_sigma_mmh, a.rain_sigma_mmh},
                                      {b.residual_rms_k, a.residual_rms_k}}) {
    EXPECT_NEAR(got, expected, 1e-3f * std::max(1.0f, std::abs(expected)));
  }
}

// Any three channels are enough.
TEST(Retrieval, ThreeChannels) {
  const Scene truth = scene(20, 10);
  const std::array<std::array<std::size_t, 3>, 4> kept{
      {{0, 1, 2}, {3, 4, 5}, {0, 2, 5}, {1, 3, 4}}};
  for (const auto& three : kept) {
    SCOPED_TRACE(std::to_string(three[0]) + std::to_string(three[1]) + std::to_string(three[2]));
    Observation o = noise_free(truth);
    Observation sparse = o;
    sparse.tb_k.fill(nan);
    for (const std::size_t i : three) {
      sparse.tb_k[i] = o.tb_k[i];
    }
    const Retrieval r = retrieve(sparse);
    EXPECT_EQ(r.status, RetrievalStatus::ok) << describe(r);
    EXPECT_EQ(r.channels_used, 3);
    EXPECT_NEAR(r.wind_ms, 20.0f, 0.01f);
    EXPECT_NEAR(r.rain_mmh, 10.0f, 0.01f);
  }
}

// The same bits in every build (Debug, Release, sanitizers) and on every
// machine with IEEE double and a C library of the same elementary functions:
// a retrieval's arithmetic, Eigen's included, is compiled like the model's.
TEST(Retrieval, PinnedResults) {
  struct Case {
    Scene truth;
    std::array<float, 6> added_k;
    int missing;  // a channel left out, or -1
    Retrieval expected;
  };
  using S = RetrievalStatus;
  const Case cases[] = {
      {{28, 3000, 7.5f, 15, 5},
       {0.31f, -0.42f, 0.12f, 0.55f, -0.08f, 0.27f},
       -1,
       {0x1.e126e2p+3f, 0x1.47d762p+2f, 0x1.ba2db2p-1f, 0x1.79b00ep-1f, -0x1.e4f426p-1f,
        0x1.3a7b52p-2f, 4, 6, S::ok}},
      {{15, 12000, -64, 40, 70},
       {-0.6f, 0.2f, 0.05f, -0.33f, 0.48f, 0.1f},
       -1,
       {0x1.3c7dbep+5f, 0x1.1c6eecp+6f, 0x1.c75892p-2f, 0x1.1973fep+0f, -0x1.dca91ap-1f,
        0x1.25eddp-2f, 3, 6, S::ok}},
      {{5, 500, 1, 8, 0},
       {0.1f, -0.2f, 0.3f, -0.4f, 0.5f, -0.6f},
       -1,
       {0x1.f7426p+2f, 0.0f, 0x1.14267ap+1f, 0x1.bcb7e4p+1f, -0x1.f18066p-1f, 0x1.8ac832p-2f, 1, 6,
        S::ok}},
      {{22, 1500, 10, 2, 1},
       {0.44f, 0.21f, -0.35f, 0.12f, -0.5f, 0.03f},
       3,
       {0x1.852442p+1f, 0.0f, 0x1.0f367ap+1f, 0x1.387474p+1f, -0x1.eaee2p-1f, 0x1.31f1fcp-2f, 1, 5,
        S::ok}},
      {{30, 6000, -10, 65, 25},
       {-0.2f, -0.1f, 0, 0.1f, 0.2f, 0.3f},
       0,
       {0x1.02bc76p+6f, 0x1.9e55b6p+4f, 0x1.4255eep-1f, 0x1.6ef69p+0f, -0x1.f28c54p-1f,
        0x1.7096e2p-6f, 3, 5, S::ok}},
  };
  for (const Case& c : cases) {
    Observation o = noise_free(c.truth);
    for (std::size_t i = 0; i < 6; ++i) {
      o.tb_k[i] += c.added_k[i];
    }
    if (c.missing >= 0) {
      o.tb_k[static_cast<std::size_t>(c.missing)] = nan;
    }
    const Retrieval r = retrieve(o);
    const Retrieval& e = c.expected;
    SCOPED_TRACE(describe(r));
    EXPECT_EQ(r.wind_ms, e.wind_ms);
    EXPECT_EQ(r.rain_mmh, e.rain_mmh);
    EXPECT_EQ(r.wind_sigma_ms, e.wind_sigma_ms);
    EXPECT_EQ(r.rain_sigma_mmh, e.rain_sigma_mmh);
    EXPECT_EQ(r.wind_rain_correlation, e.wind_rain_correlation);
    EXPECT_EQ(r.residual_rms_k, e.residual_rms_k);
    EXPECT_EQ(r.iterations, e.iterations);
    EXPECT_EQ(r.channels_used, e.channels_used);
    EXPECT_EQ(r.status, e.status);
  }
}

// The residuals the fit minimises are the model's own, bit for bit; the
// derivatives that come with them are the smooth twin's.
TEST(RetrievalModel, ExactResidualsAreTheModel) {
  const Scene truth = scene(12, 7, 21, 1500);
  Observation o = noise_free(truth);
  o.tb_k[1] = nan;
  o.tb_k[4] += 0.75f;
  const retrieval::FitProblem p = problem_of(o);
  for (const auto& [wind, rain] :
       {std::pair{0.0f, 0.0f}, {12.0f, 7.0f}, {37.5f, 0.01f}, {150.0f, 150.0f}, {-3.0f, 2.0f}}) {
    std::array<double, 6> residuals{};
    retrieval::exact_residuals(p, wind, rain, residuals);
    // With the derivatives: the same residuals, and the twin's slopes to the
    // model's roundings.
    std::array<double, 6> with_slopes{};
    std::array<retrieval::ChannelSlopes, 6> slopes{};
    retrieval::exact_residuals(p, wind, rain, with_slopes, slopes);
    EXPECT_EQ(with_slopes, residuals);
    const retrieval::WindLaw law = retrieval::wind_law(static_cast<double>(wind));
    const retrieval::RainPowers powers = retrieval::rain_powers(static_cast<double>(rain));
    for (std::size_t k = 0; k < p.count; ++k) {
      const retrieval::ChannelSlopes d =
          retrieval::smooth_brightness(p.scene, p.channels[k], law, powers);
      EXPECT_NEAR(slopes[k].per_wind, d.per_wind, 1e-5 * std::abs(d.per_wind));
      EXPECT_NEAR(slopes[k].per_log_rain, d.per_log_rain, 1e-5 * std::abs(d.per_log_rain));
    }
    Scene at = truth;
    at.wind_ms = wind;
    at.rain_mmh = rain;
    const std::array<float, 6> tb = brightness_temperatures(at);
    const std::array<std::size_t, 5> used{0, 2, 3, 4, 5};
    for (std::size_t k = 0; k < used.size(); ++k) {
      const double expected =
          (static_cast<double>(tb[used[k]]) - static_cast<double>(o.tb_k[used[k]])) / 0.5;
      EXPECT_EQ(residuals[k], expected) << "wind " << wind << " rain " << rain << " k " << k;
    }
  }
}

// The observation's salinity is the model's at every step: the exact
// residuals and the smooth twin's emissivities are those of that salinity,
// and a noise-free observation at it retrieves its truth; left at 36 it
// does not fit.
TEST(RetrievalModel, SalinityIsTheModelsAtEveryStep) {
  for (const float salinity : {0.0f, 0.05f, 20.0f, 30.0f, 36.0f, 40.0f}) {
    SCOPED_TRACE(salinity);
    Scene truth = scene(12, 7, 28, 1500);
    truth.salinity_psu = salinity;
    Observation o = noise_free(truth);
    o.salinity_psu = salinity;
    const retrieval::FitProblem p = problem_of(o);
    const std::array<float, 6> e = emissivities(truth.sst_c, salinity);
    for (std::size_t k = 0; k < p.count; ++k) {
      EXPECT_EQ(p.channels[k].emissivity, static_cast<double>(e[p.channels[k].index]));
    }
    std::array<double, 6> residuals{};
    retrieval::exact_residuals(p, truth.wind_ms, truth.rain_mmh, residuals);
    EXPECT_EQ(residuals, (std::array<double, 6>{}));
    const Retrieval r = retrieve(o);
    EXPECT_EQ(r.status, RetrievalStatus::ok) << describe(r);
    EXPECT_NEAR(r.wind_ms, 12.0f, 1e-3f);
    EXPECT_NEAR(r.rain_mmh, 7.0f, 1e-3f);
    o.salinity_psu = default_salinity_psu;
    retrieval::exact_residuals(problem_of(o), truth.wind_ms, truth.rain_mmh, residuals);
    EXPECT_EQ(residuals == (std::array<double, 6>{}), salinity == default_salinity_psu);
  }
}

// The smooth twin differs from the model by the model's roundings only, over
// the whole domain, and its derivatives agree with central differences over
// steps of 1e-3 of each value at interior points (rain from 0.1 mm/h, both
// sides of the wind law's joins); where such steps move the model's own Tb by
// many units in its last place, with the model's central differences too.
TEST(RetrievalModel, JacobianAgreesWithCentralDifferences) {
  const float winds[] = {0.5f, 3, 6.9f, 7.1f, 20, 36.9f, 37.1f, 60, 120};
  const float rains[] = {0.1f, 0.5f, 2, 20, 80, 149};
  const std::array<float, 2> ssts{-2, 30};
  const std::array<float, 3> altitudes{100, 3000, 12000};
  double worst_twin = 0.0;
  double worst_model = 0.0;
  double worst_slope = 0.0;
  for (const float sst : ssts) {
    for (const float altitude : altitudes) {
      for (const float wind : winds) {
        for (const float rain : rains) {
          const Scene truth = scene(wind, rain, sst, altitude);
          const Observation o = noise_free(truth);
          const retrieval::FitProblem p = problem_of(o);
          const auto tb = [&](std::size_t k, double w, double r) {
            return retrieval::smooth_brightness(p.scene, p.channels[k], retrieval::wind_law(w),
                                                retrieval::rain_powers(r));
          };
          const auto model = [&](std::size_t k, double w, double r) {
            Scene at = truth;
            at.wind_ms = static_cast<float>(w);
            at.rain_mmh = static_cast<float>(r);
            return static_cast<double>(brightness_temperatures(at)[k]);
          };
          const double w = static_cast<double>(wind);
          const double r = static_cast<double>(rain);
          for (std::size_t k = 0; k < 6; ++k) {
            SCOPED_TRACE(::testing::Message()
                         << "SST " << sst << " altitude " << altitude << " wind " << wind
                         << " rain " << rain << " channel " << k);
            const retrieval::ChannelSlopes d = tb(k, w, r);
            const double per_wind = d.per_wind;
            const double per_rain = d.per_log_rain / r;
            worst_twin = std::max(worst_twin, std::abs(d.tb_k - static_cast<double>(o.tb_k[k])));
            const double hw = 1e-3 * w;
            const double hr = 1e-3 * r;
            const double cd_wind = (tb(k, w + hw, r).tb_k - tb(k, w - hw, r).tb_k) / (2 * hw);
            const double cd_rain = (tb(k, w, r + hr).tb_k - tb(k, w, r - hr).tb_k) / (2 * hr);
            EXPECT_NEAR(cd_wind, per_wind, 0.01 * std::abs(per_wind));
            EXPECT_NEAR(cd_rain, per_rain, 0.01 * std::abs(per_rain));
            worst_slope = std::max({worst_slope, std::abs(cd_wind / per_wind - 1.0),
                                    std::abs(cd_rain / per_rain - 1.0)});
            if (wind >= 3.0f && wind <= 60.0f && rain >= 2.0f && rain <= 100.0f) {
              // The model's Tb moves by at least a few hundred ulps over 1e-2.
              const double mw = (model(k, w * 1.01, r) - model(k, w * 0.99, r)) / (0.02 * w);
              const double mr = (model(k, w, r * 1.01) - model(k, w, r * 0.99)) / (0.02 * r);
              EXPECT_NEAR(mw, per_wind, 0.01 * std::abs(per_wind));
              EXPECT_NEAR(mr, per_rain, 0.01 * std::abs(per_rain));
              worst_model = std::max(
                  {worst_model, std::abs(mw / per_wind - 1.0), std::abs(mr / per_rain - 1.0)});
            }
          }
        }
      }
    }
  }
  EXPECT_LT(worst_twin, 1e-4);  // K
  std::cout << "twin within " << worst_twin << " K of the model; slopes within " << worst_slope
            << " of the twin's central differences, " << worst_model << " of the model's\n";
}

// The first guess starts the fit in the basin of the global minimum: from
// noise-free data at truths all over the domain, its best start's rain lies
// within half a ladder step (in sqrt(R), where the ladder is about even) of
// the truth's, and it holds the rain at 0 exactly when the truth has none.
TEST(RetrievalModel, FirstGuessIsInTheTruthsBasin) {
  const std::span<const double> ladder = retrieval::rain_ladder_mmh();
  double widest_step = 0.0;
  for (std::size_t i = 1; i < ladder.size(); ++i) {
    widest_step = std::max(widest_step, std::sqrt(ladder[i]) - std::sqrt(ladder[i - 1]));
  }
  for (const float sst : {-2.0f, 28.0f}) {
    for (const float altitude : {100.0f, 6000.0f, 14000.0f}) {
      for (const float wind : {0.0f, 4.0f, 12.0f, 33.0f, 80.0f}) {
        for (const float rain : {0.0f, 1.0f, 8.0f, 30.0f, 90.0f, 140.0f}) {
          SCOPED_TRACE(::testing::Message() << "SST " << sst << " altitude " << altitude << " wind "
                                            << wind << " rain " << rain);
          const retrieval::FitProblem p = problem_of(noise_free(scene(wind, rain, sst, altitude)));
          const retrieval::FirstGuess g = retrieval::first_guess(p);
          ASSERT_GE(g.count, 1u);
          EXPECT_NEAR(std::sqrt(g.starts[0].rain_mmh), std::sqrt(static_cast<double>(rain)),
                      0.5 * widest_step);
          EXPECT_EQ(g.starts[0].rain_at_zero, rain == 0.0f);
        }
      }
    }
  }
}

}  // namespace
}  // namespace nerido
