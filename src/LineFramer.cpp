#include "LineFramer.h"

#include <cstring>

namespace {
// Keep at most this much capacity once the buffer has drained; a larger
// buffer was grown for one long line and is returned to the allocator.
constexpr size_t kRetainedCapacity = 1 << 20;
}  // namespace

void LineFramer::append(std::string_view bytes) { buffer_.append(bytes); }

bool LineFramer::nextLine(std::string_view& line) {
  const size_t from = start_ + scanned_;
  const void* found = from < buffer_.size() ? std::memchr(buffer_.data() + from, '\n', buffer_.size() - from) : nullptr;
  if (!found) {
    scanned_ = buffer_.size() - start_;
    return false;
  }
  const size_t end = static_cast<size_t>(static_cast<const char*>(found) - buffer_.data());
  line = std::string_view(buffer_).substr(start_, end - start_);
  start_ = end + 1;
  scanned_ = 0;
  return true;
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
