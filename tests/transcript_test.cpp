// Golden transcripts: the bytes fed to standard input, the exact bytes
// expected on standard output and standard error, and how the run ends.
// Each transcript runs twice: in-process on string streams, and against the
// built program through files.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dialogue/byte_streams.hpp"
#include "dialogue/driver.hpp"
#include "dialogue/fields.hpp"

namespace nerido::dialogue {
namespace {

using namespace std::string_literals;

// The end of a run: an exit status, or death by the abort signal.
struct End {
  int exit_status = 0;  // -1: aborted
  bool operator==(const End&) const = default;
};
constexpr End exit0{0};
constexpr End exit1{1};
constexpr End aborted{-1};

std::ostream& operator<<(std::ostream& os, const End& end) {
  return end.exit_status < 0 ? os << "abort" : os << "exit " << end.exit_status;
}

const std::string sst = "Enter SST (deg C) > ";
const std::string alt = "Enter Radar Altitude (meters) > ";
const std::string air = "Enter Flight Level Ambient Temp (deg C) > ";
const std::string wind = "Estimated Wind Speed (m/s) > ";
const std::string rain = "Estimated Rain Rate (mm/hr) > ";
const std::string io_error = "I/O Error  115 while reading value!\n";
const std::string fmt_end =
    "fmt: end of file\napparent state: unit 5 (unnamed)\nlast format: (a)\n"
    "lately reading sequential formatted external IO\n";
const std::string read_start_end =
    "read start: end of file\napparent state: unit 5 (unnamed)\nlast format: (a)\n"
    "lately reading sequential formatted external IO\n";

// The two result lines for a second line's six values.
std::string result(const char* six_values) {
  return "Freq:   4.74   5.31   5.57   6.02   6.69   7.09 GHz\n  Tb: "s + six_values + " K\n";
}

// The worked results, by the five values entered.
const std::string tb_28_3000_15_0_0 = result("113.33 114.21 114.56 115.13 115.90 116.33");
const std::string tb_28_3000_15_10_5 = result("118.98 120.67 121.45 122.82 124.98 126.35");
const std::string tb_28_3000_15_20_20 = result("132.66 137.40 139.78 144.23 151.68 156.62");
const std::string tb_29_3000_12_45_60 = result("181.80 193.35 198.99 209.19 224.98 234.41");
const std::string tb_28_12000_m30_15_10 = result("126.20 129.42 130.99 133.89 138.70 141.86");
const std::string tb_28_500_25_0_0 = result("112.44 113.26 113.59 114.12 114.84 115.23");
const std::string tb_20_3000_10_150_0 = result("317.03 336.98 346.04 361.68 384.89 398.71");

// The prompts up to the first result.
const std::string five = sst + alt + air + wind + rain;

struct Transcript {
  std::string name;
  std::string input;
  std::string output;
  std::string error;
  End end;
};

// Test listings show a transcript by its name, not its bytes.
void PrintTo(const Transcript& t, std::ostream* os) { *os << t.name; }

std::vector<Transcript> transcripts() {
  return {
      // Worked results.
      {"Row1Calm", "28\n3000\n15\n0\n0\nEX\n", five + tb_28_3000_15_0_0 + wind, "", exit0},
      {"Row2", "28\n3000\n15\n10\n5\nex\n", five + tb_28_3000_15_10_5 + wind, "", exit0},
      {"Row3", "28\n3000\n15\n20\n20\nexit\n", five + tb_28_3000_15_20_20 + wind, "", exit0},
      {"Row4UpperWindPiece", "29\n3000\n12\n45\n60\nEX\n", five + tb_29_3000_12_45_60 + wind, "",
       exit0},
      {"Row5RainCappedAt5000", "28\n12000\n-30\n15\n10\nEX\n",
       five + tb_28_12000_m30_15_10 + wind, "", exit0},
      {"Row6Below1000m", "28\n500\n25\n0\n0\nEX\n", five + tb_28_500_25_0_0 + wind, "", exit0},
      {"Row7EmissivityAboveOne", "20\n3000\n10\n150\n0\nEX\n", five + tb_20_3000_10_150_0 + wind,
       "", exit0},
      {"SeveralWindRainPairsReuseTheTemperatures", "28\n3000\n15\n0\n0\n10\n5\n20\n20\nEx\n",
       five + tb_28_3000_15_0_0 + wind + rain + tb_28_3000_15_10_5 + wind + rain +
           tb_28_3000_15_20_20 + wind,
       "", exit0},
      {"CrLfLineEnds", "28\r\n3000\r\n15\r\n10\r\n5\r\nEX\r\n", five + tb_28_3000_15_10_5 + wind,
       "", exit0},
      {"ValuesWithPointsExponentsAndBlanks", " 2 8\n3.0E3\n15.000\n 1 0.\n5.e0\nEX\n",
       five + tb_28_3000_15_10_5 + wind, "", exit0},

      // Navigation at every prompt.
      {"BlankAtSstStops", "\n", sst, "", exit0},
      {"NoAtSstStops", "no\n", sst, "", exit0},
      {"ExitAtSstStops", "EXIT\n", sst, "", exit0},
      {"BlankAtAltitudeGoesBackToSst", "28\n\n29\n3000\n12\n45\n60\nEX\n",
       sst + alt + five + tb_29_3000_12_45_60 + wind, "", exit0},
      {"NoAtAltitudeGoesBackToSst", "28\nNone\nEX\n", sst + alt + sst, "", exit0},
      {"ExitAtAltitudeStops", "28\nexact\n", sst + alt, "", exit0},
      {"BlankAtAirTemperatureStops", "28\n3000\n   \n", sst + alt + air, "", exit0},
      {"NoAtAirTemperatureStops", "28\n3000\nno\n", sst + alt + air, "", exit0},
      {"ExitAtAirTemperatureStops", "28\n3000\nex\n", sst + alt + air, "", exit0},
      {"BlankAtWindGoesBackToAltitude", "28\n3000\n15\n\n500\n25\n0\n0\nEX\n",
       five.substr(0, sst.size() + alt.size() + air.size() + wind.size()) + alt + air + wind +
           rain + tb_28_500_25_0_0 + wind,
       "", exit0},
      {"NoAtWindGoesBackToAltitude", "28\n3000\n15\nNO\nEX\n", sst + alt + air + wind + alt, "",
       exit0},
      {"ExitAtWindStops", "28\n3000\n15\nEX\n", sst + alt + air + wind, "", exit0},
      {"NoAtRainAsksAltitudeAirWindRainAgain", "28\n3000\n15\n10\nNo\n3000\n15\n10\n5\nEX\n",
       five + alt + air + wind + rain + tb_28_3000_15_10_5 + wind, "", exit0},
      {"BlankAtRainGoesBackToAltitude", "28\n3000\n15\n10\n\nEX\n", five + alt, "", exit0},
      {"ExitAtRainStops", "28\n3000\n15\n10\neXiT\n", five, "", exit0},

      // Range bounds: the inclusive ends are accepted, the values past them refused.
      {"SstBounds", "-2.01\n45.01\n-2\n\n45\nEX\n",
       sst + "SST value out of range (-2 to 45 C)\n" + sst +
           "SST value out of range (-2 to 45 C)\n" + sst + alt + sst + alt,
       "", exit0},
      {"AltitudeBounds", "28\n0\n-1\n16000.01\n16000\nEX\n",
       sst + alt + "Alt value out of range (0 to 16000 m)\n" + alt +
           "Alt value out of range (0 to 16000 m)\n" + alt +
           "Alt value out of range (0 to 16000 m)\n" + alt + air,
       "", exit0},
      {"AirTemperatureBounds", "28\n3000\n45.01\n-70.01\n-70\n\n3000\n45\nEX\n",
       sst + alt + air + "Temp value out of range (-70 to +45 C)\n" + air +
           "Temp value out of range (-70 to +45 C)\n" + air + wind + alt + air + wind,
       "", exit0},
      {"WindBounds", "28\n3000\n15\n-0.5\n150.01\n150\nNO\n3000\n15\n0\nEX\n",
       sst + alt + air + wind + "WS value out of range (0 to 150 m/s)\n" + wind +
           "WS value out of range (0 to 150 m/s)\n" + wind + rain + alt + air + wind + rain,
       "", exit0},
      {"RainBounds", "28\n3000\n15\n0\n-0.5\n150.5\n150\n0\n0\nEX\n",
       five + "RR value out of range (0 to 150 mm/hr)\n" + rain +
           "RR value out of range (0 to 150 mm/hr)\n" + rain +
           result("191.50 217.51 229.15 247.96 270.85 280.90") + wind + rain +
           tb_28_3000_15_0_0 + wind,
       "", exit0},
      {"InfinityIsOutOfRange", "9.E99\n-1.E39\nEX\n",
       sst + "SST value out of range (-2 to 45 C)\n" + sst +
           "SST value out of range (-2 to 45 C)\n" + sst,
       "", exit0},

      // Conversion errors at every prompt, then the same prompt again.
      {"ConversionErrorsRepeatThePrompt", "abc\n28\n1..5\n3000\nq\n15\n12X\n10\n\t5\n5\nEX\n",
       sst + io_error + sst + alt + io_error + alt + air + io_error + air + wind + io_error +
           wind + rain + io_error + rain + tb_28_3000_15_10_5 + wind,
       "", exit0},
      {"NulAndFfBytesAreConversionErrors", "\0\n\xff\n\x80\x01\nEX\n"s,
       sst + io_error + sst + io_error + sst + io_error + sst, "", exit0},
      {"LoneCarriageReturnIsText", "2\r8\nEX\n", sst + io_error + sst, "", exit0},

      // Text past column 10 is refused rather than silently cut off.
      {"AltitudeRightAlignedInTenColumnsIsRefused", "28\n     15000\n15000\nEX\n",
       sst + alt + io_error + alt + air, "", exit0},
      {"TenDigitsAreRefused", "1234567890\nEX\n", sst + io_error + sst, "", exit0},
      {"TrailingWordPastColumnTenIsRefused", "28        sea\n28 sea\nEX\n",
       sst + io_error + sst + io_error + sst, "", exit0},
      {"NineColumnValueStillFits", "28\n    15000\n15\n10\n5\nEX\n",
       five + result("122.19 124.45 125.52 127.46 130.59 132.62") + wind, "", exit0},
      {"LongLineIsCutAtColumn64AndTheRestSkipped",
       "28" + std::string(100, ' ') + "x\n3000\n15\n10\n5\nEX\n",
       five + tb_28_3000_15_10_5 + wind, "", exit0},
      {"LongLineWithTextInTheFieldTailIsRefused", std::string(80, '9') + "\nEX\n",
       sst + io_error + sst, "", exit0},

      // End of input.
      {"EmptyInput", "", sst, fmt_end, aborted},
      {"EndOfInputAtAltitude", "28\n", sst + alt, fmt_end, aborted},
      {"EndOfInputAfterAResult", "28\n3000\n15\n10\n5\n", five + tb_28_3000_15_10_5 + wind,
       fmt_end, aborted},
      {"LastLineWithoutLineEndIsNotLost", "28\n3000\n15\n10\n5",
       five + tb_28_3000_15_10_5 + wind, read_start_end, aborted},
      {"LastLineWithoutLineEndStillNavigates", "28\n3000\n15\nex", sst + alt + air + wind, "",
       exit0},
      {"LongLastLineWithoutLineEnd", "28\n3000\n15\n10\n5" + std::string(70, ' '),
       five + tb_28_3000_15_10_5 + wind, read_start_end, aborted},
  };
}

class TranscriptTest : public ::testing::TestWithParam<Transcript> {};

TEST_P(TranscriptTest, InProcess) {
  const Transcript& t = GetParam();
  StringSource in(t.input);
  StringSink out;
  const Outcome outcome = run_dialogue(in, out);
  out.flush();
  std::string error;
  End end = exit0;
  if (outcome.ending == Ending::input_ended) {
    error = std::string(read_end_diagnostic(outcome.read));
    end = aborted;
  }
  EXPECT_EQ(out.text(), t.output);
  EXPECT_EQ(error, t.error);
  EXPECT_EQ(end, t.end);
}

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

struct ProgramRun {
  std::string output;
  std::string error;
  End end;
};

// Runs the built program with `input` as its standard input. The output
// goes to `output_path` (a temporary file unless given, e.g. /dev/full).
ProgramRun run_program(const std::string& input, const std::string& output_path = "") {
  char dir_template[] = "/tmp/nerido-transcript-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  const std::string in_path = dir + "/stdin";
  const std::string out_path = output_path.empty() ? dir + "/stdout" : output_path;
  const std::string err_path = dir + "/stderr";
  std::ofstream(in_path, std::ios::binary) << input;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);  // the abnormal end writes no core file
    const int in = ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) {
      ::_exit(127);
    }
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execl(NERIDO_PROGRAM, "nerido", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ProgramRun run;
  run.output = output_path.empty() ? slurp(out_path) : "";
  run.error = slurp(err_path);
  if (WIFEXITED(status)) {
    run.end = End{WEXITSTATUS(status)};
  } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) {
    run.end = aborted;
  } else {
    run.end = End{-1000 - (WIFSIGNALED(status) ? WTERMSIG(status) : 0)};
  }
  ::unlink(in_path.c_str());
  if (output_path.empty()) {
    ::unlink(out_path.c_str());
  }
  ::unlink(err_path.c_str());
  ::rmdir(dir.c_str());
  return run;
}

