// Writes the pinned-results table, or with `scenes` the pinned scene table,
// or with `salinity` the pinned scenes at salinities from 0 to 40, to
// standard output. Run it only when the model is meant to change, from a
// Release build:
//   build/tests/nerido_pin_table > tests/data/pinned_results.txt
//   build/tests/nerido_pin_table scenes > tests/data/scenes.txt
//   build/tests/nerido_pin_table salinity > tests/data/salinity_scenes.txt
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "pinned_table.hpp"

namespace {

using nerido::channels_ghz;
using nerido::testing::evaluate;

void emit(char kind, const std::vector<float>& in) {
  std::printf("%c", kind);
  for (float v : in) {
    std::printf(" %a", static_cast<double>(v));
  }
  std::printf(" :");
  for (float v : evaluate(kind, in)) {
    std::printf(" %a", static_cast<double>(v));
  }
  std::printf("\n");
}

// A fixed linear congruential sequence, so the table's inputs never depend
// on a library's random generator.
struct Sequence {
  std::uint32_t state = 20261208u;
  float uniform(float lo, float hi) {
    state = state * 1664525u + 1013904223u;
    const double unit = static_cast<double>(state >> 8) / 16777216.0;
    return static_cast<float>(static_cast<double>(lo) + unit * static_cast<double>(hi - lo));
  }
};

// Whole scenes: the range corners and edges of each field, then random
// scenes with flight-like and extreme values.
// The i-th random scene of a table: SST, altitude (one in five low), air,
// wind (one in three at most 40 m/s), rain (one in seven none).
std::vector<float> random_scene(Sequence& seq, int i) {
  const float sst = seq.uniform(-2.0f, 45.0f);
  const float h = i % 5 == 0 ? seq.uniform(1.0f, 1200.0f) : seq.uniform(1.0f, 16000.0f);
  const float air = seq.uniform(-70.0f, 45.0f);
  const float wind = i % 3 == 0 ? seq.uniform(0.0f, 40.0f) : seq.uniform(0.0f, 150.0f);
  const float rain = i % 7 == 0 ? 0.0f : seq.uniform(0.0f, 150.0f);
  return {sst, h, air, wind, rain};
}

void emit_scenes() {
  std::printf(
      "# Pinned scenes: sst_c altitude_m air_c wind_ms rain_mmh : Tb of the six channels (K).\n");
  for (float sst : {-2.0f, 45.0f}) {
    for (float h : {0.5f, 1000.0f, 11000.0f, 16000.0f}) {
      for (float air : {-70.0f, 45.0f}) {
        for (float wind : {0.0f, 7.0f, 37.0f, 150.0f}) {
          for (float rain : {0.0f, 150.0f}) {
            emit('S', {sst, h, air, wind, rain});
          }
        }
      }
    }
  }
  Sequence seq;
  for (int i = 0; i < 172; ++i) {
    emit('S', random_scene(seq, i));
  }
}

// Scenes at salinities from 0 to 40 psu: the fresh-water edge, the plume
// values and the range's ends at a few SSTs, then random scenes.
void emit_salinity_scenes() {
  std::printf(
      "# Pinned scenes at a salinity: sst_c altitude_m air_c wind_ms rain_mmh salinity_psu :\n"
      "# Tb of the six channels (K).\n");
  for (float salinity : {0.0f, 0.0999999f, 0.1f, 4.0f, 20.0f, 30.0f, 35.0f, 36.0f, 40.0f}) {
    for (float sst : {-2.0f, 28.0f, 45.0f}) {
      for (float rain : {0.0f, 20.0f}) {
        emit('W', {sst, 3000.0f, 15.0f, 10.0f, rain, salinity});
      }
    }
  }
  Sequence seq{20261209u};
  for (int i = 0; i < 246; ++i) {
    std::vector<float> scene = random_scene(seq, i);
    scene.push_back(i % 4 == 0 ? seq.uniform(0.0f, 1.0f) : seq.uniform(0.0f, 40.0f));
    emit('W', scene);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "scenes") {
    emit_scenes();
    return 0;
  }
  if (argc > 1 && std::string_view(argv[1]) == "salinity") {
    emit_salinity_scenes();
    return 0;
  }
  std::printf("# Pinned model results: inputs, then the exact output bits.\n");
  const float degree = nerido::emissivity::radians_per_degree;
  std::vector<float> frequencies(channels_ghz.begin(), channels_ghz.end());
  for (float f : {1.4f, 4.0f, 8.0f, 10.7f, 37.0f}) {
    frequencies.push_back(f);
  }
  for (float f : frequencies) {
    for (float t : {-2.0f, 0.0f, 12.5f, 28.0f, 45.0f}) {
      for (float angle : {0.0f, 30.0f, 53.0f}) {
        const float theta =
            static_cast<float>(static_cast<double>(angle) * static_cast<double>(degree));
        emit('K', {f, theta, t, 36.0f});
      }
    }
  }
  for (float s : {0.0f, 0.0999999f, 0.1f, 20.0f, 40.0f}) {
    for (float t : {-2.0f, 20.0f, 45.0f}) {
      emit('K', {4.74f, 0.0f, t, s});
      emit('K', {7.09f, 0.7f, t, s});
    }
  }
  for (int t = -2; t <= 45; ++t) {
    emit('L', {static_cast<float>(t), 0.0f, 0.0f, 1.0f});
  }
  for (float t : {0.5f, 28.0f}) {
    for (float a1 : {0.0f, 30.0f, 60.0f}) {
      for (float a2 : {0.0f, 30.0f}) {
        emit('L', {t, a1, a2, 1.0f});
        emit('L', {t, a1, a2, 20.0f});
      }
    }
  }
  Sequence seq;
  for (int i = 0; i < 240; ++i) {
    const float f = channels_ghz[static_cast<unsigned>(i) % channels_ghz.size()];
    const float sst = seq.uniform(-2.0f, 45.0f) + 273.146f;
    const float h = i % 10 == 0 ? seq.uniform(1.0f, 1200.0f) : seq.uniform(1.0f, 16000.0f);
    const float ta = seq.uniform(-70.0f, 45.0f) + 273.146f;
    const float e0 = seq.uniform(0.35f, 0.375f);
    const float wind = i % 4 == 0 ? seq.uniform(0.0f, 12.0f) : seq.uniform(0.0f, 150.0f);
    const float rain = i % 7 == 0 ? 0.0f : seq.uniform(0.0f, 150.0f);
    emit('B', {f, sst, h, ta, e0, wind, rain});
  }
  return 0;
}
