// Drives nerido-batch's reading of NetCDF files from arbitrary bytes, opened
// in memory: finding each field's variable, its units, fill values, valid
// range and packing, matching the channels, and reading every record as the
// row loop does. Whatever the bytes, the answer is records or an error,
// never a crash, an out-of-bounds read or memory that grows with a size the
// file claims. Classic-format files only: netCDF-4 files are HDF5, whose
// parser is not ours to fuzz.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "batch/cmd/commands.hpp"
#include "batch/errors.hpp"
#include "batch/io/netcdf.hpp"

namespace {

// Blocks read at most: a file may claim billions of records.
constexpr int max_blocks = 8;

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nerido;
  using namespace nerido::batch;
  if (size < 4 || std::memcmp(data, "CDF", 3) != 0) {
    return 0;
  }
  std::vector<std::string> wanted;
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    wanted.emplace_back(field_range(static_cast<SceneField>(i)).name);
  }
  wanted.insert(wanted.end(), tb_columns().begin(), tb_columns().end());
  try {
    flightfile::NetcdfInput file("fuzz.nc", std::as_bytes(std::span(data, size)));
    NetcdfSource source(std::move(file), wanted, {}, [](const std::string&) {});
    RecordBlock block;
    for (int b = 0; b < max_blocks; ++b) {
      block.clear();
      if (!source.read(block)) {
        break;
      }
      for (const auto& record : block.records) {
        check(record.field_count == source.schema().size());
        check(record.offset + record.size <= block.text.size());
      }
    }
  } catch (const DataError&) {
  } catch (const flightfile::FileError&) {
  }
  return 0;
}
