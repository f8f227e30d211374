#include "MCPStoreError.h"

#include "UTF8.h"

MCPStoreError MCPStoreError::openFailed(std::string path) {
  const std::string description = "Failed to open SQLite at " + path;
  return MCPStoreError(Kind::openFailed, std::move(path), description);
}

MCPStoreError MCPStoreError::sqlError(std::string message) {
  const std::string description = "SQLite error: " + message;
  return MCPStoreError(Kind::sqlError, std::move(message), description);
}

MCPStoreError MCPStoreError::notFound(std::string text) {
  const std::string description = "Not found: " + text;
  return MCPStoreError(Kind::notFound, std::move(text), description);
}

std::string MCPStoreError::debugForm() const {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  switch (kind_) {
    case Kind::openFailed: out = "openFailed(\""; break;
    case Kind::sqlError: out = "sqlError(\""; break;
    case Kind::notFound: out = "notFound(\""; break;
  }
  // Environment values are bytes; show ill-formed ones as U+FFFD rather than
  // passing them through to a terminal.
  for (const char ch : utf8::sanitize(detail_)) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u{";
          if (c >> 4) out += hex[c >> 4];
          out += hex[c & 0xF];
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  out += "\")";
  return out;
}
