// The ordered row pipeline: a source cuts the input into chunks of rows,
// workers turn each chunk into output text on several threads, and a sink
// writes the chunks in input order. A fixed set of chunks circulates between
// them, so memory stays the same whatever the input size, and the output
// bytes are the same for any number of threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nerido::batch {

// Where one CSV record lies in a chunk's text, and the line it starts on.
struct RecordSpan {
  std::size_t offset = 0;
  std::size_t size = 0;
  std::uint64_t line = 0;
};

// A run of consecutive rows, and the output text they became.
struct Chunk {
  std::uint64_t sequence = 0;  // position in the input, from 0

  // Input: CSV records, back to back in `text` ...
  std::string text;
  std::vector<RecordSpan> records;
  // ... or points first_point .. first_point + point_count - 1 of a grid.
  std::uint64_t first_point = 0;
  std::uint64_t point_count = 0;
  // Input bytes read up to the end of this chunk (for progress).
  std::uint64_t input_offset = 0;
  // The input cannot go on after these rows: why (FILE:LINE: reason).
  std::optional<std::string> input_stop;

  // Output: complete rows, each ending with a line end ...
  std::string output;
  // ... and what the run collects beside them, in the same order.
  std::string side;
  std::uint64_t rows = 0;                 // rows in `output`
  std::uint64_t marked = 0;               // of them, rows marked bad
  std::optional<std::string> first_mark;  // why the first marked row is bad
  // A bad row that stops the run: why. `output` holds the rows before it.
  std::optional<std::string> row_stop;

  // Empties the chunk for reuse, keeping its memory.
  void clear();
};

// Cuts the input into chunks; runs on the calling thread.
class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // Fills an empty chunk with the next rows; false when there are none.
  // Throws DataError when the input cannot be read.
  virtual bool fill(Chunk& chunk) = 0;
};

// Turns a chunk's rows into output; each worker thread has its own.
class ChunkWorker {
 public:
  virtual ~ChunkWorker() = default;
  virtual void process(Chunk& chunk) = 0;
};
using WorkerFactory = std::function<std::unique_ptr<ChunkWorker>()>;

// Writes chunks' output in input order; runs on one thread.
class ChunkSink {
 public:
  virtual ~ChunkSink() = default;
  // Throws DataError when the output cannot be written.
  virtual void write(const Chunk& chunk) = 0;
};

struct PipelineOptions {
  unsigned threads = 1;  // worker threads; 1 runs everything on the calling thread
  // Set from outside (an interrupt) to stop after the chunk being written.
  const std::atomic<bool>* stop_requested = nullptr;
};

// What the sink received.
struct PipelineResult {
  std::uint64_t rows = 0;
  std::uint64_t marked = 0;
  std::optional<std::string> first_mark;
  // Why the run stopped before the end of the input (a bad row, or input
  // that cannot go on); nothing when it ran to the end or was asked to stop.
  std::optional<std::string> stop;
  bool stop_requested = false;
};

// Runs the pipeline to the end of the input, a stop, or a stop request.
// Exceptions from the source, a worker or the sink end the run and are
// thrown again here, once every thread has ended. Threads started here never
// take the process's interrupt and termination signals: the calling thread
// does.
PipelineResult run_pipeline(ChunkSource& source, const WorkerFactory& make_worker, ChunkSink& sink,
                            const PipelineOptions& options);

}  // namespace nerido::batch
