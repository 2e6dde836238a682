#include "batch/io/csv.hpp"

#include <algorithm>

#include "batch/errors.hpp"
#include "batch/io/text.hpp"

namespace nerido::batch {
namespace {

// UTF-8 byte-order mark.
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
// Bytes asked of the input at a time.
constexpr std::size_t read_bytes = std::size_t{64} << 10;
// A block whose memory grew beyond this (a long record) gives it back when cleared.
constexpr std::size_t kept_capacity = std::size_t{256} << 10;

template <typename Container>
void clear_keeping_little(Container& c, std::size_t keep) {
  if (c.capacity() > keep) {
    Container().swap(c);
  } else {
    c.clear();
  }
}

}  // namespace

std::string_view RecordBlock::value(const FieldSpan& f, std::string& scratch) const {
  std::string_view raw = raw_field(f);
  if (!f.quoted || raw.size() < 2 || raw.back() != '"') {
    return raw;
  }
  raw = raw.substr(1, raw.size() - 2);
  if (!f.escaped) {
    return raw;
  }
  scratch.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    scratch += raw[i];
    if (raw[i] == '"' && i + 1 < raw.size() && raw[i + 1] == '"') {
      ++i;
    }
  }
  return scratch;
}

void RecordBlock::clear() {
  clear_keeping_little(text, kept_capacity);
  clear_keeping_little(cells, kept_capacity);
  clear_keeping_little(reasons, kept_capacity);
  clear_keeping_little(side, kept_capacity);
  clear_keeping_little(records, kept_capacity / sizeof(RecordSpan));
  clear_keeping_little(fields, kept_capacity / sizeof(FieldSpan));
  input_offset = 0;
  input_stop.reset();
  rows = 0;
  row_stop.reset();
}

CsvSource::CsvSource(std::string name, ReadBytes read, WouldWait would_wait,
                     const std::atomic<bool>* stop, std::size_t max_record)
    : name_(std::move(name)),
      read_(std::move(read)),
      would_wait_(std::move(would_wait)),
      stop_(stop),
      max_record_(max_record) {
  RecordBlock block;
  while (block.text.size() < byte_order_mark.size() && fill(block)) {
  }
  if (std::string_view(block.text).starts_with(byte_order_mark)) {
    block.text.erase(0, byte_order_mark.size());
    consumed_ = byte_order_mark.size();
  }
  take(block, true);
  if (too_long_) {
    throw DataError(CsvSource::where(line_) + ": header longer than " +
                    std::to_string(max_record_) + " bytes");
  }
  if (block.records.empty()) {
    throw DataError(name_ + ": empty input, no header line");
  }
  const RecordSpan& header = block.records.front();
  if (!header.problem.empty()) {
    throw DataError(CsvSource::where(header.line) + ": header field " +
                    std::to_string(header.problem_field) + ": " + std::string(header.problem));
  }
  header_ = block.record_text(header);
  header_line_ = header.line;
  std::string scratch;
  for (std::uint32_t i = 0; i < header.field_count; ++i) {
    names_.emplace_back(trim_blanks(block.value(block.fields[header.first_field + i], scratch)));
  }
  hand_off(block);
}

bool CsvSource::fill(RecordBlock& block) {
  if (ended_) {
    return false;
  }
  const std::size_t held = block.text.size();
  block.text.resize(held + read_bytes);
  const std::size_t n = read_(block.text.data() + held, read_bytes);
  block.text.resize(held + n);
  ended_ = n == 0;
  return n > 0;
}

void CsvSource::mark_problem(std::string_view problem) {
  if (problem_.empty()) {
    problem_ = problem;
    problem_field_ = record_fields_ + 1;
  }
}

void CsvSource::end_field(RecordBlock& block, std::size_t end) {
  block.fields.push_back({static_cast<std::uint32_t>(field_start_),
                          static_cast<std::uint32_t>(end - field_start_), field_quoted_,
                          field_escaped_});
  ++record_fields_;
  field_quoted_ = field_escaped_ = false;
}

