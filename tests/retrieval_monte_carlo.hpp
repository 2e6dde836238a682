// Fixed-seed Monte Carlo of the retrieval over a grid of truths, shared by
// the accuracy test and the program that prints its table
// (nerido_retrieval_table). Each truth is retrieved from its noise-free
// brightness temperatures and from `draws` copies with independent Gaussian
// noise of 0.5 K per channel; errors are measured against the Cramer-Rao
// bound at the truth, from central differences of the exact model (so the
// bound owes nothing to the library's own Jacobian).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "nerido/nerido.hpp"

namespace nerido::testing {

inline constexpr std::array<float, 11> truth_winds_ms{0, 2, 5, 10, 15, 20, 30, 40, 50, 60, 70};
inline constexpr std::array<float, 9> truth_rains_mmh{0, 0.5f, 2, 5, 10, 20, 40, 70, 100};
inline constexpr std::array<float, 2> truth_ssts_c{15, 28};
inline constexpr std::array<float, 3> truth_altitudes_m{500, 3000, 12000};
inline constexpr double noise_k = 0.5;
inline constexpr double domain_high = 150.0;
inline constexpr std::uint64_t monte_carlo_seed = 20240508;

// Air 1 C below the sea and 6.5 K colder for each kilometre of altitude.
inline float air_for(float sst_c, float altitude_m) {
  return static_cast<float>(static_cast<double>(sst_c) - 1.0 -
                            0.0065 * static_cast<double>(altitude_m));
}

// Channels present, as a mask over the six.
using Present = std::array<bool, channel_count>;
inline constexpr Present all_channels{true, true, true, true, true, true};

struct Bound {
  double wind_ms;
  double rain_mmh;
};

// The Cramer-Rao bound at a truth for the channels present: (J^T J)^-1 /
// sigma^2 with J from central differences of the exact model over 1 % of
// each value (at least 0.05), one-sided where the step would leave the domain.
inline Bound cramer_rao(const Scene& truth, const Present& present) {
  const auto tb_at = [&](double wind, double rain) {
    Scene s = truth;
    s.wind_ms = static_cast<float>(wind);
    s.rain_mmh = static_cast<float>(rain);
    return brightness_temperatures(s);
  };
  const auto slopes = [&](double value, bool is_wind) {
    const double h = std::max(0.01 * value, 0.05);
    const double low = value - h < 0.0 ? value : value - h;
    const double high = value + h;
    const double w = static_cast<double>(truth.wind_ms);
    const double r = static_cast<double>(truth.rain_mmh);
    const auto a = is_wind ? tb_at(low, r) : tb_at(w, low);
    const auto b = is_wind ? tb_at(high, r) : tb_at(w, high);
    std::array<double, channel_count> d{};
    for (std::size_t i = 0; i < channel_count; ++i) {
      d[i] = (static_cast<double>(b[i]) - static_cast<double>(a[i])) / (high - low);
    }
    return d;
  };
  const auto dw = slopes(static_cast<double>(truth.wind_ms), true);
  const auto dr = slopes(static_cast<double>(truth.rain_mmh), false);
  double ww = 0.0;
  double wr = 0.0;
  double rr = 0.0;
  for (std::size_t i = 0; i < channel_count; ++i) {
    if (present[i]) {
      ww += dw[i] * dw[i];
      wr += dw[i] * dr[i];
      rr += dr[i] * dr[i];
    }
  }
  const double det = ww * rr - wr * wr;
  return {noise_k * std::sqrt(rr / det), noise_k * std::sqrt(ww / det)};
}

// One truth of the grid and what its retrievals gave.
struct Cell {
  Scene truth;
  Bound bound;
  bool inside;  // wind and rain both at least 3 bounds inside the domain
  Retrieval noise_free;
  int draws = 0;
  double sum_sq_wind = 0.0;
  double sum_sq_rain = 0.0;
  double sum_wind_in_bounds = 0.0;  // sum of error / bound
  double sum_rain_in_bounds = 0.0;
  int covered_wind = 0;  // |error| within the reported sigma
  int covered_rain = 0;
  double sum_rain = 0.0;
  float min_wind = std::numeric_limits<float>::infinity();
  float min_rain = std::numeric_limits<float>::infinity();
  int unconverged = 0;  // draws with status not_converged, or with a NaN
  [[nodiscard]] double rms_wind_ratio() const {
    return std::sqrt(sum_sq_wind / draws) / bound.wind_ms;
  }
  [[nodiscard]] double rms_rain_ratio() const {
    return std::sqrt(sum_sq_rain / draws) / bound.rain_mmh;
  }
};

// `draws` noisy retrievals of one truth, with the channels present. A
// model error of common_error_k adds one Gaussian offset of that sigma to
// every channel of a draw; with one, "inside" is judged by the sigmas the
// noise-free retrieval reports under `options`.
inline Cell run_cell(const Scene& truth, const Present& present, int draws, std::mt19937_64& random,
                     const RetrievalOptions& options = {}, double common_error_k = 0.0) {
  std::normal_distribution<double> noise(0.0, noise_k);
  std::normal_distribution<double> common(0.0, common_error_k > 0.0 ? common_error_k : 1.0);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Cell c{};
  c.truth = truth;
  c.bound = cramer_rao(truth, present);
  const auto w = static_cast<double>(truth.wind_ms);
  const auto r = static_cast<double>(truth.rain_mmh);
  c.inside = w >= 3.0 * c.bound.wind_ms && w <= domain_high - 3.0 * c.bound.wind_ms &&
             r >= 3.0 * c.bound.rain_mmh && r <= domain_high - 3.0 * c.bound.rain_mmh;
  const std::array<float, channel_count> tb = brightness_temperatures(truth);
  Observation o{tb, truth.sst_c, truth.altitude_m, truth.air_c};
  for (std::size_t i = 0; i < channel_count; ++i) {
    o.tb_k[i] = present[i] ? tb[i] : nan;
  }
  c.noise_free = retrieve(o, options);
  if (common_error_k > 0.0) {
    const auto sw = static_cast<double>(c.noise_free.wind_sigma_ms);
    const auto sr = static_cast<double>(c.noise_free.rain_sigma_mmh);
    c.inside = w >= 3.0 * sw && w <= domain_high - 3.0 * sw && r >= 3.0 * sr &&
               r <= domain_high - 3.0 * sr;
  }
  for (int d = 0; d < draws; ++d) {
    Observation noisy = o;
    const double offset = common_error_k > 0.0 ? common(random) : 0.0;
    for (float& t : noisy.tb_k) {
      t = static_cast<float>(static_cast<double>(t) + offset + noise(random));  // NaN stays NaN
    }
    const Retrieval got = retrieve(noisy, options);
    const double ew = static_cast<double>(got.wind_ms) - w;
    const double er = static_cast<double>(got.rain_mmh) - r;
    if (got.status == RetrievalStatus::not_converged || std::isnan(ew) || std::isnan(er)) {
      ++c.unconverged;
    }
    ++c.draws;
    c.sum_sq_wind += ew * ew;
    c.sum_sq_rain += er * er;
    c.sum_wind_in_bounds += ew / c.bound.wind_ms;
    c.sum_rain_in_bounds += er / c.bound.rain_mmh;
    c.covered_wind += std::abs(ew) <= static_cast<double>(got.wind_sigma_ms) ? 1 : 0;
    c.covered_rain += std::abs(er) <= static_cast<double>(got.rain_sigma_mmh) ? 1 : 0;
    c.sum_rain += static_cast<double>(got.rain_mmh);
    c.min_wind = std::min(c.min_wind, got.wind_ms);
    c.min_rain = std::min(c.min_rain, got.rain_mmh);
  }
  return c;
}

// The whole grid, all channels present, from one seed.
inline std::vector<Cell> run_grid(int draws, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<Cell> cells;
  for (const float sst : truth_ssts_c) {
    for (const float altitude : truth_altitudes_m) {
      for (const float wind : truth_winds_ms) {
        for (const float rain : truth_rains_mmh) {
          const Scene truth{sst, altitude, air_for(sst, altitude), wind, rain};
          cells.push_back(run_cell(truth, all_channels, draws, random));
        }
      }
    }
  }
  return cells;
}

// The figures the accuracy criteria speak of.
struct Summary {
  int inside_cells = 0;
  double mean_wind_ratio = 0.0;  // RMS error / bound, averaged over the inside cells
  double mean_rain_ratio = 0.0;
  double worst_wind_ratio = 0.0;
  double worst_rain_ratio = 0.0;
  double wind_bias = 0.0;  // pooled over the inside cells' draws, in bounds
  double rain_bias = 0.0;
  double wind_coverage = 0.0;  // share of those draws with the truth inside +-1 sigma
  double rain_coverage = 0.0;
  double dry_mean_rain = 0.0;  // over every draw of the truths without rain
  double worst_dry_cell_rain = 0.0;
  float dry_min_rain = std::numeric_limits<float>::infinity();
};

inline Summary summarize(const std::vector<Cell>& cells) {
  Summary s{};
  long draws = 0;
  long dry_draws = 0;
  for (const Cell& c : cells) {
    if (c.truth.rain_mmh == 0.0f) {
      s.dry_mean_rain += c.sum_rain;
      dry_draws += c.draws;
      s.worst_dry_cell_rain = std::max(s.worst_dry_cell_rain, c.sum_rain / c.draws);
      s.dry_min_rain = std::min(s.dry_min_rain, c.min_rain);
    }
    if (!c.inside) {
      continue;
    }
    ++s.inside_cells;
    s.mean_wind_ratio += c.rms_wind_ratio();
    s.mean_rain_ratio += c.rms_rain_ratio();
    s.worst_wind_ratio = std::max(s.worst_wind_ratio, c.rms_wind_ratio());
    s.worst_rain_ratio = std::max(s.worst_rain_ratio, c.rms_rain_ratio());
    s.wind_bias += c.sum_wind_in_bounds;
    s.rain_bias += c.sum_rain_in_bounds;
    s.wind_coverage += c.covered_wind;
    s.rain_coverage += c.covered_rain;
    draws += c.draws;
  }
  s.mean_wind_ratio /= s.inside_cells;
  s.mean_rain_ratio /= s.inside_cells;
  s.wind_bias /= static_cast<double>(draws);
  s.rain_bias /= static_cast<double>(draws);
  s.wind_coverage /= static_cast<double>(draws);
  s.rain_coverage /= static_cast<double>(draws);
  s.dry_mean_rain /= static_cast<double>(dry_draws);
  return s;
}

inline std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0,
                          double d = 0.0) {
  std::array<char, 160> text{};
  std::snprintf(text.data(), text.size(), pattern, a, b, c, d);
  return text.data();
}

