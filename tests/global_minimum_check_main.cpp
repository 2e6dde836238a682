// Checks that the retrieval finds the global minimum: retrieves `count`
// random noise-free scenes drawn uniformly across the whole domain
// (tests/global_minimum.hpp) and counts the fits that end, reported as found
// (ok or at_bound), with a residual more than 0.01 K RMS above the one at
// the truth. Run it after a change of the first guess or the fit (about a
// minute a million scenes on one core; the third argument spreads it over
// threads):
//   build/tests/nerido_global_minimum_check [count [seed [threads]]]
// It prints the statuses, the wrong minima by truth wind with the first few
// in full, and the time taken; it fails if there is a wrong minimum.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "global_minimum.hpp"

namespace {

using nerido::RetrievalStatus;
using nerido::testing::Verdict;

inline constexpr std::size_t examples_printed = 20;
// Wrong minima are counted by truth wind in bands this wide (m/s).
inline constexpr double band_ms = 10.0;
inline constexpr std::size_t band_count = 15;

struct Example {
  std::uint64_t index;
  nerido::Scene truth;
  Verdict verdict;
};

struct Tally {
  std::array<std::uint64_t, nerido::retrieval_status_count> statuses{};
  std::array<std::uint64_t, band_count> wrong_by_band{};
  std::uint64_t wrong = 0;
  std::uint64_t iterations = 0;
  int most_iterations = 0;
  double worst_truth_rms_k = 0.0;
  double worst_found_rms_k = 0.0;  // of the fits reported as found
  std::vector<Example> examples;   // the first wrong minima, and every not converged or poor fit
};

void check_share(std::uint64_t seed, std::uint64_t count, std::uint64_t share, std::uint64_t stride,
                 Tally& tally) {
  for (std::uint64_t i = share; i < count; i += stride) {
    const nerido::Scene truth = nerido::testing::random_scene(seed, i);
    const Verdict v = nerido::testing::judge(truth);
    const RetrievalStatus status = v.retrieval.status;
    ++tally.statuses[static_cast<std::size_t>(status)];
    tally.iterations += static_cast<std::uint64_t>(v.retrieval.iterations);
    tally.most_iterations = std::max(tally.most_iterations, v.retrieval.iterations);
    tally.worst_truth_rms_k = std::max(tally.worst_truth_rms_k, v.truth_rms_k);
    const bool found = status == RetrievalStatus::ok || status == RetrievalStatus::at_bound;
    if (found) {
      tally.worst_found_rms_k =
          std::max(tally.worst_found_rms_k, static_cast<double>(v.retrieval.residual_rms_k));
    }
    const bool wrong = v.wrong_minimum();
    if (wrong) {
      ++tally.wrong;
      const auto band = static_cast<std::size_t>(static_cast<double>(truth.wind_ms) / band_ms);
      ++tally.wrong_by_band[std::min(band, band_count - 1)];
    }
    if ((wrong && tally.wrong <= examples_printed) || status == RetrievalStatus::not_converged ||
        status == RetrievalStatus::poor_fit) {
      tally.examples.push_back({i, truth, v});
    }
  }
}

std::uint64_t argument(int argc, char** argv, int i, std::uint64_t otherwise) {
  return argc > i ? std::strtoull(argv[i], nullptr, 10) : otherwise;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t count = argument(argc, argv, 1, 1000000);
  const std::uint64_t seed = argument(argc, argv, 2, 1);
  const std::uint64_t threads = std::clamp<std::uint64_t>(argument(argc, argv, 3, 1), 1, 64);
  std::vector<Tally> tallies(threads);
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (std::uint64_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] { check_share(seed, count, t, threads, tallies[t]); });
  }
  for (std::thread& w : workers) {
    w.join();
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;

  Tally total;
  for (const Tally& t : tallies) {
    for (std::size_t s = 0; s < total.statuses.size(); ++s) {
      total.statuses[s] += t.statuses[s];
    }
    for (std::size_t b = 0; b < band_count; ++b) {
      total.wrong_by_band[b] += t.wrong_by_band[b];
    }
    total.wrong += t.wrong;
    total.iterations += t.iterations;
    total.most_iterations = std::max(total.most_iterations, t.most_iterations);
    total.worst_truth_rms_k = std::max(total.worst_truth_rms_k, t.worst_truth_rms_k);
    total.worst_found_rms_k = std::max(total.worst_found_rms_k, t.worst_found_rms_k);
    total.examples.insert(total.examples.end(), t.examples.begin(), t.examples.end());
  }
  std::sort(total.examples.begin(), total.examples.end(),
            [](const Example& a, const Example& b) { return a.index < b.index; });

  std::printf("%llu noise-free scenes, seed %llu, %llu threads\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(threads));
  for (std::size_t s = 0; s < total.statuses.size(); ++s) {
    std::printf("  %-14s %llu\n",
                std::string(nerido::status_name(static_cast<RetrievalStatus>(s))).c_str(),
                static_cast<unsigned long long>(total.statuses[s]));
  }
  std::printf("iterations: mean %.3f, most %d\n",
              static_cast<double>(total.iterations) /
                  static_cast<double>(std::max<std::uint64_t>(count, 1)),
              total.most_iterations);
  std::printf("residual RMS: at the truth at most %.3g K, of the fits found at most %.3g K\n",
              total.worst_truth_rms_k, total.worst_found_rms_k);
  std::printf("wrong minima (ok or at_bound, residual > truth's + %.2f K): %llu\n",
              nerido::testing::wrong_minimum_margin_k,
              static_cast<unsigned long long>(total.wrong));
  for (std::size_t b = 0; b < band_count; ++b) {
    if (total.wrong_by_band[b] > 0) {
      std::printf("  truth wind %3.0f to %3.0f m/s: %llu\n", static_cast<double>(b) * band_ms,
                  b + 1 == band_count ? 150.0 : static_cast<double>(b + 1) * band_ms,
                  static_cast<unsigned long long>(total.wrong_by_band[b]));
    }
  }
  std::size_t shown = 0;
  for (const Example& e : total.examples) {
    if (shown++ == 2 * examples_printed) {
      break;
    }
    const nerido::Retrieval& r = e.verdict.retrieval;
    std::printf(
        "  #%llu sst %.9g alt %.9g air %.9g wind %.9g rain %.9g -> wind %.9g rain %.9g "
        "rms %.4f K (truth %.2g K) %d it, %s\n",
        static_cast<unsigned long long>(e.index), static_cast<double>(e.truth.sst_c),
        static_cast<double>(e.truth.altitude_m), static_cast<double>(e.truth.air_c),
        static_cast<double>(e.truth.wind_ms), static_cast<double>(e.truth.rain_mmh),
        static_cast<double>(r.wind_ms), static_cast<double>(r.rain_mmh),
        static_cast<double>(r.residual_rms_k), e.verdict.truth_rms_k, r.iterations,
        std::string(nerido::status_name(r.status)).c_str());
  }
  std::printf("%.1f s wall, %.0f retrievals/s (%.0f a thread)\n", wall.count(),
              static_cast<double>(count) / wall.count(),
              static_cast<double>(count) / wall.count() / static_cast<double>(threads));
  return total.wrong == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
