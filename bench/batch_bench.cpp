// Where a row of `nerido-batch forward` spends its time, stage by stage on
// one thread over the same 4096 rows: parsing (fields and numbers),
// computing, formatting, and the whole row as the program's workers run it;
// and the scene API alone, in memory, on random scenes (the peer of the
// numpy anchor). Rows are random scenes with the anchor's ranges, or
// flight-like ones (the SST constant over runs of 100 rows).
//   build/bench/batch_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/forward.hpp"
#include "batch/pipeline.hpp"
#include "batch/rows.hpp"
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

// The rows as the program's reader hands them to a worker: one chunk.
struct Rows {
  ForwardTransform transform{NumberFormat{}};
  CsvLayout layout;
  Chunk chunk;
  std::vector<Scene> parsed;

  explicit Rows(bool flight) {
    const std::string text = csv(scenes(flight));
    MemorySource source(text);
    RecordReader reader(source);
    RecordView header;
    reader.next(header);
    layout = read_layout(header, transform, OnError::stop, "bench");
    RecordView record;
    while (reader.next(record) == ReadStatus::record) {
      chunk.records.push_back({chunk.text.size(), record.text.size(), record.line});
      chunk.text += record.text;
    }
    std::vector<RawField> fields;
    std::array<std::string, scene_field_count> scratch;
    std::array<std::string_view, scene_field_count> values;
    for (const RecordSpan& span : chunk.records) {
      split_fields(std::string_view(chunk.text).substr(span.offset, span.size), fields);
      for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = field_value(fields[layout.input_fields[i]], scratch[i]);
      }
      Scene scene{};
      if (!read_scene(values, scene)) {
        parsed.push_back(scene);
      }
    }
  }
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

// Parsing: the record split into fields, the five values read and checked.
void row_parse(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  std::vector<RawField> fields;
  std::array<std::string, scene_field_count> scratch;
  std::array<std::string_view, scene_field_count> values;
  for (auto _ : state) {
    for (const RecordSpan& span : r.chunk.records) {
      split_fields(std::string_view(r.chunk.text).substr(span.offset, span.size), fields);
      for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = field_value(fields[r.layout.input_fields[i]], scratch[i]);
      }
      Scene scene{};
      benchmark::DoNotOptimize(read_scene(values, scene));
      benchmark::DoNotOptimize(scene);
    }
  }
  finish(state);
}
BENCHMARK(row_parse)->ArgName("flight")->Arg(0)->Arg(1);

// Computing: the six Tb, emissivities kept while the SST stays the same.
void row_compute(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  for (auto _ : state) {
    SceneCalculator calculator;
    for (const Scene& scene : r.parsed) {
      benchmark::DoNotOptimize(calculator.compute(scene));
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
    for (std::size_t i = 0; i < r.chunk.records.size(); ++i) {
      const RecordSpan& span = r.chunk.records[i];
      out.append(r.chunk.text, span.offset, span.size);
      append_tb_cells(out, tb[i], NumberFormat{});
      out += '\n';
    }
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
}
BENCHMARK(row_format)->ArgName("flight")->Arg(0)->Arg(1);

// The whole row as a worker of the program runs it.
void row_whole(benchmark::State& state) {
  const Rows& r = rows(state.range(0) != 0);
  Chunk chunk = r.chunk;
  for (auto _ : state) {
    CsvChunkWorker worker(r.transform, r.layout, OnError::stop, "bench");
    chunk.output.clear();
    chunk.rows = 0;
    worker.process(chunk);
    benchmark::DoNotOptimize(chunk.output.data());
  }
  finish(state);
}
BENCHMARK(row_whole)->ArgName("flight")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
