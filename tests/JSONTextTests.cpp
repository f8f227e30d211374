#include "JSONText.h"
#include "UTF8.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

using nlohmann::json;

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

// True when `text` opens more than `limit` arrays or objects inside one
// another, strings skipped: with nlohmann::json's reader, what the server
// took for a message before it had a reader of its own.
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

std::string text(const json& value) {
  std::string out;
  EXPECT_TRUE(jsontext::write(value, out)) << value.dump();
  return out;
}

TEST(JSONText, SanitizeReplacesEachMaximalIllFormedSubpart) {
  // {bytes, sanitized}; valid input comes back unchanged and utf8::isValid agrees.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"plain ascii text over eight bytes", "plain ascii text over eight bytes"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"},
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"},  // U+D7FF U+E000 U+10FFFF
      // The example of the Unicode standard: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
      {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
      {"\xC0\xAF", R + R},                    // overlong lead bytes are never part of a sequence
      {"\xE0\x80\x80", R + R + R},            // overlong three-byte form
      {"\xED\xA0\x80", R + R + R},            // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},    // above U+10FFFF
      {"\xF5\xFF\x80", R + R + R},
      {"\xF0\x9F\x98", R},                     // cut short at the end
      {"\xF0\x9F\x98" "A", R + "A"},
      {"12345678\x80" "12345678", "12345678" + R + "12345678"},  // after a whole ASCII block
      {"1234567\xC3", "1234567" + R},
  };
  for (const auto& [bytes, sanitized] : cases) {
    SCOPED_TRACE(json(sanitized).dump());
    EXPECT_EQ(utf8::sanitize(bytes), sanitized);
    EXPECT_EQ(utf8::isValid(bytes), bytes == sanitized);
    EXPECT_TRUE(utf8::isValid(sanitized));
  }
}

TEST(JSONText, StringsEscapeQuotesBackslashSlashAndControlsOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a/b//", R"("a\/b\/\/")"},
      {"\"\\", R"("\"\\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f \xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x99\x82", "\"\x7f \xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x99\x82\""},
  };
  for (const auto& [raw, quoted] : cases) {
    std::string out = "prefix:";
    jsontext::writeString(raw, out);
    EXPECT_EQ(out, "prefix:" + quoted);
    EXPECT_EQ(json::parse(quoted), raw);  // and it reads back
  }
}

// The writer skips plain text several bytes at a time: a byte to escape is
// found at every offset, among ASCII and among bytes above 0x7F that must not
// hide it or be taken for one, in both forms.
TEST(JSONText, EscapesAreFoundAtEveryOffsetOfLongText) {
  const auto reference = [](const std::string& raw) {
    std::string out = "\"";
    for (const char c : raw) {
      const auto b = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\' || c == '/') out.append("\\").push_back(c);
      else if (b == '\n') out.append("\\n");
      else if (b < 0x20) out.append(b == 0 ? "\\u0000" : "\\u001f");
      else out.push_back(c);
    }
    return out + "\"";
  };
  const std::string fills[] = {"abcdefghijklmnopqrstuvwxyz0123",
                               "\xC3\xA9\xC2\xA0\xE2\x80\xA8\xF0\x9F\x99\x82\x7f !#.0?[]~{}\xC3\xA9\xC3\xA9"};
  for (const std::string& fill : fills) {
    for (const char special : {'"', '\\', '/', '\0', '\x1f', '\n'}) {
      for (size_t at = 0; at <= fill.size(); ++at) {
        std::string raw = fill;
        raw.insert(at, 1, special);
        std::string out;
        jsontext::writeString(raw, out);
        EXPECT_EQ(out, reference(raw)) << "at " << at << " of " << fill.size();
        // Inside a string, as a tool result's text travels: the quoted text
        // escaped once more, its own outer quotes left out.
        const std::string twice = reference(reference(raw));
        out.clear();
        jsontext::writeString(raw, out, jsontext::Form::inString);
        EXPECT_EQ(out, twice.substr(1, twice.size() - 2)) << "at " << at << " of " << fill.size();
      }
    }
  }
}

