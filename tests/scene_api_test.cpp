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
  Scene scene{in.at(0), in.at(1), in.at(2), in.at(3), in.at(4)};
  if (in.size() > scene_field_count) {
    scene.salinity_psu = in.at(5);
  }
  return scene;
}

// Calls `check` with each line of a pinned table; answers the lines read.
template <typename Check>
int for_each_line(const char* path, const Check& check) {
  std::ifstream file(path);
  EXPECT_TRUE(file) << "cannot open " << path;
  std::string text;
  int checked = 0;
  while (std::getline(file, text)) {
    testing::PinnedLine line;
    if (text.empty() || text[0] == '#') {
      continue;
    }
    EXPECT_TRUE(testing::parse(text, line)) << text;
    SCOPED_TRACE(text);
    check(line);
    ++checked;
  }
  return checked;
}

// Every pinned scene, bit for bit: the table, the model called one channel
// at a time as the dialogue first did, the one-step and the two-step API.
TEST(SceneApi, PinnedScenesBitForBit) {
  const int checked = for_each_line(NERIDO_SCENE_TABLE, [](const testing::PinnedLine& line) {
    const Scene scene = scene_of(line.inputs);
    const auto reference = testing::evaluate('S', line.inputs);
    const auto one_step = brightness_temperatures(scene);
    const auto two_step = brightness_temperatures(scene, emissivities(scene.sst_c));
    const auto checked_tb = checked_brightness_temperatures(scene);
    for (std::size_t i = 0; i < channel_count; ++i) {
      SCOPED_TRACE("channel " + std::to_string(i));
      EXPECT_EQ(hex(one_step[i]), hex(line.outputs.at(i)));
      EXPECT_EQ(hex(reference.at(i)), hex(line.outputs.at(i)));
      EXPECT_EQ(hex(two_step[i]), hex(one_step[i]));
      EXPECT_EQ(hex(checked_tb[i]), hex(one_step[i]));
    }
  });
  EXPECT_EQ(checked, 300);
}

// Scenes at salinities from 0 to 40, bit for bit: the table, the
// permittivity stage called directly, and every way the API takes a
// salinity. At 36 they are the scenes without one.
TEST(SceneApi, PinnedSalinityScenesBitForBit) {
  const int checked = for_each_line(NERIDO_SALINITY_TABLE, [](const testing::PinnedLine& line) {
    const Scene scene = scene_of(line.inputs);
    const auto reference = testing::evaluate('W', line.inputs);
    const auto one_step = brightness_temperatures(scene);
    const auto two_step =
        brightness_temperatures(scene, emissivities(scene.sst_c, scene.salinity_psu));
    EmissivityCache cache;
    (void)cache.emissivities(scene.sst_c);  // the same SST at 36 first
    const auto cached =
        brightness_temperatures(scene, cache.emissivities(scene.sst_c, scene.salinity_psu));
    for (std::size_t i = 0; i < channel_count; ++i) {
      EXPECT_EQ(hex(reference.at(i)), hex(line.outputs.at(i))) << "channel " << i;
      EXPECT_EQ(hex(one_step[i]), hex(line.outputs.at(i))) << "channel " << i;
      EXPECT_EQ(hex(two_step[i]), hex(one_step[i])) << "channel " << i;
      EXPECT_EQ(hex(cached[i]), hex(one_step[i])) << "channel " << i;
    }
    if (scene.salinity_psu == default_salinity_psu) {
      const auto at_default = testing::evaluate('S', {line.inputs.begin(), line.inputs.end() - 1});
      EXPECT_EQ(at_default, reference);
    }
  });
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
      {{28, 3000, 15, 10, 5, 0}, nullptr},
      {{28, 3000, 15, 10, 5, 40}, nullptr},
      {{28, 3000, 15, 10, 5, -0.5f}, "salinity_psu = -0.5 is outside 0 to 40 psu"},
      {{28, 3000, 15, 10, 5, 40.5f}, "salinity_psu = 40.5 is outside 0 to 40 psu"},
      {{28, 3000, 15, 10, 5, nan}, "salinity_psu = nan is outside 0 to 40 psu"},
      {{28, 3000, 15, 10, nan, nan}, "rain_mmh = nan is outside 0 to 150 mm/h"},  // the first one
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

TEST(SceneApi, EmissivityCacheGivesTheEmissivitiesOfEachSstAndSalinity) {
  // Repeats, a change back, both zeros (different bits) and NaN, in either.
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, float> waters[] = {{28, 36},    {28, 36},   {12.5f, 36}, {28, 36},
                                            {28, 20},    {28, 36},   {0.0f, 36},  {-0.0f, 36},
                                            {-0.0f, 36}, {nan, 36},  {45, 36},    {45, 0.0f},
                                            {45, -0.0f}, {45, 0.1f}, {45, nan},   {45, 36}};
  EmissivityCache cache;
  for (const auto& [sst, salinity] : waters) {
    const auto expected = emissivities(sst, salinity);
    const auto& got = cache.emissivities(sst, salinity);
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), sizeof expected), 0)
        << sst << " " << salinity;
  }
  EXPECT_EQ(emissivities(28), emissivities(28, 36));
  EXPECT_NE(emissivities(28, 20), emissivities(28, 36));
}

TEST(SceneApi, SceneValuesRoundTrip) {
  const Scene scene{1, 2, 3, 4, 5};
  const auto values = scene_values(scene);
  EXPECT_EQ(values, (std::array<float, scene_field_count>{1, 2, 3, 4, 5}));
  EXPECT_EQ(scene_values(scene_from_values(values)), values);
}

// The optional fields' table defaults are the structs' own.
TEST(SceneApi, OptionalFieldsDefaultToTheStructsDefaults) {
  const Scene scene{1, 2, 3, 4, 5};
  const Observation observation{};
  for (std::size_t i = 0; i < field_count; ++i) {
    EXPECT_EQ(field_range(static_cast<SceneField>(i)).default_value.has_value(),
              i >= scene_field_count)
        << i;
  }
  EXPECT_EQ(field_range(SceneField::salinity_psu).default_value, scene.salinity_psu);
  EXPECT_EQ(field_range(SceneField::salinity_psu).default_value, observation.salinity_psu);
  EXPECT_EQ(field_range(SceneField::roll_deg).default_value, observation.roll_deg);
  EXPECT_EQ(field_range(SceneField::pitch_deg).default_value, observation.pitch_deg);
}

TEST(SceneApi, VersionIsTheProjectVersion) {
  EXPECT_EQ(version.text, std::to_string(version.major) + "." + std::to_string(version.minor) +
                              "." + std::to_string(version.patch));
  EXPECT_EQ(version.text, NERIDO_PROJECT_VERSION);
}

}  // namespace
}  // namespace nerido
