// Runs the built nerido-batch for the tests: in a fresh folder, standard
// input from bytes, standard output and error collected whole.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace nerido::testing {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder per test, removed after it; the program runs inside it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "nerido-batch-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const fs::path& path() const { return path_; }
  [[nodiscard]] fs::path operator/(std::string_view name) const { return path_ / name; }

 private:
  fs::path path_;
};

// The names in `dir` that start with `prefix`, the runner's own files aside.
inline std::vector<std::string> names_starting(const TempDir& dir, std::string_view prefix) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix) && name != ".stdin" && name != ".stdout" && name != ".stderr") {
      names.push_back(name);
    }
  }
  return names;
}

// Under AddressSanitizer and ThreadSanitizer a program's peak memory is
// mostly shadow memory and quarantine (300 MB for a run that needs 15 MB):
// the bounds on memory are checked in the other builds. NERIDO_SANITIZED is
// set by the build for the tests of a sanitizer build (the test program
// itself may not be instrumented: it only runs nerido-batch).
#if defined(NERIDO_SANITIZED)
inline constexpr bool peak_memory_meaningful = false;
#else
inline constexpr bool peak_memory_meaningful = true;
#endif

struct Outcome {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it
  std::string out;
  std::string err;
  long max_rss_kib = 0;
};

// Environment with PATH replaced, or the test's own.
inline std::vector<char*> environment(std::vector<std::string>& storage, const char* path) {
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (path == nullptr || !std::string_view(*e).starts_with("PATH=")) {
      env.push_back(*e);
    }
  }
  if (path != nullptr) {
    storage.push_back(std::string("PATH=") + path);
    env.push_back(storage.back().data());
  }
  env.push_back(nullptr);
  return env;
}

// Runs the program in `dir` with `input` on standard input; standard output
// and standard error are collected whole.
inline Outcome run_batch(const TempDir& dir, std::vector<std::string> args,
                         std::string_view input = "", const char* path = nullptr) {
  write_file(dir / ".stdin", input);
  args.insert(args.begin(), "nerido-batch");
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> storage;
  std::vector<char*> env = environment(storage, path);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.path().c_str()) != 0) {
      ::_exit(126);
    }
    const int in = ::open(".stdin", O_RDONLY);
    const int out = ::open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(NERIDO_BATCH_PROGRAM, argv.data(), env.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  Outcome run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  run.out = read_file(dir / ".stdout");
  run.err = read_file(dir / ".stderr");
  run.max_rss_kib = usage.ru_maxrss;
  return run;
}

}  // namespace nerido::testing
