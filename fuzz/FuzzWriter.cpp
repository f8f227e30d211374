// libFuzzer target: the JSON writers (jsontext::write, writeString and
// ObjectWriter, in both forms) and the UTF-8 checks and repair (utf8::isValid,
// utf8::sanitize), checked against the fuzz targets' own strict JSON checker
// and UTF-8 model (JSONChecker.h).
//
// The input's first byte picks what is written; the rest describes it:
// - a JSON value built from the bytes (strings and keys of any bytes, doubles
//   of any bit pattern, integers of both signs, nested arrays and objects):
//   write() refuses it exactly when it holds a string or key that is not
//   well-formed UTF-8 or a number that is not finite; otherwise its text is
//   compact, escapes every "/", and reads back with the checker to the same
//   value, every object's keys in ascending byte order, integers as the same
//   integers, doubles as the same doubles with the fewest digits that do so;
// - a string of any well-formed bytes through writeString, read back the same;
// - an object through ObjectWriter: texts of any bytes read back repaired as
//   the UTF-8 model repairs them, numbers that are not finite as null.
// Each is written in both forms: in Form::inString its text, quoted, must be
// a compact JSON string whose contents are the JSON text.
// Every string on the way also goes through utf8::isValid and
// utf8::sanitize, which must agree with the model.
// A violation aborts, so libFuzzer saves the input.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzReport.h"
#include "JSONChecker.h"
#include "JSONText.h"
#include "UTF8.h"

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& why, std::string_view text = {}) {
  fuzzreport::abortWith("FuzzWriter", "bad writing", why, "text", text, 600);
}

