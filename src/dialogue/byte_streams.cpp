#include "dialogue/byte_streams.hpp"

#include <algorithm>
#include <cstring>

namespace nerido::dialogue {

int LookaheadInput::refill(bool consume) {
  if (final_ != 0) {
    return final_;  // the end is final: a console is not asked twice
  }
  const long count = fill(buffer_.data(), buffer_.size());
  if (count <= 0) {
    final_ = count == 0 ? end_of_input : read_failed;
    return final_;
  }
  pos_ = 0;
  len_ = static_cast<std::size_t>(count);
  return consume ? get() : peek();
}

void ByteSink::write(std::string_view bytes) {
  if (failed_ || bytes.empty()) {
    return;
  }
  if (bytes.size() > buffer_.size() - len_) {
    flush();
    if (failed_) {
      return;
    }
    if (bytes.size() > buffer_.size()) {
      failed_ = !drain(bytes.data(), bytes.size());
      return;
    }
  }
  std::memcpy(buffer_.data() + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
}

void ByteSink::flush() {
  if (len_ > 0 && !failed_) {
    failed_ = !drain(buffer_.data(), len_);
  }
  len_ = 0;
}

long StringSource::fill(char* into, std::size_t size) {
  const std::size_t count = std::min(size, text_.size());
  if (count > 0) {
    std::memcpy(into, text_.data(), count);
  }
  text_.remove_prefix(count);
  return static_cast<long>(count);
}

bool StringSink::drain(const char* data, std::size_t size) {
  if (fail_writes_) {
    return false;
  }
  text_.append(data, size);
  return true;
}

}  // namespace nerido::dialogue
