#include "ShortID.h"

#include "Diagnostics.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <stdlib.h>
#else
#include <sys/random.h>
#endif

namespace {

__extension__ typedef unsigned __int128 uint128;

void fillRandom(void* buffer, size_t size) {
#if defined(__APPLE__)
  arc4random_buf(buffer, size);
#else
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = getrandom(bytes, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  if (size == 0) return;
  // Kernels older than getrandom(2) still have the device.
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && size > 0) {
    ssize_t n = ::read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  if (size != 0) {
    logLine("no system random source; cannot make identifiers");
    std::abort();
  }
#endif
}

}  // namespace

std::string makeShortID() {
  static constexpr char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  constexpr uint64_t range = 36;
  constexpr uint64_t threshold = (0 - range) % range;  // 2^64 mod 36 == 16

  // One system call serves all ten draws unless a value is rejected, which
  // happens with probability 16 / 2^64 per draw.
  uint64_t pool[10];
  size_t next = sizeof pool / sizeof pool[0];
  std::string id;
  id.reserve(10);
  while (id.size() < 10) {
    if (next == sizeof pool / sizeof pool[0]) {
      fillRandom(pool, sizeof pool);
      next = 0;
    }
    const uint128 product = static_cast<uint128>(pool[next++]) * range;
    if (static_cast<uint64_t>(product) < threshold) continue;
    id.push_back(alphabet[static_cast<uint64_t>(product >> 64)]);
  }
  return id;
}
