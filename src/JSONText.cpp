#include "JSONText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace jsontext {
namespace {

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

bool writeNumber(const nlohmann::json& value, std::string& out) {
  char buffer[32];
  std::to_chars_result r;
  switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
      r = std::to_chars(buffer, buffer + sizeof buffer, value.get_ref<const nlohmann::json::number_integer_t&>());
      break;
    case nlohmann::json::value_t::number_unsigned:
      r = std::to_chars(buffer, buffer + sizeof buffer, value.get_ref<const nlohmann::json::number_unsigned_t&>());
      break;
    default: {
      const double d = value.get_ref<const nlohmann::json::number_float_t&>();
      if (!std::isfinite(d)) return false;
      r = std::to_chars(buffer, buffer + sizeof buffer, d);
    }
  }
  out.append(buffer, r.ptr);
  return true;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
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

std::string sanitizeUTF8(std::string_view bytes) {
  if (isValidUTF8(bytes)) return std::string(bytes);
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

void writeString(std::string_view text, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  static constexpr auto needsEscape = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = true;
    table['"'] = table['\\'] = table['/'] = true;
    return table;
  }();
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needsEscape[c]) continue;
    out.append(text.substr(runStart, i - runStart));
    runStart = i + 1;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '/': out.append("\\/"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(text.substr(runStart));
  out.push_back('"');
}

bool write(const nlohmann::json& value, std::string& out) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null:
    case Type::discarded:
      out.append("null");
      return true;
    case Type::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return true;
    case Type::number_integer:
    case Type::number_unsigned:
    case Type::number_float:
      return writeNumber(value, out);
    case Type::string: {
      const auto& s = value.get_ref<const std::string&>();
      if (!isValidUTF8(s)) return false;
      writeString(s, out);
      return true;
    }
    case Type::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        if (!write(element, out)) return false;
      }
      out.push_back(']');
      return true;
    }
    case Type::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        if (!isValidUTF8(key)) return false;
        writeString(key, out);
        out.push_back(':');
        if (!write(member, out)) return false;
      }
      out.push_back('}');
      return true;
    }
    case Type::binary:
      return false;
  }
  return false;
}

bool nestsDeeperThan(std::string_view text, int limit) {
  // Nesting cannot go deeper than the number of brackets that open, and
  // counting those is far cheaper than following strings and escapes.
  const auto openers = std::count(text.begin(), text.end(), '[') + std::count(text.begin(), text.end(), '{');
  if (openers <= limit) return false;
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace jsontext
