#include "JSONText.h"

#include "UTF8.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace jsontext {
namespace {

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

// What each byte of a string's contents becomes: `size` bytes of `text`
// (none for a byte written as it is), padded so that an escape is always
// copied as eight bytes.
struct Escape {
  uint8_t size = 0;
  char text[8] = {};
};
using EscapeTable = std::array<Escape, 256>;

// The escapes of JSON text, or (`inString`) of that text's escapes once more,
// as the contents of a JSON string that holds it.
constexpr EscapeTable makeEscapes(bool inString) {
  EscapeTable table{};
  const auto set = [&](unsigned char byte, std::string_view text) {
    table[byte].size = static_cast<uint8_t>(text.size());
    for (size_t i = 0; i < text.size(); ++i) table[byte].text[i] = text[i];
  };
  constexpr std::string_view controls[] = {
      "\\\\u0000", "\\\\u0001", "\\\\u0002", "\\\\u0003", "\\\\u0004", "\\\\u0005", "\\\\u0006", "\\\\u0007",
      "\\\\b",     "\\\\t",     "\\\\n",     "\\\\u000b", "\\\\f",     "\\\\r",     "\\\\u000e", "\\\\u000f",
      "\\\\u0010", "\\\\u0011", "\\\\u0012", "\\\\u0013", "\\\\u0014", "\\\\u0015", "\\\\u0016", "\\\\u0017",
      "\\\\u0018", "\\\\u0019", "\\\\u001a", "\\\\u001b", "\\\\u001c", "\\\\u001d", "\\\\u001e", "\\\\u001f"};
  // Each of the above is the in-string form; JSON text drops its first
  // backslash.
  const size_t skip = inString ? 0 : 1;
  for (int c = 0; c < 0x20; ++c) set(static_cast<unsigned char>(c), controls[c].substr(skip));
  set('"', inString ? "\\\\\\\"" : "\\\"");
  set('\\', inString ? "\\\\\\\\" : "\\\\");
  set('/', inString ? "\\\\\\/" : "\\/");
  return table;
}

constexpr EscapeTable kEscapes[2] = {makeEscapes(false), makeEscapes(true)};

// How a string opens and closes in each form.
constexpr std::string_view kQuotes[2] = {"\"", "\\\""};

// Eight bytes of text at a time, as one word: on a little-endian machine the
// byte at offset k is bits 8k to 8k+7.
constexpr bool kWordsInTextOrder = std::endian::native == std::endian::little;
constexpr uint64_t kOnes = 0x0101010101010101ULL, kLows = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte of `x` that is zero, and of no other.
constexpr uint64_t zeroBytes(uint64_t x) { return ~(((x & kLows) + kLows) | x | kLows); }

// The high bit of each byte of `chunk` that needs an escape: a control
// character, a quote, a backslash or a slash.
constexpr uint64_t escapedBytes(uint64_t chunk) {
  return zeroBytes(chunk & (kOnes * 0xE0)) | zeroBytes(chunk ^ (kOnes * '"')) | zeroBytes(chunk ^ (kOnes * '\\')) |
         zeroBytes(chunk ^ (kOnes * '/'));
}

uint64_t wordAt(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

// The string's text as a JSON string, in `form`, appends it to `out`. The
// size is worked out first, so that the text is then copied through a
// pointer, eight bytes at a time, with no growing: a record list's text holds
// an escaped quote every ten bytes or so, and appending each piece cost more
// than the rest of the answer.
void writeQuoted(std::string_view text, std::string& out, Form form) {
  const EscapeTable& escapes = kEscapes[static_cast<size_t>(form)];
  const std::string_view quote = kQuotes[static_cast<size_t>(form)];
  const char* data = text.data();
  const size_t size = text.size();
  const size_t words = kWordsInTextOrder ? size / 8 * 8 : 0;
  size_t added = 0;
  for (size_t i = 0; i < words; i += 8) {
    for (uint64_t found = escapedBytes(wordAt(data + i)); found != 0; found &= found - 1) {
      added += escapes[static_cast<unsigned char>(data[i + std::countr_zero(found) / 8])].size - 1;
    }
  }
  for (size_t i = words; i < size; ++i) {
    const uint8_t escape = escapes[static_cast<unsigned char>(data[i])].size;
    added += escape == 0 ? 0 : escape - 1;
  }
  const size_t start = out.size();
  // Eight bytes of room beyond the end: every copy below writes a whole word
  // and then moves on by as many bytes as it meant.
  out.resize(start + size + added + 2 * quote.size() + 8);
  char* to = out.data() + start;
  std::memcpy(to, quote.data(), quote.size());
  to += quote.size();
  for (size_t i = 0; i < words; i += 8) {
    const uint64_t chunk = wordAt(data + i);
    uint64_t found = escapedBytes(chunk);
    std::memcpy(to, &chunk, 8);
    if (found == 0) {
      to += 8;
      continue;
    }
    size_t from = 0;
    for (; found != 0; found &= found - 1) {
      const size_t at = static_cast<size_t>(std::countr_zero(found)) / 8;
      const uint64_t rest = chunk >> (8 * from);  // the word's bytes from `from` on
      std::memcpy(to, &rest, 8);
      to += at - from;
      const Escape& escape = escapes[static_cast<unsigned char>(data[i + at])];
      std::memcpy(to, escape.text, 8);
      to += escape.size;
      from = at + 1;
    }
    if (from < 8) {
      const uint64_t rest = chunk >> (8 * from);
      std::memcpy(to, &rest, 8);
      to += 8 - from;
    }
  }
  for (size_t i = words; i < size; ++i) {
    const Escape& escape = escapes[static_cast<unsigned char>(data[i])];
    if (escape.size == 0) {
      *to++ = data[i];
    } else {
      std::memcpy(to, escape.text, 8);
      to += escape.size;
    }
  }
  std::memcpy(to, quote.data(), quote.size());
  to += quote.size();
  out.resize(static_cast<size_t>(to - out.data()));
}

// Writes `value` as JSON text in `form`. The arrays and objects still open
// are kept on the heap, not the call stack, so that the deepest value the
// reader takes is written on any stack.
bool writeValue(const nlohmann::json& root, std::string& out, Form form) {
  using Type = nlohmann::json::value_t;
  struct Open {
    const nlohmann::json* container;
    nlohmann::json::array_t::const_iterator element;
    nlohmann::json::object_t::const_iterator member;
  };
  std::vector<Open> open;
  const nlohmann::json* value = &root;
  for (;;) {
    switch (value->type()) {
      case Type::null:
      case Type::discarded:
        out.append("null");
        break;
      case Type::boolean:
        out.append(value->get<bool>() ? "true" : "false");
        break;
      case Type::number_integer:
      case Type::number_unsigned:
      case Type::number_float:
        if (!writeNumber(*value, out)) return false;
        break;
      case Type::string: {
        const auto& s = value->get_ref<const std::string&>();
        if (!utf8::isValid(s)) return false;
        writeQuoted(s, out, form);
        break;
      }
      case Type::array:
        out.push_back('[');
        open.push_back({value, value->get_ref<const nlohmann::json::array_t&>().begin(), {}});
        break;
      case Type::object:
        out.push_back('{');
        open.push_back({value, {}, value->get_ref<const nlohmann::json::object_t&>().begin()});
        break;
      case Type::binary:
        return false;
    }
    // The next value to write: the next element or member of the innermost
    // open container, closing those that have none left.
    for (value = nullptr; !value;) {
      if (open.empty()) return true;
      Open& inner = open.back();
      if (inner.container->is_array()) {
        const auto& elements = inner.container->get_ref<const nlohmann::json::array_t&>();
        if (inner.element == elements.end()) {
          out.push_back(']');
          open.pop_back();
          continue;
        }
        if (inner.element != elements.begin()) out.push_back(',');
        value = &*inner.element++;
      } else {
        const auto& members = inner.container->get_ref<const nlohmann::json::object_t&>();
        if (inner.member == members.end()) {
          out.push_back('}');
          open.pop_back();
          continue;
        }
        if (inner.member != members.begin()) out.push_back(',');
        const auto& [key, member] = *inner.member++;
        if (!utf8::isValid(key)) return false;
        writeQuoted(key, out, form);
        out.push_back(':');
        value = &member;
      }
    }
  }
}

}  // namespace

void writeString(std::string_view text, std::string& out, Form form) { writeQuoted(text, out, form); }

bool write(const nlohmann::json& value, std::string& out, Form form) { return writeValue(value, out, form); }

namespace {

// A reader over the text. Every function returns false at the first byte
// that breaks the grammar, with the value it was building left unspecified.
// Nesting costs heap, not call stack: the arrays and objects still open are
// kept in a list, so that no line can exhaust a small stack (`ulimit -s`)
// while it is read; the values it builds are freed and written without
// recursion too.
class Reader {
 public:
  Reader(std::string_view text, int maxDepth) : text_(text), maxDepth_(maxDepth) {}

