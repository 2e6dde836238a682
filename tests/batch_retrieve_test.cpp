// `nerido-batch retrieve`: each row's cells are the library's retrieval of
// that row; rows that are read are always written with their status; bad
// rows, options and pictures as the other subcommands have them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch_program_runner.hpp"
#include "nerido/nerido.hpp"

namespace nerido::batch {
namespace {

const std::string header = "tb_4.74,tb_5.31,tb_5.57,tb_6.02,tb_6.69,tb_7.09,sst_c,altitude_m,air_c";
const std::string ret_header =
    ",ret_wind_ms,ret_rain_mmh,ret_wind_sigma_ms,ret_rain_sigma_mmh,ret_wind_rain_correlation,"
    "ret_residual_rms_k,ret_status";
// The worked scene (28 C, 3000 m, 15 C, 10 m/s, 5 mm/h) as forward writes it.
const std::string worked_tb = "118.98472,120.67077,121.44604,122.81935,124.97857,126.35223";

// The cells the converter appends to a row of the nine input values and
// the optional ones given (the row loop's values of absent ones after them).
std::string cells(const std::vector<std::string>& values, const RetrievalOptions& options = {},
                  std::optional<float> salinity = std::nullopt) {
  const RowConversion conversion = retrieve_conversion(options, NumberFormat{}, "", salinity);
  const RowConverter convert = conversion.make_converter();
  std::vector<std::string_view> views(values.begin(), values.end());
  for (std::size_t i = views.size() - conversion.inputs.size();
       i < conversion.optional_inputs.size(); ++i) {
    views.emplace_back(conversion.optional_inputs[i].absent);
  }
  std::string out, side, reason;
  return convert(views, out, side, reason) ? out : "bad: " + reason;
}

// The same cells written from nerido::retrieve itself.
std::string library_cells(const Observation& observation, const RetrievalOptions& options = {}) {
  const Retrieval r = retrieve(observation, options);
  std::string out;
  for (const float v : {r.wind_ms, r.rain_mmh, r.wind_sigma_ms, r.rain_sigma_mmh,
                        r.wind_rain_correlation, r.residual_rms_k}) {
    out += ',';
    if (!std::isnan(v)) {
      append_number(out, v, NumberFormat{});
    }
  }
  return out + "," + std::string(status_name(r.status));
}

TEST(RetrieveRows, CellsAreTheLibrarysRetrievalOfTheRow) {
  std::mt19937 random(5);
  std::normal_distribution<float> noise(0.0f, 0.5f);
  std::uniform_real_distribution<float> wind(0.0f, 60.0f), rain(0.0f, 50.0f), sst(-2.0f, 45.0f);
  const RetrievalOptions one_kelvin{{1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f}};
  for (int i = 0; i < 60; ++i) {
    const Scene scene{sst(random), 3000.0f, 10.0f, wind(random), rain(random)};
    Observation observation{brightness_temperatures(scene), scene.sst_c, scene.altitude_m,
                            scene.air_c};
    std::vector<std::string> values;
    for (std::size_t c = 0; c < channel_count; ++c) {
      observation.tb_k[c] += noise(random);
      std::string text;
      append_number(text, observation.tb_k[c], NumberFormat{});
      // Every fifth row misses a channel, every seventh four (invalid).
      const bool missing = (i % 5 == 0 && c == 2) || (i % 7 == 0 && c < 4);
      values.push_back(missing ? "" : text);
      if (missing) {
        observation.tb_k[c] = std::nanf("");
      }
    }
    for (const float v : {scene.sst_c, scene.altitude_m, scene.air_c}) {
      std::string text;
      append_number(text, v, NumberFormat{});
      values.push_back(text);
    }
    const RetrievalOptions& options = i % 2 == 0 ? RetrievalOptions{} : one_kelvin;
    ASSERT_EQ(cells(values, options), library_cells(observation, options)) << "row " << i;
  }
}

TEST(RetrieveRows, WhatIsReadIsWrittenWithItsStatus) {
  const std::vector<std::string> worked{"118.98472", "120.67077", "121.44604",
                                        "122.81935", "124.97857", "126.35223",
                                        "28",        "3000",      "15"};
  struct Case {
    std::size_t column;
    std::string value;
    std::string cells_end;  // how the cells end
  };
  const std::vector<Case> cases{
      // The SST, altitude and air temperature are checked as in forward.
      {6, "301.15", "bad: sst_c = 301.15 is outside -2 to 45 deg C"},
      {6, "", "bad: sst_c is empty"},
      {7, "nan", "bad: altitude_m = nan is outside 0 (exclusive) to 16000 m"},
      {8, "1e39", "bad: air_c = 1e39 is outside -70 to 45 deg C"},
      {0, "inf", ",,,,,,,invalid_input"},
      {1, "", ",ok"},  // one channel missing
      {1, "abc", "bad: tb_5.31 = 'abc' is not a number"},
      {8, "15 C", "bad: air_c = '15 C' is not a number"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> values = worked;
    values[c.column] = c.value;
    const std::string got = cells(values);
    EXPECT_TRUE(got.ends_with(c.cells_end)) << c.column << " = '" << c.value << "': " << got;
  }
}

// The optional salinity, roll and pitch of a row reach the Observation:
// the cells are the library's retrieval with them; a number out of range is
// a bad row, and so is a missing salinity; a missing roll or pitch is the
// library's to judge.
TEST(RetrieveRows, OptionalFieldsAreTheObservations) {
  const Scene truth{28, 3000, 15, 10, 5, 25};
  std::vector<std::string> worked;
  for (const float v : brightness_temperatures(truth)) {
    worked.push_back(number_text(v));
  }
  worked.insert(worked.end(), {"28", "3000", "15"});
  const Observation at_36{brightness_temperatures(truth), 28, 3000, 15};
  const auto observation = [&](float salinity, float roll, float pitch) {
    Observation o = at_36;
    o.salinity_psu = salinity;
    o.roll_deg = roll;
    o.pitch_deg = pitch;
    return o;
  };
  const float nan = std::nanf("");
  struct Case {
    std::vector<std::string> optional;  // salinity, roll, pitch (absent after those given)
    std::optional<float> salinity_option;
    std::string expected;  // the cells, or "bad: reason"
  };
  const std::vector<Case> cases{
      {{}, std::nullopt, library_cells(at_36)},
      {{"25"}, std::nullopt, library_cells(observation(25, 0, 0))},
      {{}, 25.0f, library_cells(observation(25, 0, 0))},
      {{"0", "-3.5", "2"}, std::nullopt, library_cells(observation(0, -3.5f, 2))},
      {{"40", "90", "-90"}, std::nullopt, library_cells(observation(40, 90, -90))},
      {{"", "", ""}, std::nullopt, "bad: salinity_psu is empty"},
      {{"36", "", ""}, std::nullopt, library_cells(observation(36, nan, nan))},
      {{"36", "nan"}, std::nullopt, library_cells(observation(36, nan, 0))},
      {{"40.5"}, std::nullopt, "bad: salinity_psu = 40.5 is outside 0 to 40 psu"},
      {{"-1"}, std::nullopt, "bad: salinity_psu = -1 is outside 0 to 40 psu"},
      {{"36", "95"}, std::nullopt, "bad: roll_deg = 95 is outside -90 to 90 deg"},
      {{"36", "0", "-90.5"}, std::nullopt, "bad: pitch_deg = -90.5 is outside -90 to 90 deg"},
      {{"36", "x"}, std::nullopt, "bad: roll_deg = 'x' is not a number"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> values = worked;
    values.insert(values.end(), c.optional.begin(), c.optional.end());
    EXPECT_EQ(cells(values, {}, c.salinity_option), c.expected) << values.back();
  }
  // The truth at its salinity, not at 36.
  EXPECT_NE(library_cells(at_36), library_cells(observation(25, 0, 0)));
}

TEST(RetrieveOptions, NoiseIsOneValueOrSix) {
  EXPECT_EQ(read_noise("0.8"), (std::array<float, 6>{0.8f, 0.8f, 0.8f, 0.8f, 0.8f, 0.8f}));
  EXPECT_EQ(read_noise("1,2,3,4,5,6"), (std::array<float, 6>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(read_noise("0.01,100,1,1,1,1"), (std::array<float, 6>{0.01f, 100, 1, 1, 1, 1}));
  for (const char* bad : {"", "0", "-1", "inf", "nan", "1,2", "1,2,3,4,5,6,7", "1,,2,3,4,5",
                          "0.0099", "1e-8", "100.5"}) {
    EXPECT_THROW((void)read_noise(bad), UsageError) << bad;
  }
}

// ---------------------------------------------------------------------------
// The program

class RetrieveProgram : public ::testing::Test {
 protected:
  // Runs `nerido-batch ARGS` (words separated by single spaces).
  testing::Outcome run(const std::string& args, const std::string& input = "") {
    std::vector<std::string> words;
    for (std::size_t start = 0, end; start <= args.size(); start = end + 1) {
      end = std::min(args.find(' ', start), args.size());
      words.push_back(args.substr(start, end - start));
    }
    return testing::run_batch(dir_, words, input);
  }
  testing::TempDir dir_;
};

// --model-error widens the sigmas; it and --noise outside their ranges are
// usage errors.
TEST_F(RetrieveProgram, ModelErrorOption) {
  const std::string input = header + "\n" + worked_tb + ",28,3000,15\n";
  const auto wind_sigma = [&](const std::string& args) {
    const testing::Outcome r = run("retrieve --decimals 3" + args, input);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string row = r.out.substr(r.out.find('\n') + 1);
    std::size_t field = 0;
    for (int comma = 0; comma < 11; ++comma) {  // 9 inputs, wind, rain
      field = row.find(',', field) + 1;
    }
    return std::stod(row.substr(field));
  };
  EXPECT_GT(wind_sigma(" --model-error 0.5"), 1.2 * wind_sigma(""));
  EXPECT_EQ(wind_sigma(" --model-error 0"), wind_sigma(""));
  for (const char* bad : {"--model-error -1", "--model-error 101", "--model-error x",
                          "--noise 0.001", "--noise 101"}) {
    const testing::Outcome r = run(std::string("retrieve ") + bad, input);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find(" K"), std::string::npos) << r.err;
  }
}

// A turn: rows whose roll and pitch put the radiometer more than
// --max-off-nadir off nadir are written with status off_nadir, unfitted.
TEST_F(RetrieveProgram, OffNadirRowsInATurn) {
  std::string input = header + ",roll_deg,pitch_deg\n";
  for (const char* attitude : {"0,0", "4,3", "30,0", "0,-6", ","}) {
    input += worked_tb + ",28,3000,15," + attitude + "\n";
  }
  struct Case {
    std::string args;
    std::vector<std::string> ends;
  };
  const Case cases[] = {
      {"", {",ok", ",ok", ",,,,,,,off_nadir", ",,,,,,,off_nadir", ",,,,,,,invalid_input"}},
      {" --max-off-nadir 45", {",ok", ",ok", ",ok", ",ok", ",,,,,,,invalid_input"}},
      {" --max-off-nadir 0",
       {",ok", ",,,,,,,off_nadir", ",,,,,,,off_nadir", ",,,,,,,off_nadir", ",,,,,,,invalid_input"}},
  };
  for (const Case& c : cases) {
    const testing::Outcome r = run("retrieve" + c.args, input);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);  // the header
    for (const std::string& end : c.ends) {
      std::getline(lines, line);
      EXPECT_TRUE(line.ends_with(end)) << c.args << ": " << line;
    }
  }
}

TEST_F(RetrieveProgram, ForwardThenRetrieveIsARoundTrip) {
  const std::string scenes =
      "time,sst_c,altitude_m,air_c,wind_ms,rain_mmh\n"
      "1,28,3000,15,10,5\n2,20,500,18,25,0\n3,28,12000,-30,15,10\n";
  const testing::Outcome forward = run("forward", scenes);
  ASSERT_EQ(forward.status, 0) << forward.err;
  const testing::Outcome r = run("retrieve --decimals 3 --threads 2", forward.out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> ends{",10.000,5.000,", ",25.000,0.000,", ",15.000,10.000,"};
  std::size_t line_start = r.out.find('\n') + 1;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    const std::size_t line_end = r.out.find('\n', line_start);
    const std::string line = r.out.substr(line_start, line_end - line_start);
    EXPECT_NE(line.find(ends[i]), std::string::npos) << line;
    EXPECT_TRUE(line.ends_with(",ok")) << line;  // no rain is an answer
    line_start = line_end + 1;
  }
}

TEST_F(RetrieveProgram, StatusesAndMessages) {
  struct Case {
    std::string args;
    std::string input;
    int status;
    std::string err;
  };
  const std::string row = worked_tb + ",28,3000,15\n";
  const std::string x_row = "x" + row.substr(row.find(','));  // the first Tb not a number
  const std::vector<Case> cases{
      // Rows that are read never change the status, whatever theirs.
      {"retrieve", header + "\n" + row + "inf" + row.substr(row.find(',')), 0, ""},
      {"retrieve", header + "\n" + row + worked_tb + ",50,3000,15\n", 1,
       "<stdin>:3: sst_c = 50 is outside -2 to 45 deg C\n"},
      {"retrieve", header + "\n" + row + "1,2,3,4,5,6,28,3000,15\n", 0, ""},
      {"retrieve", header + "\n" + row + x_row, 1, "<stdin>:3: tb_4.74 = 'x' is not a number\n"},
      {"retrieve", header + "\n" + row + row.substr(10), 1,
       "<stdin>:3: 8 fields, the header has 9\n"},
      {"retrieve --on-error mark", header + "\n" + x_row, 1,
       "nerido-batch: 1 bad row marked in standard output (first: <stdin>:2: tb_4.74 = 'x' is not "
       "a number)\n"},
      {"retrieve", "tb_4.74,sst_c\n", 1,
       "nerido-batch: <stdin>:1: no column 'tb_5.31' in the header\n"},
      {"retrieve", header + ",ret_status\n", 1,
       "nerido-batch: <stdin> has a column 'ret_status' already; it would be appended again\n"},
      {"retrieve --noise 0.5,0.5", header + "\n", 2,
       "nerido-batch: --noise: 2 values; give one for every channel, or six\n"},
      {"retrieve --noise -1", header + "\n", 2,
       "nerido-batch: --noise: '-1' is not a number from 0.01 to 100 K\n"},
      {"retrieve --plot p.png", header + "\n", 2,
       "nerido-batch: --plot requires --x (see nerido-batch --help)\n"},
      {"retrieve --max-off-nadir 90.5", header + "\n", 2,
       "nerido-batch: --max-off-nadir: '90.5' is not a number of degrees from 0 to 90\n"},
      {"retrieve --max-off-nadir nan", header + "\n", 2,
       "nerido-batch: --max-off-nadir: 'nan' is not a number of degrees from 0 to 90\n"},
      {"retrieve --max-off-nadir 0", header + "\n" + row, 0, ""},
      {"retrieve --salinity 30", header + ",salinity_psu\n", 2,
       "nerido-batch: --salinity and the column 'salinity_psu' of <stdin>: give one or the "
       "other\n"},
      {"retrieve --salinity 41", header + "\n", 2,
       "nerido-batch: --salinity: salinity_psu = 41 is outside 0 to 40 psu\n"},
      {"retrieve", header + ",roll_deg\n" + worked_tb + ",28,3000,15,91\n", 1,
       "<stdin>:2: roll_deg = 91 is outside -90 to 90 deg\n"},
      {"retrieve --plot p.png --x time", header + "\n" + row, 1,
       "nerido-batch: <stdin>:1: no column 'time' in the header\n"},
      {"retrieve --plot p.png --x sst_c", header + "\n" + "inf" + row.substr(row.find(',')), 1,
       "nerido-batch: cannot draw p.png: no row has a retrieval and a number in 'sst_c'; the CSV "
       "was written to standard output\n"},
  };
  for (const Case& c : cases) {
    const testing::Outcome r = run(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << c.input;
    EXPECT_EQ(r.err, c.err) << c.args << "\n" << c.input;
    if (c.status == 0) {
      EXPECT_TRUE(r.out.starts_with(header + ret_header + "\n")) << r.out;
      EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'),
                std::count(c.input.begin(), c.input.end(), '\n'));
    }
  }
}

TEST_F(RetrieveProgram, SameBytesOnOneAndTwoThreadsAndAPicture) {
  std::mt19937 random(9);
  std::uniform_int_distribution<int> tenths(0, 600);
  std::string scenes = "time,sst_c,altitude_m,air_c,wind_ms,rain_mmh\n";
  for (int i = 0; i < 600; ++i) {
    scenes += std::to_string(i) + ",27,3000,14," + std::to_string(tenths(random) / 10.0) + "," +
              std::to_string(tenths(random) / 20.0) + "\n";
  }
  const testing::Outcome forward = run("forward -o tb.csv", scenes);
  ASSERT_EQ(forward.status, 0) << forward.err;
  const testing::Outcome one = run("retrieve tb.csv --threads 1");
  const testing::Outcome two =
      run("retrieve tb.csv --threads 2 --plot p.png --x time --size 500x300");
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_TRUE(one.out == two.out);
  EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 601);
  const std::string bytes = testing::read_file(dir_ / "p.png").substr(0, 24);
  EXPECT_EQ(bytes.substr(1, 3), "PNG");
  EXPECT_EQ(bytes.substr(16, 8), std::string("\0\0\x01\xf4\0\0\x01\x2c", 8));  // 500 x 300
}

}  // namespace
}  // namespace nerido::batch
