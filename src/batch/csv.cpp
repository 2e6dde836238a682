#include "batch/csv.hpp"

#include <algorithm>
#include <cstring>

namespace nerido::batch {
namespace {

// Bytes asked of the source at a time, beyond the room a record may need.
inline constexpr std::size_t read_block_bytes = std::size_t{256} << 10;
// UTF-8 byte-order mark.
inline constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// True when [text, text + size) holds an odd number of quotes. Quoting is
// balanced by parity alone: an opening and a closing quote, and each doubled
// quote inside a quoted field, come in pairs.
bool odd_quote_count(const char* text, std::size_t size) noexcept {
  bool odd = false;
  const char* const end = text + size;
  while (const void* quote = std::memchr(text, '"', static_cast<std::size_t>(end - text))) {
    odd = !odd;
    text = static_cast<const char*>(quote) + 1;
  }
  return odd;
}

bool needs_quotes(std::string_view value) noexcept {
  return value.find_first_of(",\"\r\n") != std::string_view::npos;
}

}  // namespace

std::size_t MemorySource::read(char* buffer, std::size_t size) {
  const std::size_t n = std::min({size, piece_, bytes_.size()});
  std::memcpy(buffer, bytes_.data(), n);
  bytes_.remove_prefix(n);
  return n;
}

RecordReader::RecordReader(ByteSource& source, std::size_t max_record)
    : source_(source), max_record_(max_record), buffer_(max_record + 2 + read_block_bytes) {}

bool RecordReader::fill() {
  if (ended_) {
    return false;
  }
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    held_offset_ += begin_;
    scan_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  const std::size_t n = source_.read(buffer_.data() + end_, buffer_.size() - end_);
  if (n == 0) {
    ended_ = true;
    return false;
  }
  end_ += n;
  return true;
}

void RecordReader::skip_byte_order_mark() {
  while (end_ < byte_order_mark.size() && fill()) {
  }
  if (std::string_view(buffer_.data(), end_).starts_with(byte_order_mark)) {
    begin_ = scan_ = byte_order_mark.size();
    consumed_ = begin_;
  }
}

ReadStatus RecordReader::next(RecordView& record) {
  if (!started_) {
    started_ = true;
    skip_byte_order_mark();
  }
  while (!failed_) {
    // The record ends at the first line end outside quotes.
    const char* const held = buffer_.data();
    std::size_t record_end = 0;
    bool found = false;
    while (scan_ < end_) {
      const void* line_end = std::memchr(held + scan_, '\n', end_ - scan_);
      const std::size_t limit =
          line_end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(line_end) - held)
                              : end_;
      quoted_ = quoted_ != odd_quote_count(held + scan_, limit - scan_);
      if (line_end == nullptr) {
        scan_ = end_;
        break;
      }
      scan_ = limit + 1;
      if (!quoted_) {
        record_end = limit;
        found = true;
        break;
      }
      ++line_ends_inside_;
    }
    if (!found) {
      // Without its line end the text is at least scan_ - begin_ - 1 bytes
      // (a carriage return before the line end is not part of it).
      if (scan_ - begin_ > max_record_ + 1) {
        failed_ = true;
        break;
      }
      if (fill()) {
        continue;
      }
      if (begin_ == end_) {
        return ReadStatus::end;
      }
      record_end = end_;  // the last record, without a line end
    }
    std::size_t text_end = record_end;
    if (text_end > begin_ && held[text_end - 1] == '\r') {
      --text_end;
    }
    const std::size_t length = text_end - begin_;
    if (length > max_record_) {
      failed_ = true;
      break;
    }
    record.text = std::string_view(held + begin_, length);
    record.line = line_;
    line_ += 1 + line_ends_inside_;
    line_ends_inside_ = 0;
    begin_ = scan_;
    quoted_ = false;
    consumed_ = held_offset_ + begin_;
    if (length > 0) {
      return ReadStatus::record;
    }
    ++blank_lines_;
  }
  record.text = {};
  record.line = line_;
  return ReadStatus::too_long;
}

std::optional<QuoteError> split_fields(std::string_view record, std::vector<RawField>& fields) {
  constexpr auto npos = std::string_view::npos;
  fields.clear();
  std::size_t pos = 0;
  for (;;) {
    const std::size_t number = fields.size() + 1;
    if (pos < record.size() && record[pos] == '"') {
      std::size_t close = pos + 1;
      for (;;) {
        close = record.find('"', close);
        if (close == npos) {
          return QuoteError{number, "a quote is never closed"};
        }
        if (close + 1 < record.size() && record[close + 1] == '"') {
          close += 2;  // a doubled quote inside the field
          continue;
        }
        break;
      }
      const std::size_t after = close + 1;
      if (after < record.size() && record[after] != ',') {
        return QuoteError{number, "text after a closing quote"};
      }
      fields.push_back(record.substr(pos, after - pos));
      if (after == record.size()) {
        return std::nullopt;
      }
      pos = after + 1;
    } else {
      const std::size_t comma = record.find(',', pos);
      const std::size_t stop = comma == npos ? record.size() : comma;
      const std::string_view field = record.substr(pos, stop - pos);
      if (field.find('"') != npos) {
        return QuoteError{number, "a quote inside an unquoted field"};
      }
      fields.push_back(field);
      if (comma == npos) {
        return std::nullopt;
      }
      pos = comma + 1;
    }
  }
}

std::string_view field_value(RawField field, std::string& scratch) {
  if (field.size() < 2 || field.front() != '"' || field.back() != '"') {
    return field;
  }
  const std::string_view inner = field.substr(1, field.size() - 2);
  if (inner.find('"') == std::string_view::npos) {
    return inner;
  }
  scratch.clear();
  for (std::size_t i = 0; i < inner.size(); ++i) {
    scratch += inner[i];
    if (inner[i] == '"' && i + 1 < inner.size() && inner[i + 1] == '"') {
      ++i;
    }
  }
  return scratch;
}

std::string_view trim_blanks(std::string_view text) noexcept {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void append_field(std::string& out, std::string_view value) {
  if (!needs_quotes(value)) {
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

}  // namespace nerido::batch
