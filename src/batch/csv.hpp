// CSV as RFC 4180 writes it: records split from a byte stream, each with the
// input line it starts on, and the fields of one record.
//
// Accepted: LF and CRLF line ends, a UTF-8 byte-order mark before the first
// record, a last record without a line end, and quoted fields that hold
// commas, doubled quotes and line ends. Blank lines are skipped and counted.
// A record is held whole in memory, so its length is bounded: a longer one is
// reported, and the reader's memory stays the same whatever the input size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nerido::batch {

// Longest record accepted (bytes, without its line end).
inline constexpr std::size_t max_record_bytes = std::size_t{1} << 20;

// Where the bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `buffer`; 0 at the end of the input.
  // Throws DataError when the input cannot be read.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

// Bytes held in memory (tests, fuzzing), handed out in pieces of at most
// `piece` bytes, so that records straddle the reads.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes, std::size_t piece = 65536)
      : bytes_(bytes), piece_(piece) {}
  std::size_t read(char* buffer, std::size_t size) override;

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

// One record: its text without the line end, and the line it starts on
// (1 for the first line of the input).
struct RecordView {
  std::string_view text;
  std::uint64_t line = 0;
};

enum class ReadStatus {
  record,    // a record was read
  end,       // the input has ended
  too_long,  // the record starting at the given line is longer than the limit
};

// Splits a byte stream into records.
class RecordReader {
 public:
  explicit RecordReader(ByteSource& source, std::size_t max_record = max_record_bytes);

  // The next record that is not blank. Its text stays valid until the next
  // call. After `too_long` every call answers `too_long` again, with the line
  // of the record that was too long.
  ReadStatus next(RecordView& record);

  // Blank lines skipped so far.
  [[nodiscard]] std::uint64_t blank_lines() const noexcept { return blank_lines_; }
  // Longest record accepted (bytes).
  [[nodiscard]] std::size_t max_record() const noexcept { return max_record_; }
  // Input bytes up to the end of the last record returned (for progress).
  [[nodiscard]] std::uint64_t bytes_consumed() const noexcept { return consumed_; }

 private:
  // Reads more bytes after the ones held; false when the input has ended.
  bool fill();
  void skip_byte_order_mark();

  ByteSource& source_;
  std::size_t max_record_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;               // start of the current record in buffer_
  std::size_t scan_ = 0;                // bytes of the current record scanned so far end here
  std::size_t end_ = 0;                 // end of the bytes held
  bool quoted_ = false;                 // inside a quoted field at scan_
  std::uint64_t line_ = 1;              // line the current record starts on
  std::uint64_t line_ends_inside_ = 0;  // quoted line ends of the current record so far
  std::uint64_t blank_lines_ = 0;
  std::uint64_t held_offset_ = 0;  // input offset of buffer_[0]
  std::uint64_t consumed_ = 0;
  bool started_ = false;
  bool ended_ = false;
  bool failed_ = false;
};

// A field as written in the record: quotes, if any, included.
using RawField = std::string_view;

// Why a record's quoting is malformed, and in which field (1 = first).
struct QuoteError {
  std::size_t field;
  std::string_view reason;
};

// Splits a record into its fields (at least one). On malformed quoting
// (a quote inside an unquoted field, text after a closing quote, a quote
// never closed) answers why, and `fields` holds the fields before it.
std::optional<QuoteError> split_fields(std::string_view record, std::vector<RawField>& fields);

// A field's value: the text between the quotes with doubled quotes undone,
// or the field itself when unquoted. `scratch` holds the text when it had to
// be rewritten; the answer may point into the field or into `scratch`.
std::string_view field_value(RawField field, std::string& scratch);

// `text` without the blanks (spaces, tabs) around it.
std::string_view trim_blanks(std::string_view text) noexcept;

// Appends `value` as one CSV field, quoted when it holds a comma, a quote or
// a line end.
void append_field(std::string& out, std::string_view value);

}  // namespace nerido::batch
