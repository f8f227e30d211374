// libFuzzer target: the line reader (LineFramer) and the message reader
// (jsontext::read), checked against the fuzz targets' own strict JSON checker
// (JSONChecker.h).
//
// The input's first byte sets the line bound, its second the nesting bound,
// its third how the rest is cut into the pieces that are appended (as reads
// deliver them); the rest is the byte stream. Checked:
// - the lines come out as splitting the stream at line feeds gives them: a
//   line over the bound is reported once as too long and never handed out, a
//   last line without a line feed never comes out, and after the lines are
//   taken the framer holds no more than the bound;
// - appending never takes memory out of proportion to the bound and the
//   piece (a framer that kept a too-long line whole would);
// - each line is a value for the reader exactly when it is for the checker,
//   and then the reader holds what the checker read (every member, element,
//   string and number: integers as integers when they fit, the last of a
//   repeated key), which covers the id, method and params of a message;
// - reading a line takes at most the memory the server budgets for it (a
//   share of the line's length), so the line bound bounds the memory a line
//   can cost.
// A violation aborts, so libFuzzer saves the input.

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzReport.h"
#include "JSONChecker.h"
#include "JSONText.h"
#include "LineFramer.h"

namespace {

// What the server assumes one line costs while it is read, as a multiple of
// its length (MCPServer.cpp, kLineCostFactor), and a floor for tiny lines.
constexpr int64_t kLineCostFactor = 64;
constexpr int64_t kCostFloor = 4096;

[[noreturn]] void fail(const std::string& why, std::string_view line = {}) {
  fuzzreport::abortWith("FuzzReader", "bad reading", why, "line", line, 600);
}

// Bytes allocated and not yet freed while `tracking`, and the most there
// were, through the sanitizer's allocator hooks (new and delete go through
// malloc there).
bool gTracking = false;
int64_t gLive = 0, gPeak = 0;

void startTracking() {
  gLive = gPeak = 0;
  gTracking = true;
}
int64_t stopTracking() {
  gTracking = false;
  return gPeak;
}
// Leaves out what the target itself allocates in between.
void pauseTracking() { gTracking = false; }
void resumeTracking() { gTracking = true; }

}  // namespace

extern "C" void __sanitizer_malloc_hook(const volatile void*, size_t size) {
  if (!gTracking) return;
  gLive += static_cast<int64_t>(size);
  gPeak = std::max(gPeak, gLive);
}
extern "C" void __sanitizer_free_hook(const volatile void* pointer) {
  if (!gTracking || !pointer) return;
  gLive -= static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
}

namespace {

struct Settings {
  size_t maxLine;
  int maxDepth;
  uint32_t seed;
};

Settings settingsOf(const uint8_t* data) {
  Settings s{};
  // Short bounds most of the time, so that short inputs reach them.
  s.maxLine = data[0] < 0x80 ? size_t{data[0]} + 1 : size_t{data[0] - 0x80u} * 8 + 128;
  s.maxDepth = data[1] < 0x40 ? data[1] : fuzzcheck::kMaxNesting;
  s.seed = data[2] * 2654435761u + 1;
  return s;
}

uint32_t nextRandom(uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// What the framer must report, by splitting the whole stream at once.
struct Expected {
  enum Kind { line, tooLong } kind;
  std::string_view text;
};

std::vector<Expected> expectedLines(std::string_view stream, size_t maxLine) {
  std::vector<Expected> out;
  size_t start = 0;
  for (;;) {
    const size_t end = stream.find('\n', start);
    const size_t length = (end == std::string_view::npos ? stream.size() : end) - start;
    if (length > maxLine) out.push_back({Expected::tooLong, {}});
    else if (end != std::string_view::npos) out.push_back({Expected::line, stream.substr(start, length)});
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

void checkLine(std::string_view line, int maxDepth) {
  fuzzcheck::Value checked;
  const bool valid = fuzzcheck::StrictJSON(line, maxDepth).document(&checked);
  startTracking();
  std::optional<nlohmann::json> read = jsontext::read(line, maxDepth);
  const int64_t peak = stopTracking();
  if (valid != read.has_value()) {
    fail(valid ? "the reader refuses a value the checker takes" : "the reader takes text the checker refuses", line);
  }
  const int64_t budget = std::max<int64_t>(kLineCostFactor * static_cast<int64_t>(line.size()), kCostFloor);
  if (peak > budget) {
    fail("reading took " + std::to_string(peak) + " bytes, more than the " + std::to_string(budget) +
             " a line of this length may cost",
         line);
  }
  if (!valid) return;
  if (const std::string why = fuzzcheck::readDiffers(checked, *read); !why.empty()) fail(why, line);
  // A message is an object: the server answers it or takes it as a
  // notification; anything else is refused. The two must agree on which.
  if ((checked.kind == fuzzcheck::Value::Kind::object) != read->is_object()) fail("message verdicts differ", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const Settings settings = settingsOf(data);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::vector<Expected> expected = expectedLines(stream, settings.maxLine);

  LineFramer framer(settings.maxLine);
  uint32_t random = settings.seed;
  size_t taken = 0;
  size_t at = 0;
  while (at < stream.size()) {
    // Mostly small pieces, sometimes a large one, as reads deliver them.
    const uint32_t r = nextRandom(random);
    const size_t piece = std::min(stream.size() - at, r % 8 == 0 ? size_t{r >> 8} % 4096 + 1 : size_t{r >> 8} % 64 + 1);
    const size_t pendingBefore = framer.pendingBytes();
    startTracking();
    framer.append(stream.substr(at, piece));
    at += piece;
    std::vector<std::string> lines;
    std::string_view line;
    for (LineFramer::Next next; (next = framer.nextLine(line)) != LineFramer::Next::none;) {
      if (taken >= expected.size()) fail("the framer reports more lines than the stream has");
      const Expected& want = expected[taken++];
      if (next == LineFramer::Next::tooLong) {
        if (want.kind != Expected::tooLong) fail("a line within the bound is reported too long", want.text);
        continue;
      }
      if (want.kind != Expected::line) fail("a line over the bound is handed out", line);
      if (line != want.text) fail("a line differs from the stream's", line);
      pauseTracking();
      lines.emplace_back(line);
      resumeTracking();
    }
    framer.compact();
    const int64_t peak = stopTracking();
    // The buffer holds at most the bound and one piece, and grows by
    // doubling.
    const int64_t allowed = 8 * static_cast<int64_t>(std::max(pendingBefore, settings.maxLine) + piece) + 1024;
    if (peak > allowed) {
      fail("appending " + std::to_string(piece) + " bytes took " + std::to_string(peak) + " bytes with a bound of " +
           std::to_string(settings.maxLine));
    }
    if (framer.pendingBytes() > settings.maxLine) {
      fail("the framer holds " + std::to_string(framer.pendingBytes()) + " bytes of a line, over the bound " +
           std::to_string(settings.maxLine));
    }
    for (const auto& l : lines) checkLine(l, settings.maxDepth);
  }
  if (taken != expected.size()) {
    fail("the framer reports " + std::to_string(taken) + " lines of the stream's " + std::to_string(expected.size()));
  }
  return 0;
}
