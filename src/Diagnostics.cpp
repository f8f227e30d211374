#include "Diagnostics.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// An inherited descriptor may be non-blocking (its other user made the
// shared file description so). Waiting here instead of giving up keeps every
// response and diagnostic whole without touching flags that the other
// process relies on.
void waitWritable(int fd) {
  pollfd p{fd, POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

// Writes what `fd` takes at once, never blocking: -1 with EAGAIN when it
// takes nothing now, and with EOPNOTSUPP when it cannot be written that way
// (a file or device that does not take RWF_NOWAIT, a kernel or system
// without it). A descriptor that refused once is not asked again.
ssize_t writeWithoutWaiting(int fd, const iovec* parts, int count) {
#ifdef RWF_NOWAIT
  static int refusedBy = -1;
  if (fd != refusedBy) {
    const ssize_t n = ::pwritev2(fd, parts, count, -1, RWF_NOWAIT);
    if (n >= 0 || (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL)) return n;
    refusedBy = fd;
  }
#else
  (void)fd, (void)parts, (void)count;
#endif
  errno = EOPNOTSUPP;
  return -1;
}

bool writevAll(int fd, iovec* parts, int count, WaitForRoom waitForRoom = nullptr) {
  while (count > 0) {
    ssize_t n = -1;
    if (waitForRoom) {
      // Most writes find room: they go out at once, with no poll(2) to ask
      // first. Only a write that would block waits as waitForRoom says.
      n = writeWithoutWaiting(fd, parts, count);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EOPNOTSUPP)) {
        if (!waitForRoom(fd)) return false;
        n = ::writev(fd, parts, count);
      }
    } else {
      n = ::writev(fd, parts, count);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!waitForRoom) waitWritable(fd);
        continue;
      }
      return false;
    }
    auto left = static_cast<size_t>(n);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

iovec part(std::string_view text) { return {const_cast<char*>(text.data()), text.size()}; }

}  // namespace

bool writeAll(int fd, std::string_view bytes, WaitForRoom waitForRoom) {
  iovec whole = part(bytes);
  return writevAll(fd, &whole, bytes.empty() ? 0 : 1, waitForRoom);
}

void logLine(std::string_view text, std::string_view clientText) {
  std::string escaped;
  if (clientText.find('\n') != std::string_view::npos) {
    escaped.reserve(clientText.size() + 16);
    for (const char c : clientText) {
      if (c == '\n') escaped.append("\\n");
      else escaped.push_back(c);
    }
    clientText = escaped;
  }
  iovec parts[] = {part("kovix-mcp-server: "), part(text), part(clientText), part("\n")};
  writevAll(STDERR_FILENO, parts, 4);
}
