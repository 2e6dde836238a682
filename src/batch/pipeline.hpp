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
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
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
  // Per worker one job being processed and one waiting, plus one being
  // filled and one being written.
  const std::size_t job_count = 2 * std::size_t{threads} + 2;
  std::vector<Job> jobs(job_count);
  std::vector<std::size_t> job_bytes(job_count);  // what each job held when filled
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Job*> free;
  std::deque<std::pair<std::uint64_t, Job*>> work;
  std::vector<Job*> done(job_count);  // processed jobs by sequence modulo job_count
  std::uint64_t filled = 0;
  std::uint64_t written = 0;
  std::size_t in_flight = 0;
  bool input_ended = false;
  bool over = false;
  std::exception_ptr error;
  for (Job& job : jobs) {
    free.push_back(&job);
  }
  const auto fail = [&] {
    const std::lock_guard lock(mutex);
    error = error ? error : std::current_exception();
    over = true;
    changed.notify_all();
  };

  const auto work_loop = [&](unsigned worker) {
    for (;;) {
      std::pair<std::uint64_t, Job*> next;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return over || !work.empty() || input_ended; });
        if (over || work.empty()) {
          return;
        }
        next = work.front();
        work.pop_front();
      }
      try {
        stages.process(*next.second, worker);
      } catch (...) {
        fail();
        return;
      }
      const std::lock_guard lock(mutex);
      done[next.first % job_count] = next.second;
      changed.notify_all();
    }
  };
  const auto write_loop = [&] {
    for (;;) {
      Job* job = nullptr;
      {
        std::unique_lock lock(mutex);
        Job** slot = &done[written % job_count];
        changed.wait(
            lock, [&] { return over || *slot != nullptr || (input_ended && written == filled); });
        if (over || *slot == nullptr) {
          return;
        }
        job = std::exchange(*slot, nullptr);
      }
      bool go_on = false;
      const std::size_t bytes = job_bytes[static_cast<std::size_t>(job - jobs.data())];
      try {
        go_on = stages.write(*job);
        job->clear();
      } catch (...) {
        fail();
        return;
      }
      const std::lock_guard lock(mutex);
      in_flight -= bytes;
      free.push_back(job);
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
    Job* job = nullptr;
    {
      std::unique_lock lock(mutex);
      changed.wait(
          lock, [&] { return over || (!free.empty() && in_flight < stages.max_bytes_in_flight); });
      if (over) {
        break;
      }
      job = free.back();
      free.pop_back();
    }
    bool more = false;
    try {
      more = stages.fill(*job);
    } catch (...) {
      fail();
      break;
    }
    const std::lock_guard lock(mutex);
    if (!more) {
      free.push_back(job);
      break;
    }
    const std::size_t bytes = stages.bytes(*job);
    job_bytes[static_cast<std::size_t>(job - jobs.data())] = bytes;
    in_flight += bytes;
    work.emplace_back(filled++, job);
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
