// Reading the variables of a NetCDF flight file as nerido's values: each
// value read in double precision, tested against the variable's
// _FillValue, missing_value and valid_min/valid_max/valid_range as stored,
// unpacked with scale_factor and add_offset, converted to nerido's unit
// and rounded once to single precision; a missing or invalid value is NaN.
// Every call belongs to one thread (netCDF-C and UDUNITS-2 are not
// thread-safe).
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "flightfile/units.hpp"
#include "nerido/channels.hpp"

namespace nerido::flightfile {

// What is wrong with a flight file, in one line naming the file and the
// variable, e.g. "flight.nc: variable 'SST': unit 'ft' does not convert to 'degC'".
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bytes of HDF5's chunk cache for each variable of a netCDF-4 file nerido
// opens or creates (netCDF-C's default is 16 MiB a variable, which made the
// memory of a run grow with the number of variables). Files are read and
// written in blocks of consecutive records, so a few chunks suffice.
inline constexpr std::size_t chunk_cache_bytes = std::size_t{1} << 20;
// Sets it for the files opened or created after it (a process-wide setting
// of netCDF-C).
void limit_chunk_cache() noexcept;

// One variable of the file, as declared.
struct Variable {
  int id = -1;
  std::string name;
  std::vector<int> dimensions;  // their ids, slowest first
};

// A NetCDF file (netCDF-4 or classic) open for reading.
class NetcdfInput {
 public:
  // Throws FileError naming the file when it cannot be opened as NetCDF.
  explicit NetcdfInput(const std::string& path);
  // The file held in `bytes` (which must outlive this object), named `name`
  // in messages.
  NetcdfInput(const std::string& name, std::span<const std::byte> bytes);
  ~NetcdfInput();
  NetcdfInput(const NetcdfInput&) = delete;
  NetcdfInput& operator=(const NetcdfInput&) = delete;
  NetcdfInput(NetcdfInput&& other) noexcept;
  NetcdfInput& operator=(NetcdfInput&&) = delete;

  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  [[nodiscard]] int id() const noexcept { return id_; }
  // The variable called `name`, if there is one.
  [[nodiscard]] std::optional<Variable> variable(std::string_view name) const;
  // The variables whose standard_name attribute is `standard_name`.
  [[nodiscard]] std::vector<Variable> variables_named(std::string_view standard_name) const;
  // A text attribute of a variable, if it has one.
  [[nodiscard]] std::optional<std::string> text(const Variable& v, const char* attribute) const;
  // The numbers of a numeric attribute (empty when it has none).
  [[nodiscard]] std::vector<double> numbers(const Variable& v, const char* attribute) const;
  [[nodiscard]] std::string dimension_name(int dimension) const;
  [[nodiscard]] std::size_t dimension_length(int dimension) const;
  // Reads the hyperslab `start`/`count` of `v` as stored, in double precision.
  void read(const Variable& v, std::span<const std::size_t> start,
            std::span<const std::size_t> count, double* values) const;
  // "FILE: variable 'NAME': what" for messages.
  [[nodiscard]] std::string about(const Variable& v, std::string_view what) const;

 private:
  void check(int status, std::string_view doing) const;
  int id_ = -1;
  std::string name_;
};

// How the stored values of one variable become nerido's values.
struct ValueRule {
  std::vector<double> missing;  // _FillValue and missing_value, as stored
  double valid_min = -std::numeric_limits<double>::infinity();  // as stored
  double valid_max = std::numeric_limits<double>::infinity();   // as stored
  double scale = 1.0;                                           // scale_factor
  double offset = 0.0;                                          // add_offset
  Conversion unit;                                              // to nerido's unit

  // The value nerido takes for a stored value: NaN when missing or invalid.
  [[nodiscard]] float value(double stored) const noexcept;
  // The same in double precision (times, which a float cannot hold).
  [[nodiscard]] double unpacked(double stored) const noexcept;
};

// The rule of variable `v` for values in `unit` (UDUNITS-2's spelling). A
// variable without a units attribute is taken in that unit, and `unitless`
// is set. Throws FileError naming the file and variable when its unit does
// not convert.
[[nodiscard]] ValueRule value_rule(const NetcdfInput& file, const Units& units, const Variable& v,
                                   std::string_view unit, bool& unitless);

// The index in the file's channel coordinate of each of nerido's channels,
// matched by frequency within channel_tolerance_ghz. `frequencies_ghz`: the
// coordinate's values converted to GHz. Throws FileError (via `about`) when a
// channel has no match or the file has channels nerido does not.
inline constexpr double channel_tolerance_ghz = 0.005;
[[nodiscard]] std::array<std::size_t, channel_count> match_channels(
    std::span<const double> frequencies_ghz, const std::string& about_variable);

}  // namespace nerido::flightfile
