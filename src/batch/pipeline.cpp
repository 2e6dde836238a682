#include "batch/pipeline.hpp"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace nerido::batch {
namespace {

// Chunks in circulation: per worker thread one being processed and one
// waiting, plus one being filled and one being written.
inline constexpr std::size_t chunks_per_thread = 2;
inline constexpr std::size_t chunks_beside_workers = 2;
// How often a source waiting for a free chunk looks for a stop request.
inline constexpr std::chrono::milliseconds stop_poll{100};

bool requested(const PipelineOptions& options) noexcept {
  return options.stop_requested != nullptr && options.stop_requested->load();
}

bool ends_run(const Chunk& chunk) noexcept {
  return chunk.row_stop.has_value() || chunk.input_stop.has_value();
}

// Adds a written chunk to the result.
void collect(PipelineResult& result, const Chunk& chunk) {
  result.rows += chunk.rows;
  result.marked += chunk.marked;
  if (!result.first_mark && chunk.first_mark) {
    result.first_mark = chunk.first_mark;
  }
  if (chunk.row_stop) {
    result.stop = chunk.row_stop;
  } else if (chunk.input_stop) {
    result.stop = chunk.input_stop;
  }
}

PipelineResult run_on_calling_thread(ChunkSource& source, const WorkerFactory& make_worker,
                                     ChunkSink& sink, const PipelineOptions& options) {
  PipelineResult result;
  const std::unique_ptr<ChunkWorker> worker = make_worker();
  Chunk chunk;
  for (std::uint64_t sequence = 0; !requested(options); ++sequence) {
    chunk.clear();
    chunk.sequence = sequence;
    // A stop while reading ends the input early: what came with it may be
    // a record cut short, so nothing read then is computed.
    if (!source.fill(chunk) || requested(options)) {
      break;
    }
    worker->process(chunk);
    sink.write(chunk);
    collect(result, chunk);
    if (ends_run(chunk)) {
      break;
    }
  }
  result.stop_requested = requested(options);
  return result;
}

// The chunks and the queues they move through, shared by every thread.
class Circulation {
 public:
  explicit Circulation(std::size_t chunk_count) : chunks_(chunk_count), done_(chunk_count) {
    for (Chunk& chunk : chunks_) {
      free_.push_back(&chunk);
    }
  }

  // Source side. A free chunk, or nullptr once the run is over.
  Chunk* take_free(const PipelineOptions& options) {
    std::unique_lock lock(mutex_);
    while (free_.empty() && !abort_) {
      changed_.wait_for(lock, stop_poll);
      if (requested(options)) {
        abort_ = true;
      }
    }
    if (abort_) {
      return nullptr;
    }
    Chunk* chunk = free_.back();
    free_.pop_back();
    return chunk;
  }
  void give_back(Chunk* chunk) {
    const std::lock_guard lock(mutex_);
    free_.push_back(chunk);
  }
  void queue_work(Chunk* chunk) {
    const std::lock_guard lock(mutex_);
    work_.push_back(chunk);
    ++produced_;
    changed_.notify_all();
  }
  void end_input() {
    const std::lock_guard lock(mutex_);
    input_ended_ = true;
    changed_.notify_all();
  }

  // Worker side. The next chunk to process, or nullptr when there is none.
  Chunk* take_work() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abort_ || !work_.empty() || input_ended_; });
    if (abort_ || work_.empty()) {
      return nullptr;
    }
    Chunk* chunk = work_.front();
    work_.pop_front();
    return chunk;
  }
  void finish_work(Chunk* chunk) {
    const std::lock_guard lock(mutex_);
    done_[chunk->sequence % done_.size()] = chunk;
    changed_.notify_all();
  }

  // Sink side. The chunk next in input order, or nullptr once all are
  // written or the run is over. At most done_.size() chunks circulate, so
  // the ones processed and not yet written have distinct slots.
  Chunk* take_next_done() {
    std::unique_lock lock(mutex_);
    Chunk** slot = &done_[next_ % done_.size()];
    changed_.wait(
        lock, [&] { return abort_ || *slot != nullptr || (input_ended_ && next_ == produced_); });
    if (abort_ || *slot == nullptr) {
      return nullptr;
    }
    return std::exchange(*slot, nullptr);
  }
  void written(Chunk* chunk, bool last) {
    const std::lock_guard lock(mutex_);
    free_.push_back(chunk);
    ++next_;
    if (last) {
      abort_ = true;
    }
    changed_.notify_all();
  }

  // Any side: ends the run, keeping the first exception.
  void fail(std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (!error_) {
      error_ = std::move(error);
    }
    abort_ = true;
    changed_.notify_all();
  }
  void stop() {
    const std::lock_guard lock(mutex_);
    abort_ = true;
    changed_.notify_all();
  }
  [[nodiscard]] std::exception_ptr error() {
    const std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  std::vector<Chunk> chunks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Chunk*> free_;
  std::deque<Chunk*> work_;
  std::vector<Chunk*> done_;  // processed chunks by sequence modulo their number
  std::uint64_t produced_ = 0;
  std::uint64_t next_ = 0;  // sequence of the next chunk to write
  bool input_ended_ = false;
  bool abort_ = false;
  std::exception_ptr error_;
};

