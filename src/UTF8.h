#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 as this program checks and repairs it: well-formed by the Unicode
// standard (no overlong forms, no surrogates, nothing above U+10FFFF).
namespace utf8 {

// The length of the well-formed sequence that starts at `i`, or 0 when the
// bytes there are ill-formed; `consumed` is then set to the length of the
// maximal ill-formed subpart (at least 1).
size_t sequenceLength(std::string_view s, size_t i, size_t& consumed);

bool isValid(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, one replacement
// per maximal ill-formed subpart.
std::string sanitize(std::string_view bytes);

}  // namespace utf8