TEST_P(TranscriptTest, Program) {
  const Transcript& t = GetParam();
  const ProgramRun run = run_program(t.input);
  EXPECT_EQ(run.output, t.output);
  EXPECT_EQ(run.error, t.error);
  EXPECT_EQ(run.end, t.end);
}

INSTANTIATE_TEST_SUITE_P(Dialogue, TranscriptTest, ::testing::ValuesIn(transcripts()),
                         [](const ::testing::TestParamInfo<Transcript>& param_info) {
                           return param_info.param.name;
                         });

// Regression: a failed write to standard output ended with status 0.
TEST(ProgramEnds, FailedOutputIsReportedAtTheOperatorsStop) {
  const ProgramRun run = run_program("28\n3000\n15\n10\n5\nEX\n", "/dev/full");
  EXPECT_EQ(run.error, "nerido: error writing standard output\n");
  EXPECT_EQ(run.end, exit1);
}

// The program started with a pipe as standard input and output, so a test
// can talk to it while it runs.
class LiveProgram {
 public:
  explicit LiveProgram(bool ignore_interrupt = false) {
    int to_child[2];
    int from_child[2];
    int errors[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0 || ::pipe(errors) != 0) {
      throw std::runtime_error("pipe");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      if (ignore_interrupt) {
        std::signal(SIGINT, SIG_IGN);
      }
      ::dup2(to_child[0], 0);
      ::dup2(from_child[1], 1);
      ::dup2(errors[1], 2);
      for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1], errors[0],
                     errors[1]}) {
        ::close(fd);
      }
      ::execl(NERIDO_PROGRAM, "nerido", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    ::close(errors[1]);
    input_ = to_child[1];
    output_ = from_child[0];
    errors_ = errors[0];
  }
  LiveProgram(const LiveProgram&) = delete;
  LiveProgram& operator=(const LiveProgram&) = delete;
  ~LiveProgram() {
    close_input();
    ::close(output_);
    ::close(errors_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Reads standard output until it ends with `text`.
  std::string read_until(const std::string& text) {
    std::string seen;
    char c = 0;
    while (!seen.ends_with(text) && ::read(output_, &c, 1) == 1) {
      seen += c;
    }
    return seen;
  }
  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(input_, bytes.data(), bytes.size());
      if (n <= 0) {
        return;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void signal(int signal_number) const { ::kill(pid_, signal_number); }
  void close_input() {
    if (input_ >= 0) {
      ::close(input_);
      input_ = -1;
    }
  }
  // Waits for the end; returns it with standard error and the peak memory.
  struct Result {
    End end;
    std::string error;
    long max_rss_kib;
  };
  Result wait() {
    close_input();
    Result r{};
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(errors_, buffer, sizeof buffer)) > 0) {
      r.error.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    r.max_rss_kib = usage.ru_maxrss;
    r.end = WIFEXITED(status)                                       ? End{WEXITSTATUS(status)}
            : WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT ? aborted
                                                                    : End{-1000};
    return r;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
};

TEST(ProgramEnds, InterruptAtAPrompt) {
  LiveProgram program;
  program.read_until(sst);
  program.send("28\n");
  EXPECT_EQ(program.read_until(alt), alt);
  program.signal(SIGINT);
  const LiveProgram::Result r = program.wait();
  EXPECT_EQ(r.error, "Interrupt\n");
  EXPECT_EQ(r.end, exit1);
}

TEST(ProgramEnds, TerminationRequestAtAPrompt) {
  LiveProgram program;
  program.read_until(sst);
  program.signal(SIGTERM);
  const LiveProgram::Result r = program.wait();
  EXPECT_EQ(r.error, "Killed\n");
  EXPECT_EQ(r.end, exit1);
}

TEST(ProgramEnds, InterruptIgnoredAtStartStaysIgnored) {
  LiveProgram program(/*ignore_interrupt=*/true);
  program.read_until(sst);
  program.signal(SIGINT);
  program.send("28\n");
  EXPECT_EQ(program.read_until(alt), alt);  // still running
  program.signal(SIGTERM);
  const LiveProgram::Result r = program.wait();
  EXPECT_EQ(r.error, "Killed\n");
  EXPECT_EQ(r.end, exit1);
}

// A 100 MB line without a line end: the memory must not follow its length.
TEST(ProgramEnds, HundredMegabyteLineNeedsNoMoreMemory) {
  LiveProgram program;
  program.read_until(sst);
  const std::string chunk(1 << 20, 'x');
  for (int i = 0; i < 100; ++i) {
    program.send(chunk);
  }
  program.close_input();
  EXPECT_EQ(program.read_until(sst), io_error + sst);
  const LiveProgram::Result r = program.wait();
  EXPECT_EQ(r.error, read_start_end);
  EXPECT_EQ(r.end, aborted);
  EXPECT_LT(r.max_rss_kib, 32 * 1024);
}

// Input that reports a stop request from the moment its text has been read
// in, as standard input does when a signal arrives while the program works
// through lines it has already buffered.
class StopAfterText final : public ByteSource {
 public:
  explicit StopAfterText(std::string_view text) : text_(text) {}
  [[nodiscard]] bool stop_requested() const override { return handed_out_; }

 protected:
  long fill(char* into, std::size_t size) override {
    if (handed_out_) {
      return -1;
    }
    handed_out_ = true;
    const std::size_t count = std::min(size, text_.size());
    text_.copy(into, count);
    return static_cast<long>(count);
  }

 private:
  std::string_view text_;
  bool handed_out_ = false;
};

TEST(ProgramEnds, StopRequestEndsTheDialogueAtTheNextPrompt) {
  StopAfterText in("28\n3000\n");
  StringSink out;
  const Outcome outcome = run_dialogue(in, out);
  out.flush();
  EXPECT_EQ(outcome.ending, Ending::stop_requested);
  EXPECT_EQ(out.text(), sst + alt);  // the buffered "3000" is not acted on
}

TEST(ProgramEnds, FailedOutputInProcessIsVisibleToTheCaller) {
  StringSource in("28\nEX\n");
  StringSink out(/*fail_writes=*/true);
  const Outcome outcome = run_dialogue(in, out);
  EXPECT_EQ(outcome.ending, Ending::operator_stop);
  EXPECT_TRUE(out.failed());
}

}  // namespace
}  // namespace nerido::dialogue
