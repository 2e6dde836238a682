// Flight files: units converted with UDUNITS-2, NetCDF variables read as
// nerido's values (fill values, valid ranges, packing), channels matched by
// frequency.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "flightfile/netcdf_input.hpp"
#include "flightfile/netcdf_output.hpp"
#include "flightfile/units.hpp"
#include "nerido/nerido.hpp"
#include "netcdf_text.hpp"

namespace {

using nerido::testing::text_attribute;

using nerido::flightfile::FileError;
using nerido::flightfile::NetcdfInput;
using nerido::flightfile::UnitError;
using nerido::flightfile::Units;

const Units& units() {
  static const Units shared;
  return shared;
}

struct ConversionCase {
  const char* from;
  const char* to;
  double value;
  float expected;  // after the one rounding to single precision
};

TEST(Units, ConvertedOnceInDoublePrecision) {
  const ConversionCase cases[] = {
      // 301.15 K must give the float a CSV with 28 in it gives.
      {"K", "degC", 301.15, 28.0f},
      {"kelvin", "degC", 271.15, -2.0f},
      {"degC", "degC", 28.25, 28.25f},
      {"celsius", "degC", -70.0, -70.0f},
      {"ft", "m", 1000.0, 304.8f},
      {"km", "m", 3.0, 3000.0f},
      {"m", "m", 3000.0, 3000.0f},
      {"knots", "m s-1", 10.0, static_cast<float>(18520.0 / 3600.0)},
      {"m/s", "m s-1", 12.5, 12.5f},
      {"mm h-1", "mm h-1", 5.0, 5.0f},
      {"mm/hr", "mm h-1", 5.0, 5.0f},
      {"m s-1", "mm h-1", 1e-6, 3.6f},
      {"MHz", "GHz", 4740.0, 4.74f},
      {"psu", "psu", 35.5, 35.5f},
      {"PSU", "psu", 20.0, 20.0f},
      {"1e-3", "psu", 36.0, 36.0f},
      {"1", "psu", 36.0, 36.0f},
      // The field table's spelling, CF's: "1" in the file is still psu.
      {"psu", "1e-3", 35.5, 35.5f},
      {"0.001", "1e-3", 30.0, 30.0f},
      {"1", "1e-3", 36.0, 36.0f},
      // A plain number is UDUNITS-2's, not practical salinity's.
      {"1e-3", "1", 36.0, 0.036f},
  };
  for (const auto& c : cases) {
    const auto conversion = units().conversion(c.from, c.to);
    EXPECT_EQ(static_cast<float>(conversion(c.value)), c.expected) << c.from << " to " << c.to;
  }
}

TEST(Units, RefusalsSayWhatIsWrong) {
  struct Refusal {
    const char* from;
    const char* to;
    const char* message;
  };
  const Refusal cases[] = {
      {"ft", "degC", "unit 'ft' does not convert to 'degC'"},
      {"bananas", "m", "unit 'bananas' is not a unit UDUNITS-2 knows"},
      {"g/kg", "psu", "unit 'g/kg' is not one of practical salinity's"},
      {"g/kg", "1e-3", "unit 'g/kg' is not one of practical salinity's"},
      {"", "m", "unit '' does not convert to 'm'"},
  };
  for (const auto& c : cases) {
    try {
      (void)units().conversion(c.from, c.to);
      ADD_FAILURE() << "'" << c.from << "' was taken";
    } catch (const UnitError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

TEST(Units, EveryFieldsUnitIsOneUdunitsKnows) {
  for (std::size_t i = 0; i < nerido::field_count; ++i) {
    const auto& field = nerido::field_range(static_cast<nerido::SceneField>(i));
    EXPECT_NO_THROW((void)units().conversion(field.cf_units, field.cf_units)) << field.name;
  }
}

// A small NetCDF file written with netCDF-C itself.
class FlightFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("nerido_flightfile_" + std::to_string(::getpid()) + ".nc");
    int id = 0;
    int time = 0;
    int channel = 0;
    ASSERT_EQ(nc_create(path_.c_str(), NC_CLOBBER | NC_NETCDF4 | NC_CLASSIC_MODEL, &id), NC_NOERR);
    ASSERT_EQ(nc_def_dim(id, "time", 5, &time), NC_NOERR);
    ASSERT_EQ(nc_def_dim(id, "channel", 6, &channel), NC_NOERR);
    // SST in kelvin with a fill value and a valid range.
    int sst = 0;
    nc_def_var(id, "SST", NC_DOUBLE, 1, &time, &sst);
    text(id, sst, "units", "K");
    text(id, sst, "standard_name", "sea_surface_temperature");
    const double fill = -999.0;
    const double range[] = {260.0, 320.0};
    nc_put_att_double(id, sst, "_FillValue", NC_DOUBLE, 1, &fill);
    nc_put_att_double(id, sst, "valid_range", NC_DOUBLE, 2, range);
    // Altitude packed into shorts: 10 ft steps, with a missing value.
    int alt = 0;
    nc_def_var(id, "ALT", NC_SHORT, 1, &time, &alt);
    text(id, alt, "units", "ft");
    const double scale = 10.0;
    const double offset = 5.0;
    const short missing = -32767;
    nc_put_att_double(id, alt, "scale_factor", NC_DOUBLE, 1, &scale);
    nc_put_att_double(id, alt, "add_offset", NC_DOUBLE, 1, &offset);
    nc_put_att_short(id, alt, "missing_value", NC_SHORT, 1, &missing);
    // A wind without units.
    int wind = 0;
    nc_def_var(id, "wind", NC_FLOAT, 1, &time, &wind);
    // Frequencies in MHz, in another order than nerido's.
    int freq = 0;
    nc_def_var(id, "channel", NC_DOUBLE, 1, &channel, &freq);
    text(id, freq, "units", "MHz");
    // Six measured Tb a record, on those channels.
    int tb = 0;
    const int tb_dims[] = {time, channel};
    nc_def_var(id, "TB", NC_FLOAT, 2, tb_dims, &tb);
    text(id, tb, "units", "K");
    ASSERT_EQ(nc_enddef(id), NC_NOERR);
    std::vector<float> tb_values(5 * 6);
    for (std::size_t i = 0; i < tb_values.size(); ++i) {
      tb_values[i] = 110.0f + static_cast<float>(i);
    }
    nc_put_var_float(id, tb, tb_values.data());
    const double sst_values[] = {301.15, -999.0, 250.0, 271.15,
                                 std::numeric_limits<double>::quiet_NaN()};
    const short alt_values[] = {300, -32767, 0, 1000, 1};
    const float wind_values[] = {10.0f, 0.5f, 150.0f, 0.0f, 3.25f};
    const double freq_mhz[] = {7090.0, 4740.0, 6690.0, 5310.0, 6020.0, 5570.0};
    nc_put_var_double(id, sst, sst_values);
    nc_put_var_short(id, alt, alt_values);
    nc_put_var_float(id, wind, wind_values);
    nc_put_var_double(id, freq, freq_mhz);
    ASSERT_EQ(nc_close(id), NC_NOERR);
  }
  void TearDown() override { std::filesystem::remove(path_); }

  static void text(int id, int var, const char* name, const std::string& value) {
    nc_put_att_text(id, var, name, value.size(), value.c_str());
  }

  // Every value of a one-dimensional variable as nerido takes it.
  std::vector<float> values(const char* variable, const char* unit, bool& unitless) const {
    const NetcdfInput file(path_);
    const auto v = file.variable(variable);
    EXPECT_TRUE(v.has_value());
    const auto rule = nerido::flightfile::value_rule(file, units(), *v, unit, unitless);
    const std::size_t start[] = {0};
    const std::size_t count[] = {5};
    std::vector<double> stored(5);
    file.read(*v, start, count, stored.data());
    std::vector<float> result;
    for (const double s : stored) {
      result.push_back(rule.value(s));
    }
    return result;
  }

  std::filesystem::path path_;
};

// The values as the CSV path would take them; NaN where missing or invalid.
void expect_values(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "record " << i << ": " << got[i];
    } else {
      EXPECT_EQ(got[i], want[i]) << "record " << i;
    }
  }
}

