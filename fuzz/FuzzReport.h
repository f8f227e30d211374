#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// How a fuzz target reports what it found wrong: on standard error, as
// "<target>: <kind>: <why>", then the text it found it in (its first `shown`
// bytes) under `label`; then it aborts, so that libFuzzer keeps the input.
namespace fuzzreport {

[[noreturn]] inline void abortWith(std::string_view target, std::string_view kind, const std::string& why,
                                   std::string_view label, std::string_view text, size_t shown) {
  std::fprintf(stderr, "%.*s: %.*s: %s\n", static_cast<int>(target.size()), target.data(),
               static_cast<int>(kind.size()), kind.data(), why.c_str());
  if (!text.empty()) {
    std::fprintf(stderr, "%.*s: %.*s (%zu bytes): %.*s%s\n", static_cast<int>(target.size()), target.data(),
                 static_cast<int>(label.size()), label.data(), text.size(),
                 static_cast<int>(std::min(text.size(), shown)), text.data(), text.size() > shown ? "..." : "");
  }
  std::abort();
}

}  // namespace fuzzreport
