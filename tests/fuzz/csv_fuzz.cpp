// Drives the CSV reader, the forward row conversion and the CSV writer from
// arbitrary bytes, and checks what must hold for every input: the output,
// read back, is the header and then one row per record, in input order, up
// to a stop; every row has exactly the header's fields; a good row holds
// its record's values followed by six Tb that read back bit-identical to the
// scene API's (and, when marking, an empty error cell); a marked row holds
// empty Tb cells and a reason.
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

// Every record of `bytes` (the header first), each as its values and
// whether it is well formed.
struct Parsed {
  std::vector<std::vector<std::string>> values;
  std::vector<bool> well_formed;
  bool stopped = false;
  std::string header;
};

Parsed parse(std::string_view bytes, std::size_t max_record) {
  Parsed p;
  CsvSource source("t", nerido::testing::memory_reader(bytes), {}, nullptr, max_record);
  p.header = source.header_text();
  p.values.emplace_back(source.schema().begin(), source.schema().end());
  p.well_formed.push_back(true);
  RecordBlock block;
  std::string scratch;
  while (source.read(block)) {
    for (const RecordSpan& r : block.records) {
      p.values.emplace_back();
      for (std::uint32_t f = 0; f < r.field_count; ++f) {
        p.values.back().emplace_back(block.value(block.fields[r.first_field + f], scratch));
      }
      p.well_formed.push_back(r.problem.empty());
    }
    p.stopped = p.stopped || block.input_stop.has_value();
    block.clear();
  }
  return p;
}

// The six Tb a row of `values` should get, or nothing for a bad row.
std::optional<std::array<float, channel_count>> expected_tb(const std::vector<std::string>& values,
                                                            const std::vector<std::string>& names) {
  std::array<float, 5> v{};
  for (std::size_t i = 0; i < v.size(); ++i) {
    const auto name = field_range(static_cast<SceneField>(i)).name;
    const auto at = std::find(names.begin(), names.end(), name) - names.begin();
    if (read_number(values[static_cast<std::size_t>(at)], v[i]) != NumberRead::ok) {
      return std::nullopt;
    }
  }
  const Scene scene{v[0], v[1], v[2], v[3], v[4]};
  if (check_scene(scene)) {
    return std::nullopt;
  }
  return brightness_temperatures(scene);
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
  const Parsed in = parse(bytes, max_record);
  const Parsed out = parse(run.output, 1 << 20);
  const std::vector<std::string>& names = in.values[0];
  const std::size_t width = names.size() + channel_count + (marking ? 1 : 0);
  check(out.header.starts_with(in.header));
  check(out.values[0].size() == width);
  check(!out.stopped);
  std::uint64_t marked = 0;
  std::size_t row = 1;
  for (; row < in.values.size(); ++row) {
    const std::vector<std::string>& values = in.values[row];
    const bool fits = in.well_formed[row] && values.size() == names.size();
    const auto tb = fits ? expected_tb(values, names) : std::nullopt;
    if (!tb && !marking) {
      break;  // the run stopped here: nothing of this row or after it is written
    }
    check(row < out.values.size());
    const std::vector<std::string>& cells = out.values[row];
    check(out.well_formed[row] && cells.size() == width);
    if (!tb) {
      ++marked;
      check(!cells.back().empty());
      for (std::size_t c = 0; c < channel_count; ++c) {
        check(cells[names.size() + c].empty());
      }
      continue;
    }
    check(std::equal(values.begin(), values.end(), cells.begin()));
    check(!marking || cells.back().empty());
    for (std::size_t c = 0; c < channel_count; ++c) {
      const std::string& cell = cells[names.size() + c];
      float read = 0.0f;
      const auto result = std::from_chars(cell.data(), cell.data() + cell.size(), read);
      check(result.ec == std::errc{} && result.ptr == cell.data() + cell.size());
      check(std::bit_cast<std::uint32_t>(read) == std::bit_cast<std::uint32_t>((*tb)[c]));
    }
  }
  check(out.values.size() == row);
  check(run.result.rows == row - 1);
  check(marked == run.result.marked);
  check(run.result.stop.has_value() == (in.stopped || row < in.values.size()));
  return 0;
}
