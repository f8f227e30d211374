#include "LineFramer.h"

#include <cstring>

namespace {
// Keep at most this much capacity once the buffer has drained; a larger
// buffer was grown for one long line and is returned to the allocator.
constexpr size_t kRetainedCapacity = 1 << 20;
}  // namespace

void LineFramer::append(std::string_view bytes) {
  if (discarding_) {
    const size_t end = bytes.find('\n');
    if (end == std::string_view::npos) return;
    discarding_ = false;
    bytes.remove_prefix(end + 1);
  }
  buffer_.append(bytes);
}

LineFramer::Next LineFramer::nextLine(std::string_view& line) {
  const size_t from = start_ + scanned_;
  const void* found = from < buffer_.size() ? std::memchr(buffer_.data() + from, '\n', buffer_.size() - from) : nullptr;
  if (!found) {
    scanned_ = buffer_.size() - start_;
    if (scanned_ <= maxLineBytes_) return Next::none;
    dropPartialLine();
    return Next::tooLong;
  }
  const size_t end = static_cast<size_t>(static_cast<const char*>(found) - buffer_.data());
  const size_t length = end - start_;
  const size_t begin = start_;
  start_ = end + 1;
  scanned_ = 0;
  if (length > maxLineBytes_) return Next::tooLong;
  line = std::string_view(buffer_).substr(begin, length);
  return Next::line;
}

void LineFramer::dropPartialLine() {
  buffer_.resize(start_);
  scanned_ = 0;
  discarding_ = true;
  compact();
  if (buffer_.capacity() > kRetainedCapacity) std::string().swap(buffer_);
}

void LineFramer::compact() {
  if (start_ == 0) return;
  // Dropping the consumed front costs a move of what remains, which is at
  // most one partial line.
  buffer_.erase(0, start_);
  start_ = 0;
  if (buffer_.capacity() > kRetainedCapacity && buffer_.size() < kRetainedCapacity / 4) {
    buffer_.shrink_to_fit();
  }
}
