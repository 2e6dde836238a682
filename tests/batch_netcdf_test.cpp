// nerido-batch on NetCDF flight files, end to end: fields found by name,
// --map or CF standard name, units converted, channels matched by
// frequency, gaps as missing values; the results bit for bit those of the
// same values in CSV; the output's CF attributes; and what bad files get.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <charconv>
#include <cmath>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "batch_program_runner.hpp"
#include "netcdf_text.hpp"

namespace {

using namespace nerido::testing;

// A flight of four records: SST in kelvin, altitude in feet, the six Tb of
// forward's scenes in a (time, channel) variable with the channels in
// another order and frequencies in MHz, one Tb missing (fill value).
const std::vector<double> sst_k = {301.15, 300.15, 299.65, 302.15};
const std::vector<double> altitude_ft = {9842.5, 10000.0, 3280.84, 500.0};
const std::vector<double> air_c = {15.0, 14.5, 20.0, 25.0};
const std::vector<double> frequency_mhz = {7090.0, 4740.0, 6690.0, 5310.0, 6020.0, 5570.0};
// Tb (K) by record, in nerido's channel order.
const std::vector<std::vector<double>> tb_k = {
    {118.98, 120.67, 121.45, 122.82, 124.98, 126.35},
    {125.5, 127.25, 128.0, 129.5, 131.75, 133.0},
    {140.0, 143.5, 145.0, 147.75, 151.5, 153.25},
    {115.0, 116.0, 116.5, 117.25, 118.25, 118.75},
};
constexpr float fill = -999.0f;

void text(int id, int var, const char* name, const std::string& value) {
  nc_put_att_text(id, var, name, value.size(), value.c_str());
}

// Writes the flight as NetCDF (netCDF-4 classic model) with the variable
// names and SST standard name given; `units` false leaves the air
// temperature without units.
void write_flight(const fs::path& path, const std::string& sst_name, bool with_tb_gap = true) {
  int id = 0;
  ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4 | NC_CLASSIC_MODEL, &id), NC_NOERR);
  int time = 0;
  int channel = 0;
  nc_def_dim(id, "time", sst_k.size(), &time);
  nc_def_dim(id, "channel", frequency_mhz.size(), &channel);
  int t = 0;
  int sst = 0;
  int alt = 0;
  int air = 0;
  int freq = 0;
  int tb = 0;
  nc_def_var(id, "time", NC_DOUBLE, 1, &time, &t);
  text(id, t, "units", "seconds since 2026-09-01 12:00:00");
  nc_def_var(id, sst_name.c_str(), NC_DOUBLE, 1, &time, &sst);
  text(id, sst, "units", "K");
  text(id, sst, "standard_name", "sea_surface_temperature");
  nc_def_var(id, "RADALT", NC_DOUBLE, 1, &time, &alt);
  text(id, alt, "units", "ft");
  nc_def_var(id, "air_c", NC_DOUBLE, 1, &time, &air);
  text(id, air, "units", "degC");
  int wind = 0;
  int rain = 0;
  nc_def_var(id, "WSPD", NC_DOUBLE, 1, &time, &wind);
  text(id, wind, "units", "knots");
  nc_def_var(id, "RR", NC_DOUBLE, 1, &time, &rain);
  text(id, rain, "units", "mm/h");
  nc_def_var(id, "channel", NC_DOUBLE, 1, &channel, &freq);
  text(id, freq, "units", "MHz");
  const int dims[] = {time, channel};
  nc_def_var(id, "TB", NC_FLOAT, 2, dims, &tb);
  text(id, tb, "units", "K");
  nc_put_att_float(id, tb, "_FillValue", NC_FLOAT, 1, &fill);
  text(id, NC_GLOBAL, "history", "2026-09-01 made by the test");
  text(id, NC_GLOBAL, "title", "a test flight");
  ASSERT_EQ(nc_enddef(id), NC_NOERR);
  const std::vector<double> seconds = {0.0, 1.0, 2.0, 3.0};
  nc_put_var_double(id, t, seconds.data());
  nc_put_var_double(id, sst, sst_k.data());
  nc_put_var_double(id, alt, altitude_ft.data());
  nc_put_var_double(id, air, air_c.data());
  nc_put_var_double(id, freq, frequency_mhz.data());
  const std::vector<double> knots = {20.0, 30.0, 40.0, 10.0};
  const std::vector<double> rain_mmh = {0.0, 5.0, 12.5, 1.0};
  nc_put_var_double(id, wind, knots.data());
  nc_put_var_double(id, rain, rain_mmh.data());
  // The file's channel order: 7.09, 4.74, 6.69, 5.31, 6.02, 5.57 GHz.
  const std::size_t file_order[] = {5, 0, 4, 1, 3, 2};
  std::vector<float> values;
  for (std::size_t r = 0; r < tb_k.size(); ++r) {
    for (const std::size_t c : file_order) {
      values.push_back(static_cast<float>(tb_k[r][c]));
    }
  }
  if (with_tb_gap) {
    values[1 * 6 + 1] = fill;  // record 1, 4.74 GHz
  }
  nc_put_var_float(id, tb, values.data());
  ASSERT_EQ(nc_close(id), NC_NOERR);
}

