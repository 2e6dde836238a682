// nerido-batch's pieces in-process: the record reader, fields and numbers,
// sweep axes, and the pipeline's order, bit-identity and failures.
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

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/io/csv.hpp"
#include "batch/io/text.hpp"
#include "batch/pipeline.hpp"
#include "batch_memory_run.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {
namespace {

using namespace std::string_literals;
using nerido::testing::memory_reader;
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

// Every record (the header first), read with `piece` bytes per read; and
// why the input stopped, if it did.
struct ReadAll {
  std::vector<Record> records;
  std::uint64_t blank_lines = 0;
  std::optional<std::string> stop;
  std::vector<std::vector<std::string>> values;  // each record's field values
  std::vector<std::pair<std::uint32_t, std::string>> problems;
};

ReadAll read_all(std::string_view input, std::size_t piece,
                 std::size_t max_record = max_record_bytes) {
  ReadAll all;
  try {
    CsvSource source("t", memory_reader(input, piece), {}, nullptr, max_record);
    const std::string where = source.where(0);
    all.records.push_back({source.header_text(), std::stoull(where.substr(2))});
    all.values.emplace_back(source.schema().begin(), source.schema().end());
    all.problems.emplace_back(0, "");
    RecordBlock block;
    while (source.read(block)) {
      std::string scratch;
      for (const RecordSpan& r : block.records) {
        all.records.push_back({std::string(block.record_text(r)), r.line});
        all.values.emplace_back();
        for (std::uint32_t f = 0; f < r.field_count; ++f) {
          all.values.back().emplace_back(block.value(block.fields[r.first_field + f], scratch));
        }
        all.problems.emplace_back(r.problem_field, r.problem);
      }
      all.stop = block.input_stop;
      block.clear();
    }
    all.blank_lines = source.skipped();
  } catch (const DataError& error) {
    all.stop = error.what();
  }
  return all;
}

class RecordReaderTest : public ::testing::TestWithParam<ReaderCase> {};

// Records straddle the reads in every possible way: the answer never depends
// on how the bytes arrive.
TEST_P(RecordReaderTest, SameRecordsWhateverTheReadSize) {
  const ReaderCase& c = GetParam();
  for (const std::size_t piece : std::array<std::size_t, 6>{1, 2, 3, 5, 8, 65536}) {
    SCOPED_TRACE("bytes per read: " + std::to_string(piece));
    const ReadAll all = read_all(c.input, piece);
    EXPECT_EQ(all.records, c.records);
    EXPECT_EQ(all.blank_lines, c.blank_lines);
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
        ReaderCase{"UnclosedQuoteRunsToTheEnd", "a\n\"b\nc", {{"a", 1}, {"\"b\nc", 2}}, 0},
        // A stray quote inside a field is text: the record ends at its line end.
        ReaderCase{
            "QuoteInsideAFieldOpensNothing", "a\nb\"c\nd\n", {{"a", 1}, {"b\"c", 2}, {"d", 3}}, 0}),
    [](const auto& test) { return test.param.name; });

TEST(RecordReader, RecordLimitCountsTextWithoutItsLineEnd) {
  struct Case {
    std::string input;
    std::vector<Record> before;
    std::uint64_t too_long_line;  // 0: no record too long
  };
  const std::vector<Case> cases{
      {"h\n12345678\n", {{"12345678", 2}}, 0},
      {"h\n12345678\r\n9\n", {{"12345678", 2}, {"9", 3}}, 0},
      {"h\nab\n123456789\nc\n", {{"ab", 2}}, 3},
      {"h\nab\n123456789", {{"ab", 2}}, 3},
      // A quote never closed cannot make the reader hold the rest of the input.
      {"h\nab\n\"" + std::string(100000, 'x') + "\n", {{"ab", 2}}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    ReadAll all = read_all(c.input, 3, 8);
    all.records.erase(all.records.begin());  // the header
    EXPECT_EQ(all.records, c.before);
    EXPECT_EQ(all.stop.has_value(), c.too_long_line != 0);
    if (c.too_long_line != 0) {
      EXPECT_TRUE(all.stop->starts_with("t:" + std::to_string(c.too_long_line) + ": "))
          << *all.stop;
    }
  }
}

// ---------------------------------------------------------------------------
// Fields

TEST(Fields, SplitAndUnquote) {
  struct Case {
    std::string record;
    std::vector<std::string> values;  // unquoted values of the fields before any fault
    std::uint32_t error_field;        // 0: none
    std::string reason;
  };
  const std::vector<Case> cases{
      {"a,b,,c", {"a", "b", "", "c"}, 0, ""},
      {",", {"", ""}, 0, ""},
      {"\"a,b\",c", {"a,b", "c"}, 0, ""},
      {"\"say \"\"hi\"\"\",\"\"", {"say \"hi\"", ""}, 0, ""},
      {"x,\"two\nlines\"", {"x", "two\nlines"}, 0, ""},
      {"a,b\"c", {"a"}, 2, "a quote inside an unquoted field"},
      {"a,\"b\"c,d", {"a"}, 2, "text after a closing quote"},
      {"a, \"b\"", {"a"}, 2, "a quote inside an unquoted field"},
      {"a,\"b,c", {"a"}, 2, "a quote is never closed"},
      {"\"a\"\"", {}, 1, "a quote is never closed"},
      // Regression: a bare CR was copied raw, and readers downstream split the row there.
      {"a,b\rc,d", {"a"}, 2, "a carriage return outside quotes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const ReadAll all = read_all("h\n" + c.record, 65536);
    ASSERT_EQ(all.records.size(), 2u);
    std::vector<std::string> values = all.values[1];
    if (c.error_field != 0) {
      values.resize(std::min<std::size_t>(values.size(), c.error_field - 1));
    }
    EXPECT_EQ(values, c.values);
    EXPECT_EQ(all.problems[1], std::make_pair(c.error_field, c.reason));
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
  const ReadAll all = read_all("h\n" + record, 7);
  ASSERT_EQ(all.values.size(), 2u);
  EXPECT_EQ(all.values[1], values);
}

// ---------------------------------------------------------------------------
// Numbers

TEST(Times, Iso8601BothWays) {
  struct Case {
    const char* text;
    bool read;
    double epoch_seconds;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", true, 0.0},
      {"2026-09-01T12:00:00Z", true, 1788264000.0},
      {"2026-09-01 12:00:00", true, 1788264000.0},
      {" 2026-09-01T12:00:00.250+00:00 ", true, 1788264000.25},
      {"2024-02-29T23:59:59Z", true, 1709251199.0},
      {"2026-09-01T12:00:00+02:00", false, 0.0},  // only UTC is read
      {"2026-13-01T12:00:00Z", false, 0.0},
      {"2026-09-01T24:00:00Z", false, 0.0},
      {"2026-09-01", false, 0.0},
      {"12:00:00", false, 0.0},
      {"", false, 0.0},
  };
  for (const auto& c : cases) {
    double seconds = -1.0;
    EXPECT_EQ(read_iso_time(c.text, seconds), c.read) << c.text;
    if (c.read) {
      EXPECT_EQ(seconds, c.epoch_seconds) << c.text;
    }
  }
  EXPECT_EQ(iso_time(1788264000.0), "2026-09-01T12:00:00Z");
  EXPECT_EQ(iso_time(1788264000.25), "2026-09-01T12:00:00.250Z");
  EXPECT_EQ(iso_time(-1.0), "1969-12-31T23:59:59Z");
}

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
      // Regression: below the double range without an exponent read as inf.
      {"0." + std::string(400, '0') + "1", NumberRead::ok, 0.0f},
      {"-0." + std::string(400, '0') + "1", NumberRead::ok, -0.0f},
      {"1" + std::string(400, '0'), NumberRead::ok, inf},
      {"0." + std::string(400, '0') + "1e500", NumberRead::ok, inf},
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
    EXPECT_EQ(axis_values(c.field, c.text), c.values);
  }
}

TEST(SweepAxis, RefusalsNameTheOption) {
  struct Case {
    std::string text;
    SceneField field;
    std::string message;
  };
  const std::vector<Case> cases{
      {"151", SceneField::wind_ms, "--wind: wind_ms = 151 is outside 0 to 150 m/s"},
      {"0:160:10", SceneField::wind_ms, "--wind: wind_ms = 160 is outside 0 to 150 m/s"},
      {"0,200", SceneField::rain_mmh, "--rain: rain_mmh = 200 is outside 0 to 150 mm/h"},
      {"0", SceneField::altitude_m,
       "--altitude: altitude_m = 0 is outside 0 (exclusive) to 16000 m"},
      {"0:10", SceneField::wind_ms, "--wind: malformed range '0:10' (start:stop:step)"},
      {"0:10:1:2", SceneField::wind_ms, "--wind: malformed range '0:10:1:2' (start:stop:step)"},
      {"0:x:1", SceneField::wind_ms, "--wind: malformed range '0:x:1' (start:stop:step)"},
      {"0:10:0", SceneField::wind_ms, "--wind: range '0:10:0' has a step of 0"},
      {"10:0:1", SceneField::wind_ms,
       "--wind: range '10:0:1' is empty: its step leads away from its stop"},
      {"0:100:1e-8", SceneField::wind_ms,
       "--wind: range '0:100:1e-8' has more than 1000000000 values"},
      {"1,,2", SceneField::wind_ms, "--wind: empty value in '1,,2'"},
      {"", SceneField::wind_ms, "--wind: empty value in ''"},
      {"fast", SceneField::wind_ms, "--wind: 'fast' is not a number"},
      {"nan", SceneField::wind_ms, "--wind: wind_ms = nan is outside 0 to 150 m/s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      (void)axis_values(c.field, c.text);
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
  const ReadAll in = read_all(csv, 65536);
  const ReadAll out = read_all(run.output, 65536);
  ASSERT_EQ(in.values.size(), 5001u);
  ASSERT_EQ(out.values.size(), 5001u);
  std::size_t compared = 0;
  for (std::size_t row = 1; row < in.values.size(); ++row) {
    const std::vector<std::string>& input = in.values[row];
    ASSERT_EQ(out.values[row].size(), input.size() + channel_count);
    std::array<float, 5> v{};
    for (std::size_t i = 0; i < v.size(); ++i) {
      std::from_chars(input[i + 1].data(), input[i + 1].data() + input[i + 1].size(), v[i]);
    }
    const auto expected = brightness_temperatures(Scene{v[0], v[1], v[2], v[3], v[4]});
    for (std::size_t c = 0; c < channel_count; ++c) {
      const std::string& cell = out.values[row][input.size() + c];
      float tb = 0.0f;
      std::from_chars(cell.data(), cell.data() + cell.size(), tb);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(tb), std::bit_cast<std::uint32_t>(expected[c]))
          << "line " << in.records[row].line << ", channel " << c;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 5000u * channel_count);
}

// Numbered jobs through the pipeline, with a worker, a writer or the input
// failing or ending on request: failures anywhere end the run, reach the
// caller, and never hang; what is filled before the input ends is written.
struct NumberJob {
  std::uint64_t number = 0;
  std::string text;
  void clear() { text.clear(); }
};

// A number no job reaches.
constexpr std::uint64_t never = ~std::uint64_t{0};

struct Faults {
  std::uint64_t worker_fails_at = never;
  std::uint64_t writer_fails_at = never;
  std::uint64_t writer_ends_after = never;
  std::uint64_t input_ends_at = 1000;
};

std::string numbers_below(std::uint64_t n) {
  std::string text;
  for (std::uint64_t i = 0; i < n; ++i) {
    text += std::to_string(i) + "\n";
  }
  return text;
}

TEST(Pipeline, FailuresAndEndsReachTheCallerInOrder) {
  struct Case {
    Faults faults;
    std::string thrown;     // empty: nothing
    std::uint64_t written;  // the output is numbers_below(written), or starts so
    bool exact;
  };
  const std::vector<Case> cases{
      {{40, never, never, 1000}, "worker failed", 40, false},
      {{never, 30, never, 1000}, "writer failed", 30, true},
      {{never, never, 2, 1000}, "", 3, true},
      {{never, never, never, 5}, "", 5, true},
      {{never, never, never, 1000}, "", 1000, true},
  };
  for (const unsigned threads : {1u, 2u, 5u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE("threads " + std::to_string(threads) + ", written " + std::to_string(c.written));
      std::uint64_t next = 0;
      std::string text;
      PipelineStages<NumberJob> stages;
      stages.fill = [&](NumberJob& job) {
        job.number = next++;
        return job.number < c.faults.input_ends_at;
      };
      stages.process = [&](NumberJob& job, unsigned /*worker*/) {
        if (job.number == c.faults.worker_fails_at) {
          throw std::runtime_error("worker failed");
        }
        job.text = std::to_string(job.number) + "\n";
      };
      stages.write = [&](NumberJob& job) {
        if (job.number == c.faults.writer_fails_at) {
          throw std::runtime_error("writer failed");
        }
        text += job.text;
        return job.number != c.faults.writer_ends_after;
      };
      stages.bytes = [](const NumberJob& job) { return job.text.size(); };
      std::string thrown;
      try {
        run_pipeline(stages, threads);
      } catch (const std::runtime_error& error) {
        thrown = error.what();
      }
      EXPECT_EQ(thrown, c.thrown);
      if (c.exact) {
        EXPECT_EQ(text, numbers_below(c.written));
      } else {
        EXPECT_TRUE(numbers_below(c.written).starts_with(text)) << "in order, nothing after it";
        EXPECT_LT(next, 100u) << "the input stopped soon after";
      }
    }
  }
}

}  // namespace
}  // namespace nerido::batch
