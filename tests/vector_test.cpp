// The span API of <nerido/vector.hpp> on every path this processor has:
// the pinned scenes (tests/data/scenes.txt and salinity_scenes.txt, read as
// pinned_table.hpp reads their lines), a random sample across the fields'
// ranges, salinity included, and scenes outside them must give the scalar
// path's bits. The forced-path test runs
// again under each NERIDO_SIMD value (tests/CMakeLists.txt).
#include "nerido/vector.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "pinned_table.hpp"

namespace nerido::testing {
namespace {

using simd::Path;
using Row = std::array<float, channel_count>;

std::vector<Row> run(const std::vector<Scene>& scenes, Path path, simd::Tally* tally = nullptr) {
  std::vector<Row> tb(scenes.size());
  simd::brightness_temperatures(scenes, tb, path, tally);
  return tb;
}

// Differences of bits between a path's rows and the scalar function's, at most 5 described.
std::string differences(const std::vector<Scene>& scenes, const std::vector<Row>& got) {
  std::string text;
  int count = 0;
  for (std::size_t i = 0; i < scenes.size(); ++i) {
    const Row want = brightness_temperatures(scenes[i]);
    for (std::size_t c = 0; c < channel_count; ++c) {
      if (std::bit_cast<std::uint32_t>(got[i][c]) != std::bit_cast<std::uint32_t>(want[c]) &&
          count++ < 5) {
        text += "scene " + std::to_string(i) + " channel " + std::to_string(c) + "; ";
      }
    }
  }
  return text;
}

class VectorPath : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (!simd::path_supported(GetParam())) {
      GTEST_SKIP() << simd::path_name(GetParam()) << " not supported by this processor";
    }
  }
};

// The scenes of a pinned table's lines of one kind and their six results:
// 'S' at the default salinity, 'W' with the salinity as the sixth input.
struct PinnedScenes {
  std::vector<Scene> scenes;
  std::vector<std::vector<float>> results;
};
PinnedScenes read_scenes(const char* path, char kind) {
  std::ifstream file(path);
  PinnedScenes pinned;
  std::string text;
  while (std::getline(file, text)) {
    PinnedLine line;
    if (!text.empty() && text[0] == kind && parse(text, line)) {
      const std::vector<float>& in = line.inputs;
      pinned.scenes.push_back({in.at(0), in.at(1), in.at(2), in.at(3), in.at(4),
                               kind == 'W' ? in.at(5) : default_salinity_psu});
      pinned.results.push_back(line.outputs);
    }
  }
  return pinned;
}

TEST_P(VectorPath, PinnedScenesBitForBit) {
  const struct {
    const char* path;
    char kind;
    std::size_t at_least;
  } tables[] = {{NERIDO_SCENE_TABLE, 'S', 20}, {NERIDO_SALINITY_TABLE, 'W', 300}};
  for (const auto& table : tables) {
    const PinnedScenes pinned = read_scenes(table.path, table.kind);
    ASSERT_GE(pinned.scenes.size(), table.at_least) << table.path;
    const std::vector<Row> got = run(pinned.scenes, GetParam());
    for (std::size_t i = 0; i < got.size(); ++i) {
      for (std::size_t c = 0; c < channel_count; ++c) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i][c]),
                  std::bit_cast<std::uint32_t>(pinned.results[i].at(c)))
            << table.path << " scene " << i << " channel " << c;
      }
    }
  }
}

TEST_P(VectorPath, RandomScenesBitForBitAndFewFallBack) {
  std::mt19937_64 rng(19);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same sample every run
  std::vector<Scene> scenes;
  // 20,001 scenes: the last step of every path is a partial one.
  for (int i = 0; i < 20'001; ++i) {
    std::array<float, scene_field_count> values{};
    for (std::size_t k = 0; k < values.size(); ++k) {
      const FieldRange& r = field_range(static_cast<SceneField>(k));
      values[k] = std::uniform_real_distribution<float>(r.low, r.high)(rng);
      if (!in_range(static_cast<SceneField>(k), values[k])) {
        values[k] = r.high;
      }
    }
    Scene scene = scene_from_values(values);
    // Uniform over the salinity's range, one scene in four at a value where
    // the formulas change or the default.
    constexpr std::array<float, 7> special{0.0f,           0.05f, 0x1.999998p-4f, 0.1f,
                                           0x1.99999cp-4f, 36.0f, 40.0f};
    const FieldRange& salinity = field_range(SceneField::salinity_psu);
    scene.salinity_psu =
        (i & 3) == 0 ? special.at(static_cast<std::size_t>(i / 4) % special.size())
                     : std::uniform_real_distribution<float>(salinity.low, salinity.high)(rng);
    scenes.push_back(scene);
  }
  simd::Tally tally;
  const std::vector<Row> got = run(scenes, GetParam(), &tally);
  EXPECT_EQ(differences(scenes, got), "");
  EXPECT_EQ(tally.scenes, scenes.size());
  EXPECT_EQ(tally.out_of_range, 0U);
  // About 2^-16 a rounding; far more would mean a test that fails where it should not.
  EXPECT_LE(tally.fell_back, scenes.size() / 100);
}

