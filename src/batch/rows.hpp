// CSV rows through the pipeline: a transformation reads some columns of each
// row by name and appends computed columns; every other column passes
// through unchanged, in place. The reading, the threading, the order, the
// handling of bad rows and the output are the same for every transformation.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/csv.hpp"
#include "batch/pipeline.hpp"

namespace nerido::batch {

// Computes the appended cells of one row; each worker thread has its own,
// which may keep state from row to row.
class RowConverter {
 public:
  virtual ~RowConverter() = default;
  // From the values of the input columns (in the order of inputs(), quotes
  // undone), appends each appended cell after a comma to `out`, and anything
  // the run collects beside the CSV (a picture's data) to `side`; or answers
  // why the row is bad, having appended nothing.
  virtual std::optional<std::string> convert(std::span<const std::string_view> values,
                                             std::string& out, std::string& side) = 0;
};

class RowTransform {
 public:
  virtual ~RowTransform() = default;
  // The columns read, found by name in the header.
  [[nodiscard]] virtual std::span<const std::string> inputs() const noexcept = 0;
  // The columns appended, in order.
  [[nodiscard]] virtual std::span<const std::string> outputs() const noexcept = 0;
  [[nodiscard]] virtual std::unique_ptr<RowConverter> converter() const = 0;
};

// What a bad row does.
enum class OnError {
  stop,  // the run stops before it
  mark,  // it is written with empty appended cells and the reason in a last column "error"
};

// Name of the column that holds the reason a row is bad, with OnError::mark.
inline constexpr std::string_view error_column = "error";

// The header's meaning for a transformation.
struct CsvLayout {
  std::vector<std::size_t> input_fields;  // field index of each input column
  std::size_t field_count = 0;            // fields every row must have
  std::string output_header;              // header line written, line end included
};

// Reads the header record. Throws DataError naming the file and line for
// malformed quoting, a missing input column or one named twice, and
// UsageError naming a column the transformation (or marking) would append
// that the header has already.
CsvLayout read_layout(const RecordView& header, const RowTransform& transform, OnError on_error,
                      std::string_view file_name);

// Chunks of records from a reader, about chunk_bytes of text each; a record
// longer than the reader's limit stops the input.
class CsvChunkSource : public ChunkSource {
 public:
  // Records in a chunk: about this much text.
  static constexpr std::size_t chunk_bytes = std::size_t{64} << 10;

  CsvChunkSource(RecordReader& reader, std::string file_name)
      : reader_(reader), file_name_(std::move(file_name)) {}
  bool fill(Chunk& chunk) override;

 private:
  RecordReader& reader_;
  std::string file_name_;
};

// Turns each record of a chunk into an output row: the record as it was,
// the appended cells, and (when marking) the error cell.
class CsvChunkWorker : public ChunkWorker {
 public:
  CsvChunkWorker(const RowTransform& transform, const CsvLayout& layout, OnError on_error,
                 std::string_view file_name);
  void process(Chunk& chunk) override;

 private:
  // Appends the cells of one record; or answers why it is bad.
  std::optional<std::string> convert(std::string_view record, std::string& out, std::string& side);

  const CsvLayout& layout_;
  OnError on_error_;
  std::string_view file_name_;
  std::size_t appended_count_;
  std::unique_ptr<RowConverter> converter_;
  std::vector<RawField> fields_;
  std::vector<std::string> scratch_;
  std::vector<std::string_view> values_;
};

}  // namespace nerido::batch