  bool document(nlohmann::json& out) {
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (text_.substr(0, bom.size()) == bom) at_ = bom.size();
    skipSpace();
    if (!value(out)) return false;
    skipSpace();
    return at_ == text_.size();
  }

 private:
  void skipSpace() {
    for (; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    }
  }
  bool take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  // One value, with everything nested in it, into `root`.
  bool value(nlohmann::json& root) {
    // The arrays and objects begun and not yet closed, innermost last. Each
    // lives in its parent's last element or member, which stays where it is
    // while anything inside it is read.
    std::vector<nlohmann::json*> open;
    nlohmann::json* slot = &root;
    for (;;) {
      // A value into *slot: a scalar whole, or the start of a container.
      if (at_ >= text_.size()) return false;
      const char c = text_[at_];
      bool complete = true;
      if (c == '{' || c == '[') {
        if (open.size() >= static_cast<size_t>(maxDepth_)) return false;
        ++at_;
        *slot = c == '{' ? nlohmann::json::object() : nlohmann::json::array();
        skipSpace();
        if (!take(c == '{' ? '}' : ']')) {
          open.push_back(slot);
          complete = false;
        }
      } else if (!scalar(*slot)) {
        return false;
      }
      if (complete) {
        // Close every container that ends here; then a comma leads to the
        // next element or member of the innermost one still open.
        for (;;) {
          if (open.empty()) return true;
          skipSpace();
          if (take(open.back()->is_object() ? '}' : ']')) {
            open.pop_back();
            continue;
          }
          if (!take(',')) return false;
          skipSpace();
          break;
        }
      }
      slot = nextSlot(*open.back());
      if (!slot) return false;
    }
  }

