// The fuzz targets' own reading of JSON text and of UTF-8, written apart from
// the server's reader and writers (src/JSONText.*, src/UTF8.*) so that each
// can be checked against it: a strict checker that reads a line into a plain
// value tree, the comparisons of such a tree with an nlohmann::json value,
// and a model of the UTF-8 repair (each maximal ill-formed subpart becomes
// one U+FFFD), worked out from code point arithmetic rather than from a table
// of byte ranges.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzzcheck {

// The server refuses, unanswered, a line that opens more containers than
// this inside one another.
constexpr int kMaxNesting = 512;

// --- UTF-8 ------------------------------------------------------------------

// How many bytes a sequence with this lead byte has by its bit pattern
// (0xxxxxxx, 110xxxxx, 1110xxxx, 11110xxx), or 0 for a byte that starts none.
inline int patternLength(unsigned char b) {
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xF8) == 0xF0) return 4;
  return 0;
}

// Whether the `n` bytes at `s` (the lead byte and continuation bytes, n
// smaller than or equal to the pattern's length) begin the encoding of some
// scalar value that an encoding of that length may carry: the code points
// those bits allow form an interval, which must meet the values the length
// is for (not an overlong form, not a surrogate, not above U+10FFFF).
inline bool completable(const unsigned char* s, int n) {
  const int length = patternLength(s[0]);
  if (length < 2 || n > length) return false;
  uint32_t bits = s[0] & (0x7Fu >> length);
  for (int k = 1; k < n; ++k) {
    if ((s[k] & 0xC0) != 0x80) return false;
    bits = (bits << 6) | (s[k] & 0x3Fu);
  }
  const int missing = 6 * (length - n);
  const uint32_t low = bits << missing, high = low | ((1u << missing) - 1);
  const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  const uint32_t most = length == 2 ? 0x7FF : length == 3 ? 0xFFFF : 0x10FFFF;
  if (high < least || low > most) return false;
  // Every value left in the interval may be a surrogate.
  if (length == 3 && low >= 0xD800 && high <= 0xDFFF) return false;
  return true;
}

// Walks `bytes`: `whole(start, length)` for each well-formed sequence and
// `broken(start, length)` for each maximal ill-formed subpart, the longest
// run of bytes that begins some well-formed sequence but is not one (at
// least one byte).
template <class Whole, class Broken>
void walkUTF8(std::string_view bytes, Whole whole, Broken broken) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  while (i < bytes.size()) {
    const int length = patternLength(s[i]);
    if (length == 1) {
      whole(i, size_t{1});
      ++i;
      continue;
    }
    int n = 1;
    if (completable(s + i, 1)) {
      while (n < length && i + static_cast<size_t>(n) < bytes.size() && completable(s + i, n + 1)) ++n;
    }
    if (n == length) whole(i, static_cast<size_t>(n));
    else broken(i, static_cast<size_t>(n));
    i += static_cast<size_t>(n);
  }
}

inline bool wellFormedUTF8(std::string_view bytes) {
  bool good = true;
  walkUTF8(bytes, [](size_t, size_t) {}, [&](size_t, size_t) { good = false; });
  return good;
}

// `bytes` with each maximal ill-formed subpart replaced by U+FFFD.
inline std::string repairedUTF8(std::string_view bytes) {
  std::string out;
  walkUTF8(
      bytes, [&](size_t at, size_t n) { out.append(bytes.substr(at, n)); },
      [&](size_t, size_t) { out.append("\xEF\xBF\xBD"); });
  return out;
}

// --- Values ------------------------------------------------------------------

// A JSON value as the checker reads it: numbers as their text, object
// members in the order written, repeated keys and all.
struct Value {
  enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
  bool boolean = false;
  std::string text;  // a string's contents (decoded), or a number's token
  std::vector<Value> elements;  // an array's elements, or an object's member values
  std::vector<std::string> keys;  // an object's keys, one per element
};

// --- A strict JSON checker -----------------------------------------------

// Reads text by RFC 8259 and the server's stated contract: one value with
// only whitespace (space, tab, line feed, carriage return) around it, after
// at most one byte-order mark; strings of well-formed UTF-8 (no overlong
// forms, no encoded surrogates, nothing above U+10FFFF) without control
// characters, whose \u escapes pair every surrogate (RFC 8259 lets a lone one
// pass; the server, which keeps strings as UTF-8, refuses it); numbers by the
// RFC grammar whose value is a finite double (the server refuses 1e999); at
// most `maxDepth` arrays and objects inside one another.
class StrictJSON {
 public:
  explicit StrictJSON(std::string_view text, int maxDepth = kMaxNesting) : s_(text), maxDepth_(maxDepth) {}

