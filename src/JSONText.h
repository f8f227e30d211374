#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

// The JSON text this program writes: compact, UTF-8, every "/" escaped as
// "\/", object members in ascending byte order of their keys (the order in
// which nlohmann::json keeps them). Numbers with a fraction are written with
// the shortest digits that read back as the same double.
namespace jsontext {

// Appends the text of `value` to `out`. Returns false, leaving `out` in an
// unspecified state, when the value holds something JSON cannot carry: a
// number that is not finite, or a string that is not valid UTF-8.
bool write(const nlohmann::json& value, std::string& out);

// Appends, as one quoted JSON string, the text that write() would append for
// `value`: the same result as write() followed by writeString(), in one pass
// and without the intermediate text. Fails as write() does.
bool writeAsString(const nlohmann::json& value, std::string& out);

// Appends `text` as a quoted JSON string. `text` must be valid UTF-8.
void writeString(std::string_view text, std::string& out);

bool isValidUTF8(std::string_view bytes);

// Returns `bytes` with every ill-formed sequence replaced by U+FFFD, one
// replacement per maximal ill-formed subpart.
std::string sanitizeUTF8(std::string_view bytes);

// True when `text` opens more than `limit` arrays or objects inside one
// another. Strings are skipped, so brackets inside them do not count.
bool nestsDeeperThan(std::string_view text, int limit);

}  // namespace jsontext
