// The public scene API against the pinned scenes, the worked results and
// its validation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "nerido/nerido.hpp"
#include "numeric_text.hpp"
#include "pinned_table.hpp"

namespace nerido {
namespace {

using testing::fixed;
using testing::hex;

Scene scene_of(const std::vector<float>& in) {
  return {in.at(0), in.at(1), in.at(2), in.at(3), in.at(4)};
}

// Every pinned scene, bit for bit: the table, the model called one channel
// at a time as the dialogue first did, the one-step and the two-step API.
TEST(SceneApi, PinnedScenesBitForBit) {
  std::ifstream file(NERIDO_SCENE_TABLE);
  ASSERT_TRUE(file) << "cannot open " << NERIDO_SCENE_TABLE;
  std::string text;
  int checked = 0;
  while (std::getline(file, text)) {
    testing::PinnedLine line;
    if (text.empty() || text[0] == '#') {
      continue;
    }
    ASSERT_TRUE(testing::parse(text, line)) << text;
    const Scene scene = scene_of(line.inputs);
    const auto reference = testing::evaluate('S', line.inputs);
    const auto one_step = brightness_temperatures(scene);
    const auto two_step = brightness_temperatures(scene, emissivities(scene.sst_c));
    const auto checked_tb = checked_brightness_temperatures(scene);
    for (std::size_t i = 0; i < channel_count; ++i) {
      SCOPED_TRACE(text + ", channel " + std::to_string(i));
      EXPECT_EQ(hex(one_step[i]), hex(line.outputs.at(i)));
      EXPECT_EQ(hex(reference.at(i)), hex(line.outputs.at(i)));
      EXPECT_EQ(hex(two_step[i]), hex(one_step[i]));
      EXPECT_EQ(hex(checked_tb[i]), hex(one_step[i]));
    }
    ++checked;
  }
  EXPECT_EQ(checked, 300);
}

TEST(SceneApi, WorkedRowsAtTwoDecimals) {
  struct Case {
    Scene scene;
    const char* tb;
  };
  const Case cases[] = {
      {{28, 3000, 15, 10, 5}, "118.98 120.67 121.45 122.82 124.98 126.35"},
      {{28, 3000, 15, 0, 0}, "113.33 114.21 114.56 115.13 115.90 116.33"},
      {{28, 12000, -30, 15, 10}, "126.20 129.42 130.99 133.89 138.70 141.86"},
      {{20, 3000, 10, 150, 0}, "317.03 336.98 346.04 361.68 384.89 398.71"},
  };
  for (const Case& c : cases) {
    std::string text;
    for (float tb : brightness_temperatures(c.scene)) {
      if (!text.empty()) {
        text += ' ';
      }
      text += fixed(tb, 2);
    }
    EXPECT_EQ(text, c.tb);
  }
}

TEST(SceneApi, ValidationNamesTheFirstBadFieldItsValueAndRange) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float inf = std::numeric_limits<float>::infinity();
  const Scene good{28, 3000, 15, 10, 5};
  struct Case {
    Scene scene;
    const char* message;  // nullptr: valid
  };
  const Case cases[] = {
      {good, nullptr},
      {{-2, 16000, -70, 0, 0}, nullptr},
      {{45, 0.001f, 45, 150, 150}, nullptr},
      {{-2.01f, 3000, 15, 10, 5}, "sst_c = -2.01 is outside -2 to 45 deg C"},
      {{45.5f, 3000, 15, 10, 5}, "sst_c = 45.5 is outside -2 to 45 deg C"},
      {{28, 0, 15, 10, 5}, "altitude_m = 0 is outside 0 (exclusive) to 16000 m"},
      {{28, 16000.5f, 15, 10, 5}, "altitude_m = 16000.5 is outside 0 (exclusive) to 16000 m"},
      {{28, 3000, -71, 10, 5}, "air_c = -71 is outside -70 to 45 deg C"},
      {{28, 3000, 15, 151, 5}, "wind_ms = 151 is outside 0 to 150 m/s"},
      {{28, 3000, 15, -0.5f, 5}, "wind_ms = -0.5 is outside 0 to 150 m/s"},
      {{28, 3000, 15, 10, 150.1f}, "rain_mmh = 150.1 is outside 0 to 150 mm/h"},
      {{28, 3000, 15, 10, nan}, "rain_mmh = nan is outside 0 to 150 mm/h"},
      {{28, 3000, 15, inf, 5}, "wind_ms = inf is outside 0 to 150 m/s"},
      {{28, -inf, 15, 10, 5}, "altitude_m = -inf is outside 0 (exclusive) to 16000 m"},
      {{nan, nan, 15, 10, 5}, "sst_c = nan is outside -2 to 45 deg C"},  // the first one
  };
  for (const Case& c : cases) {
    const auto error = check_scene(c.scene);
    EXPECT_EQ(first_invalid_field(c.scene), error ? std::optional{error->field} : std::nullopt);
    if (c.message == nullptr) {
      EXPECT_FALSE(error) << error->message;
      EXPECT_NO_THROW(static_cast<void>(checked_brightness_temperatures(c.scene)));
      continue;
    }
    ASSERT_TRUE(error) << c.message;
    EXPECT_EQ(error->message, c.message);
    try {
      static_cast<void>(checked_brightness_temperatures(c.scene));
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const InvalidScene& e) {
      EXPECT_STREQ(e.what(), c.message);
      EXPECT_EQ(e.field(), error->field);
    }
  }
}

TEST(SceneApi, EmissivityCacheGivesTheEmissivitiesOfEachSst) {
  // Repeats, a change back, both zeros (different bits) and NaN.
  const float ssts[] = {
      28, 28, 12.5f, 28, 0.0f, -0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), 45};
  EmissivityCache cache;
  for (const float sst : ssts) {
    const auto expected = emissivities(sst);
    const auto& got = cache.emissivities(sst);
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), sizeof expected), 0) << sst;
  }
}

TEST(SceneApi, SceneValuesRoundTrip) {
  const Scene scene{1, 2, 3, 4, 5};
  const auto values = scene_values(scene);
  EXPECT_EQ(values, (std::array<float, scene_field_count>{1, 2, 3, 4, 5}));
  EXPECT_EQ(scene_values(scene_from_values(values)), values);
}

TEST(SceneApi, VersionIsTheProjectVersion) {
  EXPECT_EQ(version.text, std::to_string(version.major) + "." + std::to_string(version.minor) +
                              "." + std::to_string(version.patch));
  EXPECT_EQ(version.text, NERIDO_PROJECT_VERSION);
}

}  // namespace
}  // namespace nerido