void work_loop(Circulation& circulation, ChunkWorker& worker) {
  while (Chunk* chunk = circulation.take_work()) {
    try {
      worker.process(*chunk);
    } catch (...) {
      circulation.fail(std::current_exception());
      return;
    }
    circulation.finish_work(chunk);
  }
}

void write_loop(Circulation& circulation, ChunkSink& sink, const PipelineOptions& options,
                PipelineResult& result) {
  while (Chunk* chunk = circulation.take_next_done()) {
    try {
      sink.write(*chunk);
    } catch (...) {
      circulation.fail(std::current_exception());
      return;
    }
    collect(result, *chunk);
    circulation.written(chunk, ends_run(*chunk) || requested(options));
  }
}

void fill_loop(Circulation& circulation, ChunkSource& source, const PipelineOptions& options) {
  for (std::uint64_t sequence = 0;; ++sequence) {
    Chunk* chunk = circulation.take_free(options);
    if (chunk == nullptr) {
      return;
    }
    chunk->clear();
    chunk->sequence = sequence;
    bool filled = false;
    try {
      filled = source.fill(*chunk);
    } catch (...) {
      circulation.fail(std::current_exception());
      return;
    }
    if (!filled || requested(options)) {  // see run_on_calling_thread
      circulation.give_back(chunk);
      return;
    }
    const bool last = chunk->input_stop.has_value();
    circulation.queue_work(chunk);
    if (last || requested(options)) {
      return;
    }
  }
}

// Blocks the interrupt and termination signals on the calling thread while
// it lives, so that threads started meanwhile inherit the blocked mask.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      sigaddset(&blocked, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_{};
};

PipelineResult run_on_threads(ChunkSource& source, const WorkerFactory& make_worker,
                              ChunkSink& sink, const PipelineOptions& options) {
  Circulation circulation(options.threads * chunks_per_thread + chunks_beside_workers);
  std::vector<std::unique_ptr<ChunkWorker>> workers;
  for (unsigned i = 0; i < options.threads; ++i) {
    workers.push_back(make_worker());
  }
  PipelineResult result;
  std::vector<std::jthread> threads;
  {
    const SignalsBlocked blocked;
    for (const auto& worker : workers) {
      threads.emplace_back([&circulation, &worker] { work_loop(circulation, *worker); });
    }
    threads.emplace_back([&circulation, &sink, &options, &result] {
      write_loop(circulation, sink, options, result);
    });
  }
  fill_loop(circulation, source, options);
  circulation.end_input();
  if (requested(options)) {
    circulation.stop();
  }
  for (std::jthread& thread : threads) {
    thread.join();
  }
  if (const std::exception_ptr error = circulation.error()) {
    std::rethrow_exception(error);
  }
  result.stop_requested = requested(options);
  return result;
}

}  // namespace

void Chunk::clear() {
  sequence = 0;
  text.clear();
  records.clear();
  first_point = 0;
  point_count = 0;
  input_offset = 0;
  input_stop.reset();
  output.clear();
  side.clear();
  rows = 0;
  marked = 0;
  first_mark.reset();
  row_stop.reset();
}

PipelineResult run_pipeline(ChunkSource& source, const WorkerFactory& make_worker, ChunkSink& sink,
                            const PipelineOptions& options) {
  if (options.threads <= 1) {
    return run_on_calling_thread(source, make_worker, sink, options);
  }
  return run_on_threads(source, make_worker, sink, options);
}

}  // namespace nerido::batch