TEST(JSONText, WritesCompactSortedTextAndRefusesWhatJSONCannotCarry) {
  EXPECT_EQ(text(json::parse(R"({"b":[1,-2,{"d":null,"c":true}],"a/":"x/y","":false})")),
            R"({"":false,"a\/":"x\/y","b":[1,-2,{"c":true,"d":null}]})");
  EXPECT_EQ(text(json{std::numeric_limits<int64_t>::min(), std::numeric_limits<uint64_t>::max(), 0}),
            "[-9223372036854775808,18446744073709551615,0]");
  const double nan = std::nan(""), inf = HUGE_VAL;
  for (const json& bad : {json(nan), json(inf), json(-inf), json{{"k", json::array({1, inf})}},
                          json("\xC3"), json{{"\xFF", 1}}, json::binary({1, 2})}) {
    std::string out;
    EXPECT_FALSE(jsontext::write(bad, out)) << bad.dump(-1, ' ', false, json::error_handler_t::replace);
  }
  // Doubles read back as the same value.
  for (const double d : {0.1, 1.0 / 3, 1e300, -2.5e-308, 5e-324, 123456789.125, DBL_MAX, 1.0, 1733570000.123456}) {
    EXPECT_EQ(json::parse(text(d)).get<double>(), d) << text(d);
  }
}

// Records are written member by member, not from a JSON value: the text
// must be the one the value's writer gives for the same object.
TEST(JSONText, ObjectWriterWritesWhatTheValueWriterWrites) {
  std::string every;  // every byte of ASCII, and some of beyond, ill-formed ones included
  for (int c = 0; c < 0x80; ++c) every.push_back(static_cast<char>(c));
  every += "\xC3\xA9\xE2\x80\xA8\xF0\x9F\x99\x82\xFF\xC3(\xED\xA0\x80";
  {
    std::string written = "prefix:";
    jsontext::ObjectWriter record(written);
    record.text("a", every).texts("b", std::vector<std::string>{"c/d", "", every}).texts("c", std::vector<std::string>{});
    record.boolean("d", false).integer("e", -9007199254740993).number("f", 0.1).number("g", HUGE_VAL);
    record.number("h", std::nan("")).null("i").number("j", 1.7e9).integer("k", 0);
    record.member("l").append("[]");
    record.close();
    const json value{{"a", utf8::sanitize(every)},
                     {"b", {"c/d", "", utf8::sanitize(every)}},
                     {"c", json::array()},
                     {"d", false},
                     {"e", -9007199254740993},
                     {"f", 0.1},
                     {"g", nullptr},
                     {"h", nullptr},
                     {"i", nullptr},
                     {"j", 1.7e9},
                     {"k", 0},
                     {"l", json::array()}};
    std::string expected = "prefix:";
    ASSERT_TRUE(jsontext::write(value, expected));
    EXPECT_EQ(written, expected);
  }
}

