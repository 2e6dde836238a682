#include "batch/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
    return;
  }
  path_ = path;
  partial_ = path + std::string(partial_suffix);
  fd_ = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    throw DataError("cannot write " + partial_ + ": " + system_reason());
  }
}

OutputFile::~OutputFile() {
  if (is_file() && !finished_) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
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
      throw DataError("cannot write " + (is_file() ? partial_ : name()) + ": " + system_reason());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void OutputFile::close_file() {
  if (fd_ >= 0) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
      throw DataError("cannot write " + partial_ + ": " + system_reason());
    }
  }
}

void OutputFile::commit() {
  if (!is_file()) {
    return;
  }
  close_file();
  if (std::rename(partial_.c_str(), path_.c_str()) != 0) {
    throw DataError("cannot rename " + partial_ + " to " + path_ + ": " + system_reason());
  }
  finished_ = true;
}

std::string OutputFile::keep_partial() {
  finished_ = true;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  return partial_;
}

}  // namespace nerido::batch
