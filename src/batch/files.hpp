// The files of a run: the input read through a file descriptor, and the
// output written whole or not at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "batch/csv.hpp"

namespace nerido::batch {

// Names standard input or standard output on the command line.
inline constexpr std::string_view standard_stream = "-";

// An input file, or standard input for "-".
class InputFile : public ByteSource {
 public:
  // Throws DataError naming the file when it cannot be opened. A read
  // interrupted by a signal answers the end of the input once
  // `stop_requested` is set.
  InputFile(const std::string& path, const std::atomic<bool>* stop_requested);
  ~InputFile() override;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  std::size_t read(char* buffer, std::size_t size) override;
  // The file's name in messages: its path, or "<stdin>".
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  // Its size (bytes) when it is a regular file.
  [[nodiscard]] std::optional<std::uint64_t> size() const noexcept { return size_; }

 private:
  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
  std::optional<std::uint64_t> size_;
  const std::atomic<bool>* stop_requested_;
};

// Where the output goes. A regular file (or a path not there yet) is written
// as FILE.partial and renamed to FILE by commit(), so that FILE is never
// incomplete; a symbolic link keeps pointing at the file it names. Standard
// output ("-") and anything else that is not a regular file (/dev/null, a
// named pipe) are written in place, streamed. Destroyed uncommitted, it
// removes FILE.partial unless told to keep it.
class OutputFile {
 public:
  // Throws DataError naming the file when it cannot be created.
  explicit OutputFile(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Throws DataError naming the file when the bytes cannot be written.
  void write(std::string_view bytes);
  // Renames FILE.partial to FILE; nothing for a streamed output.
  void commit();
  // Leaves FILE.partial in place, closed; answers its name.
  std::string keep_partial();

  // True when written as FILE.partial and renamed at the end.
  [[nodiscard]] bool is_replaced_whole() const noexcept { return !partial_.empty(); }
  // The output's name in messages: its path, or "standard output".
  [[nodiscard]] const std::string& name() const noexcept { return name_; }

 private:
  void close_file();

  int fd_ = -1;
  bool owned_ = false;
  std::string name_;
  std::string target_;   // the file renamed into; empty when streamed
  std::string partial_;  // target_ + ".partial"; empty when streamed
  bool finished_ = false;
};

// An unnamed temporary file for what a run collects beside its output (a
// picture's data), so that memory stays the same whatever the input size.
// Removed when closed.
class ScratchFile {
 public:
  // Throws DataError when no temporary file can be made.
  ScratchFile();
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Throws DataError when the bytes cannot be written.
  void write(std::string_view bytes);
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  // Hands every byte written so far to `take`, in pieces, in order.
  template <typename Take>
  void read_back(Take&& take) const {
    std::string piece;
    for (std::uint64_t offset = 0; read_piece(offset, piece);) {
      offset += piece.size();
      take(std::string_view(piece));
    }
  }

 private:
  // The bytes from `offset` on, some of them; false at the end.
  bool read_piece(std::uint64_t offset, std::string& piece) const;

  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
};

// Suffix of the file a run writes before renaming it.
inline constexpr std::string_view partial_suffix = ".partial";

}  // namespace nerido::batch
