#pragma once

#include "JSONForm.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The JSON text this program reads and writes. Messages are read strictly
// (see read()), in one pass that takes plain runs of a string eight bytes at
// a time, into nlohmann::json values. Text is written compact, UTF-8, every
// "/" escaped as "\/", object members in ascending byte order of their keys
// (the order in which nlohmann::json keeps them). Numbers with a fraction
// are written with the shortest digits that read back as the same double.
namespace jsontext {

// Appends the text of `value` to `out`, in `form`. Returns false, leaving
// `out` in an unspecified state, when the value holds something JSON cannot
// carry: a number that is not finite, or a string that is not valid UTF-8.
bool write(const nlohmann::json& value, std::string& out, Form form = Form::json);

// Appends `text` as a quoted JSON string, in `form`. `text` must be valid
// UTF-8.
void writeString(std::string_view text, std::string& out, Form form = Form::json);

// Appends one JSON object to `out` in `form`, member by member, each value
// written as write() writes it. The caller adds the members in ascending
// byte order of their keys, which need no escapes, so that the text is the
// one write() gives for the same object without the object being built.
// Finish with close().
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out, Form form = Form::json) : out_(out), form_(form) { out_.push_back('{'); }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  // Bytes written as a string, each ill-formed UTF-8 sequence replaced by
  // U+FFFD as utf8::sanitize does.
  ObjectWriter& text(std::string_view key, std::string_view bytes);
  // An array of strings, each written as text() writes it.
  template <class Strings>
  ObjectWriter& texts(std::string_view key, const Strings& items) {
    member(key).push_back('[');
    bool first = true;
    for (const auto& item : items) {
      if (!first) out_.push_back(',');
      first = false;
      writeText(item);
    }
    out_.push_back(']');
    return *this;
  }
  ObjectWriter& boolean(std::string_view key, bool value);
  ObjectWriter& integer(std::string_view key, int64_t value);
  // A number that JSON cannot carry (an infinity, NaN) is written as null.
  ObjectWriter& number(std::string_view key, double value);
  ObjectWriter& null(std::string_view key);
  // Writes the key and returns `out`, for the caller to append the value in
  // the writer's form.
  std::string& member(std::string_view key);
  void close() { out_.push_back('}'); }

 private:
  void writeText(std::string_view bytes);

  std::string& out_;
  Form form_;
  bool first_ = true;
};

// Reads `text` as one JSON value (RFC 8259) with nothing but whitespace
// around it, the way this program takes a message: strings must be
// well-formed UTF-8 with every escaped surrogate in a high-low pair, numbers
// must fit a double, at most `maxDepth` arrays and objects may nest inside
// one another, and one byte-order mark may come first. A number without a
// fraction or exponent is kept as an integer when one fits (unsigned when it
// is not negative), as nlohmann::json's own reader keeps it; of a repeated
// key the last value counts. Returns nothing for any other text.
std::optional<nlohmann::json> read(std::string_view text, int maxDepth);

}  // namespace jsontext