// Per scene, a wind x rain table of "RMS error / bound" for wind and rain
// (a cell not 3 bounds inside the domain in brackets), then the summary and
// the worst cells.
inline std::string table(const std::vector<Cell>& cells, const Summary& s) {
  std::string out;
  const std::size_t per_scene = truth_winds_ms.size() * truth_rains_mmh.size();
  for (std::size_t start = 0; start < cells.size(); start += per_scene) {
    const Scene& scene = cells[start].truth;
    out += format(
        "SST %.0f C, altitude %.0f m, air %.1f C: RMS error / bound, wind | rain"
        " (the bound in m/s | mm/h below; [ ] not 3 bounds inside)\n",
        static_cast<double>(scene.sst_c), static_cast<double>(scene.altitude_m),
        static_cast<double>(scene.air_c));
    out += "wind\\rain";
    for (const float rain : truth_rains_mmh) {
      out += format("%13g", static_cast<double>(rain));
    }
    out += "\n";
    for (std::size_t w = 0; w < truth_winds_ms.size(); ++w) {
      std::string ratios = format("%9g", static_cast<double>(truth_winds_ms[w]));
      std::string bounds = "         ";
      for (std::size_t r = 0; r < truth_rains_mmh.size(); ++r) {
        const Cell& c = cells[start + w * truth_rains_mmh.size() + r];
        const char* pattern = c.inside ? "  %5.2f|%5.2f" : " [%5.2f|%5.2f]";
        ratios += format(pattern, c.rms_wind_ratio(), c.rms_rain_ratio());
        bounds += format("  %5.2f|%5.2f", c.bound.wind_ms, c.bound.rain_mmh);
      }
      out += ratios + "\n" + bounds + "\n";
    }
  }
  out += format("%.0f cells 3 bounds inside: RMS/bound averaged wind %.3f rain %.3f",
                s.inside_cells, s.mean_wind_ratio, s.mean_rain_ratio);
  out += format(", worst wind %.3f rain %.3f\n", s.worst_wind_ratio, s.worst_rain_ratio);
  out += format(
      "pooled bias wind %+.3f rain %+.3f bounds; truth within +-1 sigma: wind %.3f"
      " rain %.3f\n",
      s.wind_bias, s.rain_bias, s.wind_coverage, s.rain_coverage);
  out += format("no rain: mean retrieved rain %.3f mm/h (worst truth %.3f), lowest %.3f\n",
                s.dry_mean_rain, s.worst_dry_cell_rain, static_cast<double>(s.dry_min_rain));
  std::vector<const Cell*> inside;
  for (const Cell& c : cells) {
    if (c.inside) {
      inside.push_back(&c);
    }
  }
  std::sort(inside.begin(), inside.end(), [](const Cell* a, const Cell* b) {
    return std::max(a->rms_wind_ratio(), a->rms_rain_ratio()) >
           std::max(b->rms_wind_ratio(), b->rms_rain_ratio());
  });
  out += "worst cells (SST, altitude, wind, rain: wind | rain ratio):\n";
  for (std::size_t i = 0; i < std::min<std::size_t>(5, inside.size()); ++i) {
    const Cell& c = *inside[i];
    out += format("  %g C %g m", static_cast<double>(c.truth.sst_c),
                  static_cast<double>(c.truth.altitude_m));
    out += format(" %g m/s %g mm/h:", static_cast<double>(c.truth.wind_ms),
                  static_cast<double>(c.truth.rain_mmh));
    out += format(" %.3f | %.3f\n", c.rms_wind_ratio(), c.rms_rain_ratio());
  }
  return out;
}

}  // namespace nerido::testing
