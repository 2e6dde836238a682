// Golden transcripts: the bytes fed to standard input, the exact bytes
// expected on standard output and standard error, and how the run ends.
// Each transcript runs twice: in-process on string streams, and against the
// built program through pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "chunked_source.hpp"
#include "dialogue/byte_streams.hpp"
#include "dialogue/console.hpp"
#include "dialogue/driver.hpp"

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
constexpr End other_signal{-1000};  // also a program the tests' time limit ended

std::ostream& operator<<(std::ostream& os, const End& end) {
  if (end == other_signal) {
    return os << "killed (another signal, or over the time limit)";
  }
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
      {"Row5RainCappedAt5000", "28\n12000\n-30\n15\n10\nEX\n", five + tb_28_12000_m30_15_10 + wind,
       "", exit0},
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
           result("191.50 217.51 229.15 247.96 270.85 280.90") + wind + rain + tb_28_3000_15_0_0 +
           wind,
       "", exit0},
      {"InfinityIsOutOfRange", "9.E99\n-1.E39\nEX\n",
       sst + "SST value out of range (-2 to 45 C)\n" + sst +
           "SST value out of range (-2 to 45 C)\n" + sst,
       "", exit0},

      // Conversion errors at every prompt, then the same prompt again.
      {"ConversionErrorsRepeatThePrompt", "abc\n28\n1..5\n3000\nq\n15\n12X\n10\n\t5\n5\nEX\n",
       sst + io_error + sst + alt + io_error + alt + air + io_error + air + wind + io_error + wind +
           rain + io_error + rain + tb_28_3000_15_10_5 + wind,
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
       "28" + std::string(100, ' ') + "x\n3000\n15\n10\n5\nEX\n", five + tb_28_3000_15_10_5 + wind,
       "", exit0},
      {"LongLineWithTextInTheFieldTailIsRefused", std::string(80, '9') + "\nEX\n",
       sst + io_error + sst, "", exit0},

      // A comma is refused: the field rule would end the value there and drop
      // the point the line reader appended ('28,5' would read as 0.00028).
      {"DecimalCommaIsRefused", "28,5\n28,\n,5\n28\n3000\n15\n10,5\n10\n5\nEX\n",
       sst + io_error + sst + io_error + sst + io_error + sst + alt + air + wind + io_error + wind +
           rain + tb_28_3000_15_10_5 + wind,
       "", exit0},
      {"TwoValuesWithACommaAreRefused", "28\n3000\n15\n10\n1.5,7\n5\nEX\n",
       five + io_error + rain + tb_28_3000_15_10_5 + wind, "", exit0},

      // End of input.
      {"EmptyInput", "", sst, fmt_end, aborted},
      {"EndOfInputAtAltitude", "28\n", sst + alt, fmt_end, aborted},
      {"EndOfInputAfterAResult", "28\n3000\n15\n10\n5\n", five + tb_28_3000_15_10_5 + wind, fmt_end,
       aborted},
      {"LastLineWithoutLineEndIsNotLost", "28\n3000\n15\n10\n5", five + tb_28_3000_15_10_5 + wind,
       read_start_end, aborted},
      {"LastLineWithoutLineEndStillNavigates", "28\n3000\n15\nex", sst + alt + air + wind, "",
       exit0},
      {"LongLastLineWithoutLineEnd", "28\n3000\n15\n10\n5" + std::string(70, ' '),
       five + tb_28_3000_15_10_5 + wind, read_start_end, aborted},
  };
}

class TranscriptTest : public ::testing::TestWithParam<Transcript> {};

// Runs a dialogue on `in` and string output; says what the program would
// have written and how it would have ended.
Transcript run_in_process(LookaheadInput& in) {
  StringSink out;
  const Outcome outcome = run_dialogue(in, out);
  out.flush();
  Transcript run{"", "", out.text(), "", exit0};
  if (outcome.ending == Ending::input_ended) {
    run.error = read_end_diagnostic(outcome.read);
    run.end = aborted;
  }
  return run;
}

TEST_P(TranscriptTest, InProcess) {
  const Transcript& t = GetParam();
  StringSource in(t.input);
  const Transcript run = run_in_process(in);
  EXPECT_EQ(run.output, t.output);
  EXPECT_EQ(run.error, t.error);
  EXPECT_EQ(run.end, t.end);
}

// The same bytes handed out the ways a terminal or a pipe hands them out;
// once the input has said it ended, it is never asked again.
TEST_P(TranscriptTest, InPieces) {
  const Transcript& t = GetParam();
  for (const testing::Pieces& pieces : testing::every_split) {
    SCOPED_TRACE(pieces.name);
    testing::ChunkedSource in(t.input, pieces);
    const Transcript run = run_in_process(in);
    EXPECT_EQ(run.output, t.output);
    EXPECT_EQ(run.error, t.error);
    EXPECT_EQ(run.end, t.end);
    EXPECT_EQ(in.reads_after_end(), 0);
  }
}

