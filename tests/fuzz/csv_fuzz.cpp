// Drives the CSV reader and the forward row conversion from arbitrary bytes,
// and checks what must hold for every input: the output is the header line
// and then one complete row per record, in input order, up to a stop; each
// row is its record unchanged followed by either six Tb that read back
// bit-identical to the scene API's, or (when marking) six empty cells and a
// one-line reason.
//
// The first byte chooses the run: bit 0 marks bad rows instead of stopping,
// bits 1-3 the bytes per read (1 to 128), bits 4-7 the record limit (16 to
// 256 bytes), so that short inputs reach every path of the reader.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch_memory_run.hpp"
#include "nerido/nerido.hpp"

namespace {

using namespace nerido;
using namespace nerido::batch;

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// The six Tb a record should get, or nothing for a bad row.
std::optional<std::array<float, channel_count>> expected_tb(std::string_view record,
                                                            const CsvLayout& layout) {
  std::vector<RawField> fields;
  if (split_fields(record, fields) || fields.size() != layout.field_count) {
    return std::nullopt;
  }
  std::vector<std::string> scratch(layout.input_fields.size());
  std::vector<std::string_view> values;
  for (std::size_t i = 0; i < layout.input_fields.size(); ++i) {
    values.push_back(field_value(fields[layout.input_fields[i]], scratch[i]));
  }
  Scene scene{};
  if (read_scene(values, scene)) {
    return std::nullopt;
  }
  return brightness_temperatures(scene);
}

// Checks the cells after a record: ",tb,...,tb" (and ",", marking) or, for a
// bad row, ",,,,,,,reason".
void check_appended(std::string_view appended, const std::optional<std::array<float, 6>>& tb,
                    bool marking) {
  if (!tb) {
    check(marking);
    check(appended.starts_with(",,,,,,,") && appended.size() > 7);
    check(appended.find('\n') == std::string_view::npos);
    return;
  }
  if (marking) {
    check(appended.ends_with(","));
    appended.remove_suffix(1);
  }
  for (const float value : *tb) {
    check(appended.starts_with(","));
    appended.remove_prefix(1);
    const std::size_t end = std::min(appended.find(','), appended.size());
    float read = 0.0f;
    const auto result = std::from_chars(appended.data(), appended.data() + end, read);
    check(result.ec == std::errc{} && result.ptr == appended.data() + end);
    check(std::bit_cast<std::uint32_t>(read) == std::bit_cast<std::uint32_t>(value));
    appended.remove_prefix(end);
  }
  check(appended.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t control = size > 0 ? data[0] : 0;
  const std::string_view bytes =
      size > 0 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1) : "";
  const bool marking = (control & 1u) != 0;
  const std::size_t piece = std::size_t{1} << ((control >> 1) & 7u);
  const std::size_t max_record = 16 * (std::size_t{1} + (control >> 4));

  const nerido::testing::MemoryRun run = nerido::testing::run_forward_in_memory(
      bytes, marking ? OnError::mark : OnError::stop, 1, piece, max_record);
  if (run.header_error) {
    check(run.output.empty());
    return 0;
  }

  // Walk the input's records and the output side by side.
  MemorySource again(bytes);
  RecordReader records(again, max_record);
  RecordView record;
  check(records.next(record) == ReadStatus::record);
  const ForwardTransform transform(NumberFormat{});
  const CsvLayout layout =
      read_layout(record, transform, marking ? OnError::mark : OnError::stop, "in.csv");
  std::string_view output = run.output;
  check(output.starts_with(layout.output_header));
  output.remove_prefix(layout.output_header.size());

  std::uint64_t rows = 0;
  std::uint64_t marked = 0;
  for (;;) {
    const ReadStatus status = records.next(record);
    if (status != ReadStatus::record) {
      // The output ends with the input, or at a record too long to hold.
      check(output.empty());
      check(run.result.stop.has_value() == (status == ReadStatus::too_long));
      break;
    }
    const auto tb = expected_tb(record.text, layout);
    if (!tb && !marking) {
      // The run stopped here: nothing of this row or after it is written.
      check(output.empty());
      check(run.result.stop.has_value());
      check(run.result.stop->starts_with("in.csv:" + std::to_string(record.line) + ": "));
      break;
    }
    check(output.starts_with(record.text));
    output.remove_prefix(record.text.size());
    // The appended cells hold no line end, so the row ends at the next one.
    const std::size_t line_end = output.find('\n');
    check(line_end != std::string_view::npos);
    check_appended(output.substr(0, line_end), tb, marking);
    output.remove_prefix(line_end + 1);
    ++rows;
    if (!tb) {
      ++marked;
    }
  }
  check(rows == run.result.rows);
  check(marked == run.result.marked);
  return 0;
}
