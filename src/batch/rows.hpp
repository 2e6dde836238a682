// The row loop: records from a RecordSource become rows of a RecordSink,
// each with cells appended that a conversion computes from some of its
// fields (found by name). The reading, threading, order, bad rows and
// output are the same for every conversion and every file format.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch/io/records.hpp"

namespace nerido::batch {

// Computes one row's appended cells (",cell,cell...") into `cells` and what
// the run collects beside it into `side`, from the values of the input
// fields in the order the conversion names them (its inputs, then its
// optional inputs); or sets `reason` (one
// line) and answers false, having appended nothing.
using RowConverter =
    std::function<bool(std::span<const std::string_view> values, std::string& cells,
                       std::string& side, std::string& reason)>;

// A field a conversion reads when the input has it (nerido's optional
// fields: the salinity, the attitude).
struct OptionalInput {
  std::string name;
  std::string absent;  // what a row of an input without the field reads instead
  // The option that gave `absent` for the whole input (e.g. "--salinity"),
  // if one did: an input with the field as well is then a usage error.
  std::string given_by;
};

struct RowConversion {
  std::vector<std::string> inputs;             // the fields read
  std::vector<OptionalInput> optional_inputs;  // read after them, in this order
  std::vector<std::string> outputs;            // the fields appended
  // One converter per worker thread, which may keep state from row to row.
  std::function<RowConverter()> make_converter;
};

// What a bad row does.
enum class OnError {
  stop,  // the run stops before it
  mark,  // it is written with empty appended cells and the reason in a last field "error"
};

struct RowOptions {
  OnError on_error = OnError::stop;
  unsigned threads = 1;
  // Called on the writer thread after each block is written.
  std::function<void(const RecordBlock&)> written;
};

struct RowResult {
  std::uint64_t rows = 0;
  std::uint64_t marked = 0;
  std::optional<std::string> first_mark;  // FILE:LINE: reason
  // Why the run stopped before the end of the input (a bad row, or input
  // that cannot go on).
  std::optional<std::string> stop;
};

// Throws DataError naming the input when it lacks an input field or has one
// twice, or has a field already that would be appended; UsageError when it
// has an optional field whose value an option gave; and what the source and
// sink throw.
RowResult run_rows(RecordSource& source, RecordSink& sink, const RowConversion& conversion,
                   const RowOptions& options);

}  // namespace nerido::batch