  // True when the text is one value; it is stored in `out` when given.
  bool document(Value* out) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
    skipSpace();
    Value scratch;
    if (!value(0, out ? out : &scratch, out != nullptr)) return false;
    skipSpace();
    return i_ == s_.size();
  }

  // True when the line is a message (an object); `hasId` tells whether it
  // has a member named "id" (after its escapes are decoded).
  bool message(bool& hasId) {
    hasId = false;
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
    skipSpace();
    if (peek() != '{') return false;
    hasId_ = &hasId;
    Value scratch;
    if (!value(0, &scratch, false)) return false;
    skipSpace();
    return i_ == s_.size();
  }

 private:
  int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }
  bool eat(char c) {
    if (peek() != static_cast<unsigned char>(c)) return false;
    ++i_;
    return true;
  }
  void skipSpace() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\r' || peek() == '\n') ++i_;
  }

  // `keep`: build the value; otherwise only check the text.
  bool value(int depth, Value* out, bool keep) {
    switch (peek()) {
      case '{': return object(depth + 1, out, keep);
      case '[': return array(depth + 1, out, keep);
      case '"':
        out->kind = Value::Kind::string;
        return string(keep ? &out->text : nullptr);
      case 't': out->kind = Value::Kind::boolean, out->boolean = true; return literal("true");
      case 'f': out->kind = Value::Kind::boolean; return literal("false");
      case 'n': out->kind = Value::Kind::null; return literal("null");
      default: out->kind = Value::Kind::number; return number(keep ? &out->text : nullptr);
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  bool object(int depth, Value* out, bool keep) {
    if (depth > maxDepth_ || !eat('{')) return false;
    out->kind = Value::Kind::object;
    bool* hasId = depth == 1 ? hasId_ : nullptr;
    skipSpace();
    if (eat('}')) return true;
    std::string key;
    Value scratch;
    for (;;) {
      key.clear();
      if (!string(&key)) return false;
      if (hasId && key == "id") *hasId = true;
      skipSpace();
      if (!eat(':')) return false;
      skipSpace();
      Value* member = &scratch;
      if (keep) {
        out->keys.push_back(key);
        member = &out->elements.emplace_back();
      }
      if (!value(depth, member, keep)) return false;
      skipSpace();
      if (eat('}')) return true;
      if (!eat(',')) return false;
      skipSpace();
    }
  }

  bool array(int depth, Value* out, bool keep) {
    if (depth > maxDepth_ || !eat('[')) return false;
    out->kind = Value::Kind::array;
    skipSpace();
    if (eat(']')) return true;
    Value scratch;
    for (;;) {
      Value* element = &scratch;
      if (keep) element = &out->elements.emplace_back();
      if (!value(depth, element, keep)) return false;
      skipSpace();
      if (eat(']')) return true;
      if (!eat(',')) return false;
      skipSpace();
    }
  }

  static void appendUTF8(uint32_t c, std::string& out) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  bool hex4(uint32_t& code) {
    code = 0;
    for (int k = 0; k < 4; ++k) {
      const int c = peek();
      uint32_t digit;
      if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
      else return false;
      code = code * 16 + digit;
      ++i_;
    }
    return true;
  }

  // One UTF-8 sequence by the table of well-formed byte sequences.
  bool utf8(std::string* out) {
    const size_t start = i_;
    const int b0 = peek();
    int length;
    int lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) length = 2;
    else if (b0 == 0xE0) length = 3, lo = 0xA0;
    else if (b0 >= 0xE1 && b0 <= 0xEC) length = 3;
    else if (b0 == 0xED) length = 3, hi = 0x9F;
    else if (b0 >= 0xEE && b0 <= 0xEF) length = 3;
    else if (b0 == 0xF0) length = 4, lo = 0x90;
    else if (b0 >= 0xF1 && b0 <= 0xF3) length = 4;
    else if (b0 == 0xF4) length = 4, hi = 0x8F;
    else return false;
    ++i_;
    for (int k = 1; k < length; ++k) {
      const int b = peek();
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return false;
      ++i_;
    }
    if (out) out->append(s_.substr(start, i_ - start));
    return true;
  }

  bool string(std::string* out) {
    if (!eat('"')) return false;
    for (;;) {
      const int c = peek();
      if (c < 0x20) return false;  // the end of the text, or a control character (NUL among them)
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c >= 0x80) {
        if (!utf8(out)) return false;
        continue;
      }
      ++i_;
      if (c != '\\') {
        if (out) out->push_back(static_cast<char>(c));
        continue;
      }
      const int e = peek();
      ++i_;
      char plain = 0;
      switch (e) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
          uint32_t code;
          if (!hex4(code)) return false;
          if (code >= 0xDC00 && code <= 0xDFFF) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low;
            if (!eat('\\') || !eat('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          if (out) appendUTF8(code, *out);
          continue;
        }
        default: return false;
      }
      if (out) out->push_back(plain);
    }
  }

  static bool isDigit(int c) { return c >= '0' && c <= '9'; }

  bool number(std::string* out) {
    const size_t start = i_;
    eat('-');
    if (eat('0')) {
      if (isDigit(peek())) return false;
    } else {
      if (!isDigit(peek())) return false;
      while (isDigit(peek())) ++i_;
    }
    if (eat('.')) {
      if (!isDigit(peek())) return false;
      while (isDigit(peek())) ++i_;
    }
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!isDigit(peek())) return false;
      while (isDigit(peek())) ++i_;
    }
    const std::string token(s_.substr(start, i_ - start));
    if (!std::isfinite(std::strtod(token.c_str(), nullptr))) return false;
    if (out) *out = token;
    return true;
  }

  std::string_view s_;
  int maxDepth_;
  size_t i_ = 0;
  bool* hasId_ = nullptr;
};