std::string shortest(float value) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, value);
  return {digits, end.ptr};
}

// The same flight as CSV in nerido's units, each value converted in double
// and rounded once to float, as the NetCDF reading promises.
std::string flight_csv() {
  std::string csv = "time,sst_c,altitude_m,air_c,tb_4.74,tb_5.31,tb_5.57,tb_6.02,tb_6.69,tb_7.09\n";
  for (std::size_t r = 0; r < sst_k.size(); ++r) {
    csv += std::to_string(r) + "," + shortest(static_cast<float>(sst_k[r] - 273.15)) + "," +
           shortest(static_cast<float>(altitude_ft[r] * 0.3048)) + "," +
           shortest(static_cast<float>(air_c[r]));
    for (std::size_t c = 0; c < 6; ++c) {
      csv += ",";
      if (!(r == 1 && c == 0)) {
        csv += shortest(static_cast<float>(tb_k[r][c]));
      }
    }
    csv += "\n";
  }
  return csv;
}

// The last `count` fields of each line of a CSV text.
std::vector<std::string> last_fields(const std::string& csv, std::size_t count) {
  std::vector<std::string> rows;
  std::istringstream lines(csv);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t at = line.size();
    for (std::size_t i = 0; i < count && at != std::string::npos; ++i) {
      at = line.rfind(',', at - 1);
    }
    rows.push_back(line.substr(at + 1));
  }
  return rows;
}

const std::vector<std::string> map_args = {"--map", "altitude_m=RADALT", "--map", "tb=TB"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(NetcdfRetrieve, SameBitsAsTheCsvOfTheSameValues) {
  const TempDir dir;
  write_flight(dir / "flight.nc", "SST_K");
  write_file(dir / "flight.csv", flight_csv());
  const Outcome from_netcdf =
      run_batch(dir, with({"retrieve", "flight.nc", "-o", "netcdf.csv", "-q"}, map_args));
  ASSERT_EQ(from_netcdf.status, 0) << from_netcdf.err;
  const Outcome from_csv = run_batch(dir, {"retrieve", "flight.csv", "-o", "csv.csv", "-q"});
  ASSERT_EQ(from_csv.status, 0) << from_csv.err;
  // The CF time is written as UTC.
  EXPECT_NE(read_file(dir / "netcdf.csv").find(",2026-09-01T12:00:03Z,"), std::string::npos);
  const auto netcdf_rows = last_fields(read_file(dir / "netcdf.csv"), 7);
  const auto csv_rows = last_fields(read_file(dir / "csv.csv"), 7);
  EXPECT_EQ(netcdf_rows, csv_rows);
  EXPECT_EQ(netcdf_rows.size(), 5u);
}

TEST(NetcdfRetrieve, NetcdfOutputHasTheInputTheResultsAndTheirAttributes) {
  const TempDir dir;
  write_flight(dir / "flight.nc", "SST_K");
  write_file(dir / "flight.csv", flight_csv());
  const Outcome run = run_batch(dir, with({"retrieve", "flight.nc", "-o", "out.nc"}, map_args));
  ASSERT_EQ(run.status, 0) << run.err;
  const Outcome csv = run_batch(dir, {"retrieve", "flight.csv", "-o", "csv.csv", "-q"});
  const auto expected = last_fields(read_file(dir / "csv.csv"), 7);
  int id = 0;
  ASSERT_EQ(nc_open((dir / "out.nc").c_str(), NC_NOWRITE, &id), NC_NOERR);
  EXPECT_EQ(text_attribute(id, NC_GLOBAL, "Conventions"), "CF-1.8");
  EXPECT_EQ(text_attribute(id, NC_GLOBAL, "title"), "a test flight");
  const std::string history = text_attribute(id, NC_GLOBAL, "history");
  EXPECT_TRUE(history.starts_with("2026-09-01 made by the test\n")) << history;
  EXPECT_NE(history.find("Z nerido-batch "), std::string::npos) << history;
  // The input's variables are there, as they were.
  for (const char* name : {"time", "SST_K", "RADALT", "air_c", "TB", "channel"}) {
    int var = -1;
    EXPECT_EQ(nc_inq_varid(id, name, &var), NC_NOERR) << name;
  }
  int wind = -1;
  ASSERT_EQ(nc_inq_varid(id, "ret_wind_ms", &wind), NC_NOERR);
  EXPECT_EQ(text_attribute(id, wind, "standard_name"), "wind_speed");
  EXPECT_EQ(text_attribute(id, wind, "units"), "m s-1");
  EXPECT_EQ(text_attribute(id, wind, "ancillary_variables"), "ret_wind_sigma_ms");
  float winds[4] = {};
  nc_get_var_float(id, wind, winds);
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(shortest(winds[r]), expected[r + 1].substr(0, expected[r + 1].find(',')))
        << "record " << r;
  }
  int status = -1;
  ASSERT_EQ(nc_inq_varid(id, "ret_status", &status), NC_NOERR);
  EXPECT_EQ(text_attribute(id, status, "standard_name"), "status_flag");
  EXPECT_EQ(text_attribute(id, status, "flag_meanings"),
            "ok at_bound poor_fit not_converged invalid_input off_nadir");
  nc_type type = NC_NAT;
  nc_inq_vartype(id, status, &type);
  EXPECT_EQ(type, NC_BYTE);
  nc_close(id);
}