  // Where the next element of `container` goes; for an object, after its
  // key and colon have been read.
  nlohmann::json* nextSlot(nlohmann::json& container) {
    if (container.is_array()) return &container.get_ref<nlohmann::json::array_t&>().emplace_back();
    std::string key;
    if (at_ >= text_.size() || text_[at_] != '"' || !string(key)) return nullptr;
    skipSpace();
    if (!take(':')) return nullptr;
    skipSpace();
    auto& members = container.get_ref<nlohmann::json::object_t&>();
    return &members.insert_or_assign(std::move(key), nullptr).first->second;
  }

  bool scalar(nlohmann::json& out) {
    switch (text_[at_]) {
      case '"':
        out = nlohmann::json::string_t();
        return string(out.get_ref<nlohmann::json::string_t&>());
      case 't': out = true; return literal("true");
      case 'f': out = false; return literal("false");
      case 'n': out = nullptr; return literal("null");
      default: return number(out);
    }
  }

  // At the opening quote; appends the string's contents to `out`.
  bool string(std::string& out) {
    ++at_;
    const char* data = text_.data();
    const size_t size = text_.size();
    for (;;) {
      // Plain ASCII is most of any string: take it eight bytes at a time.
      const size_t runStart = at_;
      while (at_ + 8 <= size) {
        uint64_t chunk;
        __builtin_memcpy(&chunk, data + at_, 8);
        if (mayEndPlainRun(chunk)) break;
        at_ += 8;
      }
      while (at_ < size && isPlain(static_cast<unsigned char>(data[at_]))) ++at_;
      out.append(data + runStart, at_ - runStart);
      if (at_ >= size) return false;
      const auto c = static_cast<unsigned char>(data[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c == '\\') {
        if (!escape(out)) return false;
      } else if (c >= 0x80) {
        size_t consumed = 0;
        const size_t n = utf8::sequenceLength(text_, at_, consumed);
        if (n == 0) return false;
        out.append(data + at_, n);
        at_ += n;
      } else {
        return false;  // a control character
      }
    }
  }

  static bool isPlain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

  // True when one of the eight bytes may not be plain; never false when one
  // is not.
  static bool mayEndPlainRun(uint64_t chunk) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    const auto hasZero = [&](uint64_t x) { return (x - ones) & ~x & highs; };
    const uint64_t below20 = (chunk - ones * 0x20) & ~chunk & highs;
    return (below20 | (chunk & highs) | hasZero(chunk ^ (ones * '"')) | hasZero(chunk ^ (ones * '\\'))) != 0;
  }

