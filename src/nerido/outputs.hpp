// What nerido computes, as files name and describe it: each result's name
// (the CSV column and the NetCDF variable), its unit and its CF standard
// name. Read by nerido-batch's CSV and NetCDF writers and by the Python
// package's xarray functions, so that every file says the same.
#pragma once

#include <array>
#include <string_view>

namespace nerido {

// One result in files.
struct OutputField {
  std::string_view name;           // e.g. "ret_wind_ms"
  std::string_view cf_units;       // in UDUNITS-2's spelling; empty for flags
  std::string_view standard_name;  // CF standard name (with modifier); empty where CF has none
  std::string_view long_name;      // what it is, in words
  std::string_view ancillary;      // the result that holds its 1 sigma, if any
};

// The brightness temperatures: one (record, channel) variable in NetCDF,
// the columns tb_4.74 ... tb_7.09 in CSV.
inline constexpr OutputField brightness_temperature_output{
    "tb", "K", "brightness_temperature", "nadir brightness temperature computed by nerido", ""};

// The retrieval's results, in the order they are appended to a record.
inline constexpr std::array<OutputField, 7> retrieval_outputs{{
    {"ret_wind_ms", "m s-1", "wind_speed", "retrieved surface wind speed", "ret_wind_sigma_ms"},
    {"ret_rain_mmh", "mm h-1", "rainfall_rate", "retrieved rain rate", "ret_rain_sigma_mmh"},
    {"ret_wind_sigma_ms", "m s-1", "wind_speed standard_error",
     "1 sigma of the retrieved wind speed", ""},
    {"ret_rain_sigma_mmh", "mm h-1", "rainfall_rate standard_error",
     "1 sigma of the retrieved rain rate", ""},
    {"ret_wind_rain_correlation", "1", "", "correlation of the wind and rain errors", ""},
    {"ret_residual_rms_k", "K", "",
     "RMS over the channels used of measured minus modelled brightness temperature", ""},
    {"ret_status", "", "status_flag", "how the retrieval ended", ""},
}};

}  // namespace nerido