// Adds a variable of doubles on the records to the NetCDF file `path`.
void add_variable(const fs::path& path, const char* name, const char* units,
                  const char* standard_name, const std::vector<double>& values) {
  int id = 0;
  ASSERT_EQ(nc_open(path.c_str(), NC_WRITE, &id), NC_NOERR);
  nc_redef(id);
  int time = 0;
  nc_inq_dimid(id, "time", &time);
  int var = 0;
  ASSERT_EQ(nc_def_var(id, name, NC_DOUBLE, 1, &time, &var), NC_NOERR);
  text(id, var, "units", units);
  text(id, var, "standard_name", standard_name);
  nc_enddef(id);
  nc_put_var_double(id, var, values.data());
  ASSERT_EQ(nc_close(id), NC_NOERR);
}

// The optional salinity and roll, found by their CF standard names in any of
// their units, retrieve as the same values in CSV columns do; and a CSV
// input's columns become CF variables of a NetCDF output.
TEST(NetcdfRetrieve, SalinityAndAttitudeAreReadAsTheirColumnsAre) {
  const TempDir dir;
  write_flight(dir / "flight.nc", "SST_K");
  const std::vector<double> salinity{36.0, 30.0, 20.0, 0.05};
  const std::vector<double> roll{0.0, 2.5, -10.0, 30.0};
  add_variable(dir / "flight.nc", "SSS", "PSU", "sea_water_salinity", salinity);
  add_variable(dir / "flight.nc", "ROLL", "degrees", "platform_roll", roll);
  std::istringstream lines(flight_csv());
  std::string csv;
  std::string line;
  for (std::size_t r = 0; std::getline(lines, line); ++r) {
    csv += line;
    if (r == 0) {
      csv += ",salinity_psu,roll_deg";
    } else {
      csv.append(",").append(shortest(static_cast<float>(salinity[r - 1])));
      csv.append(",").append(shortest(static_cast<float>(roll[r - 1])));
    }
    csv += '\n';
  }
  write_file(dir / "flight.csv", csv);
  write_file(dir / "at_36.csv", flight_csv());
  const Outcome netcdf =
      run_batch(dir, with({"retrieve", "flight.nc", "-o", "netcdf.csv", "-q"}, map_args));
  ASSERT_EQ(netcdf.status, 0) << netcdf.err;
  for (const auto& [input, output] :
       {std::pair{"flight.csv", "csv.csv"}, {"at_36.csv", "36.csv"}}) {
    const Outcome run = run_batch(dir, {"retrieve", input, "-o", output, "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  const auto from_netcdf = last_fields(read_file(dir / "netcdf.csv"), 7);
  EXPECT_EQ(from_netcdf, last_fields(read_file(dir / "csv.csv"), 7));
  const auto at_36 = last_fields(read_file(dir / "36.csv"), 7);
  ASSERT_EQ(from_netcdf.size(), 5u);
  for (std::size_t r = 0; r < salinity.size(); ++r) {
    EXPECT_EQ(from_netcdf[r + 1] == at_36[r + 1], salinity[r] == 36.0) << "record " << r;
  }
  const Outcome run = run_batch(dir, {"retrieve", "flight.csv", "-o", "out.nc", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  int id = 0;
  ASSERT_EQ(nc_open((dir / "out.nc").c_str(), NC_NOWRITE, &id), NC_NOERR);
  for (const auto& [name, units, standard_name] :
       {std::tuple{"salinity_psu", "1e-3", "sea_water_salinity"},
        {"roll_deg", "degree", "platform_roll"}}) {
    int var = -1;
    ASSERT_EQ(nc_inq_varid(id, name, &var), NC_NOERR) << name;
    EXPECT_EQ(text_attribute(id, var, "units"), units);
    EXPECT_EQ(text_attribute(id, var, "standard_name"), standard_name);
  }
  nc_close(id);
}

TEST(NetcdfForward, CfStandardNameFindsTheSstAndTbAreWrittenByChannel) {
  const TempDir dir;
  write_flight(dir / "flight.nc", "analysed_sst");
  const Outcome run =
      run_batch(dir, {"forward", "flight.nc", "-o", "tb.csv", "-q", "--map", "altitude_m=RADALT",
                      "--map", "wind_ms=WSPD", "--map", "rain_mmh=RR"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string csv = read_file(dir / "tb.csv");
  EXPECT_TRUE(csv.starts_with("sst_c,altitude_m,air_c,wind_ms,rain_mmh,time,")) << csv;
  EXPECT_NE(csv.find("tb_4.74,tb_5.31,tb_5.57,tb_6.02,tb_6.69,tb_7.09\n"), std::string::npos);
}

struct Refusal {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string message;
};

class NetcdfRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(NetcdfRefusals, OneLineNamingFileVariableAndWhat) {
  const TempDir dir;
  write_flight(dir / "flight.nc", "SST_K");
  write_file(dir / "scenes.nc", "sst_c,altitude_m\n28,3000\n");
  const Outcome run = run_batch(dir, GetParam().args);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_TRUE(names_starting(dir, "out").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetcdfRefusals,
    ::testing::Values(
        Refusal{"MissingVariable",
                {"retrieve", "flight.nc", "-o", "out.nc", "--map", "tb=TB"},
                1,
                "flight.nc: no variable for altitude_m (name one with --map altitude_m=NAME)"},
        Refusal{"MappedVariableMissing",
                with({"retrieve", "flight.nc", "-o", "out.csv", "--map", "air_c=AIR"}, map_args), 1,
                "flight.nc: no variable 'AIR' (--map air_c=AIR)"},
        Refusal{"UnknownField",
                {"retrieve", "flight.nc", "--map", "sst=SST_K"},
                2,
                "--map sst=SST_K: unknown field 'sst'"},
        Refusal{"UnconvertibleUnit",
                {"retrieve", "flight.nc", "-o", "out.nc", "--map", "altitude_m=air_c", "--map",
                 "tb=TB"},
                1,
                "flight.nc: variable 'air_c': unit 'degC' does not convert to 'm'"},
        Refusal{"WrongDimensions",
                {"retrieve", "flight.nc", "-o", "out.nc", "--map", "altitude_m=RADALT", "--map",
                 "tb=channel"},
                1,
                "flight.nc: variable 'channel': its dimensions are (channel), not (time, channel)"},
        Refusal{"NotNetcdf",
                {"forward", "scenes.nc", "-o", "out.csv"},
                1,
                "scenes.nc: cannot open it as NetCDF"},
        Refusal{"NetcdfToStandardOutput",
                with({"retrieve", "flight.nc", "--output-format", "netcdf"}, map_args), 2,
                "--output-format netcdf: standard input and output are CSV; name a file"},
        Refusal{"MapTbOnCsv",
                {"retrieve", "-", "--map", "tb=TB"},
                2,
                "a CSV file has no two-dimensional variable"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