TEST_P(VectorPath, ScenesOutsideTheRangesGiveTheScalarBits) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float inf = std::numeric_limits<float>::infinity();
  // sst_c, altitude_m, air_c, wind_ms, rain_mmh; mixed with valid scenes so
  // that each shares a step with others.
  const std::vector<Scene> odd{
      {nan, 3000.0f, 10.0f, 5.0f, 2.0f},
      {20.0f, nan, 10.0f, 5.0f, 2.0f},
      {20.0f, 3000.0f, nan, 5.0f, 2.0f},
      {20.0f, 3000.0f, 10.0f, nan, 2.0f},
      {20.0f, 3000.0f, 10.0f, 5.0f, nan},
      {20.0f, 3000.0f, 10.0f, 5.0f, -1.0f},
      {20.0f, 0.0f, 10.0f, 5.0f, 2.0f},
      {20.0f, -10.0f, 10.0f, 5.0f, 2.0f},
      {20.0f, inf, 10.0f, 5.0f, 2.0f},
      {-inf, 3000.0f, 10.0f, 5.0f, 2.0f},
      {100.0f, 3000.0f, 10.0f, 5.0f, 2.0f},
      {20.0f, 3000.0f, -200.0f, 5.0f, 2.0f},
      {20.0f, 3000.0f, 10.0f, -3.0f, 2.0f},
      {20.0f, 3000.0f, 10.0f, 500.0f, 1e6f},
      {20.0f, 3000.0f, 10.0f, 5.0f, -0.0f},
      {-2.0f, 16000.0f, -70.0f, 150.0f, 150.0f},
      {45.0f, 1e-30f, 45.0f, 0.0f, 0.0f},
      {20.0f, 3000.0f, 10.0f, 7.0f, 1e-30f},
      {20.0f, 11000.5f, 45.0f, 37.0f, 0.5f},
      // The salinity: out of range (the scalar path's fresh-water branch
      // for the negative one), and -0, in range.
      {20.0f, 3000.0f, 10.0f, 5.0f, 2.0f, nan},
      {20.0f, 3000.0f, 10.0f, 5.0f, 2.0f, -0.5f},
      {20.0f, 3000.0f, 10.0f, 5.0f, 2.0f, 40.5f},
      {20.0f, 3000.0f, 10.0f, 5.0f, 2.0f, inf},
      {20.0f, 3000.0f, 10.0f, 5.0f, 2.0f, -0.0f},
  };
  std::vector<Scene> scenes;
  for (const Scene& s : odd) {
    scenes.push_back(s);
    scenes.push_back({15.0f, 500.0f, 5.0f, 10.0f, 1.0f});
  }
  simd::Tally tally;
  EXPECT_EQ(differences(scenes, run(scenes, GetParam(), &tally)), "");
  EXPECT_EQ(tally.out_of_range, 18U);
}

TEST_P(VectorPath, AnEmptySpanAndAMismatchedOne) {
  EXPECT_NO_THROW(run({}, GetParam()));
  std::vector<Scene> scenes(3, Scene{15.0f, 500.0f, 5.0f, 10.0f, 1.0f});
  std::vector<Row> tb(2);
  EXPECT_THROW(simd::brightness_temperatures(scenes, tb, GetParam()), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorPath,
                         ::testing::Values(Path::scalar, Path::avx2, Path::avx512),
                         [](const auto& param_info) {
                           return std::string(simd::path_name(param_info.param));
                         });

// NERIDO_SIMD decides the path of the span function without one: unset, the
// widest supported; a supported name, that path; anything else, an error.
TEST(VectorDispatch, TheForcedPathOrAnError) {
  const char* forced = std::getenv("NERIDO_SIMD");  // NOLINT(concurrency-mt-unsafe)
  const std::vector<Scene> scenes(9, Scene{15.0f, 500.0f, 5.0f, 10.0f, 1.0f});
  std::vector<Row> tb(scenes.size());
  const std::string name = forced == nullptr ? "" : forced;
  bool known = name.empty();
  for (const Path p : {Path::scalar, Path::avx2, Path::avx512}) {
    known = known || (name == simd::path_name(p) && simd::path_supported(p));
  }
  if (!known) {
    EXPECT_THROW((void)simd::active_path(), std::invalid_argument);
    EXPECT_THROW(brightness_temperatures(scenes, tb), std::invalid_argument);
    return;
  }
  const Path path = simd::active_path();
  if (name.empty()) {
    EXPECT_EQ(path, simd::path_supported(Path::avx512) ? Path::avx512
                    : simd::path_supported(Path::avx2) ? Path::avx2
                                                       : Path::scalar);
  } else {
    EXPECT_EQ(simd::path_name(path), name);
  }
  brightness_temperatures(scenes, tb);
  EXPECT_EQ(differences(scenes, tb), "");
}

}  // namespace
}  // namespace nerido::testing