// --- Comparisons -------------------------------------------------------------

inline bool sameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool integralToken(const std::string& token) {
  return token.find_first_of(".eE") == std::string::npos;
}

// How a reader that keeps integers as integers must hold a number token: as
// a signed integer when it is integral, negative and fits, as an unsigned
// one when integral, not negative and fits, else as the nearest double.
inline std::string numberDiffers(const std::string& token, const nlohmann::json& v) {
  const bool negative = token[0] == '-';
  if (integralToken(token)) {
    errno = 0;
    if (negative) {
      const long long n = std::strtoll(token.c_str(), nullptr, 10);
      if (errno == 0) {
        if (!v.is_number_integer() || v.is_number_unsigned() || v.get<int64_t>() != n) {
          return "number " + token + " is not read as the integer " + std::to_string(n) + ": " + v.dump();
        }
        return {};
      }
    } else {
      const unsigned long long n = std::strtoull(token.c_str(), nullptr, 10);
      if (errno == 0) {
        if (!v.is_number_unsigned() || v.get<uint64_t>() != n) {
          return "number " + token + " is not read as the unsigned integer " + std::to_string(n) + ": " + v.dump();
        }
        return {};
      }
    }
  }
  const double d = std::strtod(token.c_str(), nullptr);
  if (!v.is_number_float() || !sameDouble(v.get<double>(), d)) {
    return "number " + token + " is not read as the double it names: " + v.dump();
  }
  return {};
}

// Empty when the reader's `v` holds what the checker read: the same kinds,
// strings, numbers as numberDiffers says, elements in order, and of a
// repeated key the last value.
inline std::string readDiffers(const Value& c, const nlohmann::json& v) {
  switch (c.kind) {
    case Value::Kind::null:
      return v.is_null() ? "" : "null read as " + v.dump();
    case Value::Kind::boolean:
      return v.is_boolean() && v.get<bool>() == c.boolean ? "" : "boolean read as " + v.dump();
    case Value::Kind::number:
      return numberDiffers(c.text, v);
    case Value::Kind::string:
      if (!v.is_string() || v.get_ref<const std::string&>() != c.text) return "string differs: " + v.dump();
      return {};
    case Value::Kind::array: {
      if (!v.is_array() || v.size() != c.elements.size()) return "array differs: " + v.dump();
      for (size_t i = 0; i < c.elements.size(); ++i) {
        if (auto why = readDiffers(c.elements[i], v[i]); !why.empty()) return why;
      }
      return {};
    }
    case Value::Kind::object: {
      if (!v.is_object()) return "object read as " + v.dump();
      std::map<std::string, const Value*> last;
      for (size_t i = 0; i < c.keys.size(); ++i) last[c.keys[i]] = &c.elements[i];
      if (v.size() != last.size()) return "object has " + std::to_string(v.size()) + " members, not " +
                                          std::to_string(last.size());
      for (const auto& [key, member] : last) {
        const auto found = v.find(key);
        if (found == v.end()) return "object lacks key " + nlohmann::json(key).dump(-1, ' ', false,
                                                                                     nlohmann::json::error_handler_t::replace);
        if (auto why = readDiffers(*member, *found); !why.empty()) return why;
      }
      return {};
    }
  }
  return "unknown kind";
}