// The input, read as a sequence of choices; zeros once it is used up.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t take() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t take64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | take();
    return v;
  }
  std::string takeString() {
    const size_t n = std::min<size_t>(take() % 40, size_ - std::min(at_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  std::string_view rest() {
    const size_t from = std::min(at_, size_);
    at_ = size_;
    return {reinterpret_cast<const char*>(data_ + from), size_ - from};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Checks the UTF-8 units on `bytes` against the model.
void checkUTF8(std::string_view bytes) {
  const bool valid = fuzzcheck::wellFormedUTF8(bytes);
  if (utf8::isValid(bytes) != valid) fail(valid ? "isValid refuses well-formed UTF-8" : "isValid takes ill-formed UTF-8", bytes);
  const std::string repaired = utf8::sanitize(bytes);
  if (repaired != fuzzcheck::repairedUTF8(bytes)) fail("sanitize repairs otherwise than the model", bytes);
}

double takeDouble(Bytes& in) {
  switch (in.take() % 4) {
    case 0: {  // any bit pattern: infinities, NaNs, subnormals, -0
      const uint64_t bits = in.take64();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case 1:  // a short decimal
      return static_cast<double>(static_cast<int16_t>(in.take() << 8 | in.take())) / std::pow(10.0, in.take() % 8);
    case 2:  // a time, as the records carry them
      return 1.7e9 + static_cast<double>(in.take() << 16 | in.take() << 8 | in.take()) / 1e6;
    default:
      return std::ldexp(static_cast<double>(in.take() | 1), static_cast<int>(in.take()) - 128);
  }
}

json takeValue(Bytes& in, int depth) {
  switch (in.take() % 9) {
    case 0: return nullptr;
    case 1: return (in.take() & 1) != 0;
    case 2: return static_cast<int64_t>(in.take64());
    case 3: return in.take64();
    case 4: {
      return takeDouble(in);
    }
    case 5: {
      std::string s = in.takeString();
      checkUTF8(s);
      return s;
    }
    case 6: {
      json array = json::array();
      const int n = depth < 6 ? in.take() % 5 : 0;
      for (int i = 0; i < n && !in.done(); ++i) array.push_back(takeValue(in, depth + 1));
      return array;
    }
    case 7: {
      json object = json::object();
      const int n = depth < 6 ? in.take() % 5 : 0;
      for (int i = 0; i < n && !in.done(); ++i) {
        std::string key = in.takeString();
        checkUTF8(key);
        object[key] = takeValue(in, depth + 1);
      }
      return object;
    }
    default: {  // text that needs escapes
      static constexpr const char* kPieces[] = {"/", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "\xc3\xa9", "</", "a"};
      std::string s;
      for (int n = in.take() % 8; n > 0; --n) s += kPieces[in.take() % 10];
      return s;
    }
  }
}

// Whether JSON can carry the value: every string and key well-formed UTF-8
// (by the model), every number finite.
bool carriable(const json& v) {
  switch (v.type()) {
    case json::value_t::number_float: return std::isfinite(v.get<double>());
    case json::value_t::string: return fuzzcheck::wellFormedUTF8(v.get_ref<const std::string&>());
    case json::value_t::array:
      return std::all_of(v.begin(), v.end(), [](const json& e) { return carriable(e); });
    case json::value_t::object:
      for (const auto& [key, member] : v.items()) {
        if (!fuzzcheck::wellFormedUTF8(key) || !carriable(member)) return false;
      }
      return true;
    default: return true;
  }
}

// The written text must read back as `expected`.
void checkWritten(const std::string& text, const json& expected) {
  if (const std::string why = fuzzcheck::compactTextDiffers(text); !why.empty()) fail(why, text);
  fuzzcheck::Value read;
  if (!fuzzcheck::StrictJSON(text).document(&read)) fail("the text written is not JSON", text);
  if (const std::string why = fuzzcheck::writtenDiffers(read, expected); !why.empty()) fail(why, text);
}

// `inString`, the text of Form::inString, must hold `text` as a string's
// contents hold it.
void checkInString(const std::string& inString, const std::string& text) {
  const std::string quoted = "\"" + inString + "\"";
  if (const std::string why = fuzzcheck::compactTextDiffers(quoted); !why.empty()) fail("in a string: " + why, quoted);
  fuzzcheck::Value read;
  if (!fuzzcheck::StrictJSON(quoted).document(&read) || read.kind != fuzzcheck::Value::Kind::string) {
    fail("the text written in a string is not a string's contents", quoted);
  }
  if (read.text != text) fail("the text written in a string holds other text than the JSON text", quoted);
}

void writeValue(Bytes& in) {
  const json value = takeValue(in, 0);
  const bool writable = carriable(value);
  std::string text;
  const bool written = jsontext::write(value, text);
  if (written != writable) {
    fail(writable ? "write refuses a value JSON can carry" : "write takes a value JSON cannot carry", text);
  }
  if (written) checkWritten(text, value);
  std::string inString;
  if (jsontext::write(value, inString, jsontext::Form::inString) != written) {
    fail("write refuses in one form what it takes in the other", text);
  }
  if (written) checkInString(inString, text);
}

void writeString(Bytes& in) {
  const std::string_view bytes = in.rest();
  checkUTF8(bytes);
  // writeString takes well-formed text only: repair the rest first.
  const std::string text = fuzzcheck::wellFormedUTF8(bytes) ? std::string(bytes) : fuzzcheck::repairedUTF8(bytes);
  std::string out = "x";  // appends
  jsontext::writeString(text, out);
  if (out[0] != 'x') fail("writeString changed what was there before");
  checkWritten(out.substr(1), json(text));
  std::string inString;
  jsontext::writeString(text, inString, jsontext::Form::inString);
  checkInString(inString, out.substr(1));
}

void writeObject(Bytes& in) {
  // Keys in ascending byte order, of letters and underscores, as the
  // records have them.
  std::set<std::string> keys;
  for (int n = in.take() % 10; n > 0; --n) {
    std::string key;
    for (int k = in.take() % 6 + 1; k > 0; --k) key.push_back("_abcdefghijklmnopqrstuvwxyz"[in.take() % 27]);
    keys.insert(key);
  }
  // Each member as a step, run for a writer of each form.
  using Step = std::function<void(jsontext::ObjectWriter&, jsontext::Form)>;
  std::vector<Step> steps;
  json expected = json::object();
  for (const std::string& key : keys) {
    switch (in.take() % 7) {
      case 0: {
        const std::string bytes = in.takeString();
        checkUTF8(bytes);
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form) { writer.text(key, bytes); });
        expected[key] = fuzzcheck::repairedUTF8(bytes);
        break;
      }
      case 1: {
        std::vector<std::string> items;
        json array = json::array();
        for (int n = in.take() % 4; n > 0; --n) {
          items.push_back(in.takeString());
          array.push_back(fuzzcheck::repairedUTF8(items.back()));
        }
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form) { writer.texts(key, items); });
        expected[key] = array;
        break;
      }
      case 2: {
        const bool b = (in.take() & 1) != 0;
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form) { writer.boolean(key, b); });
        expected[key] = b;
        break;
      }
      case 3: {
        const auto n = static_cast<int64_t>(in.take64());
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form) { writer.integer(key, n); });
        expected[key] = n;
        break;
      }
      case 4: {
        const double d = takeDouble(in);
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form) { writer.number(key, d); });
        expected[key] = std::isfinite(d) ? json(d) : json();
        break;
      }
      case 5:
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form) { writer.null(key); });
        expected[key] = nullptr;
        break;
      default: {
        // A member whose value the caller writes: a whole value by write(),
        // in the writer's form.
        const json value = takeValue(in, 2);
        const bool writable = carriable(value);
        steps.push_back([=](jsontext::ObjectWriter& writer, jsontext::Form form) {
          std::string& at = writer.member(key);
          if (!writable) at.append("null");
          else if (!jsontext::write(value, at, form)) fail("write refuses a value JSON can carry");
        });
        expected[key] = writable ? value : json();
      }
    }
  }
  std::string written[2];
  for (const auto form : {jsontext::Form::json, jsontext::Form::inString}) {
    std::string& out = written[static_cast<size_t>(form)];
    out = "x";
    jsontext::ObjectWriter writer(out, form);
    for (const Step& step : steps) step(writer, form);
    writer.close();
    if (out[0] != 'x') fail("ObjectWriter changed what was there before");
    out.erase(0, 1);
  }
  checkWritten(written[0], expected);
  checkInString(written[1], written[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Bytes in(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: writeValue(in); break;
    case 1: writeString(in); break;
    default: writeObject(in); break;
  }
  return 0;
}