void CsvSource::end_record(RecordBlock& block, std::size_t end, std::size_t next) {
  const std::size_t size = end - record_start_;
  if (size > max_record_) {
    too_long_ = true;
    return;
  }
  if (size == 0) {
    block.fields.pop_back();
    ++blank_lines_;
  } else {
    block.records.push_back({static_cast<std::uint32_t>(record_start_),
                             static_cast<std::uint32_t>(size), line_,
                             static_cast<std::uint32_t>(block.fields.size() - record_fields_),
                             record_fields_, problem_field_, problem_});
  }
  line_ += 1 + lines_inside_;
  lines_inside_ = 0;
  record_fields_ = 0;
  problem_ = {};
  problem_field_ = 0;
  record_start_ = field_start_ = next;
  state_ = State::field_start;
}

void CsvSource::scan(RecordBlock& block, bool one_record) {
  const char* const data = block.text.data();
  const std::size_t size = block.text.size();
  const std::size_t records_before = block.records.size();
  std::size_t i = scan_;
  // A byte outside quotes.
  const auto unquoted = [&](char c) {
    switch (c) {
      case ',':
        end_field(block, i);
        field_start_ = i + 1;
        state_ = State::field_start;
        break;
      case '\n':
        end_field(block, i);
        end_record(block, i, i + 1);
        break;
      case '\r':
        cr_at_ = i;
        state_ = State::carriage_return;
        break;
      case '"':
        mark_problem("a quote inside an unquoted field");
        break;
      default:
        break;
    }
  };
  for (; i < size && !too_long_; ++i) {
    const char c = data[i];
    switch (state_) {
      case State::field_start:
        if (c == '"') {
          field_quoted_ = true;
          state_ = State::quoted;
          break;
        }
        state_ = State::unquoted;
        unquoted(c);
        break;
      case State::unquoted:
        unquoted(c);
        break;
      case State::quoted:
        if (c == '"') {
          state_ = State::quote_in_quoted;
        } else if (c == '\n') {
          ++lines_inside_;
        }
        break;
      case State::quote_in_quoted:
        if (c == '"') {
          field_escaped_ = true;
          state_ = State::quoted;
        } else if (c == ',' || c == '\n' || c == '\r') {
          unquoted(c);
        } else {
          mark_problem("text after a closing quote");
          state_ = State::unquoted;
        }
        break;
      case State::carriage_return:
        if (c == '\n') {
          end_field(block, cr_at_);
          end_record(block, cr_at_, i + 1);
          break;
        }
        mark_problem("a carriage return outside quotes");
        state_ = State::unquoted;
        unquoted(c);
        break;
    }
    if (one_record && block.records.size() > records_before) {
      ++i;
      break;
    }
  }
  scan_ = i;
  const std::size_t pending = scan_ - record_start_ - (state_ == State::carriage_return ? 1 : 0);
  too_long_ = too_long_ || pending > max_record_;
}

void CsvSource::end_input(RecordBlock& block) {
  if (scan_ == record_start_ || too_long_) {
    return;
  }
  if (stop_ != nullptr && stop_->load()) {
    // The input was cut short by a stop: its last line may be incomplete.
    block.fields.resize(block.fields.size() - record_fields_);
    block.text.resize(record_start_);
    record_fields_ = 0;
    scan_ = record_start_;
    return;
  }
  std::size_t end = block.text.size();
  if (state_ == State::quoted) {
    mark_problem("a quote is never closed");
  } else if (state_ == State::carriage_return) {
    end = cr_at_;  // the last line ends in a carriage return alone
  }
  end_field(block, end);
  end_record(block, end, block.text.size());
}

