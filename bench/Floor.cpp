// The floor: the least work a line-per-message stdio server can do, so that
// every figure of the server can be read against what the pipes, the process
// and the driver cost by themselves.
//
// It makes the same system calls as the server: a ready line on standard
// error, then reads of 64 KiB chunks from standard input, split at line
// feeds, and one write(2) per response. Each response is fixed; the id is
// copied byte for byte from the text after the first "id": up to the next
// comma or closing brace, with no JSON parsing and no database. A long line
// that comes in many reads is scanned once, as the server's framing does.

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void respond(std::string_view line, std::string& response) {
  std::string_view id = "null";
  if (const size_t at = line.find("\"id\":"); at != std::string_view::npos) {
    const size_t from = at + 5;
    const size_t end = line.find_first_of(",}", from);
    id = line.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from);
  }
  response.assign("{\"id\":").append(id).append(",\"jsonrpc\":\"2.0\",\"result\":{}}\n");
  writeAll(STDOUT_FILENO, response);
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  writeAll(STDERR_FILENO, "kovix-bench-floor: ready\n");
  std::string chunk(64 * 1024, '\0');
  std::string buffer;
  std::string response;
  size_t scanned = 0;  // bytes at the front of the buffer that hold no line feed
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk.data(), static_cast<size_t>(n));
    size_t start = 0;
    while (const void* found = std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned)) {
      const size_t end = static_cast<size_t>(static_cast<const char*>(found) - buffer.data());
      if (end > start) respond(std::string_view(buffer).substr(start, end - start), response);
      start = scanned = end + 1;
    }
    buffer.erase(0, start);
    scanned = buffer.size();
  }
  writeAll(STDERR_FILENO, "kovix-bench-floor: stdin closed; exiting\n");
  return 0;
}