TEST_F(FlightFile, ValuesAreTestedUnpackedConvertedAndRoundedOnce) {
  bool unitless = false;
  // Fill value, below the valid range, and NaN are missing.
  expect_values(values("SST", "degC", unitless), {28.0f, NAN, NAN, -2.0f, NAN});
  EXPECT_FALSE(unitless);
  // (stored * 10 + 5) ft in metres; the missing value tested as stored.
  expect_values(values("ALT", "m", unitless),
                {static_cast<float>(3005.0 * 0.3048), NAN, static_cast<float>(5.0 * 0.3048),
                 static_cast<float>(10005.0 * 0.3048), static_cast<float>(15.0 * 0.3048)});
  expect_values(values("wind", "m s-1", unitless), {10.0f, 0.5f, 150.0f, 0.0f, 3.25f});
  EXPECT_TRUE(unitless);
}

TEST_F(FlightFile, VariablesFoundByNameOrStandardName) {
  const NetcdfInput file(path_);
  EXPECT_FALSE(file.variable("sst_c").has_value());
  const auto by_standard_name = file.variables_named("sea_surface_temperature");
  ASSERT_EQ(by_standard_name.size(), 1u);
  EXPECT_EQ(by_standard_name[0].name, "SST");
  EXPECT_TRUE(file.variables_named("air_temperature").empty());
}

