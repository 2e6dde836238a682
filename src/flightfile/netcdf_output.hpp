// Writing a NetCDF flight file (netCDF-4, classic model): the input's
// variables on the record dimension copied with their attributes, the
// coordinate variables they name, the input's global attributes with a
// line appended to `history`, and the variables nerido computes with CF
// attributes. Written in blocks along the record dimension, so memory stays
// the same whatever the file's size. One thread, as the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flightfile/netcdf_input.hpp"

namespace nerido::flightfile {

// A variable nerido computes, and how CF describes it.
struct ComputedVariable {
  enum class Shape { record, record_channel };  // (record) or (record, channel)
  enum class Type { real, flag };               // NC_FLOAT, or NC_BYTE flags
  std::string name;
  Shape shape = Shape::record;
  Type type = Type::real;
  // Text attributes in order: units, standard_name, long_name, ...
  std::vector<std::pair<std::string, std::string>> attributes;
  // For flags: the values (flag_values) in the order of flag_meanings.
  std::vector<signed char> flag_values;
};

// The fill value of a flag variable: no status.
inline constexpr signed char no_flag = -127;

// The record dimension of the output.
struct RecordDimension {
  std::string name = "record";
  std::size_t length = 0;  // the input's record count
  bool unlimited = false;  // only where the input's is
  int input_id = -1;       // the input's record dimension, when copying from one
};

class NetcdfOutput {
 public:
  // Creates `path` (which must not exist: the caller writes into a private
  // folder and renames). `copy_from`: the input whose record variables,
  // their coordinates and global attributes are copied, or nullptr.
  // `history`: the line appended to the history attribute. Throws
  // FileError naming the file when it cannot be written.
  // `name`: the file's name in messages (the file the user named, where
  // `path` is a private one renamed over it at the end).
  NetcdfOutput(const std::string& path, const std::string& name, const RecordDimension& records,
               std::span<const ComputedVariable> computed, const NetcdfInput* copy_from,
               const std::string& history);
  ~NetcdfOutput();
  NetcdfOutput(const NetcdfOutput&) = delete;
  NetcdfOutput& operator=(const NetcdfOutput&) = delete;

  // Copies records [start, start + count) of the input's copied variables.
  void copy_records(std::size_t start, std::size_t count);
  // Writes records [start, start + count) of computed variable `index`:
  // `count` values, or count × channel_count for (record, channel); NaN is
  // written as the fill value.
  void write(std::size_t index, std::size_t start, std::size_t count,
             std::span<const float> values);
  void write_flags(std::size_t index, std::size_t start, std::size_t count,
                   std::span<const signed char> flags);
  // Writes everything out; throws FileError when it cannot.
  void close();

 private:
  struct Copied {
    Variable in;
    int out = -1;
    bool on_records = false;  // its first dimension is the record dimension
    bool as_double = false;   // a netCDF-4 type, stored as double in the classic model
    std::size_t element_size = 0;
  };
  void check(int status, std::string_view doing) const;
  void copy_globals(const std::string& history);
  void define_copies(int record_in);
  void define_copy(const Variable& v, int record_in);
  int output_dimension(int dimension_in);
  void copy_attributes(const Copied& c);
  void copy_slab(const Copied& c, std::size_t start, std::size_t count);
  void define_computed(std::span<const ComputedVariable> computed, std::size_t chunk);

  int id_ = -1;
  std::string name_;
  const NetcdfInput* input_ = nullptr;
  int record_ = -1;
  int channel_ = -1;
  std::vector<std::pair<int, int>> dimensions_;  // input id -> output id
  std::vector<Copied> copied_;
  std::vector<int> computed_;  // output variable ids
  std::vector<unsigned char> buffer_;
};

}  // namespace nerido::flightfile
