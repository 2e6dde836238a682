// Runs nerido-batch's forward conversion in-process, from bytes in memory to
// a string: the same reader, row loop, pipeline and writer as the program,
// without files.
#pragma once

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "batch/cmd/commands.hpp"
#include "batch/io/csv.hpp"
#include "batch/rows.hpp"

namespace nerido::testing {

// Bytes in memory handed out at most `piece` at a time, as a pipe hands them out.
inline batch::ReadBytes memory_reader(std::string_view bytes, std::size_t piece = 65536) {
  return [bytes, piece](char* buffer, std::size_t size) mutable {
    const std::size_t n = std::min({size, piece, bytes.size()});
    std::memcpy(buffer, bytes.data(), n);
    bytes.remove_prefix(n);
    return n;
  };
}

struct MemoryRun {
  std::string output;                       // header line and rows
  batch::RowResult result;                  // rows, marks and stop
  std::optional<std::string> header_error;  // why the header was refused
  std::uint64_t blank_lines = 0;
};

// `piece`: bytes the source hands out per read; `max_record`: the record limit.
inline MemoryRun run_forward_in_memory(std::string_view bytes, batch::OnError on_error,
                                       unsigned threads, std::size_t piece = 65536,
                                       std::size_t max_record = batch::max_record_bytes) {
  using namespace nerido::batch;
  MemoryRun run;
  try {
    CsvSource source("in.csv", memory_reader(bytes, piece), {}, nullptr, max_record);
    CsvSink sink([&](std::string_view text) { run.output += text; }, source.header_text());
    run.result = run_rows(source, sink, forward_conversion(NumberFormat{}),
                          RowOptions{on_error, threads, {}});
    run.blank_lines = source.skipped();
  } catch (const std::exception& error) {
    run.header_error = error.what();
    run.output.clear();
  }
  return run;
}

}  // namespace nerido::testing
