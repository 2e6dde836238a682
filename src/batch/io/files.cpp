#include "batch/io/files.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "batch/errors.hpp"
#include "batch/io/text.hpp"

namespace nerido::batch {
namespace {

std::string system_reason() { return error_text(errno); }

// Characters of the random part of a name made by mkdtemp and mkstemp.
constexpr std::string_view random_part = "XXXXXX";

}  // namespace

InputFile::InputFile(const std::string& path) {
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

std::size_t InputFile::read(char* buffer, std::size_t size, const std::atomic<bool>* stop) {
  while (stop == nullptr || !stop->load()) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) {
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) {
      throw DataError("cannot read " + name_ + ": " + system_reason());
    }
  }
  return 0;
}

bool InputFile::would_wait() const noexcept {
  if (size_) {
    return false;
  }
  pollfd ready{fd_, POLLIN, 0};
  return ::poll(&ready, 1, 0) == 0;
}

OutputFile::OutputFile(const std::string& path, bool open) : name_(path), path_(path) {
  if (path == standard_stream) {
    fd_ = STDOUT_FILENO;
    name_ = "standard output";
    return;
  }
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    // A device or a pipe: never replaced, written as it is.
    fd_ = open ? ::open(path.c_str(), O_WRONLY | O_CLOEXEC) : -1;
    if (open && fd_ < 0) {
      throw DataError("cannot write " + path + ": " + system_reason());
    }
    owned_ = open;
    return;
  }
  struct stat link {};
  const bool is_link = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  if (!exists && is_link) {
    throw DataError("not writing through dangling link " + path);
  }
  if (exists && (::access(path.c_str(), W_OK) != 0 || (status.st_mode & 0222) == 0)) {
    throw DataError("cannot replace " + path + ": it is read-only");
  }
  target_ = path;
  if (is_link) {
    // Through a link: replace the file it names, keeping the link.
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target_ = resolved;
      std::free(resolved);
    }
  }
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = target_.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string folder = dir + "." + base + "." + std::string(random_part);
  if (::mkdtemp(folder.data()) == nullptr) {
    throw DataError("cannot write " + path + ": " + system_reason());
  }
  folder_ = folder;
  path_ = folder_ + "/" + base;
  if (!open) {
    return;
  }
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    const std::string reason = system_reason();
    ::rmdir(folder_.c_str());
    throw DataError("cannot write " + path + ": " + reason);
  }
  owned_ = true;
  // A file that is replaced keeps its permissions (a private 0600 file
  // must not become readable to all).
  if (exists) {
    ::fchmod(fd_, status.st_mode & 07777);
  }
}

OutputFile::~OutputFile() {
  if (owned_ && fd_ >= 0) {
    ::close(fd_);
  }
  if (replaces_whole()) {
    ::unlink(path_.c_str());
    ::rmdir(folder_.c_str());
  }
}

void OutputFile::write(std::string_view bytes) {
  if (!write_all(fd_, bytes)) {
    throw DataError("cannot write " + name_ + ": " + system_reason());
  }
}

void OutputFile::close_file() {
  const int closed = owned_ && fd_ >= 0 ? ::close(fd_) : 0;
  fd_ = -1;
  if (closed != 0) {
    throw DataError("cannot write " + name_ + ": " + system_reason());
  }
}

bool OutputFile::rename_to(const std::string& to) {
  if (std::rename(path_.c_str(), to.c_str()) != 0) {
    return false;
  }
  ::rmdir(folder_.c_str());
  folder_.clear();
  return true;
}

void OutputFile::commit() {
  close_file();
  if (replaces_whole() && !rename_to(target_)) {
    throw DataError("cannot replace " + name_ + ": " + system_reason());
  }
}

std::string OutputFile::keep_partial() {
  close_file();
  if (!replaces_whole()) {
    return name_;
  }
  std::string kept = target_ + ".partial-" + std::string(random_part);
  const int placeholder = ::mkstemp(kept.data());  // the name taken, never replacing a file
  if (placeholder < 0 || !rename_to(kept)) {
    throw DataError("cannot keep the rows in " + kept + ": " + system_reason());
  }
  ::close(placeholder);
  return kept;
}

ScratchFile::ScratchFile() : file_(std::tmpfile()) {
  if (file_ == nullptr) {
    throw DataError("cannot make a temporary file: " + system_reason());
  }
}

void ScratchFile::write(std::string_view bytes) {
  if (::pwrite(fd(), bytes.data(), bytes.size(), static_cast<off_t>(size_)) !=
      static_cast<ssize_t>(bytes.size())) {
    throw DataError("cannot write a temporary file: " + system_reason());
  }
  size_ += bytes.size();
}

void ScratchFile::read_back(const std::function<void(std::string_view)>& take) const {
  std::string piece(std::size_t{64} << 10, '\0');
  for (off_t offset = 0;;) {
    const ssize_t n = ::pread(fd(), piece.data(), piece.size(), offset);
    if (n < 0) {
      throw DataError("cannot read a temporary file: " + system_reason());
    }
    if (n == 0) {
      return;
    }
    take(std::string_view(piece).substr(0, static_cast<std::size_t>(n)));
    offset += n;
  }
}

}  // namespace nerido::batch
