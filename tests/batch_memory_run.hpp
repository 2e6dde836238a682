// Runs nerido-batch's forward transformation in-process, from bytes in
// memory to a string: the same reader, header handling, pipeline and row
// conversion as the program, without files.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "batch/csv.hpp"
#include "batch/errors.hpp"
#include "batch/forward.hpp"
#include "batch/pipeline.hpp"
#include "batch/rows.hpp"

namespace nerido::testing {

struct MemoryRun {
  std::string output;                       // header line and rows
  batch::PipelineResult result;             // rows, marks and stop
  std::optional<std::string> header_error;  // why the header was refused
  std::uint64_t blank_lines = 0;
};

class StringSink : public batch::ChunkSink {
 public:
  explicit StringSink(std::string& text) : text_(text) {}
  void write(const batch::Chunk& chunk) override { text_ += chunk.output; }

 private:
  std::string& text_;
};

// `piece`: bytes the source hands out per read; `max_record`: the record limit.
inline MemoryRun run_forward_in_memory(std::string_view bytes, batch::OnError on_error,
                                       unsigned threads, std::size_t piece = 65536,
                                       std::size_t max_record = batch::max_record_bytes) {
  using namespace nerido::batch;
  MemoryRun run;
  MemorySource source(bytes, piece);
  RecordReader reader(source, max_record);
  RecordView header;
  const ReadStatus status = reader.next(header);
  if (status != ReadStatus::record) {
    run.header_error = status == ReadStatus::end ? "empty" : "too long";
    return run;
  }
  const ForwardTransform transform(NumberFormat{});
  CsvLayout layout;
  try {
    layout = read_layout(header, transform, on_error, "in.csv");
  } catch (const std::exception& error) {
    run.header_error = error.what();
    return run;
  }
  run.output = layout.output_header;
  CsvChunkSource chunks(reader, "in.csv");
  StringSink sink(run.output);
  run.result = run_pipeline(
      chunks,
      [&] { return std::make_unique<CsvChunkWorker>(transform, layout, on_error, "in.csv"); }, sink,
      PipelineOptions{threads, nullptr});
  run.blank_lines = reader.blank_lines();
  return run;
}

}  // namespace nerido::testing
