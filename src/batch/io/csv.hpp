// CSV as RFC 4180 writes it, read and written as records (io/records.hpp).
//
// Accepted: LF and CRLF line ends, a UTF-8 byte-order mark before the
// header, a last record without a line end, and quoted fields that hold
// commas, doubled quotes and line ends. Blank lines are skipped and counted.
// Each record is scanned once, for its end and its fields together. A
// record is held whole in memory, so its length is bounded: a longer one
// stops the input, and memory stays the same whatever the input size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/io/records.hpp"

namespace nerido::batch {

// Longest record accepted (bytes, without its line end).
inline constexpr std::size_t max_record_bytes = std::size_t{1} << 20;

// Where a CSV source's bytes come from: up to `size` bytes into `buffer`,
// 0 at the end (InputFile::read, or bytes in memory).
using ReadBytes = std::function<std::size_t(char* buffer, std::size_t size)>;
// True when a read would have to wait for more input (InputFile::would_wait).
using WouldWait = std::function<bool()>;

class CsvSource : public RecordSource {
 public:
  // Records in a block: about this much text.
  static constexpr std::size_t block_bytes = std::size_t{64} << 10;

  // Reads the header. A block is handed on as soon as a read would wait, so
  // that a live feed's rows go through at once. Throws DataError naming the
  // file and line for an empty input, a header too long or badly quoted.
  // A stop (`stop` set) ends the input before a line it may have cut short.
  CsvSource(std::string name, ReadBytes read, WouldWait would_wait = {},
            const std::atomic<bool>* stop = nullptr, std::size_t max_record = max_record_bytes);

  [[nodiscard]] std::span<const std::string> schema() const noexcept override { return names_; }
  // Gives the column named `column` the name `field` (--map); false when
  // there is no such column.
  bool rename(std::string_view column, const std::string& field);
  bool read(RecordBlock& block) override;
  [[nodiscard]] const std::string& name() const noexcept override { return name_; }
  [[nodiscard]] std::string where(std::uint64_t line) const override;
  [[nodiscard]] std::uint64_t skipped() const noexcept override { return blank_lines_; }
  // The header record as it stood.
  [[nodiscard]] const std::string& header_text() const noexcept { return header_; }

 private:
  enum class State { field_start, unquoted, quoted, quote_in_quoted, carriage_return };
  // Reads and scans into `block` until it holds one record (`one_record`),
  // a block's worth, or all a live input has sent; or a record is too long.
  void take(RecordBlock& block, bool one_record);
  // Scans block.text from scan_ on, appending every record it completes.
  void scan(RecordBlock& block, bool one_record);
  void end_field(RecordBlock& block, std::size_t end);
  void end_record(RecordBlock& block, std::size_t end, std::size_t next);
  void mark_problem(std::string_view problem);
  // Ends the block after its last complete record; the rest starts the next.
  void hand_off(RecordBlock& block);
  bool fill(RecordBlock& block);
  // Ends the record the input ends in, if any.
  void end_input(RecordBlock& block);

  std::string name_;
  ReadBytes read_;
  WouldWait would_wait_;
  const std::atomic<bool>* stop_;
  std::size_t max_record_;
  std::vector<std::string> names_;
  std::string header_;
  std::string carry_;  // the start of a record the previous block ended in
  State state_ = State::field_start;
  std::size_t record_start_ = 0;
  std::size_t field_start_ = 0;
  std::size_t scan_ = 0;
  std::size_t cr_at_ = 0;
  bool field_quoted_ = false;
  bool field_escaped_ = false;
  std::uint32_t record_fields_ = 0;
  std::uint32_t problem_field_ = 0;
  std::string_view problem_;
  std::uint64_t line_ = 1;
  std::uint64_t header_line_ = 1;
  std::uint64_t lines_inside_ = 0;
  std::uint64_t blank_lines_ = 0;
  std::uint64_t consumed_ = 0;  // input bytes before the block being filled
  bool ended_ = false;
  bool too_long_ = false;
  bool failed_ = false;
};

// Writes rows as CSV: a good row is its record as it stood and the appended
// cells; a marked row has exactly the header's fields (its own in order,
// missing ones empty, extra ones dropped), empty appended cells and the
// reason in the error field, followed by "; record: " and the record's
// escaped text when its fields could not be kept as they stood.
class CsvSink : public RecordSink {
 public:
  // Writes through `write`; `header`: the input's header as it stood, or
  // empty to write the names.
  CsvSink(std::function<void(std::string_view)> write, std::string header)
      : write_(std::move(write)), header_(std::move(header)) {}
  void begin(std::span<const std::string> input, std::span<const std::string> appended,
             bool error_column) override;
  void write(const RecordBlock& block) override;
  void finish() override {}

 private:
  std::function<void(std::string_view)> write_;
  std::string header_;
  std::size_t input_count_ = 0;
  std::size_t appended_count_ = 0;
  bool error_column_ = false;
  std::string buffer_;
  std::string scratch_;
};

// Appends `value` as one CSV field, quoted when it holds a comma, a quote or
// a line end.
void append_field(std::string& out, std::string_view value);

}  // namespace nerido::batch
