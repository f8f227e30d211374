#include "Diagnostics.h"

#include <cerrno>
#include <string>
#include <unistd.h>

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void logLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 20);
  line.append("kovix-mcp-server: ").append(text).push_back('\n');
  writeAll(STDERR_FILENO, line);
}