// The built program on pipes, so that a test can feed it, read it and
// signal it while it runs. Standard input may come from a file and standard
// output go to one instead.
class LiveProgram {
 public:
  explicit LiveProgram(bool ignore_interrupt = false, const char* output_file = nullptr,
                       const char* argument = nullptr, const char* input_file = nullptr) {
    // A write to a program that has ended fails here rather than ending the
    // tests.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    int err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
      throw std::runtime_error("pipe");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);  // the abnormal end writes no core file
      std::signal(SIGPIPE, SIG_DFL);
      // Set either way: a test run started in the background inherits an
      // ignored interrupt, which the program would keep ignoring.
      std::signal(SIGINT, ignore_interrupt ? SIG_IGN : SIG_DFL);
      ::dup2(input_file ? ::open(input_file, O_RDONLY) : in[0], 0);
      ::dup2(output_file ? ::open(output_file, O_WRONLY) : out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        ::close(fd);
      }
      ::execl(NERIDO_PROGRAM, "nerido", argument, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    output_ = out[0];
    errors_ = err[0];
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

  // Reads standard output until it ends with `text` (or, for an empty text,
  // until it is closed), for 20 seconds at most: a program that stopped
  // answering fails the test instead of stalling the suite.
  std::string read_until(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string seen;
    char buffer[4096];
    while (text.empty() || !seen.ends_with(text)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{output_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) {
        break;
      }
      // Byte by byte while looking for a text, so nothing after it is taken.
      const ssize_t n = ::read(output_, buffer, text.empty() ? sizeof buffer : 1);
      if (n <= 0) {
        break;
      }
      seen.append(buffer, static_cast<std::size_t>(n));
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
  // Bytes written to standard output and not yet read.
  [[nodiscard]] int unread_output() const {
    int count = 0;
    ::ioctl(output_, FIONREAD, &count);
    return count;
  }
  void close_input() {
    if (input_ >= 0) {
      ::close(input_);
      input_ = -1;
    }
  }

  struct Result {
    End end;
    std::string error;
    long max_rss_kib;  // peak memory of the program
  };
  // Closes the input and waits for the end; a program still running after
  // `limit` is killed (its end is then other_signal), so a hang fails the
  // test instead of stalling the suite.
  Result wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
    close_input();
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mutex);
      if (!ended.wait_for(lock, limit, [&] { return done; })) {
        ::kill(pid_, SIGKILL);
      }
    });
    Result r{};
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(errors_, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
      r.error.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    {
      const std::lock_guard lock(mutex);
      done = true;
    }
    ended.notify_one();
    watchdog.join();
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    r.max_rss_kib = usage.ru_maxrss;
    r.end = WIFEXITED(status)                                    ? End{WEXITSTATUS(status)}
            : WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT ? aborted
                                                                 : other_signal;
    return r;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
};

TEST_P(TranscriptTest, Program) {
  const Transcript& t = GetParam();
  LiveProgram program;
  std::thread feeder([&] {
    program.send(t.input);
    program.close_input();
  });
  const std::string output = program.read_until("");
  feeder.join();
  const LiveProgram::Result r = program.wait();
  EXPECT_EQ(output, t.output);
  EXPECT_EQ(r.error, t.error);
  EXPECT_EQ(r.end, t.end);
}

INSTANTIATE_TEST_SUITE_P(Dialogue, TranscriptTest, ::testing::ValuesIn(transcripts()),
                         [](const ::testing::TestParamInfo<Transcript>& param_info) {
                           return param_info.param.name;
                         });

TEST(ProgramEnds, CommandLine) {
  struct Case {
    const char* argument;
    const char* output_start;  // what standard output begins with
    const char* error;
    End end;
  };
  const Case cases[] = {
      {"--help", "Usage: nerido [--help | --version]\n", "", exit0},
      {"--version", "nerido 0.", "", exit0},
      {"-h", "", "nerido: unexpected argument '-h'; usage: nerido [--help | --version]\n", End{2}},
      {"28", "", "nerido: unexpected argument '28'; usage: nerido [--help | --version]\n", End{2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    LiveProgram program(false, nullptr, c.argument);
    const std::string output = program.read_until("");
    const LiveProgram::Result r = program.wait();
    EXPECT_TRUE(output.starts_with(c.output_start)) << output;
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.end, c.end);
  }
}

TEST(ProgramEnds, StandardStreamsThatFail) {
  struct Case {
    const char* input_file;   // nothing: a pipe fed with `input`
    const char* output_file;  // nothing: a pipe
    const char* input;
    std::string output;
    std::string error;
    End end;
  };
  const Case cases[] = {
      // Regression: a failed write to standard output ended with status 0.
      {nullptr, "/dev/full", "28\n3000\n15\n10\n5\nEX\n", "",
       "nerido: error writing standard output\n", exit1},
      // A read that fails (a folder as standard input) ends like the end of
      // the input, once: it is not retried.
      {"/", nullptr, "", sst, fmt_end, aborted},
  };
  for (const Case& c : cases) {
    LiveProgram program(false, c.output_file, nullptr, c.input_file);
    program.send(c.input);
    const LiveProgram::Result r = program.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.end, c.end);
    if (c.output_file == nullptr) {
      EXPECT_EQ(program.read_until(""), c.output);
    }
  }
}

// An operator at a terminal: each line typed after its prompt appeared, some
// in several pieces with pauses between them, and a line end whose CR and LF
// arrive apart, so that every piece reaches the program in a read of its own.
TEST(ProgramEnds, OperatorTypingAtATerminal) {
  struct Step {
    std::vector<std::string_view> typed;
    std::string answer;
  };
  const Step steps[] = {
      {{"28\n"}, alt},    {{"30", "00\r", "\n"}, air},          {{"1", "5\n"}, wind},
      {{"10\r\n"}, rain}, {{"5\n"}, tb_28_3000_15_10_5 + wind},
  };
  LiveProgram program;
  EXPECT_EQ(program.read_until(sst), sst);
  for (const Step& step : steps) {
    for (std::string_view piece : step.typed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      program.send(piece);
    }
    ASSERT_EQ(program.read_until(step.answer), step.answer);
  }
  program.send("EX\n");
  const LiveProgram::Result r = program.wait(std::chrono::seconds(10));
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.end, exit0);
}