void CsvSource::hand_off(RecordBlock& block) {
  consumed_ += record_start_;
  carry_.assign(block.text, record_start_);
  block.text.resize(record_start_);
  block.fields.resize(block.fields.size() - record_fields_);
  block.input_offset = consumed_;
  state_ = State::field_start;
  record_start_ = field_start_ = scan_ = 0;
  record_fields_ = 0;
  lines_inside_ = 0;
  problem_ = {};
  problem_field_ = 0;
  field_quoted_ = field_escaped_ = false;
}

void CsvSource::take(RecordBlock& block, bool one_record) {
  for (;;) {
    scan(block, one_record);
    if (too_long_ || (!block.records.empty() && (one_record || block.text.size() >= block_bytes ||
                                                 (would_wait_ && !ended_ && would_wait_())))) {
      return;
    }
    if (!fill(block)) {
      end_input(block);
      return;
    }
  }
}

bool CsvSource::read(RecordBlock& block) {
  if (failed_) {
    return false;
  }
  block.text.assign(carry_);
  take(block, false);
  if (too_long_) {
    block.input_stop =
        where(line_) + ": " +
        (state_ == State::quoted
             ? "field " + std::to_string(record_fields_ + 1) + ": a quote is never closed within " +
                   std::to_string(max_record_) + " bytes"
             : "record longer than " + std::to_string(max_record_) + " bytes");
    failed_ = true;
    block.text.resize(record_start_);  // the long record is dropped, not carried
  }
  hand_off(block);
  return !block.records.empty() || block.input_stop.has_value();
}

std::string CsvSource::where(std::uint64_t line) const {
  return name_ + ":" + std::to_string(line == 0 ? header_line_ : line);
}

void CsvSink::begin(std::span<const std::string> input, std::span<const std::string> appended,
                    bool error_column) {
  input_count_ = input.size();
  appended_count_ = appended.size();
  error_column_ = error_column;
  std::string line = header_;
  if (header_.empty()) {
    for (const std::string& name : input) {
      append_field(line, name);
      line += ',';
    }
    line.pop_back();
  }
  for (const std::string& name : appended) {
    line += ',';
    append_field(line, name);
  }
  if (error_column) {
    line += ",error";
  }
  write_(line + "\n");
}

void CsvSink::write(const RecordBlock& block) {
  buffer_.clear();
  std::uint32_t cells_start = 0;
  for (std::uint32_t i = 0; i < block.rows; ++i) {
    const RecordSpan& r = block.records[i];
    const std::string_view reason = block.reason(r);
    // A marked row's fields are kept as they stood when they fit the header.
    const bool as_it_stood = reason.empty() || (r.problem.empty() && r.field_count == input_count_);
    if (as_it_stood) {
      buffer_ += block.record_text(r);
    } else {
      for (std::size_t f = 0; f < input_count_; ++f) {
        buffer_ += f == 0 ? "" : ",";
        if (f < r.field_count) {
          append_field(buffer_, block.value(block.fields[r.first_field + f], scratch_));
        }
      }
    }
    if (reason.empty()) {
      buffer_.append(block.cells, cells_start, r.cells_end - cells_start);
      buffer_ += error_column_ ? ",\n" : "\n";
    } else {
      buffer_.append(appended_count_ + 1, ',');
      append_field(buffer_, as_it_stood
                                ? std::string(reason)
                                : std::string(reason) + "; record: " +
                                      escaped(block.record_text(r), max_record_bytes, true));
      buffer_ += '\n';
    }
    cells_start = r.cells_end;
  }
  write_(buffer_);
}

void append_field(std::string& out, std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += value;
    return;
  }
  out += '"';
  for (const char c : value) {
    out += c;
    if (c == '"') {
      out += '"';
    }
  }
  out += '"';
}

bool CsvSource::rename(std::string_view column, const std::string& field) {
  const auto found = std::find(names_.begin(), names_.end(), column);
  if (found == names_.end()) {
    return false;
  }
  *found = field;
  return true;
}

}  // namespace nerido::batch