TEST_F(FlightFile, UnconvertibleUnitNamesFileAndVariable) {
  const NetcdfInput file(path_);
  bool unitless = false;
  try {
    (void)nerido::flightfile::value_rule(file, units(), *file.variable("ALT"), "degC", unitless);
    FAIL() << "feet taken as a temperature";
  } catch (const FileError& error) {
    EXPECT_EQ(std::string(error.what()),
              path_.string() + ": variable 'ALT': unit 'ft' does not convert to 'degC'");
  }
}

TEST_F(FlightFile, ChannelsMatchedByFrequencyInAnyOrder) {
  const NetcdfInput file(path_);
  bool unitless = false;
  const auto v = *file.variable("channel");
  const auto rule = nerido::flightfile::value_rule(file, units(), v, "GHz", unitless);
  const std::size_t start[] = {0};
  const std::size_t count[] = {6};
  std::vector<double> mhz(6);
  file.read(v, start, count, mhz.data());
  std::vector<double> ghz;
  for (const double f : mhz) {
    ghz.push_back(rule.unit(f));
  }
  const auto index = nerido::flightfile::match_channels(ghz, "f: ");
  EXPECT_EQ(index, (std::array<std::size_t, 6>{1, 3, 5, 4, 2, 0}));
}

TEST_F(FlightFile, OutputCopiesTheInputAndDescribesWhatWasComputed) {
  using nerido::flightfile::ComputedVariable;
  const auto out = path_.string() + ".out.nc";
  {
    const NetcdfInput input(path_);
    const auto sst = *input.variable("SST");
    const ComputedVariable computed[] = {
        {"tb",
         ComputedVariable::Shape::record_channel,
         ComputedVariable::Type::real,
         {{"units", "K"}, {"standard_name", "brightness_temperature"}},
         {}},
        {"ret_status",
         ComputedVariable::Shape::record,
         ComputedVariable::Type::flag,
         {{"standard_name", "status_flag"}, {"flag_meanings", "ok at_bound"}},
         {0, 1}},
    };
    nerido::flightfile::NetcdfOutput output(
        out, out, {.name = "time", .length = 5, .unlimited = false, .input_id = sst.dimensions[0]},
        computed, &input, "2026-12-09T00:00:00Z nerido-batch 0.3.0 forward in.nc -o out.nc");
    output.copy_records(0, 3);
    output.copy_records(3, 2);
    std::vector<float> tb(5 * 6, 120.5f);
    tb[6] = NAN;
    output.write(0, 0, 5, tb);
    const signed char flags[] = {0, 1, 0, 1, nerido::flightfile::no_flag};
    output.write_flags(1, 0, 5, flags);
    output.close();
  }
  int id = 0;
  ASSERT_EQ(nc_open(out.c_str(), NC_NOWRITE, &id), NC_NOERR);
  int format = 0;
  nc_inq_format(id, &format);
  EXPECT_EQ(format, NC_FORMAT_NETCDF4_CLASSIC);
  EXPECT_EQ(text_attribute(id, NC_GLOBAL, "Conventions"), "CF-1.8");
  EXPECT_EQ(text_attribute(id, NC_GLOBAL, "history"),
            "2026-12-09T00:00:00Z nerido-batch 0.3.0 forward in.nc -o out.nc");
  // The input's variables with their attributes and stored values.
  int sst = -1;
  ASSERT_EQ(nc_inq_varid(id, "SST", &sst), NC_NOERR);
  EXPECT_EQ(text_attribute(id, sst, "units"), "K");
  double sst_values[5] = {};
  nc_get_var_double(id, sst, sst_values);
  EXPECT_EQ(sst_values[0], 301.15);
  EXPECT_EQ(sst_values[1], -999.0);
  int alt = -1;
  ASSERT_EQ(nc_inq_varid(id, "ALT", &alt), NC_NOERR);
  nc_type alt_type = NC_NAT;
  nc_inq_vartype(id, alt, &alt_type);
  EXPECT_EQ(alt_type, NC_SHORT);
  // The computed ones, on the record dimension and nerido's channels.
  int tb = -1;
  ASSERT_EQ(nc_inq_varid(id, "tb", &tb), NC_NOERR);
  EXPECT_EQ(text_attribute(id, tb, "standard_name"), "brightness_temperature");
  float tb_values[30] = {};
  nc_get_var_float(id, tb, tb_values);
  EXPECT_EQ(tb_values[0], 120.5f);
  EXPECT_EQ(tb_values[6], NC_FILL_FLOAT);
  // The input's Tb with its channel coordinate; nerido's channels beside them.
  int measured = -1;
  ASSERT_EQ(nc_inq_varid(id, "TB", &measured), NC_NOERR);
  float measured_values[30] = {};
  nc_get_var_float(id, measured, measured_values);
  EXPECT_EQ(measured_values[29], 139.0f);
  int input_channel = -1;
  ASSERT_EQ(nc_inq_varid(id, "channel", &input_channel), NC_NOERR);
  EXPECT_EQ(text_attribute(id, input_channel, "units"), "MHz");
  int channel = -1;
  ASSERT_EQ(nc_inq_varid(id, "nerido_channel", &channel), NC_NOERR);
  float ghz[6] = {};
  nc_get_var_float(id, channel, ghz);
  EXPECT_EQ(ghz[5], 7.09f);
  int status = -1;
  ASSERT_EQ(nc_inq_varid(id, "ret_status", &status), NC_NOERR);
  signed char fill = 0;
  int no_fill = 1;
  nc_inq_var_fill(id, status, &no_fill, &fill);
  EXPECT_EQ(fill, -127);
  nc_close(id);
  std::filesystem::remove(out);
}

