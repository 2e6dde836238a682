// Buffered byte input and output under the dialogue. The dialogue reads and
// writes only through these two classes, so that the console program, the
// tests and the fuzzers run the same code on different ends.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace nerido::dialogue {

// Input with a one-byte look-ahead; its end, once reported, is final.
class LookaheadInput {
 public:
  static constexpr int end_of_input = -1;
  static constexpr int read_failed = -2;  // a failing read, or a stop request

  LookaheadInput() = default;
  LookaheadInput(const LookaheadInput&) = delete;
  LookaheadInput& operator=(const LookaheadInput&) = delete;
  virtual ~LookaheadInput() = default;

  // The next byte (0 to 255), end_of_input or read_failed; consumes it.
  int get() { return pos_ < len_ ? static_cast<unsigned char>(buffer_[pos_++]) : refill(true); }
  // The next byte without consuming it.
  int peek() { return pos_ < len_ ? static_cast<unsigned char>(buffer_[pos_]) : refill(false); }

  // True once a signal has asked the program to stop.
  [[nodiscard]] virtual bool stop_requested() const { return false; }

  // True once get() or peek() has returned end_of_input. The end is final:
  // from then on they return it again without asking fill() (a console whose
  // operator typed the end-of-file key is not asked a second time).
  [[nodiscard]] bool ended() const { return final_ == end_of_input; }

 protected:
  // Places up to `size` bytes at `into`. Returns the count (> 0), 0 at the
  // end of the input, or a negative value when the read failed or a stop
  // was requested.
  virtual long fill(char* into, std::size_t size) = 0;

 private:
  int refill(bool consume);

  std::array<char, 65536> buffer_{};
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  int final_ = 0;  // end_of_input or read_failed once the input is over
};

// Output collected in a fixed buffer and handed on by flush() or when full.
// After the first failed write the sink stays failed and drops what follows,
// so a broken stream never receives a garbled remainder.
class ByteSink {
 public:
  ByteSink() = default;
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;
  virtual ~ByteSink() = default;

  void write(std::string_view bytes);
  void flush();
  [[nodiscard]] bool failed() const { return failed_; }

 protected:
  // Delivers all `size` bytes; false when that failed.
  virtual bool drain(const char* data, std::size_t size) = 0;

 private:
  std::array<char, 8192> buffer_{};
  std::size_t len_ = 0;
  bool failed_ = false;
};

// Input from a string held by the caller.
class StringSource final : public LookaheadInput {
 public:
  explicit StringSource(std::string_view text) : text_(text) {}

 protected:
  long fill(char* into, std::size_t size) override;

 private:
  std::string_view text_;
};

// Output appended to a string; or, with `fail_writes`, output that fails.
class StringSink final : public ByteSink {
 public:
  explicit StringSink(bool fail_writes = false) : fail_writes_(fail_writes) {}
  [[nodiscard]] const std::string& text() const { return text_; }

 protected:
  bool drain(const char* data, std::size_t size) override;

 private:
  std::string text_;
  bool fail_writes_;
};

}  // namespace nerido::dialogue
