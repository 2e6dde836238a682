#include "batch/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "batch/errors.hpp"

namespace nerido::batch {
namespace {

std::string system_reason() { return std::strerror(errno); }

}  // namespace

InputFile::InputFile(const std::string& path, const std::atomic<bool>* stop_requested)
    : stop_requested_(stop_requested) {
  if (path == standard_stream) {
    fd_ = STDIN_FILENO;
    name_ = "<stdin>";
  } else {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw DataError("cannot read " + path + ": " + system_reason());
    }
    owned_ = true;
    name_ = path;
  }
  struct stat status {};
  if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
    size_ = static_cast<std::uint64_t>(status.st_size);
  }
}

InputFile::~InputFile() {
  if (owned_) {
    ::close(fd_);
  }
}

std::size_t InputFile::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) {
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) {
      throw DataError("cannot read " + name_ + ": " + system_reason());
    }
    if (stop_requested_ != nullptr && stop_requested_->load()) {
      return 0;
    }
  }
}

OutputFile::OutputFile(const std::string& path) {
  if (path == standard_stream) {
    fd_ = STDOUT_FILENO;
    name_ = "standard output";
    return;
  }
  name_ = path;
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    // A device or a pipe: never replaced, written as it is.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw DataError("cannot write " + path + ": " + system_reason());
    }
    owned_ = true;
    return;
  }
  target_ = path;
  if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    // Replace the file the link names, keeping the link.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      target_ = resolved;
      std::free(resolved);
    }
  }
  partial_ = target_ + std::string(partial_suffix);
  fd_ = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    throw DataError("cannot write " + partial_ + ": " + system_reason());
  }
  owned_ = true;
  // A file that is replaced keeps its permissions (a private 0600 file
  // must not become readable to all).
  if (::stat(target_.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    ::fchmod(fd_, status.st_mode & 07777);
  }
}

OutputFile::~OutputFile() {
  if (owned_ && fd_ >= 0) {
    ::close(fd_);
  }
  if (is_replaced_whole() && !finished_) {
    std::remove(partial_.c_str());
  }
}

void OutputFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw DataError("cannot write " + (is_replaced_whole() ? partial_ : name_) + ": " +
                      system_reason());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void OutputFile::close_file() {
  if (owned_ && fd_ >= 0) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
      throw DataError("cannot write " + (is_replaced_whole() ? partial_ : name_) + ": " +
                      system_reason());
    }
  }
}

void OutputFile::commit() {
  close_file();
  if (!is_replaced_whole()) {
    return;
  }
  if (std::rename(partial_.c_str(), target_.c_str()) != 0) {
    throw DataError("cannot rename " + partial_ + " to " + target_ + ": " + system_reason());
  }
  finished_ = true;
}

std::string OutputFile::keep_partial() {
  finished_ = true;
  if (owned_ && fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return partial_;
}

ScratchFile::ScratchFile() : file_(std::tmpfile()) {
  if (file_ == nullptr) {
    throw DataError("cannot make a temporary file: " + system_reason());
  }
}

ScratchFile::~ScratchFile() { std::fclose(file_); }

void ScratchFile::write(std::string_view bytes) {
  if (bytes.empty()) {
    return;
  }
  const auto offset = static_cast<off_t>(size_);
  if (::pwrite(::fileno(file_), bytes.data(), bytes.size(), offset) !=
      static_cast<ssize_t>(bytes.size())) {
    throw DataError("cannot write a temporary file: " + system_reason());
  }
  size_ += bytes.size();
}

bool ScratchFile::read_piece(std::uint64_t offset, std::string& piece) const {
  constexpr std::size_t piece_bytes = std::size_t{64} << 10;
  piece.resize(piece_bytes);
  const ssize_t n =
      ::pread(::fileno(file_), piece.data(), piece.size(), static_cast<off_t>(offset));
  if (n < 0) {
    throw DataError("cannot read a temporary file: " + system_reason());
  }
  piece.resize(static_cast<std::size_t>(n));
  return n > 0;
}

}  // namespace nerido::batch
