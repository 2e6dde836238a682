// The ordered pipeline: the calling thread fills jobs from the input,
// worker threads process them, and one writer thread writes them in input
// order, whatever the number of threads. A fixed set of jobs circulates and
// the bytes in flight are bounded, so memory stays the same whatever the
// input size (and however long its records). A job is handed on as soon as
// it is filled, so a live feed's rows are written as they arrive.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace nerido::batch {

template <typename Job>
struct PipelineStages {
  // On the calling thread: fills an empty job; false when the input has
  // ended (the job is then unused).
  std::function<bool(Job&)> fill;
  // On a worker thread (`worker` from 0 to threads - 1).
  std::function<void(Job&, unsigned worker)> process;
  // On the writer thread, in input order: false ends the run after it.
  std::function<bool(Job&)> write;
  // The bytes a job holds once filled, and the most the jobs in flight may
  // hold together (one job always goes, however large).
  std::function<std::size_t(const Job&)> bytes;
  std::size_t max_bytes_in_flight = std::size_t{32} << 20;
};

// Runs the stages until the input ends or a write ends the run; a written
// job is emptied by its clear(). An exception from any stage ends the run
// and is thrown again here once every thread has ended.
template <typename Job>
void run_pipeline(const PipelineStages<Job>& stages, unsigned threads) {
  // Job n lies in slot n % size from its filling to its writing. Per worker
  // one job being processed and one waiting, plus one being filled and one
  // being written.
  const std::size_t size = 2 * std::size_t{threads} + 2;
  std::vector<Job> jobs(size);
  std::vector<std::size_t> held(size);  // the bytes each job held when filled
  std::vector<char> processed(size, 0);
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t filled = 0;  // each counter is changed by one thread only
  std::uint64_t taken = 0;
  std::uint64_t written = 0;
  std::size_t in_flight = 0;
  bool input_ended = false;
  bool over = false;
  std::exception_ptr error;
  // Runs a stage outside the lock; false when it threw, which ends the run.
  const auto attempt = [&](const auto& stage) {
    try {
      stage();
      return true;
    } catch (...) {
      const std::lock_guard lock(mutex);
      error = error ? error : std::current_exception();
      over = true;
      changed.notify_all();
      return false;
    }
  };
  const auto work_loop = [&](unsigned worker) {
    for (;;) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return over || taken < filled || input_ended; });
      if (over || taken == filled) {
        return;
      }
      const std::size_t slot = taken++ % size;
      lock.unlock();
      if (!attempt([&] { stages.process(jobs[slot], worker); })) {
        return;
      }
      lock.lock();
      processed[slot] = 1;
      changed.notify_all();
    }
  };
  const auto write_loop = [&] {
    for (;;) {
      const std::size_t slot = written % size;
      std::unique_lock lock(mutex);
      changed.wait(
          lock, [&] { return over || processed[slot] != 0 || (input_ended && written == filled); });
      if (over || processed[slot] == 0) {
        return;
      }
      lock.unlock();
      bool go_on = false;
      if (!attempt([&] {
            go_on = stages.write(jobs[slot]);
            jobs[slot].clear();
          })) {
        return;
      }
      lock.lock();
      processed[slot] = 0;
      in_flight -= held[slot];
      ++written;
      over = over || !go_on;
      changed.notify_all();
    }
  };

  // The threads start with the stop signals blocked, so that the calling
  // thread takes them (and its read of the input returns).
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&blocked, signal_number);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::vector<std::jthread> running;
  for (unsigned i = 0; i < threads; ++i) {
    running.emplace_back(work_loop, i);
  }
  running.emplace_back(write_loop);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  for (;;) {
    const std::size_t slot = filled % size;
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] {
      return over || (filled - written < size && in_flight < stages.max_bytes_in_flight);
    });
    if (over) {
      break;
    }
    lock.unlock();
    bool more = false;
    if (!attempt([&] { more = stages.fill(jobs[slot]); }) || !more) {
      break;
    }
    lock.lock();
    held[slot] = stages.bytes(jobs[slot]);
    in_flight += held[slot];
    ++filled;
    changed.notify_all();
  }
  {
    const std::lock_guard lock(mutex);
    input_ended = true;
    changed.notify_all();
  }
  for (std::jthread& thread : running) {
    thread.join();
  }
  if (error) {
    std::rethrow_exception(error);
  }
}

}  // namespace nerido::batch
