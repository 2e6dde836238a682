// Checks the vector paths against the scalar path, bit for bit, on random
// scenes across the fields' whole ranges (uniform in each field, salinity
// included; one scene in 16 with no wind, one in 16 with no rain, one in 8
// at a special salinity such as 0, just below 0.1 or 36),
// and prints each path's differences, its rate and the share of scenes
// that fell back to the scalar path, per rounding. Built, never run by the
// tests (10^8 scenes take minutes):
//   build/tests/nerido_vector_check [scenes [seed [threads]]]
// Fails if a supported path differs from the scalar path in one bit.
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nerido/vector.hpp"

namespace {

using nerido::channel_count;
using nerido::Scene;
using nerido::simd::Path;
using Row = std::array<float, channel_count>;

constexpr std::size_t chunk = 4096;

// A scene drawn uniformly in every field's range.
Scene draw(std::mt19937_64& rng) {
  std::array<float, nerido::scene_field_count> values{};
  for (std::size_t k = 0; k < values.size(); ++k) {
    const nerido::FieldRange& r = nerido::field_range(static_cast<nerido::SceneField>(k));
    std::uniform_real_distribution<float> uniform(r.low, r.high);
    do {
      values[k] = std::min(uniform(rng), r.high);
    } while (!nerido::in_range(static_cast<nerido::SceneField>(k), values[k]));
  }
  Scene scene = nerido::scene_from_values(values);
  const std::uint64_t zeros = rng();
  if ((zeros & 15U) == 0) {
    scene.wind_ms = 0.0f;
  }
  if (((zeros >> 4U) & 15U) == 0) {
    scene.rain_mmh = 0.0f;
  }
  // The salinity uniform over its range, or in one scene in 8 a value where
  // the formulas change (below 0.1 the fresh-water permittivity, 0 no
  // conductivity), the default or the top.
  const nerido::FieldRange& salinity = nerido::field_range(nerido::SceneField::salinity_psu);
  constexpr std::array<float, 8> special{0.0f, 0x1p-20f, 0.05f, 0x1.999998p-4f,
                                         0.1f, 0.5f,     36.0f, 40.0f};
  const std::uint64_t pick = zeros >> 8U;
  scene.salinity_psu =
      (pick & 7U) == 0 ? special.at((pick >> 3U) % special.size())
                       : std::uniform_real_distribution<float>(salinity.low, salinity.high)(rng);
  return scene;
}

struct PathResult {
  std::uint64_t differences = 0;
  double seconds = 0;
  nerido::simd::Tally tally;
};

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t scenes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000'000;
  const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 19;
  const unsigned threads =
      argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 2U;
  std::vector<Path> paths;
  for (const Path p : {Path::avx2, Path::avx512}) {
    if (nerido::simd::path_supported(p)) {
      paths.push_back(p);
    } else {
      std::printf("%s: not supported here, not checked\n",
                  std::string(nerido::simd::path_name(p)).c_str());
    }
  }
  std::vector<PathResult> results(paths.size());
  std::mutex lock;
  const std::uint64_t chunks = (scenes + chunk - 1) / chunk;
  const auto work = [&](unsigned id) {
    std::vector<PathResult> mine(paths.size());
    std::vector<Scene> batch(chunk);
    std::vector<Row> expected(chunk);
    std::vector<Row> got(chunk);
    for (std::uint64_t c = id; c < chunks; c += threads) {
      std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ULL + c);
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, scenes - c * chunk));
      for (std::size_t i = 0; i < n; ++i) {
        batch[i] = draw(rng);
        expected[i] = nerido::brightness_temperatures(batch[i]);
      }
      for (std::size_t p = 0; p < paths.size(); ++p) {
        const auto start = std::chrono::steady_clock::now();
        nerido::simd::brightness_temperatures({batch.data(), n}, {got.data(), n}, paths[p],
                                              &mine[p].tally);
        mine[p].seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (std::size_t i = 0; i < n; ++i) {
          for (std::size_t k = 0; k < channel_count; ++k) {
            if (std::bit_cast<std::uint32_t>(got[i][k]) !=
                std::bit_cast<std::uint32_t>(expected[i][k])) {
              if (mine[p].differences++ < 5) {
                const Scene& s = batch[i];
                std::printf("%s differs: scene %a %a %a %a %a %a channel %zu: %a, scalar %a\n",
                            std::string(nerido::simd::path_name(paths[p])).c_str(),
                            static_cast<double>(s.sst_c), static_cast<double>(s.altitude_m),
                            static_cast<double>(s.air_c), static_cast<double>(s.wind_ms),
                            static_cast<double>(s.rain_mmh), static_cast<double>(s.salinity_psu), k,
                            static_cast<double>(got[i][k]), static_cast<double>(expected[i][k]));
              }
            }
          }
        }
      }
    }
    const std::lock_guard<std::mutex> guard(lock);
    for (std::size_t p = 0; p < paths.size(); ++p) {
      results[p].differences += mine[p].differences;
      results[p].seconds += mine[p].seconds;
      auto& t = results[p].tally;
      t.scenes += mine[p].tally.scenes;
      t.out_of_range += mine[p].tally.out_of_range;
      t.fell_back += mine[p].tally.fell_back;
      for (std::size_t r = 0; r < t.by_rounding.size(); ++r) {
        t.by_rounding[r] += mine[p].tally.by_rounding[r];
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned id = 0; id < threads; ++id) {
    pool.emplace_back(work, id);
  }
  for (std::thread& t : pool) {
    t.join();
  }
  bool failed = false;
  for (std::size_t p = 0; p < paths.size(); ++p) {
    const auto& r = results[p];
    const auto share = [&](std::uint64_t n) {
      return static_cast<double>(n) / static_cast<double>(r.tally.scenes);
    };
    std::printf(
        "%s: %llu scenes (seed %llu), %llu differences from the scalar path, "
        "%.3g scenes/s a thread; fell back: %llu (%.3g)\n",
        std::string(nerido::simd::path_name(paths[p])).c_str(),
        static_cast<unsigned long long>(r.tally.scenes), static_cast<unsigned long long>(seed),
        static_cast<unsigned long long>(r.differences),
        static_cast<double>(r.tally.scenes) / r.seconds,
        static_cast<unsigned long long>(r.tally.fell_back), share(r.tally.fell_back));
    for (std::size_t k = 0; k < nerido::simd::rounding_count; ++k) {
      std::printf(
          "  %-20s %10llu  %.3g\n",
          std::string(nerido::simd::rounding_name(static_cast<nerido::simd::Rounding>(k))).c_str(),
          static_cast<unsigned long long>(r.tally.by_rounding[k]), share(r.tally.by_rounding[k]));
    }
    failed = failed || r.differences != 0;
  }
  return failed ? EXIT_FAILURE : EXIT_SUCCESS;
}