  bool hex4(uint32_t& code) {
    if (at_ + 4 > text_.size()) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') code |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') code |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  // At a backslash inside a string.
  bool escape(std::string& out) {
    ++at_;
    if (at_ >= text_.size()) return false;
    const char c = text_[at_++];
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    uint32_t code;
    if (!hex4(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low;
      if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUTF8(code, out);
    return true;
  }

  static void appendUTF8(uint32_t code, std::string& out) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  size_t digits() {
    const size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ - start;
  }

  bool number(nlohmann::json& out) {
    const size_t start = at_;
    const bool negative = take('-');
    if (take('0')) {
      // A leading zero stands alone.
    } else if (digits() == 0) {
      return false;
    }
    bool integral = true;
    if (take('.')) {
      integral = false;
      if (digits() == 0) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      integral = false;
      ++at_;
      if (!take('+')) take('-');
      if (digits() == 0) return false;
    }
    const std::string_view token = text_.substr(start, at_ - start);
    if (integral) {
      // Kept as an integer when one holds it; otherwise read as a double.
      if (negative) {
        int64_t n;
        const auto r = std::from_chars(token.data(), token.data() + token.size(), n);
        if (r.ec == std::errc() && r.ptr == token.data() + token.size()) {
          out = n;
          return true;
        }
      } else {
        uint64_t n;
        const auto r = std::from_chars(token.data(), token.data() + token.size(), n);
        if (r.ec == std::errc() && r.ptr == token.data() + token.size()) {
          out = n;
          return true;
        }
      }
    }
    // strtod wants the digits to end the string; the C locale reads "." as
    // the decimal point, and no locale is ever set.
    const std::string copy(token);
    char* end = nullptr;
    const double d = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(d)) return false;
    out = d;
    return true;
  }

  std::string_view text_;
  int maxDepth_;
  size_t at_ = 0;
};

}  // namespace

std::optional<nlohmann::json> read(std::string_view text, int maxDepth) {
  nlohmann::json value;
  if (!Reader(text, maxDepth).document(value)) return std::nullopt;
  return value;
}

std::string& ObjectWriter::member(std::string_view key) {
  if (!first_) out_.push_back(',');
  first_ = false;
  const std::string_view quote = kQuotes[static_cast<size_t>(form_)];
  out_.append(quote).append(key).append(quote).push_back(':');
  return out_;
}

void ObjectWriter::writeText(std::string_view bytes) {
  if (utf8::isValid(bytes)) writeQuoted(bytes, out_, form_);
  else writeQuoted(utf8::sanitize(bytes), out_, form_);
}

ObjectWriter& ObjectWriter::text(std::string_view key, std::string_view bytes) {
  member(key);
  writeText(bytes);
  return *this;
}

ObjectWriter& ObjectWriter::boolean(std::string_view key, bool value) {
  member(key).append(value ? "true" : "false");
  return *this;
}

ObjectWriter& ObjectWriter::integer(std::string_view key, int64_t value) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  member(key).append(buffer, r.ptr);
  return *this;
}

ObjectWriter& ObjectWriter::number(std::string_view key, double value) {
  if (!std::isfinite(value)) return null(key);
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  member(key).append(buffer, r.ptr);
  return *this;
}

ObjectWriter& ObjectWriter::null(std::string_view key) {
  member(key).append("null");
  return *this;
}

}  // namespace jsontext
