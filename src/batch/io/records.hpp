// Records of named fields, moved in blocks: what the row loop reads from a
// RecordSource and writes to a RecordSink. CSV is one implementation of
// each (io/csv.hpp); other file formats plug in the same way. A source runs
// on the caller's thread; a sink on a thread of its own, and it writes what
// it is given before write() returns (a live feed waits on it).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nerido::batch {

// One field of a record, as it lies in RecordBlock::text.
struct FieldSpan {
  std::uint32_t offset = 0;  // from the start of the block's text
  std::uint32_t size = 0;
  bool quoted = false;   // between quotes (included in the span)
  bool escaped = false;  // holds doubled quotes
};

// One record of a block, and what became of it.
struct RecordSpan {
  std::uint32_t offset = 0;  // its text in RecordBlock::text, line end excluded
  std::uint32_t size = 0;
  std::uint64_t line = 0;         // where it starts in its file, for messages
  std::uint32_t first_field = 0;  // its fields in RecordBlock::fields
  std::uint32_t field_count = 0;
  std::uint32_t problem_field = 0;  // when malformed: the field at fault (1 = first)
  std::string_view problem{};       // why it is malformed; empty when not
  // Filled by the row loop: the end of its appended cells in `cells`, and
  // where the reason it is bad lies in `reasons` (empty when it is good).
  std::uint32_t cells_end = 0;
  std::uint32_t reason_offset = 0;
  std::uint32_t reason_size = 0;
};

// A run of consecutive records, and the rows they became.
struct RecordBlock {
  // From the source.
  std::string text;
  std::vector<RecordSpan> records;
  std::vector<FieldSpan> fields;
  std::uint64_t input_offset = 0;  // input bytes read up to the end of the block (progress)
  // The input cannot go on after these records: why (FILE:LINE: reason).
  std::optional<std::string> input_stop;

  // From the row loop: rows[0, rows) are converted.
  std::uint32_t rows = 0;
  std::string cells;    // each row's appended cells, ",cell,cell..."
  std::string reasons;  // the reasons bad rows are bad, back to back
  std::string side;     // what the run collects beside its output (a picture's data)
  std::optional<std::string> row_stop;  // a bad row that stops the run: FILE:LINE: reason

  [[nodiscard]] std::string_view record_text(const RecordSpan& r) const noexcept {
    return std::string_view(text).substr(r.offset, r.size);
  }
  [[nodiscard]] std::string_view raw_field(const FieldSpan& f) const noexcept {
    return std::string_view(text).substr(f.offset, f.size);
  }
  // A field's value: quotes removed and doubled quotes undone (in `scratch`
  // when they had to be).
  [[nodiscard]] std::string_view value(const FieldSpan& f, std::string& scratch) const;
  [[nodiscard]] std::string_view reason(const RecordSpan& r) const noexcept {
    return std::string_view(reasons).substr(r.reason_offset, r.reason_size);
  }
  // Empties the block for reuse; memory beyond a usual block's is released.
  void clear();
};

class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // The names of the records' fields, known before the first block.
  [[nodiscard]] virtual std::span<const std::string> schema() const noexcept = 0;
  // Fills an empty block with the next records, each field as text (a
  // number as append_number writes it, a missing value empty); false when
  // there are none. Throws DataError naming the file when it cannot read.
  virtual bool read(RecordBlock& block) = 0;
  // The input's name in messages.
  [[nodiscard]] virtual const std::string& name() const noexcept = 0;
  // "FILE:LINE" for the record that starts at `line`; line 0 is the schema's.
  [[nodiscard]] virtual std::string where(std::uint64_t line) const = 0;
  // Records (CSV: blank lines) skipped as empty so far.
  [[nodiscard]] virtual std::uint64_t skipped() const noexcept { return 0; }
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Before any block. `error_column`: bad rows are written, with their
  // reason in a last field named "error". Throws DataError when the output
  // cannot take them.
  virtual void begin(std::span<const std::string> input, std::span<const std::string> appended,
                     bool error_column) = 0;
  // Writes rows [0, block.rows), in input order. Throws DataError when they
  // cannot be written.
  virtual void write(const RecordBlock& block) = 0;
  // After the last block.
  virtual void finish() = 0;
};

}  // namespace nerido::batch
