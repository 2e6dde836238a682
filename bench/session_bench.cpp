// A scripted operator session through pipes against the built program: one
// sea-surface temperature, altitude and air temperature, then 100,000 wind
// and rain pairs; and the time from start to the first prompt.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr int pairs = 100000;

struct Child {
  pid_t pid = -1;
  int input = -1;   // the program's standard input
  int output = -1;  // the program's standard output
};

Child start_program() {
  int to_child[2];
  int from_child[2];
  if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) {
    throw std::runtime_error("pipe");
  }
  Child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(to_child[0], 0);
    ::dup2(from_child[1], 1);
    const int null = ::open("/dev/null", O_WRONLY);  // the end-of-input diagnostic
    ::dup2(null, 2);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
      ::close(fd);
    }
    ::execl(NERIDO_PROGRAM, "nerido", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);
  c.input = to_child[1];
  c.output = from_child[0];
  return c;
}

void write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string session_script() {
  std::string script = "28\n3000\n15\n";
  for (int i = 0; i < pairs; ++i) {
    script += std::to_string(i % 151) + "\n" + std::to_string((i * 7) % 151) + "\n";
  }
  return script + "EX\n";
}

void piped_session(benchmark::State& state) {
  const std::string script = session_script();
  std::size_t result_lines = 0;
  for (auto _ : state) {
    Child c = start_program();
    std::thread writer([&] {
      write_all(c.input, script);
      ::close(c.input);
    });
    char buffer[65536];
    ssize_t n = 0;
    result_lines = 0;
    while ((n = ::read(c.output, buffer, sizeof buffer)) > 0) {
      for (ssize_t i = 0; i < n; ++i) {
        result_lines += buffer[i] == '\n' ? 1 : 0;
      }
    }
    writer.join();
    ::close(c.output);
    ::waitpid(c.pid, nullptr, 0);
  }
  if (result_lines != 2 * pairs) {
    state.SkipWithError("the session did not print every result");
  }
  state.counters["computations_per_s"] =
      benchmark::Counter(static_cast<double>(pairs), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(piped_session)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void time_to_first_prompt(benchmark::State& state) {
  const std::string_view prompt = "Enter SST (deg C) > ";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Child c = start_program();
    std::string seen;
    char ch = 0;
    while (seen.size() < prompt.size() && ::read(c.output, &ch, 1) == 1) {
      seen += ch;
    }
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    ::close(c.input);  // the program ends at the end of its input
    ::close(c.output);
    ::kill(c.pid, SIGKILL);
    ::waitpid(c.pid, nullptr, 0);
    if (seen != prompt) {
      state.SkipWithError("no first prompt");
      break;
    }
  }
}
BENCHMARK(time_to_first_prompt)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
