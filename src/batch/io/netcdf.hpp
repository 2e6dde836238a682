// NetCDF flight files as records: a RecordSource over the variables of a
// file (nerido's fields found by name, --map or CF standard name, converted
// to nerido's units) and a RecordSink writing a NetCDF file with CF
// attributes. The row loop runs them as it runs CSV.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/cmd/commands.hpp"
#include "batch/io/records.hpp"
#include "flightfile/netcdf_input.hpp"
#include "flightfile/netcdf_output.hpp"

namespace nerido::batch {

class NetcdfSource : public RecordSource {
 public:
  // Records per block.
  static constexpr std::size_t block_records = 4096;

  // Finds the variable of each of `wanted` (nerido's names) in `file`, and
  // of each of `optional` that the file has, after them. Variables without
  // units are named once through `note`. Throws DataError naming the file
  // and variable when one of `wanted` is missing, or one found is on another
  // dimension or in a unit that does not convert.
  NetcdfSource(flightfile::NetcdfInput file, std::span<const std::string> wanted,
               const FieldMap& map, const std::function<void(const std::string&)>& note,
               std::span<const std::string> optional = {});
  // Opens `path` (DataError naming it when it is no NetCDF file).
  [[nodiscard]] static flightfile::NetcdfInput open(const std::string& path);
  ~NetcdfSource() override;

  [[nodiscard]] std::span<const std::string> schema() const noexcept override { return names_; }
  bool read(RecordBlock& block) override;
  [[nodiscard]] const std::string& name() const noexcept override { return file_.name(); }
  // "FILE: record N", N counted from 0 as the file's index.
  [[nodiscard]] std::string where(std::uint64_t line) const override;

  [[nodiscard]] const flightfile::NetcdfInput& file() const noexcept { return file_; }
  // The record dimension, for an output of the same length.
  [[nodiscard]] flightfile::RecordDimension records() const;

 private:
  struct Column;
  flightfile::Units units_;
  flightfile::NetcdfInput file_;
  int record_dimension_ = -1;
  std::size_t record_count_ = 0;
  std::size_t next_ = 0;
  std::vector<std::string> names_;
  std::vector<Column> columns_;
  std::vector<double> stored_;
};

// Writes rows as a NetCDF file: the input's variables (copied from
// `copy_from`, or the scene fields of a CSV input), and the appended fields
// as CF variables. Marked rows get fill values, and their reason on
// standard error with the record index.
class NetcdfSink : public RecordSink {
 public:
  // Writes the file `path`, named `name` in messages, from the records of
  // `source` (which names a bad row's place).
  NetcdfSink(std::string path, std::string name, const RecordSource& source,
             const NetcdfSource* copy_from, std::string history);
  ~NetcdfSink() override;
  void begin(std::span<const std::string> input, std::span<const std::string> appended,
             bool error_column) override;
  void write(const RecordBlock& block) override;
  void finish() override;

 private:
  struct Target;
  std::string path_;
  std::string name_;
  const NetcdfSource* copy_from_;
  std::string history_;
  const RecordSource& source_;
  std::unique_ptr<flightfile::NetcdfOutput> output_;
  std::vector<Target> targets_;
  std::vector<flightfile::ComputedVariable> variables_;
  std::size_t written_ = 0;
};

}  // namespace nerido::batch
