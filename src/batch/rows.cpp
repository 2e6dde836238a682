#include "batch/rows.hpp"

#include <algorithm>

#include "batch/errors.hpp"

namespace nerido::batch {
namespace {

std::string at_line(std::string_view file_name, std::uint64_t line) {
  return std::string(file_name) + ":" + std::to_string(line) + ": ";
}

// The header's column names, blanks around them dropped.
std::vector<std::string> header_names(const RecordView& header, std::string_view file_name) {
  std::vector<RawField> fields;
  if (const auto error = split_fields(header.text, fields)) {
    throw DataError(at_line(file_name, header.line) + "header field " +
                    std::to_string(error->field) + ": " + std::string(error->reason));
  }
  std::vector<std::string> names;
  std::string scratch;
  for (const RawField field : fields) {
    names.emplace_back(trim_blanks(field_value(field, scratch)));
  }
  return names;
}

}  // namespace

CsvLayout read_layout(const RecordView& header, const RowTransform& transform, OnError on_error,
                      std::string_view file_name) {
  const std::vector<std::string> names = header_names(header, file_name);
  std::vector<std::string> appended(transform.outputs().begin(), transform.outputs().end());
  if (on_error == OnError::mark) {
    appended.emplace_back(error_column);
  }
  for (const std::string& name : appended) {
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      throw UsageError(std::string(file_name) + " has a column '" + name +
                       "' already; it would be appended again");
    }
  }
  CsvLayout layout;
  layout.field_count = names.size();
  for (const std::string& input : transform.inputs()) {
    const auto first = std::find(names.begin(), names.end(), input);
    if (first == names.end()) {
      throw DataError(at_line(file_name, header.line) + "no column '" + input + "' in the header");
    }
    const auto second = std::find(first + 1, names.end(), input);
    if (second != names.end()) {
      throw DataError(at_line(file_name, header.line) + "column '" + input +
                      "' appears twice in the header (fields " +
                      std::to_string(first - names.begin() + 1) + " and " +
                      std::to_string(second - names.begin() + 1) + ")");
    }
    layout.input_fields.push_back(static_cast<std::size_t>(first - names.begin()));
  }
  layout.output_header = header.text;
  for (const std::string& name : appended) {
    layout.output_header += ',';
    append_field(layout.output_header, name);
  }
  layout.output_header += '\n';
  return layout;
}

bool CsvChunkSource::fill(Chunk& chunk) {
  RecordView record;
  while (chunk.text.size() < chunk_bytes) {
    const ReadStatus status = reader_.next(record);
    if (status == ReadStatus::end) {
      break;
    }
    if (status == ReadStatus::too_long) {
      chunk.input_stop = at_line(file_name_, record.line) + "record longer than " +
                         std::to_string(reader_.max_record()) + " bytes";
      break;
    }
    chunk.records.push_back({chunk.text.size(), record.text.size(), record.line});
    chunk.text += record.text;
  }
  chunk.input_offset = reader_.bytes_consumed();
  return !chunk.records.empty() || chunk.input_stop.has_value();
}

CsvChunkWorker::CsvChunkWorker(const RowTransform& transform, const CsvLayout& layout,
                               OnError on_error, std::string_view file_name)
    : layout_(layout),
      on_error_(on_error),
      file_name_(file_name),
      appended_count_(transform.outputs().size()),
      converter_(transform.converter()),
      scratch_(layout.input_fields.size()),
      values_(layout.input_fields.size()) {}

std::optional<std::string> CsvChunkWorker::convert(std::string_view record, std::string& out,
                                                   std::string& side) {
  if (const auto error = split_fields(record, fields_)) {
    return "field " + std::to_string(error->field) + ": " + std::string(error->reason);
  }
  if (fields_.size() != layout_.field_count) {
    return std::to_string(fields_.size()) + (fields_.size() == 1 ? " field" : " fields") +
           ", the header has " + std::to_string(layout_.field_count);
  }
  for (std::size_t i = 0; i < values_.size(); ++i) {
    values_[i] = field_value(fields_[layout_.input_fields[i]], scratch_[i]);
  }
  return converter_->convert(values_, out, side);
}

void CsvChunkWorker::process(Chunk& chunk) {
  std::string& out = chunk.output;
  for (const RecordSpan& span : chunk.records) {
    const std::string_view record(chunk.text.data() + span.offset, span.size);
    const std::size_t row_start = out.size();
    out += record;
    std::optional<std::string> reason = convert(record, out, chunk.side);
    if (reason && on_error_ == OnError::stop) {
      out.resize(row_start);
      chunk.row_stop = at_line(file_name_, span.line) + *reason;
      return;
    }
    if (reason) {
      out.append(appended_count_, ',');
      out += ',';
      append_field(out, *reason);
      if (!chunk.first_mark) {
        chunk.first_mark = at_line(file_name_, span.line) + *reason;
      }
      ++chunk.marked;
    } else if (on_error_ == OnError::mark) {
      out += ',';
    }
    out += '\n';
    ++chunk.rows;
  }
}

}  // namespace nerido::batch