// The number of significant digits of a number token.
inline int significantDigits(std::string_view token) {
  std::string digits;
  for (const char ch : token) {
    if (ch == 'e' || ch == 'E') break;
    if (ch >= '0' && ch <= '9') digits.push_back(ch);
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const size_t last = digits.find_last_not_of('0');
  return static_cast<int>(last - first + 1);
}

// Empty when `token`, as a writer wrote `v`, reads back as `v`: an integer
// as the same integer, a double as the same double (its sign included) and
// as short as it can be: with a fraction or an exponent, in as few
// significant digits as read back the same; as a whole number (whose digits
// the magnitude fixes), in no more characters than the shortest exponent
// form.
inline std::string writtenNumberDiffers(const std::string& token, const nlohmann::json& v) {
  if (v.is_number_unsigned()) {
    errno = 0;
    const unsigned long long n = std::strtoull(token.c_str(), nullptr, 10);
    if (!integralToken(token) || token[0] == '-' || errno != 0 || n != v.get<uint64_t>()) {
      return "unsigned " + v.dump() + " written as " + token;
    }
    return {};
  }
  if (v.is_number_integer()) {
    errno = 0;
    const long long n = std::strtoll(token.c_str(), nullptr, 10);
    if (!integralToken(token) || errno != 0 || n != v.get<int64_t>()) return "integer " + v.dump() + " written as " + token;
    return {};
  }
  const double d = v.get<double>();
  if (!sameDouble(std::strtod(token.c_str(), nullptr), d)) return "double written as " + token + " reads back otherwise";
  // The fewest digits that read back: the nearest decimal of so many digits,
  // or one next to it (at a power of two the doubles around are not evenly
  // spaced, and the nearest may miss where its neighbour hits).
  char shortest[64] = "";
  const auto readsBack = [&](int digits) {
    char nearest[64];
    std::snprintf(nearest, sizeof nearest, "%.*e", digits - 1, d);
    std::string mantissa;
    const char* e = nearest;
    for (; *e != 'e'; ++e) {
      if (*e >= '0' && *e <= '9') mantissa.push_back(*e);
    }
    const long long m = std::strtoll(mantissa.c_str(), nullptr, 10);
    const long exponent = std::strtol(e + 1, nullptr, 10) - (digits - 1);
    for (const long long candidate : {m, m - 1, m + 1}) {
      std::snprintf(shortest, sizeof shortest, "%s%llde%ld", d < 0 ? "-" : "", candidate, exponent);
      if (candidate > 0 && sameDouble(std::strtod(shortest, nullptr), d)) return true;
    }
    return false;
  };
  int digits = 1;
  if (d == 0) std::snprintf(shortest, sizeof shortest, "%s0e0", std::signbit(d) ? "-" : "");
  else while (!readsBack(digits) && digits < 17) ++digits;
  if (integralToken(token)) {
    // The exponent form of the fewest digits, as printf writes it.
    char exponentForm[64];
    std::snprintf(exponentForm, sizeof exponentForm, "%.*e", digits - 1, d);
    if (token.size() > std::strlen(exponentForm) && token.size() > std::strlen(shortest)) {
      return "double written as " + token + " where " + shortest + " is shorter";
    }
  } else if (significantDigits(token) != digits) {
    return "double written as " + token + " where " + shortest + " has the digits it needs";
  }
  return {};
}

// Empty when the text a writer produced, read by the checker into `c`, holds
// the value `v`: every object's members in ascending byte order of their
// keys, numbers as writtenNumberDiffers says.
inline std::string writtenDiffers(const Value& c, const nlohmann::json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::null:
      return c.kind == Value::Kind::null ? "" : "null written otherwise";
    case nlohmann::json::value_t::boolean:
      return c.kind == Value::Kind::boolean && c.boolean == v.get<bool>() ? "" : "boolean written otherwise";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      if (c.kind != Value::Kind::number) return "number " + v.dump() + " written as another kind";
      return writtenNumberDiffers(c.text, v);
    case nlohmann::json::value_t::string:
      if (c.kind != Value::Kind::string || c.text != v.get_ref<const std::string&>()) return "string reads back otherwise";
      return {};
    case nlohmann::json::value_t::array: {
      if (c.kind != Value::Kind::array || c.elements.size() != v.size()) return "array written otherwise";
      for (size_t i = 0; i < v.size(); ++i) {
        if (auto why = writtenDiffers(c.elements[i], v[i]); !why.empty()) return why;
      }
      return {};
    }
    case nlohmann::json::value_t::object: {
      if (c.kind != Value::Kind::object || c.keys.size() != v.size()) return "object written otherwise";
      for (size_t i = 0; i < c.keys.size(); ++i) {
        const std::string& key = c.keys[i];
        if (i > 0 && !(std::string_view(c.keys[i - 1]) < std::string_view(key))) {
          return "object keys not in ascending byte order";
        }
        const auto found = v.find(key);
        if (found == v.end()) return "object written with a key it does not have";
        if (auto why = writtenDiffers(c.elements[i], *found); !why.empty()) return why;
      }
      return {};
    }
    default:
      return "a value kind the writer should have refused";
  }
}

// Compact JSON text with every "/" inside a string escaped: no whitespace
// between tokens and no bare "/" anywhere (JSON allows none outside
// strings). Empty when it is, else what is wrong.
inline std::string compactTextDiffers(std::string_view text) {
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      else if (c == '/') return "unescaped '/' in a string";
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      return "whitespace between tokens";
    }
  }
  return {};
}

}  // namespace fuzzcheck