TEST(ProgramEnds, SignalsAtAPrompt) {
  struct Case {
    bool ignore_interrupt;  // as a parent such as nohup leaves it
    int first_signal;       // sent before the operator's "28" (0: none)
    int last_signal;        // sent at the altitude prompt
    const char* error;
  };
  const Case cases[] = {
      {false, 0, SIGINT, "Interrupt\n"},
      {false, 0, SIGTERM, "Killed\n"},
      {true, SIGINT, SIGTERM, "Killed\n"},  // the ignored interrupt stays ignored
  };
  for (const Case& c : cases) {
    LiveProgram program(c.ignore_interrupt);
    EXPECT_EQ(program.read_until(sst), sst);
    if (c.first_signal != 0) {
      program.signal(c.first_signal);
    }
    program.send("28\n");
    EXPECT_EQ(program.read_until(alt), alt);  // still running
    program.signal(c.last_signal);
    const LiveProgram::Result r = program.wait();
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.end, exit1);
  }
}

// A termination request while the program works through lines it has
// already read ends it as at a prompt: while it computes (its output read as
// it comes), and while it is blocked writing to a full pipe (never read).
TEST(ProgramEnds, TerminationWhileWorking) {
  std::string input = "28\n3000\n15\n";
  for (int i = 0; i < 20000; ++i) {
    input += "10\n5\n";  // about 160 output bytes each
  }
  for (bool output_read : {true, false}) {
    SCOPED_TRACE(output_read ? "computing" : "blocked writing");
    LiveProgram program;
    std::thread feeder([&] { program.send(input); });
    std::thread reader;
    if (output_read) {
      program.read_until("  Tb:");
      reader = std::thread([&] { program.read_until(""); });
    } else {
      for (int i = 0; i < 1000 && program.unread_output() < 60000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_GE(program.unread_output(), 60000);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    program.signal(SIGTERM);
    feeder.join();
    const LiveProgram::Result r = program.wait(std::chrono::seconds(10));
    if (reader.joinable()) {
      reader.join();
    }
    EXPECT_EQ(r.error, "Killed\n");
    EXPECT_EQ(r.end, exit1);
  }
}

// A stand-in for sigaction(2) that installs nothing and fails where told.
struct SigactionFailures {
  bool query = false;  // reading the interrupt's action
  int install = 0;     // installing the handler of this signal
};
SigactionFailures sigaction_failures;

int failing_sigaction(int signal_number, const struct sigaction* action,
                      struct sigaction* previous) {
  const bool fails =
      action == nullptr ? sigaction_failures.query : signal_number == sigaction_failures.install;
  if (fails) {
    errno = EINVAL;
    return -1;
  }
  if (previous != nullptr) {
    *previous = {};  // the default action
  }
  return 0;
}

TEST(ProgramEnds, HandlerThatCannotBeInstalledIsNamed) {
  struct Case {
    SigactionFailures failures;
    const char* error;
  };
  const Case cases[] = {
      {{false, 0}, ""},
      {{true, 0}, "nerido: cannot install the SIGINT handler: Invalid argument\n"},
      {{false, SIGINT}, "nerido: cannot install the SIGINT handler: Invalid argument\n"},
      {{false, SIGTERM}, "nerido: cannot install the SIGTERM handler: Invalid argument\n"},
  };
  for (const Case& c : cases) {
    sigaction_failures = c.failures;
    ::testing::internal::CaptureStderr();
    install_signal_handlers(failing_sigaction);  // returns: the program runs on
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.error);
  }
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
class StopAfterText final : public LookaheadInput {
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