TEST(Channels, MismatchNamesWhatTheFileHas) {
  const std::vector<std::vector<double>> cases = {
      {4.74, 5.31, 5.57, 6.02, 6.69},              // one missing
      {4.74, 5.31, 5.57, 6.02, 6.69, 7.09, 10.7},  // one too many
      {4.74, 5.31, 5.57, 6.02, 6.69, 7.2},         // off by more than the tolerance
  };
  for (const auto& frequencies : cases) {
    EXPECT_THROW((void)nerido::flightfile::match_channels(frequencies, "f: "), FileError);
  }
  try {
    (void)nerido::flightfile::match_channels(cases[2], "f.nc: variable 'TB': ");
  } catch (const FileError& error) {
    EXPECT_EQ(std::string(error.what()),
              "f.nc: variable 'TB': its channels (4.74, 5.31, 5.57, 6.02, 6.69, 7.2 GHz) are not "
              "nerido's six (no 7.09 GHz)");
  }
}

TEST(Files, NotNetcdfIsAnErrorNamingTheFile) {
  const auto path = std::filesystem::temp_directory_path() / "nerido_not_netcdf.nc";
  std::ofstream(path) << "sst_c,altitude_m\n28,3000\n";
  EXPECT_THROW(NetcdfInput{path.string()}, FileError);
  std::filesystem::remove(path);
  const std::string garbage = "CDF\x01 not really";
  EXPECT_THROW(NetcdfInput("memory.nc", std::as_bytes(std::span(garbage))), FileError);
}

}  // namespace
