#include "UTF8.h"

#include <cstdint>

namespace utf8 {

// Length of the well-formed UTF-8 sequence that starts at `i`, or 0 when the
// bytes there are ill-formed. `consumed` is set to the length of the maximal
// ill-formed subpart in that case (at least 1).
size_t sequenceLength(std::string_view s, size_t i, size_t& consumed) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  size_t length;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    consumed = 1;
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if (i + k >= s.size()) {
      consumed = k;
      return 0;
    }
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char low = k == 1 ? lo : 0x80, high = k == 1 ? hi : 0xBF;
    if (b < low || b > high) {
      consumed = k;
      return 0;
    }
  }
  return length;
}

bool isValid(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    // Runs of ASCII are the common case; skip them eight bytes at a time.
    while (i + 8 <= bytes.size()) {
      uint64_t chunk;
      __builtin_memcpy(&chunk, bytes.data() + i, 8);
      if (chunk & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= bytes.size()) break;
    size_t consumed = 0;
    const size_t n = sequenceLength(bytes, i, consumed);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string sanitize(std::string_view bytes) {
  if (isValid(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  size_t i = 0;
  while (i < bytes.size()) {
    size_t consumed = 0;
    const size_t n = sequenceLength(bytes, i, consumed);
    if (n == 0) {
      out.append("\xEF\xBF\xBD");
      i += consumed;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace utf8
