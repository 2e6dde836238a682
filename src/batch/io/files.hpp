// The files of a run: its input, the one atomic output file (for CSV and
// pictures alike) and a scratch file.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nerido::batch {

// Names standard input or standard output on the command line.
inline constexpr std::string_view standard_stream = "-";

// An input file, or standard input for "-".
class InputFile {
 public:
  // Throws DataError naming the file when it cannot be opened.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Reads up to `size` bytes; 0 at the end, or once `stop` is set (checked
  // before each read and when a signal interrupts one). Throws DataError.
  std::size_t read(char* buffer, std::size_t size, const std::atomic<bool>* stop);
  // True when a read would wait (a pipe, terminal or socket with nothing
  // pending); never for a regular file.
  [[nodiscard]] bool would_wait() const noexcept;
  // Its path, or "<stdin>".
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  // Its size (bytes) when it is a regular file.
  [[nodiscard]] std::optional<std::uint64_t> size() const noexcept { return size_; }

 private:
  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
  std::optional<std::uint64_t> size_;
};

// An output written whole or not at all: a regular file (or a new path) is
// written in a private folder created beside it (DIR/.FILE.XXXXXX/FILE,
// never following a link there) and renamed over FILE by commit(); a link
// to a regular file keeps naming it, and a replaced file keeps its
// permissions. Standard output ("-") and what is not a regular file
// (/dev/null, a named pipe) are written in place. Destroyed uncommitted, it
// removes what it wrote.
class OutputFile {
 public:
  // `open`: false when another program writes path() (gnuplot). Throws
  // DataError naming the file when it cannot be made, is read-only, or is a
  // dangling link.
  explicit OutputFile(const std::string& path, bool open = true);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Throws DataError naming the file when the bytes cannot be written.
  void write(std::string_view bytes);
  // Renames the file written over FILE; nothing for a streamed output.
  void commit();
  // Keeps what was written in a new FILE.partial-XXXXXX; answers its name.
  std::string keep_partial();

  // True when written beside FILE and renamed at the end.
  [[nodiscard]] bool replaces_whole() const noexcept { return !folder_.empty(); }
  // Where the bytes go: the private file, or FILE itself.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // Its path, or "standard output".
  [[nodiscard]] const std::string& name() const noexcept { return name_; }

 private:
  void close_file();
  // Renames the file written to `to`; false (errno set) when it cannot.
  bool rename_to(const std::string& to);

  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
  std::string target_;  // the file renamed over; empty when streamed
  std::string folder_;  // the private folder beside it; empty when streamed
  std::string path_;
};

// An unnamed temporary file for what a run collects beside its output (a
// picture's data, gnuplot's messages), so that memory stays the same
// whatever the input size.
class ScratchFile {
 public:
  // Throws DataError when no temporary file can be made.
  ScratchFile();
  ~ScratchFile() { (void)std::fclose(file_); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Throws DataError when the bytes cannot be written.
  void write(std::string_view bytes);
  // Bytes given to write().
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  [[nodiscard]] int fd() const noexcept { return ::fileno(file_); }
  // Hands every byte of the file to `take`, in pieces, in order.
  void read_back(const std::function<void(std::string_view)>& take) const;

 private:
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
};

}  // namespace nerido::batch
