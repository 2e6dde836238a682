// nerido-batch's pieces in-process: the record reader, fields and numbers,
// sweep axes and grids, and the pipeline's order, bit-identity and failures.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "batch/csv.hpp"
#include "batch/errors.hpp"
#include "batch/forward.hpp"
#include "batch/numbers.hpp"
#include "batch/pipeline.hpp"
#include "batch/sweep.hpp"
#include "batch_memory_run.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {
namespace {

using namespace std::string_literals;
using nerido::testing::run_forward_in_memory;

// ---------------------------------------------------------------------------
// Records

struct Record {
  std::string text;
  std::uint64_t line;
  bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* os) { *os << r.line << ": [" << r.text << "]"; }

struct ReaderCase {
  std::string name;
  std::string input;
  std::vector<Record> records;
  std::uint64_t blank_lines;
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

// Every record, read with `piece` bytes per read.
std::pair<std::vector<Record>, std::uint64_t> read_all(std::string_view input, std::size_t piece) {
  MemorySource source(input, piece);
  RecordReader reader(source);
  std::vector<Record> records;
  RecordView record;
  while (reader.next(record) == ReadStatus::record) {
    records.push_back({std::string(record.text), record.line});
  }
  return {records, reader.blank_lines()};
}

class RecordReaderTest : public ::testing::TestWithParam<ReaderCase> {};

// Records straddle the reads in every possible way: the answer never depends
// on how the bytes arrive.
TEST_P(RecordReaderTest, SameRecordsWhateverTheReadSize) {
  const ReaderCase& c = GetParam();
  for (const std::size_t piece : std::array<std::size_t, 6>{1, 2, 3, 5, 8, 65536}) {
    SCOPED_TRACE("bytes per read: " + std::to_string(piece));
    const auto [records, blank_lines] = read_all(c.input, piece);
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(blank_lines, c.blank_lines);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordReaderTest,
    ::testing::Values(
        ReaderCase{"LfAndCrLf", "a,b\r\nc,d\ne\n", {{"a,b", 1}, {"c,d", 2}, {"e", 3}}, 0},
        ReaderCase{"ByteOrderMarkDropped",
                   "\xEF\xBB\xBF"
                   "a\nb\n",
                   {{"a", 1}, {"b", 2}},
                   0},
        ReaderCase{"ByteOrderMarkOnlyAtTheStart",
                   "a\n\xEF\xBB\xBF"
                   "b\n",
                   {{"a", 1},
                    {"\xEF\xBB\xBF"
                     "b",
                     2}},
                   0},
        ReaderCase{"LastLineWithoutLineEnd", "a\nb", {{"a", 1}, {"b", 2}}, 0},
        ReaderCase{"LastLineCarriageReturnOnly", "a\r", {{"a", 1}}, 0},
        ReaderCase{"QuotedLineEndsShiftTheLines",
                   "x,\"1\n2\r\n3\"\ny\n",
                   {{"x,\"1\n2\r\n3\"", 1}, {"y", 4}},
                   0},
        ReaderCase{"DoubledQuotesStayInsideTheField",
                   "\"a\"\"\nb\"\nc\n",
                   {{"\"a\"\"\nb\"", 1}, {"c", 3}},
                   0},
        ReaderCase{"CarriageReturnInsideQuotesKept", "\"a\r\"\nb\n", {{"\"a\r\"", 1}, {"b", 2}}, 0},
        ReaderCase{"BlankLinesSkippedAndCounted", "\n\r\na\n\n\nb\n\n", {{"a", 3}, {"b", 6}}, 5},
        ReaderCase{"EmptyInput", "", {}, 0},
        ReaderCase{"ByteOrderMarkAlone", "\xEF\xBB\xBF", {}, 0},
        ReaderCase{"UnclosedQuoteRunsToTheEnd", "a\n\"b\nc", {{"a", 1}, {"\"b\nc", 2}}, 0}),
    [](const auto& test) { return test.param.name; });

TEST(RecordReader, RecordLimitCountsTextWithoutItsLineEnd) {
  struct Case {
    std::string input;
    std::vector<Record> before;
    std::uint64_t too_long_line;  // 0: no record too long
  };
  const std::vector<Case> cases{
      {"12345678\n", {{"12345678", 1}}, 0},
      {"12345678\r\n9\n", {{"12345678", 1}, {"9", 2}}, 0},
      {"ab\n123456789\nc\n", {{"ab", 1}}, 2},
      {"ab\n123456789", {{"ab", 1}}, 2},
      // A quote never closed cannot make the reader hold the rest of the input.
      {"ab\n\"" + std::string(100000, 'x') + "\n", {{"ab", 1}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    MemorySource source(c.input, 3);
    RecordReader reader(source, 8);
    std::vector<Record> records;
    RecordView record;
    ReadStatus status = ReadStatus::record;
    while ((status = reader.next(record)) == ReadStatus::record) {
      records.push_back({std::string(record.text), record.line});
    }
    EXPECT_EQ(records, c.before);
    if (c.too_long_line == 0) {
      EXPECT_EQ(status, ReadStatus::end);
    } else {
      EXPECT_EQ(status, ReadStatus::too_long);
      EXPECT_EQ(record.line, c.too_long_line);
      EXPECT_EQ(reader.next(record), ReadStatus::too_long) << "the reader does not go on";
    }
  }
}

// ---------------------------------------------------------------------------
// Fields

TEST(Fields, SplitAndUnquote) {
  struct Case {
    std::string record;
    std::vector<std::string> values;  // unquoted values of the fields
    std::size_t error_field;          // 0: none
    std::string reason;
  };
  const std::vector<Case> cases{
      {"a,b,,c", {"a", "b", "", "c"}, 0, ""},
      {"", {""}, 0, ""},
      {",", {"", ""}, 0, ""},
      {"\"a,b\",c", {"a,b", "c"}, 0, ""},
      {"\"say \"\"hi\"\"\",\"\"", {"say \"hi\"", ""}, 0, ""},
      {"x,\"two\nlines\"", {"x", "two\nlines"}, 0, ""},
      {"a,b\"c", {"a"}, 2, "a quote inside an unquoted field"},
      {"a,\"b\"c,d", {"a"}, 2, "text after a closing quote"},
      {"a, \"b\"", {"a"}, 2, "a quote inside an unquoted field"},
      {"a,\"b,c", {"a"}, 2, "a quote is never closed"},
      {"\"a\"\"", {}, 1, "a quote is never closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    std::vector<RawField> fields;
    const auto error = split_fields(c.record, fields);
    std::vector<std::string> values;
    std::string scratch;
    for (const RawField field : fields) {
      values.emplace_back(field_value(field, scratch));
    }
    EXPECT_EQ(values, c.values);
    EXPECT_EQ(error.has_value(), c.error_field != 0);
    if (error) {
      EXPECT_EQ(error->field, c.error_field);
      EXPECT_EQ(error->reason, c.reason);
    }
  }
}

TEST(Fields, WrittenFieldsReadBackAsTheSameValues) {
  const std::vector<std::string> values{"plain",      "",     "a,b", "say \"hi\"",
                                        "two\nlines", "cr\r", "\"",  ",,,"};
  std::string record;
  for (const std::string& value : values) {
    append_field(record, value);
    record += ',';
  }
  record.pop_back();
  std::vector<RawField> fields;
  ASSERT_FALSE(split_fields(record, fields)) << record;
  ASSERT_EQ(fields.size(), values.size());
  std::string scratch;
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(field_value(fields[i], scratch), values[i]);
  }
}

// ---------------------------------------------------------------------------
// Numbers

TEST(Numbers, ReadAsTheNearestFloat) {
  struct Case {
    std::string text;
    NumberRead read;
    float value;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Case> cases{
      {"28", NumberRead::ok, 28.0f},
      {" -1.5\t", NumberRead::ok, -1.5f},
      {"+3e2", NumberRead::ok, 300.0f},
      {"0.1", NumberRead::ok, 0.1f},
      {"16777217", NumberRead::ok, 16777216.0f},  // halfway: to even
      {".5", NumberRead::ok, 0.5f},
      {"5.", NumberRead::ok, 5.0f},
      {"1e99", NumberRead::ok, inf},
      {"-1e99", NumberRead::ok, -inf},
      {"1e-60", NumberRead::ok, 0.0f},
      {"-1e-60", NumberRead::ok, -0.0f},
      {"1e-999", NumberRead::ok, 0.0f},
      {"1e999", NumberRead::ok, inf},
      {"", NumberRead::empty, 0.0f},
      {" \t ", NumberRead::empty, 0.0f},
      {"1e", NumberRead::not_a_number, 0.0f},
      {"abc", NumberRead::not_a_number, 0.0f},
      {"1,5", NumberRead::not_a_number, 0.0f},
      {"1 5", NumberRead::not_a_number, 0.0f},
      {"0x10", NumberRead::not_a_number, 0.0f},
      {"+", NumberRead::not_a_number, 0.0f},
      {"+-1", NumberRead::not_a_number, 0.0f},
      {"++1", NumberRead::not_a_number, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "'");
    float value = 12345.0f;
    EXPECT_EQ(read_number(c.text, value), c.read);
    const float expected = c.read == NumberRead::ok ? c.value : 12345.0f;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(expected));
  }
  float nan = 0.0f;
  EXPECT_EQ(read_number("nan", nan), NumberRead::ok);
  EXPECT_TRUE(std::isnan(nan));
}

// ---------------------------------------------------------------------------
// Sweeps

TEST(SweepAxis, ValuesListsAndRanges) {
  struct Case {
    std::string text;
    SceneField field;
    std::vector<float> values;
  };
  const std::vector<Case> cases{
      {"28", SceneField::sst_c, {28.0f}},
      {"0,5,10,20", SceneField::wind_ms, {0.0f, 5.0f, 10.0f, 20.0f}},
      {"0:1:0.25", SceneField::rain_mmh, {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}},
      {"0:1:0.3", SceneField::rain_mmh, {0.0f, 0.3f, 0.6f, 0.9f}},  // stop not reached
      // 0.3 / 0.1 is 2.9999999999999996 in double: the stop counts as reached.
      {"0:0.3:0.1", SceneField::rain_mmh, {0.0f, 0.1f, 0.2f, 0.3f}},
      {"10:0:-5", SceneField::air_c, {10.0f, 5.0f, 0.0f}},
      {"-2:-2:1", SceneField::sst_c, {-2.0f}},
      {"16000", SceneField::altitude_m, {16000.0f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Axis axis = Axis::parse("--x", c.text, c.field);
    std::vector<float> values;
    for (std::uint64_t i = 0; i < axis.size(); ++i) {
      values.push_back(axis.value(i));
    }
    EXPECT_EQ(values, c.values);
  }
}

TEST(SweepAxis, RefusalsNameTheOption) {
  struct Case {
    std::string text;
    SceneField field;
    std::string message;
  };
  const std::vector<Case> cases{
      {"151", SceneField::wind_ms, "--x: wind_ms = 151 is outside 0 to 150 m/s"},
      {"0:160:10", SceneField::wind_ms, "--x: wind_ms = 160 is outside 0 to 150 m/s"},
      {"0,200", SceneField::rain_mmh, "--x: rain_mmh = 200 is outside 0 to 150 mm/h"},
      {"0", SceneField::altitude_m, "--x: altitude_m = 0 is outside 0 (exclusive) to 16000 m"},
      {"0:10", SceneField::wind_ms, "--x: malformed range '0:10' (start:stop:step)"},
      {"0:10:1:2", SceneField::wind_ms, "--x: malformed range '0:10:1:2' (start:stop:step)"},
      {"0:x:1", SceneField::wind_ms, "--x: malformed range '0:x:1' (start:stop:step)"},
      {"0:10:0", SceneField::wind_ms, "--x: range '0:10:0' has a step of 0"},
      {"10:0:1", SceneField::wind_ms,
       "--x: range '10:0:1' is empty: its step leads away from its stop"},
      {"0:100:1e-8", SceneField::wind_ms,
       "--x: range '0:100:1e-8' has more than 1000000000 values"},
      {"1,,2", SceneField::wind_ms, "--x: empty value in '1,,2'"},
      {"", SceneField::wind_ms, "--x: empty value in ''"},
      {"fast", SceneField::wind_ms, "--x: 'fast' is not a number"},
      {"nan", SceneField::wind_ms, "--x: wind_ms = nan is outside 0 to 150 m/s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      (void)Axis::parse("--x", c.text, c.field);
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& error) {
      EXPECT_EQ(error.what(), c.message);
    }
  }
}

// ---------------------------------------------------------------------------
// Rows through the pipeline

// CSV of `n` scenes; the SST repeats over runs of random length, so the
// emissivities are reused and recomputed in every pattern, -0 and 0 included.
std::string scenes_csv(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sst(-2.0f, 45.0f), alt(1.0f, 16000.0f), air(-70.0f, 45.0f),
      wind(0.0f, 150.0f), rain(0.0f, 150.0f);
  std::uniform_int_distribution<int> run_length(1, 4);
  std::string csv = "id,sst_c,altitude_m,air_c,wind_ms,rain_mmh,note\n";
  float sea = 0.0f;
  int left = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (left-- <= 0) {
      sea = i % 7 == 0 ? (i % 2 == 0 ? 0.0f : -0.0f) : sst(random);
      left = run_length(random);
    }
    std::string row = std::to_string(i);
    for (const float v : {sea, alt(random), air(random), wind(random), rain(random)}) {
      row += ',';
      append_number(row, v, NumberFormat{});
    }
    csv += row + (i % 5 == 0 ? ",\"a, \"\"b\"\"\nc\"\n" : ",x\n");
  }
  return csv;
}

TEST(RowPipeline, TbAreBitIdenticalToTheSceneApi) {
  const std::string csv = scenes_csv(5000, 11);
  const auto run = run_forward_in_memory(csv, OnError::stop, 2);
  ASSERT_EQ(run.result.rows, 5000u);
  MemorySource in(csv), out(run.output);
  RecordReader inputs(in), outputs(out);
  RecordView input, output;
  ASSERT_EQ(inputs.next(input), ReadStatus::record);
  ASSERT_EQ(outputs.next(output), ReadStatus::record);
  std::vector<RawField> in_fields, out_fields;
  std::size_t compared = 0;
  while (inputs.next(input) == ReadStatus::record) {
    ASSERT_EQ(outputs.next(output), ReadStatus::record);
    ASSERT_FALSE(split_fields(input.text, in_fields));
    ASSERT_FALSE(split_fields(output.text, out_fields));
    ASSERT_EQ(out_fields.size(), in_fields.size() + channel_count);
    std::array<float, 5> v{};
    for (std::size_t i = 0; i < v.size(); ++i) {
      std::from_chars(in_fields[i + 1].data(), in_fields[i + 1].data() + in_fields[i + 1].size(),
                      v[i]);
    }
    const auto expected = brightness_temperatures(Scene{v[0], v[1], v[2], v[3], v[4]});
    for (std::size_t c = 0; c < channel_count; ++c) {
      const RawField cell = out_fields[in_fields.size() + c];
      float tb = 0.0f;
      std::from_chars(cell.data(), cell.data() + cell.size(), tb);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(tb), std::bit_cast<std::uint32_t>(expected[c]))
          << "line " << input.line << ", channel " << c;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 5000u * channel_count);
}

// A source of numbered empty chunks, and workers and a sink that fail on
// request: failures anywhere end the run, reach the caller, and never hang.
// With `stop`, the source asks for a stop while it fills chunk `stop_at`, as
// an interrupted read does when it ends the input early.
class CountingSource : public ChunkSource {
 public:
  explicit CountingSource(std::atomic<bool>* stop = nullptr, int stop_at = -1)
      : stop_(stop), stop_at_(stop_at) {}
  bool fill(Chunk& chunk) override {
    chunk.point_count = 1;
    if (stop_ != nullptr && filled.load() == stop_at_) {
      stop_->store(true);
    }
    return ++filled < 1000;
  }
  std::atomic<int> filled{0};

 private:
  std::atomic<bool>* stop_;
  int stop_at_;
};

class FailingWorker : public ChunkWorker {
 public:
  explicit FailingWorker(std::uint64_t fail_at) : fail_at_(fail_at) {}
  void process(Chunk& chunk) override {
    if (chunk.sequence == fail_at_) {
      throw std::runtime_error("worker failed");
    }
    chunk.output = std::to_string(chunk.sequence) + "\n";
    chunk.rows = 1;
  }

 private:
  std::uint64_t fail_at_;
};

class RecordingSink : public ChunkSink {
 public:
  explicit RecordingSink(std::uint64_t fail_at, std::atomic<bool>* stop = nullptr)
      : fail_at_(fail_at), stop_(stop) {}
  void write(const Chunk& chunk) override {
    if (chunk.sequence == fail_at_) {
      throw DataError("sink failed");
    }
    text += chunk.output;
    if (stop_ != nullptr && chunk.sequence == 2) {
      stop_->store(true);
    }
  }
  std::string text;

 private:
  std::uint64_t fail_at_;
  std::atomic<bool>* stop_;
};

std::string numbers_below(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) {
    text += std::to_string(i) + "\n";
  }
  return text;
}

// A sequence number no chunk reaches.
constexpr std::uint64_t never = ~std::uint64_t{0};

TEST(RowPipeline, FailuresEndTheRunAndReachTheCaller) {
  for (const unsigned threads : {1u, 2u, 5u}) {
    SCOPED_TRACE("threads: " + std::to_string(threads));
    {
      CountingSource source;
      RecordingSink sink(never);
      EXPECT_THROW(run_pipeline(source, [] { return std::make_unique<FailingWorker>(40); }, sink,
                                {threads, nullptr}),
                   std::runtime_error);
      EXPECT_LT(source.filled.load(), 100) << "the source stopped soon after";
      EXPECT_TRUE(numbers_below(40).starts_with(sink.text)) << "in order, nothing after it";
    }
    {
      CountingSource source;
      RecordingSink sink(30);
      EXPECT_THROW(run_pipeline(source, [] { return std::make_unique<FailingWorker>(never); }, sink,
                                {threads, nullptr}),
                   DataError);
      EXPECT_EQ(sink.text, numbers_below(30));
    }
    {
      CountingSource source;
      std::atomic<bool> stop{false};
      RecordingSink sink(never, &stop);
      const PipelineResult result = run_pipeline(
          source, [] { return std::make_unique<FailingWorker>(never); }, sink, {threads, &stop});
      EXPECT_TRUE(result.stop_requested);
      EXPECT_EQ(sink.text, numbers_below(3)) << "ends after the chunk being written";
      EXPECT_EQ(result.rows, 3u);
    }
    {
      // Regression: what a stopped read delivered (perhaps a record cut
      // short) was computed and written as a row.
      std::atomic<bool> stop{false};
      CountingSource source(&stop, 5);
      RecordingSink sink(never);
      const PipelineResult result = run_pipeline(
          source, [] { return std::make_unique<FailingWorker>(never); }, sink, {threads, &stop});
      EXPECT_TRUE(result.stop_requested);
      EXPECT_TRUE(numbers_below(5).starts_with(sink.text)) << sink.text;
    }
  }
}

}  // namespace
}  // namespace nerido::batch
