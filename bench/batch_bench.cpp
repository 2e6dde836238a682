// Where a row of `nerido-batch forward` spends its time, stage by stage on
// one thread over the same 4096 rows: parsing (fields and numbers),
// computing, formatting, and the whole row as the program's workers run it;
// and the scene API alone, in memory, on random scenes (the peer of the
// numpy anchor). Rows are random scenes with the anchor's ranges, or
// flight-like ones (the SST constant over runs of 100 rows).
//   build/bench/batch_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "batch/cmd/commands.hpp"
#include "batch/io/csv.hpp"
#include "nerido/nerido.hpp"

namespace {

using namespace nerido;
using namespace nerido::batch;

constexpr std::size_t row_count = 4096;
// Rows of one SST in a flight-like file.
constexpr std::size_t flight_run_rows = 100;

// Scenes with the numpy anchor's ranges, two decimals each as the benchmark
// files have them.
std::vector<Scene> scenes(bool flight) {
  std::mt19937 random(1);
  const auto uniform = [&](float low, float high) {
    const float value = std::uniform_real_distribution<float>(low, high)(random);
    return static_cast<float>(static_cast<long>(value * 100.0f)) / 100.0f;
  };
  std::vector<Scene> out;
  float sst = 0.0f;
  for (std::size_t i = 0; i < row_count; ++i) {
    const float fresh = uniform(-2.0f, 45.0f);
    sst = !flight || i % flight_run_rows == 0 ? fresh : sst;
    out.push_back({sst, uniform(100.0f, 16000.0f), uniform(-70.0f, 45.0f), uniform(0.0f, 80.0f),
                   uniform(0.0f, 100.0f)});
  }
  return out;
}

std::string csv(const std::vector<Scene>& rows) {
  std::string text = "time,sst_c,altitude_m,air_c,wind_ms,rain_mmh\n";
  std::array<char, 160> line{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Scene& s = rows[i];
    std::snprintf(line.data(), line.size(), "%zu,%.2f,%.2f,%.2f,%.2f,%.2f\n", i,
                  static_cast<double>(s.sst_c), static_cast<double>(s.altitude_m),
                  static_cast<double>(s.air_c), static_cast<double>(s.wind_ms),
                  static_cast<double>(s.rain_mmh));
    text += line.data();
  }
  return text;
}

// The text the row loop gives the converter for the salinity of an input
// without that column.
const std::string absent_salinity =
    forward_conversion(NumberFormat{}).optional_inputs.front().absent;

// The rows as the program's reader hands them to a worker: in blocks, each
// record with the text of its five scene values and the absent salinity's.
struct Rows {
  std::vector<RecordBlock> blocks;
  std::vector<std::array<std::string_view, scene_field_count + 1>> values;
  std::vector<std::string_view> records;
  std::vector<Scene> parsed;

  explicit Rows(bool flight) : text_(csv(scenes(flight))) {
    std::string_view left = text_;
    CsvSource source("bench", [&](char* buffer, std::size_t size) {
      const std::size_t n = std::min(size, left.size());
      left.copy(buffer, n);
      left.remove_prefix(n);
      return n;
    });
    for (RecordBlock block; source.read(block); block = RecordBlock{}) {
      blocks.push_back(std::move(block));
    }
    for (const RecordBlock& block : blocks) {
      for (const RecordSpan& r : block.records) {
        records.push_back(block.record_text(r));
        auto& v = values.emplace_back();
        for (std::size_t i = 0; i < scene_field_count; ++i) {
          v[i] = block.raw_field(block.fields[r.first_field + 1 + i]);  // after the time
        }
        v.back() = absent_salinity;
        std::array<float, scene_field_count> n{};
        for (std::size_t i = 0; i < n.size(); ++i) {
          read_number(v[i], n[i]);
        }
        parsed.push_back({n[0], n[1], n[2], n[3], n[4]});
      }
    }
  }

 private:
  std::string text_;
};

const Rows& rows(bool flight) {
  static const Rows random_rows(false);
  static const Rows flight_rows(true);
  return flight ? flight_rows : random_rows;
}

void finish(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(row_count));
}

// The scene API alone: nerido::brightness_temperatures(scene) in a loop.
void scene_api_in_memory(benchmark::State& state) {
  const std::vector<Scene> input = scenes(false);
  for (auto _ : state) {
    for (const Scene& scene : input) {
      benchmark::DoNotOptimize(brightness_temperatures(scene));
    }
  }
  finish(state);
}
BENCHMARK(scene_api_in_memory);

// Parsing: the five values of each record read as numbers.
void row_parse(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  for (auto _ : state) {
    for (const auto& values : r.values) {
      std::array<float, scene_field_count> n{};
      for (std::size_t i = 0; i < n.size(); ++i) {
        benchmark::DoNotOptimize(read_number(values[i], n[i]));
      }
      benchmark::DoNotOptimize(n);
    }
  }
  finish(state);
}
BENCHMARK(row_parse)->ArgName("flight")->Arg(0)->Arg(1);

// Computing: the six Tb, emissivities kept while the SST stays the same.
void row_compute(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  for (auto _ : state) {
    EmissivityCache cache;
    for (const Scene& scene : r.parsed) {
      benchmark::DoNotOptimize(compute_tb(cache, scene));
    }
  }
  finish(state);
}
BENCHMARK(row_compute)->ArgName("flight")->Arg(0)->Arg(1);

// Formatting: the record copied to the output and the six Tb appended as
// the shortest exact text.
void row_format(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  std::vector<std::array<float, channel_count>> tb;
  for (const Scene& scene : r.parsed) {
    tb.push_back(brightness_temperatures(scene));
  }
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (std::size_t i = 0; i < r.records.size(); ++i) {
      out += r.records[i];
      append_tb_cells(out, tb[i], NumberFormat{});
      out += '\n';
    }
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
}
BENCHMARK(row_format)->ArgName("flight")->Arg(0)->Arg(1);

// The whole row as a worker of the program runs it: the conversion of its
// values into cells, then the row written.
void row_whole(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  std::string cells, side, reason, out;
  for (auto _ : state) {
    const RowConverter convert = forward_conversion(NumberFormat{}).make_converter();
    out.clear();
    for (std::size_t i = 0; i < r.records.size(); ++i) {
      cells.clear();
      convert(r.values[i], cells, side, reason);
      out += r.records[i];
      out += cells;
      out += '\n';
    }
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
}
BENCHMARK(row_whole)->ArgName("flight")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