TEST(JSONText, NestingPrescanCountsBracketsOutsideStrings) {
  const std::string deep(100000, '[');
  const std::vector<std::tuple<std::string, int, bool>> cases = {
      {"[[[]]]", 3, false}, {"[[[[]]]]", 3, true}, {R"({"a":[{}]})", 3, false}, {R"({"a":[{}]})", 2, true},
      {R"(["[[[[[["])", 1, false}, {R"(["\"[[[["])", 1, false}, {R"(["\\"[[])", 1, true},
      {"[][][][][]", 1, false}, {"{\"k\":\"{{{\"}", 1, false}, {deep, 512, true}, {"", 0, false}};
  for (const auto& [input, limit, deeper] : cases) {
    EXPECT_EQ(nestsDeeperThan(input, limit), deeper) << input.substr(0, 40) << " limit " << limit;
  }
}

// Values equal down to their number types (1, 1u and 1.0 differ), which the
// echo of an id and the reading of integer arguments depend on.
bool same(const json& a, const json& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case json::value_t::object: {
      if (a.size() != b.size()) return false;
      for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i.key() != j.key() || !same(*i, *j)) return false;
      }
      return true;
    }
    case json::value_t::array: {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
      }
      return true;
    }
    case json::value_t::number_float: {
      const double x = a.get<double>(), y = b.get<double>();
      return x == y && std::signbit(x) == std::signbit(y);
    }
    default:
      return a == b;
  }
}

// The program's reader against nlohmann::json's, which the server used to
// take messages with (behind its checks for a NUL byte and for nesting):
// the same texts are taken, as the same values.
TEST(JSONText, ReaderTakesWhatTheLibraryReaderTakesAsTheSameValues) {
  constexpr int depth = 4;
  std::vector<std::string> texts = {
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"get_task","arguments":{"task_id":"t"}}})",
      "\xEF\xBB\xBF{}", "\xEF\xBB\xBF\xEF\xBB\xBF{}", "\xEF\xBB{}", " \t\r\n{} \n", "{}x", "{} {}", "", " ",
      R"({"a":1,"a":2,"b":[1,-1,1.0,-0,-0.0,0,1e2,1E+2,1e-400,1e400,-1e400,18446744073709551615,18446744073709551616]})",
      R"([-9223372036854775808,-9223372036854775809,9223372036854775808,0.1,123456789012345678901234567890])",
      "[01]", "[1.]", "[.5]", "[+1]", "[-]", "[1e]", "[1e+]", "[--1]", "[0x10]", "[1,]", "[,1]", "{,}", R"({"a" 1})",
      R"({"a":})", R"({1:2})", "[true,false,null]", "[tru]", "[truex]", "[nul]", "[True]", "[NaN]", "[Infinity]",
      R"(["\u0000\u00e9\u20AC\ud83d\ude00\/\"\\\b\f\n\r\t"])", R"(["\ud83d"])", R"(["\ude00"])", R"(["\ud83d\u0041"])",
      R"(["\ud83dx"])", R"(["\u12"])", R"(["\x"])", R"(["\U0041"])", "[\"\x01\"]", "[\"\x7f\"]", "[\"\t\"]",
      "[\"\xC3\xA9\xF0\x9F\x98\x80\"]", "[\"\xC3\"]", "[\"\xED\xA0\x80\"]", "[\"\xC0\xAF\"]", "[\"\xF4\x90\x80\x80\"]",
      "[[[[]]]]", "[[[[[]]]]]", R"({"a":{"b":{"c":{"d":1}}}})", R"({"a":{"b":{"c":{"d":{}}}}})", "\"unterminated",
      "[\"a\",\"b\"", "{\"a\":[1,2,{\"b\":null}],\"c\":\"\\\\\"}", "1", "-1.5e-3", "\"s\"", "null"};
  // Mutations of the valid ones: bytes inserted, deleted and replaced.
  const std::string alphabet = "{}[]\":,\\/ .-+0123456789eEtrufalsn\x01\x7f\xC3\xA9\xED\xF0u";
  uint64_t seed = 0x9E3779B97F4A7C15ULL;
  auto next = [&] { return seed = seed * 6364136223846793005ULL + 1442695040888963407ULL, seed >> 33; };
  const size_t handWritten = texts.size();
  for (size_t round = 0; round < 60000; ++round) {
    std::string t = texts[next() % handWritten];
    for (int edits = 1 + static_cast<int>(next() % 3); edits > 0 && !t.empty(); --edits) {
      const size_t at = next() % t.size();
      const char c = alphabet[next() % alphabet.size()];
      switch (next() % 3) {
        case 0: t.insert(t.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        case 1: t.erase(at, 1); break;
        default: t[at] = c;
      }
    }
    texts.push_back(std::move(t));
  }
  size_t taken = 0;
  for (const std::string& t : texts) {
    const json expected = nestsDeeperThan(t, depth) ? json(json::value_t::discarded)
                                                               : json::parse(t, nullptr, false);
    const auto got = jsontext::read(t, depth);
    ASSERT_EQ(got.has_value(), !expected.is_discarded()) << json(utf8::sanitize(t)).dump();
    if (got) {
      ++taken;
      EXPECT_TRUE(same(*got, expected)) << json(utf8::sanitize(t)).dump() << " read as " << got->dump();
    }
  }
  EXPECT_GT(taken, texts.size() / 25);  // the mutations leave enough valid texts to compare values
}

}  // namespace

