// nerido-batch end to end: the built program run on files and pipes, its
// output bytes, its one-line messages, its exit status, the files it leaves
// and the pictures it draws.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch_program_runner.hpp"

namespace {

using namespace std::string_literals;
using namespace nerido::testing;

// ---------------------------------------------------------------------------
// Forward: CSV edge cases, bad rows and marking, as transcripts

const std::string header = "sst_c,altitude_m,air_c,wind_ms,rain_mmh";
const std::string tb_header = ",tb_4.74,tb_5.31,tb_5.57,tb_6.02,tb_6.69,tb_7.09";
// The six Tb of two worked scenes, as the shortest exact text.
const std::string tb_10_5 = ",118.98472,120.67077,121.44604,122.81935,124.97857,126.35223";
const std::string tb_0_0 = ",113.333725,114.205574,114.56034,115.128845,115.89912,116.32913";
const std::string row_10_5 = "28,3000,15,10,5";
const std::string row_0_0 = "28,3000,15,0,0";

// `n` rows of one scene, each with its own id: `tag` and the row number.
std::string random_scenes_for_races(std::size_t n, const std::string& tag) {
  std::string csv = "id," + header + "\n";
  for (std::size_t i = 0; i < n; ++i) {
    csv += tag + std::to_string(i) + "," + row_10_5 + "\n";
  }
  return csv;
}

struct Transcript {
  std::string name;
  std::vector<std::string> args;
  std::string input;
  std::string out;
  std::string err;
  int status;
};

void PrintTo(const Transcript& t, std::ostream* os) { *os << t.name; }

class ForwardTranscript : public ::testing::TestWithParam<Transcript> {};

TEST_P(ForwardTranscript, OutputMessageAndStatus) {
  const Transcript& t = GetParam();
  const TempDir dir;
  const Outcome run = run_batch(dir, t.args, t.input);
  EXPECT_EQ(run.out, t.out);
  EXPECT_EQ(run.err, t.err);
  EXPECT_EQ(run.status, t.status);
}

const std::vector<std::string> forward{"forward"};
const std::vector<std::string> mark{"forward", "--on-error", "mark"};

INSTANTIATE_TEST_SUITE_P(
    CsvEdgeCases, ForwardTranscript,
    ::testing::Values(
        Transcript{"TwoRows", forward, header + "\n" + row_10_5 + "\n" + row_0_0 + "\n",
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n" + row_0_0 + tb_0_0 + "\n",
                   "", 0},
        Transcript{"ColumnsInAnyOrderOthersPassThroughInPlace", forward,
                   "time, wind_ms ,rain_mmh,note,sst_c,altitude_m,air_c\n7,10,5,x y,28,3000,15\n",
                   "time, wind_ms ,rain_mmh,note,sst_c,altitude_m,air_c" + tb_header +
                       "\n7,10,5,x y,28,3000,15" + tb_10_5 + "\n",
                   "", 0},
        Transcript{"HeaderMissingAColumn", forward,
                   "sst_c,altitude_m,air_c,wind_ms\n28,3000,15,10\n", "",
                   "nerido-batch: <stdin>:1: no column 'rain_mmh' in the header\n", 1},
        Transcript{"DuplicatedColumn", forward, header + ",wind_ms\n" + row_10_5 + ",10\n", "",
                   "nerido-batch: <stdin>:1: column 'wind_ms' appears twice in the header "
                   "(fields 4 and 6)\n",
                   1},
        Transcript{"AppendedColumnAlreadyThere", forward, header + ",tb_6.02\n", "",
                   "nerido-batch: <stdin> has a column 'tb_6.02' already; it would be appended "
                   "again\n",
                   1},
        Transcript{"CrLfLineEnds", forward, header + "\r\n" + row_10_5 + "\r\n",
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n", "", 0},
        Transcript{"ByteOrderMark", forward, "\xEF\xBB\xBF" + header + "\n" + row_10_5 + "\n",
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n", "", 0},
        Transcript{"QuotedFieldsPassThroughAndQuotedNumbersRead", forward,
                   "note," + header + "\n\"a, \"\"b\"\"\nc\",\"28\",3000,15,10,5\n",
                   "note," + header + tb_header + "\n\"a, \"\"b\"\"\nc\"," + "\"28\",3000,15,10,5" +
                       tb_10_5 + "\n",
                   "", 0},
        Transcript{"LastLineWithoutLineEnd", forward, header + "\n" + row_10_5,
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n", "", 0},
        Transcript{"EmptyFile", forward, "", "",
                   "nerido-batch: <stdin>: empty input, no header line\n", 1},
        Transcript{"HeaderOnly", forward, header + "\n", header + tb_header + "\n", "", 0},
        Transcript{"BlankLinesSkippedAndCounted", forward,
                   header + "\n\n" + row_10_5 + "\r\n\r\n\n",
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n",
                   "nerido-batch: <stdin>: 3 blank lines skipped\n", 0},
        Transcript{"QuietSaysNothingOfBlankLines",
                   {"forward", "-q"},
                   header + "\n\n",
                   header + tb_header + "\n",
                   "",
                   0}),
    [](const auto& test) { return test.param.name; });

INSTANTIATE_TEST_SUITE_P(
    BadRows, ForwardTranscript,
    ::testing::Values(
        Transcript{"OutOfRangeStopsAfterTheRowsBeforeIt", forward,
                   header + "\n" + row_10_5 + "\n28,3000,15,151,5\n" + row_0_0 + "\n",
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n",
                   "<stdin>:3: wind_ms = 151 is outside 0 to 150 m/s\n", 1},
        Transcript{"AltitudeZeroIsOutside", forward, header + "\n28,0,15,10,5\n",
                   header + tb_header + "\n",
                   "<stdin>:2: altitude_m = 0 is outside 0 (exclusive) to 16000 m\n", 1},
        Transcript{"NaN", forward, header + "\n28,3000,nan,10,5\n", header + tb_header + "\n",
                   "<stdin>:2: air_c = nan is outside -70 to 45 deg C\n", 1},
        Transcript{"NotANumber", forward, header + "\n28 C,3000,15,10,5\n",
                   header + tb_header + "\n", "<stdin>:2: sst_c = '28 C' is not a number\n", 1},
        Transcript{"EmptyField", forward, header + "\n28,3000,15,10,\n", header + tb_header + "\n",
                   "<stdin>:2: rain_mmh is empty\n", 1},
        Transcript{"TooFewFields", forward, header + "\n28,3000,15,10\n", header + tb_header + "\n",
                   "<stdin>:2: 4 fields, the header has 5\n", 1},
        Transcript{"TooManyFields", forward, header + "\n" + row_10_5 + ",1\n",
                   header + tb_header + "\n", "<stdin>:2: 6 fields, the header has 5\n", 1},
        Transcript{"MalformedQuoting", forward, header + "\n28,\"3000\"x,15,10,5\n",
                   header + tb_header + "\n", "<stdin>:2: field 2: text after a closing quote\n",
                   1},
        Transcript{"LineNumbersCountQuotedLineEnds", forward,
                   "note," + header + "\n\"1\n2\n3\"," + row_10_5 + "\nx,28,3000,15,10,-1\n",
                   "note," + header + tb_header + "\n\"1\n2\n3\"," + row_10_5 + tb_10_5 + "\n",
                   "<stdin>:5: rain_mmh = -1 is outside 0 to 150 mm/h\n", 1},
        Transcript{"MarkWritesEveryRowAndEndsWithStatus1", mark,
                   header + "\n" + row_10_5 + "\n28,3000,15,151,5\nbad\n" + row_0_0 + "\n",
                   header + tb_header + ",error\n" + row_10_5 + tb_10_5 + ",\n" +
                       "28,3000,15,151,5,,,,,,,wind_ms = 151 is outside 0 to 150 m/s\n" +
                       "bad,,,,,,,,,,,\"1 field, the header has 5; record: bad\"\n" + row_0_0 +
                       tb_0_0 + ",\n",
                   "nerido-batch: 2 bad rows marked in standard output (first: <stdin>:3: "
                   "wind_ms = 151 is outside 0 to 150 m/s)\n",
                   1},
        Transcript{"MarkWithAnErrorColumnAlready", mark, header + ",error\n", "",
                   "nerido-batch: <stdin> has a column 'error' already; it would be appended "
                   "again\n",
                   1},
        Transcript{
            "FixedDecimals",
            {"forward", "--decimals", "2"},
            header + "\n" + row_0_0 + "\n",
            header + tb_header + "\n" + row_0_0 + ",113.33,114.21,114.56,115.13,115.90,116.33\n",
            "",
            0}),
    [](const auto& test) { return test.param.name; });

const std::string tiny = "0." + std::string(400, '0') + "1";

INSTANTIATE_TEST_SUITE_P(
    Mended, ForwardTranscript,
    ::testing::Values(
        // Regression: a number below the double range written without an
        // exponent read as inf.
        Transcript{"TinyNumberWithoutExponentIsZero", forward,
                   header + "\n28,3000,15," + tiny + ",0\n",
                   header + tb_header + "\n28,3000,15," + tiny + ",0" + tb_0_0 + "\n", "", 0},
        // Regression: messages showed the converted value, and raw bytes.
        Transcript{"MessageQuotesTheTextAsItStands", forward, header + "\n1e39,3000,15,10,5\n",
                   header + tb_header + "\n", "<stdin>:2: sst_c = 1e39 is outside -2 to 45 deg C\n",
                   1},
        Transcript{"BytesThatAreNotUtf8Escaped", forward, header + "\n\xff\xfe,3000,15,10,5\n",
                   header + tb_header + "\n", "<stdin>:2: sst_c = '\\xFF\\xFE' is not a number\n",
                   1},
        // Regression: a bare CR was copied raw, and readers downstream split the row.
        Transcript{"BareCarriageReturnIsABadRow", forward, header + "\n28,3000,15,10\r,5\n",
                   header + tb_header + "\n",
                   "<stdin>:2: field 4: a carriage return outside quotes\n", 1},
        // Regression: marked rows kept their own width, and broken quoting was copied raw.
        Transcript{"MarkedRowsHaveTheHeadersFields", mark,
                   header + "\n28,\"3000\"x,15,10,5\n28,3000,15,10,5,1\n28\n",
                   header + tb_header + ",error\n" +
                       "28,\"\"\"3000\"\"x\",15,10,5,,,,,,,\"field 2: text after a closing quote; "
                       "record: 28,\"\"3000\"\"x,15,10,5\"\n" +
                       "28,3000,15,10,5,,,,,,,\"6 fields, the header has 5; record: "
                       "28,3000,15,10,5,1\"\n" +
                       "28,,,,,,,,,,,\"1 field, the header has 5; record: 28\"\n",
                   "nerido-batch: 3 bad rows marked in standard output (first: <stdin>:2: field 2: "
                   "text after a closing quote)\n",
                   1},
        Transcript{"HeaderOfOneFieldGetsAHint", forward,
                   "sst_c;altitude_m;air_c;wind_ms;rain_mmh\n", "",
                   "nerido-batch: <stdin>:1: no column 'sst_c' in the header (the header has 1 "
                   "field: separated by ';' or tabs, or not UTF-8?)\n",
                   1}),
    [](const auto& test) { return test.param.name; });

// The worked scene's Tb at salinities 0, 20 and 30 (pinned by the library's
// salinity table, tests/data/salinity_scenes.txt, through the same model).
const std::string tb_10_5_at_0 = ",121.38557,122.55619,123.14422,124.24618,126.094055,127.3208";
const std::string tb_10_5_at_20 = ",120.55395,121.91223,122.5679,123.76747,125.7268,127.00603";
const std::string tb_10_5_at_30 = ",119.62883,121.17829,121.90346,123.20378,125.278725,126.61249";
const std::string salinity_header = header + ",salinity_psu";
const std::vector<std::string> sweep_10_5{"sweep", "--sst",  "28", "--altitude", "3000", "--air",
                                          "15",    "--wind", "10", "--rain",     "5"};

// A row's salinity: its column, else --salinity, else 36; in sweep an axis
// whose column is written only when given.
INSTANTIATE_TEST_SUITE_P(
    Salinity, ForwardTranscript,
    ::testing::Values(
        Transcript{
            "ColumnPerRow", forward,
            salinity_header + "\n" + row_10_5 + ",20\n" + row_10_5 + ",0\n" + row_10_5 + ",36\n",
            salinity_header + tb_header + "\n" + row_10_5 + ",20" + tb_10_5_at_20 + "\n" +
                row_10_5 + ",0" + tb_10_5_at_0 + "\n" + row_10_5 + ",36" + tb_10_5 + "\n",
            "", 0},
        Transcript{"OptionForTheWholeFile",
                   {"forward", "--salinity", "30"},
                   header + "\n" + row_10_5 + "\n",
                   header + tb_header + "\n" + row_10_5 + tb_10_5_at_30 + "\n",
                   "",
                   0},
        Transcript{"ColumnAndOptionIsAUsageError",
                   {"forward", "--salinity", "30"},
                   salinity_header + "\n" + row_10_5 + ",30\n",
                   "",
                   "nerido-batch: --salinity and the column 'salinity_psu' of <stdin>: give one "
                   "or the other\n",
                   2},
        Transcript{"OptionOutOfRange",
                   {"forward", "--salinity", "40.5"},
                   header + "\n",
                   "",
                   "nerido-batch: --salinity: salinity_psu = 40.5 is outside 0 to 40 psu\n",
                   2},
        Transcript{"OutOfRangeRowIsABadRow", mark,
                   salinity_header + "\n" + row_10_5 + ",41\n" + row_10_5 + ",\n",
                   salinity_header + tb_header + ",error\n" + row_10_5 +
                       ",41,,,,,,,salinity_psu = 41 is outside 0 to 40 psu\n" + row_10_5 +
                       ",,,,,,,,salinity_psu is empty\n",
                   "nerido-batch: 2 bad rows marked in standard output (first: <stdin>:2: "
                   "salinity_psu = 41 is outside 0 to 40 psu)\n",
                   1},
        Transcript{"SweepWithoutItWritesNoColumn", sweep_10_5, "",
                   header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n", "", 0},
        Transcript{
            "SweepAxis",
            [] {
              auto args = sweep_10_5;
              args.insert(args.end(), {"--salinity", "0:30:10"});
              return args;
            }(),
            "",
            salinity_header + tb_header + "\n" + row_10_5 + ",0" + tb_10_5_at_0 + "\n" + row_10_5 +
                ",10" + ",121.19437,122.41839,123.02563,124.15533,126.034904,127.27663\n" +
                row_10_5 + ",20" + tb_10_5_at_20 + "\n" + row_10_5 + ",30" + tb_10_5_at_30 + "\n",
            "", 0}),
    [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// The command line: exit statuses and their messages

struct CommandCase {
  std::vector<std::string> args;
  int status;
  std::string err;  // the message, or its start when it ends with "..."
};

TEST(CommandLine, ExitStatusesAndOneLineMessages) {
  const std::vector<std::string> sweep{"sweep", "--sst", "28",     "--altitude", "3000",
                                       "--air", "15",    "--wind", "0,10",       "--rain"};
  const auto with = [&](std::vector<std::string> tail) {
    std::vector<std::string> args = sweep;
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
  };
  const std::vector<CommandCase> cases{
      {{}, 2, "nerido-batch: A subcommand is required (see nerido-batch --help)\n"},
      {{"backward"}, 2, "nerido-batch: unknown subcommand 'backward': forward, sweep..."},
      {{"forward", "--bogus"},
       2,
       "nerido-batch: The following argument was not expected: --bogus..."},
      {{"forward", "--threads", "0"},
       2,
       "nerido-batch: --threads: Value 0 not in range 1 to 256..."},
      {{"forward", "--on-error", "skip"},
       2,
       "nerido-batch: --on-error: skip not in {stop,mark}..."},
      {{"forward", "--decimals", "13"}, 2, "nerido-batch: --decimals: Value 13 not in range..."},
      {{"forward", "missing.csv"},
       1,
       "nerido-batch: cannot read missing.csv: No such file or directory\n"},
      {{"forward", "-o", "no/such/folder/out.csv"},
       1,
       "nerido-batch: cannot write no/such/folder/out.csv: No such file or directory\n"},
      {{"sweep", "--sst", "28"}, 2, "nerido-batch: --altitude is required..."},
      {{"forward", "-o", ""}, 2, "nerido-batch: -o needs a file name\n"},
      {with({"0:5"}), 2, "nerido-batch: --rain: malformed range '0:5' (start:stop:step)\n"},
      {with({"-1"}), 2, "nerido-batch: --rain: rain_mmh = -1 is outside 0 to 150 mm/h\n"},
      {with({"0", "--size", "10x10"}), 2, "nerido-batch: --size requires --plot..."},
      {with({"0", "--plot", "p.gif"}), 2,
       "nerido-batch: --plot: 'p.gif' does not end in .png or .svg\n"},
      {with({"0", "--plot", "p.png", "--size", "800"}), 2,
       "nerido-batch: --size: '800' is not WxH with each side 16 to 10000 pixels\n"},
      {with({"0", "--plot", "p.png", "--channel", "6"}), 2,
       "nerido-batch: --channel: '6' is not one of 4.74, 5.31, 5.57, 6.02, 6.69, 7.09 (GHz)\n"},
      {{"sweep", "--sst", "20,28", "--altitude", "3000", "--air", "10,15", "--wind", "0,10",
        "--rain", "0", "--plot", "p.png"},
       2,
       "nerido-batch: --plot: 3 options vary; a picture needs one or two\n"},
      // Regression: the picture's data for a huge grid exhausted the memory.
      {{"sweep", "--sst", "28", "--altitude", "3000", "--air", "15", "--wind", "0:150:0.001",
        "--rain", "0:150:0.1", "--plot", "p.png"},
       2,
       "nerido-batch: --plot: the grid has 225151501 points; a picture takes at most 1000000\n"},
      {{"--version"}, 0, ""},
      {{"forward", "--help"}, 0, ""},
  };
  const TempDir dir;
  for (const CommandCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) {
      shown += a + " ";
    }
    SCOPED_TRACE(shown);
    const Outcome run = run_batch(dir, c.args, header + "\n");
    EXPECT_EQ(run.status, c.status);
    if (c.err.ends_with("...")) {
      EXPECT_TRUE(run.err.starts_with(c.err.substr(0, c.err.size() - 3))) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    } else {
      EXPECT_EQ(run.err, c.err);
    }
    if (c.status == 2) {
      EXPECT_EQ(run.out, "") << "nothing computed on a usage error";
      EXPECT_FALSE(fs::exists(dir / "p.png"));
    }
  }
  EXPECT_EQ(run_batch(dir, {"--version"}).out, "nerido-batch " NERIDO_PROJECT_VERSION "\n");
  EXPECT_TRUE(run_batch(dir, {"forward", "--help"}).out.find("--on-error") != std::string::npos);
}

// ---------------------------------------------------------------------------
// The output file

TEST(OutputFile, WrittenWholeOrNotAtAll) {
  const TempDir dir;
  const std::string good = header + "\n" + row_10_5 + "\n" + row_0_0 + "\n";
  const std::string expected =
      header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n" + row_0_0 + tb_0_0 + "\n";
  write_file(dir / "out.csv", "previous run\n");

  // A stop at a bad row leaves FILE as it was, the rows before it in a
  // FILE.partial-XXXXXX of its own.
  Outcome run = run_batch(dir, {"forward", "-o", "out.csv"}, header + "\n" + row_10_5 + "\n1,2\n");
  EXPECT_EQ(run.status, 1);
  const std::vector<std::string> kept = names_starting(dir, "out.csv.partial-");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(run.err,
            "<stdin>:3: 2 fields, the header has 5; 1 row before it kept in " + kept[0] + "\n");
  EXPECT_EQ(read_file(dir / "out.csv"), "previous run\n");
  EXPECT_EQ(read_file(dir / kept[0]), header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n");
  fs::remove(dir / kept[0]);

  // A complete run replaces FILE, keeping its permissions, and leaves no
  // partial file.
  write_file(dir / "in.csv", good);
  fs::permissions(dir / "out.csv", fs::perms::owner_read | fs::perms::owner_write);
  run = run_batch(dir, {"forward", "in.csv", "-o", "out.csv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir / "out.csv"), expected);
  EXPECT_EQ(fs::status(dir / "out.csv").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(names_starting(dir, "."), std::vector<std::string>{}) << "nothing left beside it";

  // A link keeps naming the file, which is replaced whole.
  write_file(dir / "target.csv", "previous run\n");
  fs::create_symlink("target.csv", dir / "link.csv");
  run = run_batch(dir, {"forward", "in.csv", "-o", "link.csv"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
  EXPECT_EQ(read_file(dir / "target.csv"), expected);

  // What is not a regular file (a device, a named pipe) is written in place,
  // never replaced.
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::string through;
  std::thread reader([&] { through = read_file(dir / "pipe"); });
  run = run_batch(dir, {"forward", "in.csv", "-o", "pipe"});
  reader.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(through, expected);
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
  EXPECT_EQ(names_starting(dir, "."), std::vector<std::string>{});

  // Marked rows: FILE is complete, and the status says rows were marked.
  write_file(dir / "in.csv", header + "\n" + row_10_5 + "\nx,,,,\n");
  run = run_batch(dir, {"forward", "in.csv", "-o", "marked.csv", "--on-error", "mark"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "nerido-batch: 1 bad row marked in marked.csv (first: in.csv:3: sst_c = 'x' "
            "is not a number)\n");
  EXPECT_EQ(read_file(dir / "marked.csv"), header + tb_header + ",error\n" + row_10_5 + tb_10_5 +
                                               ",\nx,,,,,,,,,,,sst_c = 'x' is not a number\n");
  EXPECT_EQ(names_starting(dir, "."), std::vector<std::string>{});
}

// Outputs that must not harm other files: each case prepares the folder,
// runs, and checks the files it cares about.
TEST(OutputFile, NeverHarmsAnotherFile) {
  struct Case {
    std::string name;
    std::function<void(const TempDir&)> prepare;
    std::vector<std::string> args;
    int status;
    std::string err;
    std::function<void(const TempDir&)> check;
  };
  const std::string good = header + "\n" + row_10_5 + "\n";
  const std::string expected = header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n";
  const std::vector<Case> cases{
      {"ReadOnlyFileIsNotReplaced",
       [&](const TempDir& d) {
         write_file(d / "ro.csv", "mine\n");
         fs::permissions(d / "ro.csv", fs::perms::owner_read);
       },
       {"forward", "in.csv", "-o", "ro.csv"},
       1,
       "nerido-batch: cannot replace ro.csv: it is read-only\n",
       [](const TempDir& d) { EXPECT_EQ(read_file(d / "ro.csv"), "mine\n"); }},
      {"DanglingLinkIsNotWrittenThrough",
       [](const TempDir& d) { fs::create_symlink("nowhere/x.csv", d / "dangling.csv"); },
       {"forward", "in.csv", "-o", "dangling.csv"},
       1,
       "nerido-batch: not writing through dangling link dangling.csv\n",
       [](const TempDir& d) { EXPECT_TRUE(fs::is_symlink(d / "dangling.csv")); }},
      // Regression: the fixed temporary name was the input's, which was truncated.
      {"InputNamedAsTheOldTemporaryFile",
       [&](const TempDir& d) { write_file(d / "y.csv.partial", good); },
       {"forward", "y.csv.partial", "-o", "y.csv"},
       0,
       "",
       [&](const TempDir& d) {
         EXPECT_EQ(read_file(d / "y.csv.partial"), good);
         EXPECT_EQ(read_file(d / "y.csv"), expected);
       }},
      // Regression: a planted link at the fixed temporary name was followed.
      {"PlantedLinkIsNotFollowed",
       [](const TempDir& d) {
         fs::create_directory(d / "shared");
         write_file(d / "victim.txt", "victim\n");
         fs::create_symlink("../victim.txt", d / "shared" / "out.csv.partial");
       },
       {"forward", "in.csv", "-o", "shared/out.csv"},
       0,
       "",
       [&](const TempDir& d) {
         EXPECT_EQ(read_file(d / "victim.txt"), "victim\n");
         EXPECT_FALSE(fs::is_symlink(d / "shared" / "out.csv"));
         EXPECT_EQ(read_file(d / "shared" / "out.csv"), expected);
       }},
      // Regression: a picture replaced the link instead of the file it names.
      {"PictureThroughALinkKeepsTheLink",
       [](const TempDir& d) {
         write_file(d / "real.png", "old");
         fs::create_symlink("real.png", d / "pic.png");
       },
       {"sweep", "--sst", "28", "--altitude", "3000", "--air", "15", "--wind", "0,10", "--rain",
        "0", "-o", "grid.csv", "--plot", "pic.png", "--size", "100x100"},
       0,
       "",
       [](const TempDir& d) {
         EXPECT_TRUE(fs::is_symlink(d / "pic.png"));
         EXPECT_TRUE(read_file(d / "real.png").starts_with("\x89PNG"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    write_file(dir / "in.csv", good);
    c.prepare(dir);
    const Outcome run = run_batch(dir, c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
    c.check(dir);
    EXPECT_EQ(names_starting(dir, "."), std::vector<std::string>{}) << "nothing left behind";
  }
}

// Regression: two runs on one target ended with rows of both, torn.
TEST(OutputFile, TwoRunsOnOneTargetLeaveOneCompleteOutput) {
  const TempDir dir;
  write_file(dir / "a.csv", random_scenes_for_races(20000, "a"));
  write_file(dir / "b.csv", random_scenes_for_races(20000, "b"));
  const Outcome alone_a = run_batch(dir, {"forward", "a.csv", "--threads", "1"});
  const Outcome alone_b = run_batch(dir, {"forward", "b.csv", "--threads", "1"});
  Outcome a, b;
  std::thread first([&] { a = run_batch(dir, {"forward", "a.csv", "-o", "conc.csv"}); });
  b = run_batch(dir, {"forward", "b.csv", "-o", "conc.csv"});
  first.join();
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(b.status, 0) << b.err;
  const std::string conc = read_file(dir / "conc.csv");
  EXPECT_TRUE(conc == alone_a.out || conc == alone_b.out);
}

// ---------------------------------------------------------------------------
// Threads

// `n` random scenes with a few bad rows, and a quoted note with a line end now and then.
std::string random_scenes(std::size_t n) {
  std::mt19937 random(3);
  std::uniform_int_distribution<int> centi(0, 4000);
  std::string csv = "id,note," + header + "\n";
  for (std::size_t i = 0; i < n; ++i) {
    csv += std::to_string(i) + (i % 13 == 0 ? ",\"a,\nb\"," : ",x,");
    csv += std::to_string(centi(random) / 100.0) + "," + std::to_string(centi(random) + 1) + "," +
           std::to_string(centi(random) / 100.0) + "," +
           (i % 9973 == 9972 ? "-1" : std::to_string(centi(random) / 100.0)) + "," +
           std::to_string(centi(random) / 100.0) + "\n";
  }
  return csv;
}

TEST(Threads, OutputBytesAreTheSameForAnyThreadCount) {
  const TempDir dir;
  write_file(dir / "in.csv", random_scenes(30000));
  for (const std::string on_error : {"mark", "stop"}) {
    const Outcome one =
        run_batch(dir, {"forward", "in.csv", "--threads", "1", "--on-error", on_error});
    ASSERT_EQ(one.status, 1) << one.err;
    ASSERT_GT(one.out.size(), 400000u) << one.err;
    for (const std::string threads : {"2", "3"}) {
      const Outcome many =
          run_batch(dir, {"forward", "in.csv", "--threads", threads, "--on-error", on_error});
      EXPECT_TRUE(many.out == one.out) << on_error << ", " << threads << " threads";
      EXPECT_EQ(many.err, one.err);
      EXPECT_EQ(many.status, one.status);
    }
  }
}

// ---------------------------------------------------------------------------
// Sweeps and pictures

TEST(Sweep, EveryCombinationInOrderAsForwardComputesIt) {
  const TempDir dir;
  const Outcome sweep =
      run_batch(dir, {"sweep", "--sst", "20,28", "--altitude", "3000", "--air", "15", "--wind",
                      "0:10:5", "--rain", "0,5", "-o", "grid.csv"});
  ASSERT_EQ(sweep.status, 0) << sweep.err;
  const std::string grid = read_file(dir / "grid.csv");
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = grid.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(grid.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], header + tb_header);
  const std::vector<std::string> inputs{"20,3000,15,0,0", "20,3000,15,0,5",  "20,3000,15,5,0",
                                        "20,3000,15,5,5", "20,3000,15,10,0", "20,3000,15,10,5",
                                        "28,3000,15,0,0", "28,3000,15,0,5",  "28,3000,15,5,0",
                                        "28,3000,15,5,5", "28,3000,15,10,0", "28,3000,15,10,5"};
  std::string as_scenes = header + "\n";
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_TRUE(lines[i + 1].starts_with(inputs[i] + ",")) << lines[i + 1];
    as_scenes += inputs[i] + "\n";
  }
  EXPECT_EQ(lines[12], row_10_5 + tb_10_5);
  // The same scenes through forward give the same file.
  EXPECT_EQ(run_batch(dir, {"forward", "--threads", "2"}, as_scenes).out, grid);
}

// Width and height of a PNG, from its IHDR chunk.
std::pair<unsigned, unsigned> png_size(const std::string& png) {
  if (png.size() < 24 || png.substr(0, 8) != "\x89PNG\r\n\x1a\n" || png.substr(12, 4) != "IHDR") {
    return {0, 0};
  }
  const auto u32 = [&](std::size_t at) {
    unsigned v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      v = v << 8 | static_cast<unsigned char>(png[at + i]);
    }
    return v;
  };
  return {u32(16), u32(20)};
}

TEST(Sweep, PictureOfTheRequestedSize) {
  const TempDir dir;
  const std::vector<std::string> grid{"sweep", "--sst",  "28",     "--altitude", "3000",  "--air",
                                      "15",    "--wind", "0:40:4", "--rain",     "0,5,20"};
  std::vector<std::string> args = grid;
  args.insert(args.end(), {"--plot", "six.png", "--size", "640x480"});
  Outcome run = run_batch(dir, args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(png_size(read_file(dir / "six.png")), std::make_pair(640u, 480u));
  EXPECT_EQ(names_starting(dir, "."), std::vector<std::string>{});

  args = grid;
  args.insert(args.end(), {"--plot", "one.svg", "--channel", "6.02", "-q"});
  run = run_batch(dir, args);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string svg = read_file(dir / "one.svg");
  EXPECT_NE(svg.find("width=\"1200\" height=\"800\""), std::string::npos);
  EXPECT_NE(svg.find("6.02 GHz"), std::string::npos);
  EXPECT_EQ(svg.find("4.74 GHz"), std::string::npos);

  // Without gnuplot the CSV is still written whole; the message names the package.
  args = grid;
  args.insert(args.end(), {"--plot", "none.png"});
  run = run_batch(dir, args, "", "/nonexistent");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "nerido-batch: cannot draw none.png: gnuplot not found (Debian package "
            "gnuplot-nox); the CSV was written to standard output\n");
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1 + 11 * 3);
  EXPECT_FALSE(fs::exists(dir / "none.png"));
}

// ---------------------------------------------------------------------------
// Process ends

// A child with its standard input and output on pipes.
struct PipedChild {
  pid_t pid = -1;
  int input = -1;
  int output = -1;
};

PipedChild start_piped(const TempDir& dir, std::vector<std::string> args,
                       bool hangup_ignored = false) {
  int in[2], out[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  args.insert(args.begin(), "nerido-batch");
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  PipedChild child;
  child.pid = ::fork();
  if (child.pid == 0) {
    if (::chdir(dir.path().c_str()) != 0) {
      ::_exit(126);
    }
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    for (const int fd : {in[0], in[1], out[0], out[1]}) {
      ::close(fd);
    }
    ::signal(SIGPIPE, SIG_IGN);  // the program must set it back to its default
    if (hangup_ignored) {
      ::signal(SIGHUP, SIG_IGN);  // as nohup does
    }
    ::execv(NERIDO_BATCH_PROGRAM, argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  child.input = in[1];
  child.output = out[0];
  return child;
}

int wait_signal(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

TEST(ProcessEnds, ClosedPipeEndsItAsOtherFilters) {
  const TempDir dir;
  PipedChild child = start_piped(dir, {"sweep", "--sst", "0:40:1", "--altitude", "3000", "--air",
                                       "15", "--wind", "0:50:1", "--rain", "0:50:1"});
  ::close(child.input);
  char first[100];
  EXPECT_GT(::read(child.output, first, sizeof first), 0);
  ::close(child.output);
  EXPECT_EQ(wait_signal(child.pid), SIGPIPE);
  EXPECT_EQ(read_file(dir / ".stderr"), "");
}

TEST(ProcessEnds, InterruptKeepsCompleteRowsAsPartialAndLeavesFileAlone) {
  const TempDir dir;
  PipedChild child = start_piped(dir, {"forward", "-o", "out.csv", "--threads", "2"});
  ::close(child.output);
  std::string rows = header + "\n";
  while (rows.size() < 300000) {
    rows += row_10_5 + "\n";
  }
  ASSERT_EQ(::write(child.input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
  // Wait for rows in the file being written; standard input stays open.
  const auto written_size = [&] {
    const std::vector<std::string> folders = names_starting(dir, ".out.csv.");
    std::error_code error;
    const auto size = folders.empty() ? 0 : fs::file_size(dir / folders[0] / "out.csv", error);
    return error ? 0 : size;
  };
  for (int i = 0; i < 500 && written_size() < 100000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(child.pid, SIGINT);
  EXPECT_EQ(wait_signal(child.pid), SIGINT);
  ::close(child.input);
  EXPECT_FALSE(fs::exists(dir / "out.csv"));
  const std::vector<std::string> kept = names_starting(dir, "out.csv.partial-");
  ASSERT_EQ(kept.size(), 1u);
  const std::string partial = read_file(dir / kept[0]);
  ASSERT_TRUE(partial.starts_with(header + tb_header + "\n"));
  ASSERT_TRUE(partial.ends_with(row_10_5 + tb_10_5 + "\n"));
  const auto written = std::count(partial.begin(), partial.end(), '\n') - 1;
  EXPECT_EQ(partial.size(),
            header.size() + tb_header.size() + 1 +
                static_cast<std::size_t>(written) * (row_10_5.size() + tb_10_5.size() + 1));
  EXPECT_EQ(read_file(dir / ".stderr"), "nerido-batch: interrupted after " +
                                            std::to_string(written) + " rows; they are kept in " +
                                            kept[0] + "\n");
}

// Regression: a run under nohup was killed by the hangup it was meant to ignore.
TEST(ProcessEnds, AnIgnoredHangupStaysIgnored) {
  const TempDir dir;
  PipedChild child = start_piped(dir, {"forward", "-o", "out.csv"}, true);
  ::close(child.output);
  const std::string rows = header + "\n" + row_10_5 + "\n";
  ASSERT_EQ(::write(child.input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(child.pid, SIGHUP);
  ::close(child.input);
  EXPECT_EQ(wait_signal(child.pid), 0);
  EXPECT_EQ(read_file(dir / "out.csv"), header + tb_header + "\n" + row_10_5 + tb_10_5 + "\n");
}

// Regression: memory grew with threads times the longest record (1.1 GB).
TEST(ProcessEnds, LongRecordsOnManyThreadsInBoundedMemory) {
  const TempDir dir;
  {
    std::ofstream big(dir / "long.csv", std::ios::binary);
    big << "note," << header << "\n";
    const std::string note((std::size_t{1} << 20) - 40, 'x');
    for (int i = 0; i < 300; ++i) {
      big << note << "," << row_10_5 << "\n";
    }
  }
  const Outcome run = run_batch(dir, {"forward", "long.csv", "-o", "out.csv", "--threads", "256"});
  EXPECT_EQ(run.status, 0) << run.err;
  if (peak_memory_meaningful) {
    EXPECT_LT(run.max_rss_kib, 100 * 1024);
  }
}

TEST(ProcessEnds, OverlongRecordStopsWithoutHoldingIt) {
  const TempDir dir;
  // A quote never closed would make the rest of the input one record.
  {
    std::ofstream big(dir / "big.csv", std::ios::binary);
    big << header << "\n" << row_10_5 << "\n\"";
    const std::string piece(1 << 20, 'x');
    for (int i = 0; i < 48; ++i) {
      big << piece;
    }
  }
  const Outcome run = run_batch(dir, {"forward", "big.csv", "--on-error", "mark"});
  EXPECT_EQ(run.status, 1);
  // Regression: a stray opening quote was reported as a record too long.
  EXPECT_EQ(run.err, "big.csv:3: field 1: a quote is never closed within 1048576 bytes\n");
  EXPECT_EQ(run.out, header + tb_header + ",error\n" + row_10_5 + tb_10_5 + ",\n");
  if (peak_memory_meaningful) {
    EXPECT_LT(run.max_rss_kib, 40 * 1024) << "memory does not grow with the record";
  }
}

// ---------------------------------------------------------------------------
// Live input

// Reads from `fd` until a line end arrives or `limit` passes; the line, or "".
std::string line_within(int fd, std::chrono::milliseconds limit) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!line.ends_with('\n')) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    char c = 0;
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1 ||
        ::read(fd, &c, 1) != 1) {
      return "";
    }
    line += c;
  }
  return line;
}

// Rows sent one at a time with pauses, the input left open: each row's
// line comes out before the next is sent (within a margin far beyond the
// promised 100 ms), and an interrupt then keeps every row.
TEST(LiveInput, EachRowIsWrittenWhenItArrives) {
  const std::string tb_row =
      "118.98472,120.67077,121.44604,122.81935,124.97857,126.35223,28,3000,15";
  const struct {
    std::string command;
    std::string threads;
    std::string header;
    std::string row;
  } cases[] = {
      {"forward", "1", header, row_10_5},
      {"forward", "2", header, row_10_5},
      {"retrieve", "1", "tb_4.74,tb_5.31,tb_5.57,tb_6.02,tb_6.69,tb_7.09,sst_c,altitude_m,air_c",
       tb_row},
      {"retrieve", "2", "tb_4.74,tb_5.31,tb_5.57,tb_6.02,tb_6.69,tb_7.09,sst_c,altitude_m,air_c",
       tb_row},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " on " + c.threads + " threads");
    const TempDir dir;
    if (run_batch(dir, {c.command, "--help"}).status != 0) {
      continue;  // built without the retrieval
    }
    PipedChild child = start_piped(dir, {c.command, "--threads", c.threads, "--on-error", "mark"});
    const std::string head = c.header + "\n";
    ASSERT_EQ(::write(child.input, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    EXPECT_TRUE(line_within(child.output, std::chrono::seconds(5)).starts_with(c.header));
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const std::string row = c.row + "\n";
      ASSERT_EQ(::write(child.input, row.data(), row.size()), static_cast<ssize_t>(row.size()));
      EXPECT_TRUE(line_within(child.output, std::chrono::seconds(2)).starts_with(c.row))
          << "row " << i;
    }
    ::kill(child.pid, SIGINT);
    EXPECT_EQ(wait_signal(child.pid), SIGINT);
    ::close(child.input);
    ::close(child.output);
    EXPECT_EQ(read_file(dir / ".stderr"), "nerido-batch: interrupted after 3 rows\n");
  }
}

}  // namespace
