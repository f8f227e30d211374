// libFuzzer target: the input is everything a client writes to the server's
// standard input. It goes through the real MCPServer::run() (line framing,
// parsing, dispatch, the tools) against a real store in a temporary
// directory, and every line the server writes back is checked: one compact
// JSON-RPC response per request (which lines are requests is decided by a
// strict JSON checker of our own, not by the server's JSON library), in
// request order, with the request's id,
// the right error for unsupported methods and bad tool calls, the tool-result
// envelope with sorted keys, and records of the right shape that never
// belong to another user. A violation aborts, so libFuzzer saves the input.
//
// The store is created once per process and replaced every kRunsPerStore
// inputs or once its files pass kMaxStoreBytes, so that the database and the
// agents directory stay small however long the fuzzer runs. Each fresh store
// holds a few records with fixed ids (see seedRecords), which the corpus and
// the dictionary name, so that the tools that need an existing agent or task
// get past their look-ups.
//
// Standard error: the server writes a diagnostic line for every input. Run
// with -close_fd_mask=2 to silence it; libFuzzer and the sanitizers keep
// their own copy of standard error. Replaying one input without that flag
// shows the diagnostics and, on a failed check, the reason.
//
// KOVIX_FUZZ_TMPDIR names the directory under which the temporary store is
// made; otherwise /dev/shm when writable (fsync is cheap there), else TMPDIR
// or /tmp. It is removed when the process exits normally.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "MCPAgentStore.h"
#include "MCPServer.h"

#include <sqlite3.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The server refuses, unanswered, a line that opens more containers than
// this inside one another.
constexpr int kMaxNesting = 512;
constexpr unsigned kRunsPerStore = 200;
// Inputs that create many records make every later list slower to answer and
// to check, so a store that grew past this is replaced early.
constexpr uintmax_t kMaxStoreBytes = 2u << 20;
constexpr const char* kUserId = "fuzz-user";

constexpr std::array<std::string_view, 5> kPlainMethods = {"initialize", "ping", "tools/list", "resources/list",
                                                           "prompts/list"};

// Each tool and the exact keys of its result object.
struct ToolShape {
  std::string_view name;
  std::vector<std::string> keys;
};
const std::vector<ToolShape>& toolShapes() {
  static const std::vector<ToolShape> shapes = {
      {"create_agent", {"agent_id", "url"}},
      {"create_task", {"task_id"}},
      {"register_dependency", {"ok"}},
      {"list_agents", {"agents"}},
      {"list_tasks", {"tasks"}},
      {"get_agent", {"agent"}},
      {"get_task", {"task"}},
      {"run_now", {"run_id", "status"}},
  };
  return shapes;
}

[[noreturn]] void fail(const std::string& why, std::string_view line = {}) {
  constexpr size_t kShown = 2000;
  std::fprintf(stderr, "FuzzServer: bad output: %s\n", why.c_str());
  if (!line.empty()) {
    std::fprintf(stderr, "FuzzServer: line (%zu bytes): %.*s%s\n", line.size(),
                 static_cast<int>(std::min(line.size(), kShown)), line.data(), line.size() > kShown ? "..." : "");
  }
  std::abort();
}

[[noreturn]] void setupFailed(const std::string& why) {
  std::fprintf(stderr, "FuzzServer: setup failed: %s\n", why.c_str());
  std::abort();
}

// --- The store -----------------------------------------------------------

struct Fixture {
  fs::path root;
  fs::path dbPath;
  fs::path agents;
  fs::path templatePath;
  std::shared_ptr<MCPAgentStore> store;
  int input = -1;
  int output = -1;
  unsigned runs = 0;
  unsigned stores = 0;
};

// Never destroyed: the store must outlive every input, and the exit handler
// below tears it down in the right order.
Fixture* gFixture = nullptr;

fs::path scratchBase() {
  if (const char* dir = std::getenv("KOVIX_FUZZ_TMPDIR"); dir && *dir) return dir;
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  if (const char* dir = std::getenv("TMPDIR"); dir && *dir) return dir;
  return "/tmp";
}

void writeFile(const fs::path& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) setupFailed("cannot write " + path.string());
}

// The stores take turns with a template that uses every placeholder, one
// that is not UTF-8, and none at all, so the three ways of rendering
// CLAUDE.md all run.
void writeTemplate(const Fixture& f) {
  std::error_code ec;
  fs::remove(f.templatePath, ec);
  switch (f.stores % 3) {
    case 0:
      writeFile(f.templatePath,
                "# {{AGENT_NAME}}\n\n{{AGENT_DESCRIPTION}}\n\n## Tasks\n{{TASK_LIST}}\n\n"
                "Work in {{WORKING_SUBDIR}}/ \xE2\x80\x94 {{AGENT_NAME}} again{{UNKNOWN}}\n");
      break;
    case 1:
      writeFile(f.templatePath, "# {{AGENT_NAME}} \xFF\xFE not UTF-8\n");
      break;
    default:
      break;
  }
}

// Records with fixed ids: two agents of the fuzzing user with three tasks
// (one depending on another), and an agent with a task of another user,
// which must look missing.
void seedRecords(const Fixture& f, MCPAgentStore& store) {
  {
    MCPAgentStore other(f.dbPath.string(), "fuzz-other-user", f.agents, f.templatePath);
    other.openAndMigrate();
    other.createAgent("ag_otheruser1", "Someone else's agent", "custom", std::nullopt, std::nullopt);
    other.createTask("tk_otheruser1", "ag_otheruser1", "Private task", "Not yours.", {"codex"}, "0 0 * * *", "local",
                     30, "shared");
  }
  store.createAgent("ag_fuzzagent1", "Chief Marketing Officer", "cmo", "Plans campaigns.", "megaphone.fill");
  store.createAgent("ag_fuzzagent2", "Engineer", "engineer", std::nullopt, std::nullopt);
  store.createTask("tk_fuzztask01", "ag_fuzzagent1", "Weekly report", "## Goal\nWrite the report.", {"claude"},
                   "0 9 * * 1", "local", 30, "shared");
  store.createTask("tk_fuzztask02", "ag_fuzzagent1", "Daily digest", "Summarise the day.", {"claude", "codex"},
                   "0 9 * * *", "local", 15, "outputs");
  store.createTask("tk_fuzztask03", "ag_fuzzagent2", "Build", "Run the build.", {}, "*/5 * * * *", "host-2", 1,
                   "inputs");
  store.setDependsOn("tk_fuzztask02", {"tk_fuzztask01"});
}

void freshStore(Fixture& f) {
  f.store.reset();
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(f.dbPath.string() + suffix, ec);
  fs::remove_all(f.agents, ec);
  fs::create_directories(f.agents, ec);
  if (ec) setupFailed("cannot create " + f.agents.string() + ": " + ec.message());
  writeTemplate(f);
  ++f.stores;
  try {
    auto store = std::make_shared<MCPAgentStore>(f.dbPath.string(), kUserId, f.agents, f.templatePath);
    store->openAndMigrate();
    seedRecords(f, *store);
    f.store = std::move(store);
  } catch (const std::exception& e) {
    setupFailed(e.what());
  }
}

bool storeIsLarge(const Fixture& f) {
  uintmax_t bytes = 0;
  for (const char* suffix : {"", "-wal"}) {
    std::error_code ec;
    const auto size = fs::file_size(f.dbPath.string() + suffix, ec);
    if (!ec) bytes += size;
  }
  return bytes > kMaxStoreBytes;
}

void removeFixture() {
  if (!gFixture) return;
  gFixture->store.reset();
  std::error_code ec;
  fs::remove_all(gFixture->root, ec);
}

// --- Descriptors ---------------------------------------------------------

void replaceContents(int fd, const uint8_t* data, size_t size) {
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) setupFailed(std::strerror(errno));
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) setupFailed(std::string("cannot write the input: ") + std::strerror(errno));
    data += n;
    size -= static_cast<size_t>(n);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) setupFailed(std::strerror(errno));
}

std::string readContents(int fd) {
  if (::lseek(fd, 0, SEEK_SET) != 0) setupFailed(std::strerror(errno));
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) setupFailed(std::string("cannot read the output: ") + std::strerror(errno));
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// --- A strict JSON checker, independent of the server's reader -----------

// Decides whether a line is a message the server must take, by RFC 8259 and
// the server's stated contract, without the JSON library the server uses:
// one object with only whitespace (space, tab, carriage return) around it;
// strings of well-formed UTF-8 (no overlong forms, no encoded surrogates,
// nothing above U+10FFFF) without control characters, whose \u escapes pair
// every surrogate (RFC 8259 lets a lone one pass; the server, which keeps
// strings as UTF-8, refuses it); numbers by the RFC grammar whose value is a
// finite double (the server refuses 1e999); at most kMaxNesting arrays and
// objects inside one another; no NUL byte anywhere. One byte-order mark
// before the object is allowed, as RFC 8259 lets a reader ignore it.
class StrictJSON {
 public:
  explicit StrictJSON(std::string_view text) : s_(text) {}

  // True when the line is a message; `hasId` tells whether its object has a
  // member named "id" (after its escapes are decoded).
  bool message(bool& hasId) {
    hasId = false;
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
    skipSpace();
    if (peek() != '{') return false;
    if (!object(1, &hasId)) return false;
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

  bool value(int depth) {
    switch (peek()) {
      case '{': return object(depth + 1, nullptr);
      case '[': return array(depth + 1);
      case '"': return string(nullptr);
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  bool object(int depth, bool* hasId) {
    if (depth > kMaxNesting || !eat('{')) return false;
    skipSpace();
    if (eat('}')) return true;
    for (;;) {
      std::string key;
      if (!string(&key)) return false;
      if (hasId && key == "id") *hasId = true;
      skipSpace();
      if (!eat(':')) return false;
      skipSpace();
      if (!value(depth)) return false;
      skipSpace();
      if (eat('}')) return true;
      if (!eat(',')) return false;
      skipSpace();
    }
  }

  bool array(int depth) {
    if (depth > kMaxNesting || !eat('[')) return false;
    skipSpace();
    if (eat(']')) return true;
    for (;;) {
      if (!value(depth)) return false;
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
      if (c < 0x20) return false;  // the end of the line, or a control character (NUL among them)
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

  bool number() {
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
    return std::isfinite(std::strtod(token.c_str(), nullptr));
  }

  std::string_view s_;
  size_t i_ = 0;
};

// --- What the input asks for ---------------------------------------------

struct Request {
  json id;
  std::string method;
  json params;     // an object: what the server takes as the params
  json arguments;  // an object: what the tool gets
};

// The requests in the input, as the server must see them: lines end at line
// feeds only, a last line without one is never handled, empty lines are
// skipped, and only the lines that the strict checker takes for a message,
// with an "id" member, are requests. Their members are then read with the
// JSON library, which must take every line the checker takes.
std::vector<Request> requestsIn(std::string_view input) {
  std::vector<Request> requests;
  for (size_t end; (end = input.find('\n')) != std::string_view::npos; input.remove_prefix(end + 1)) {
    const std::string_view line = input.substr(0, end);
    if (line.empty()) continue;
    bool hasId = false;
    if (!StrictJSON(line).message(hasId) || !hasId) continue;
    json message = json::parse(line, nullptr, false);
    if (!message.is_object() || !message.contains("id")) {
      fail("the checker takes this line for a request, the JSON library does not", line);
    }
    const auto id = message.find("id");
    Request request{*id, "", json::object(), json::object()};
    if (const auto method = message.find("method"); method != message.end() && method->is_string()) {
      request.method = method->get<std::string>();
    }
    if (const auto params = message.find("params"); params != message.end() && params->is_object()) {
      request.params = *params;
      if (const auto arguments = params->find("arguments"); arguments != params->end() && arguments->is_object()) {
        request.arguments = *arguments;
      }
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

// --- Checks --------------------------------------------------------------

// Compact JSON text with every "/" inside a string escaped: no whitespace
// between tokens and no bare "/" anywhere (JSON allows none outside strings).
void checkCompactText(std::string_view text, std::string_view line, const char* what) {
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      else if (c == '/')
        fail(std::string(what) + ": unescaped '/' in a string", line);
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      fail(std::string(what) + ": whitespace between tokens", line);
    }
  }
}

void checkSortedKeys(const nlohmann::ordered_json& value, std::string_view line) {
  if (value.is_object()) {
    const std::string* previous = nullptr;
    for (const auto& [key, member] : value.items()) {
      if (previous && !(*previous < key)) fail("tool result keys are not in ascending order", line);
      previous = &key;
      checkSortedKeys(member, line);
    }
  } else if (value.is_array()) {
    for (const auto& element : value) checkSortedKeys(element, line);
  }
}

void checkError(const json& error, std::string_view line, int code, const std::string* message) {
  if (error.at("code") != code)
    fail("error code " + error.at("code").dump() + ", expected " + std::to_string(code), line);
  if (message && error.at("message") != *message) fail("error message is not \"" + *message + "\"", line);
}

// The records of the other user that every fresh store holds: no tool may
// show them or act on them.
constexpr const char* kOtherAgent = "ag_otheruser1";
constexpr const char* kOtherTask = "tk_otheruser1";

using ojson = nlohmann::ordered_json;

std::vector<std::string> keysOf(const ojson& object) {
  std::vector<std::string> keys;
  for (const auto& [key, member] : object.items()) keys.push_back(key);
  return keys;
}

bool isShortID(const ojson& value, std::string_view prefix) {
  if (!value.is_string()) return false;
  const std::string& text = value.get_ref<const std::string&>();
  return text.size() == prefix.size() + 10 && text.compare(0, prefix.size(), prefix) == 0 &&
         std::all_of(text.begin() + static_cast<std::ptrdiff_t>(prefix.size()), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); });
}

bool isStringList(const ojson& value) {
  return value.is_array() && std::all_of(value.begin(), value.end(), [](const ojson& e) { return e.is_string(); });
}

enum class Kind { string, stringOrNull, boolean, number, numberOrNull, integer, stringList };

bool hasKind(const ojson& value, Kind kind) {
  switch (kind) {
    case Kind::string:
      return value.is_string();
    case Kind::stringOrNull:
      return value.is_string() || value.is_null();
    case Kind::boolean:
      return value.is_boolean();
    case Kind::number:
      return value.is_number();
    case Kind::numberOrNull:
      return value.is_number() || value.is_null();
    case Kind::integer:
      return value.is_number_integer();
    case Kind::stringList:
      return isStringList(value);
  }
  return false;
}

using RecordShape = std::vector<std::pair<std::string, Kind>>;  // in key order

const RecordShape kAgentRecord = {
    {"agent_id", Kind::string},    {"created_at", Kind::number},        {"description", Kind::stringOrNull},
    {"enabled", Kind::boolean},    {"icon_symbol", Kind::stringOrNull}, {"name", Kind::string},
    {"task_count", Kind::integer}, {"template", Kind::string},
};
const RecordShape kTaskRecord = {
    {"agent_id", Kind::string},          {"ai_tools", Kind::stringList},
    {"depends_on", Kind::stringList},    {"enabled", Kind::boolean},
    {"frequency", Kind::string},         {"host_id", Kind::string},
    {"last_run_at", Kind::numberOrNull}, {"name", Kind::string},
    {"next_run_at", Kind::numberOrNull}, {"prompt", Kind::string},
    {"task_id", Kind::string},           {"timeout_min", Kind::integer},
    {"working_subdir", Kind::string},
};

void checkRecord(const ojson& record, const RecordShape& shape, std::string_view line) {
  if (!record.is_object() || record.size() != shape.size()) fail("a record has other keys than expected", line);
  size_t i = 0;
  for (const auto& [key, value] : record.items()) {
    if (key != shape[i].first) fail("a record has other keys than expected", line);
    if (!hasKind(value, shape[i].second)) fail("record member \"" + key + "\" has the wrong type", line);
    ++i;
  }
  if (record["agent_id"] == kOtherAgent) fail("a record of another user was returned", line);
  if (record.contains("task_id") && record["task_id"] == kOtherTask) fail("a task of another user was returned", line);
}

void checkRecords(const ojson& records, const RecordShape& shape, std::string_view line) {
  if (!records.is_array()) fail("a record list is not an array", line);
  for (const auto& record : records) checkRecord(record, shape, line);
}

// True when the tool's arguments name `id` under `key`, as a string or
// inside a list of strings.
bool names(const json& arguments, const char* key, const char* id) {
  const auto value = arguments.find(key);
  if (value == arguments.end()) return false;
  if (value->is_array()) return std::find(value->begin(), value->end(), json(id)) != value->end();
  return *value == id;
}

// What each tool returned when it succeeded.
void checkToolResult(const Request& request, const std::string& tool, const ojson& result, std::string_view line) {
  const json& arguments = request.arguments;
  if (tool == "create_agent") {
    if (!isShortID(result["agent_id"], "ag_")) fail("create_agent: agent_id is not ag_ and ten characters", line);
    if (result["url"] != "kovix://agents/" + result["agent_id"].get<std::string>()) fail("create_agent: url", line);
  } else if (tool == "create_task") {
    if (!isShortID(result["task_id"], "tk_")) fail("create_task: task_id is not tk_ and ten characters", line);
    if (names(arguments, "agent_id", kOtherAgent)) fail("create_task under another user's agent succeeded", line);
  } else if (tool == "register_dependency") {
    if (result["ok"] != true) fail("register_dependency: ok is not true", line);
    if (names(arguments, "task_id", kOtherTask) || names(arguments, "depends_on", kOtherTask)) {
      fail("register_dependency with another user's task succeeded", line);
    }
  } else if (tool == "run_now") {
    if (!isShortID(result["run_id"], "rn_")) fail("run_now: run_id is not rn_ and ten characters", line);
    if (result["status"] != "queued") fail("run_now: status is not \"queued\"", line);
    if (names(arguments, "task_id", kOtherTask)) fail("run_now of another user's task succeeded", line);
  } else if (tool == "list_agents") {
    checkRecords(result["agents"], kAgentRecord, line);
  } else if (tool == "list_tasks") {
    checkRecords(result["tasks"], kTaskRecord, line);
  } else if (tool == "get_agent") {
    checkRecord(result["agent"], kAgentRecord, line);
  } else if (tool == "get_task") {
    checkRecord(result["task"], kTaskRecord, line);
  }
}

void checkToolCall(const Request& request, const json& response, std::string_view line) {
  const auto name = request.params.find("name");
  if (name == request.params.end() || !name->is_string()) {
    const std::string message = "tools/call requires 'name'";
    if (!response.contains("error")) fail("tools/call without a string name succeeded", line);
    return checkError(response["error"], line, -32602, &message);
  }
  const std::string& toolName = name->get_ref<const std::string&>();
  const auto& shapes = toolShapes();
  const auto shape = std::find_if(shapes.begin(), shapes.end(), [&](const ToolShape& s) { return s.name == toolName; });
  if (shape == shapes.end()) {
    const std::string message = "Unknown tool: " + toolName;
    if (!response.contains("error")) fail("an unknown tool succeeded", line);
    return checkError(response["error"], line, -32601, &message);
  }
  if (response.contains("error")) {
    const json& code = response["error"]["code"];
    if (code != -32602 && code != -32603) fail("a tool failed with code " + code.dump(), line);
    return;
  }

  // The envelope: {"content":[{"text":<string>,"type":"text"}]} and nothing else.
  const json& result = response["result"];
  const auto content = result.find("content");
  if (result.size() != 1 || content == result.end() || !content->is_array() || content->size() != 1) {
    fail("tool result envelope is not one content item", line);
  }
  const json& item = content->front();
  if (!item.is_object() || item.size() != 2 || item.value("type", json()) != "text" || !item.contains("text") ||
      !item["text"].is_string()) {
    fail("tool result content item is not {text, type:\"text\"}", line);
  }
  const std::string& text = item["text"].get_ref<const std::string&>();
  const auto inner = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!inner.is_object()) fail("tool result text is not a JSON object", line);
  checkCompactText(text, line, "tool result text");
  checkSortedKeys(inner, line);
  if (keysOf(inner) != shape->keys) fail(std::string(shape->name) + " result has other keys than expected", line);
  checkToolResult(request, toolName, inner, line);
}

void checkResponse(const Request& request, std::string_view line) {
  checkCompactText(line, line, "response");
  const json response = json::parse(line, nullptr, false);
  if (!response.is_object()) fail("not a JSON object", line);
  if (response.size() != 3) fail("a response has exactly three members", line);
  if (response.value("jsonrpc", json()) != "2.0") fail("\"jsonrpc\" is not \"2.0\"", line);
  const auto id = response.find("id");
  if (id == response.end()) fail("no \"id\" member", line);
  if (*id != request.id) fail("id differs from the request's id " + request.id.dump(), line);
  const bool isResult = response.contains("result");
  const bool isError = response.contains("error");
  if (isResult == isError) fail("not exactly one of \"result\" and \"error\"", line);
  if (isError) {
    const json& error = response["error"];
    if (!error.is_object() || error.size() != 2 || !error.contains("code") || !error.contains("message")) {
      fail("\"error\" is not an object of code and message", line);
    }
    if (!error["code"].is_number_integer() || !error["message"].is_string()) {
      fail("error code is not an integer or message not a string", line);
    }
    const json& code = error["code"];
    if (code != -32601 && code != -32602 && code != -32603) fail("error code outside the three used", line);
  } else if (!response["result"].is_object()) {
    fail("\"result\" is not an object", line);
  }

  if (std::find(kPlainMethods.begin(), kPlainMethods.end(), request.method) != kPlainMethods.end()) {
    if (!isResult) fail(request.method + " failed", line);
  } else if (request.method == "tools/call") {
    checkToolCall(request, response, line);
  } else {
    const std::string message = "Unsupported method: " + request.method;
    if (!isError) fail("an unsupported method succeeded", line);
    checkError(response["error"], line, -32602, &message);
  }
}

void checkOutput(std::string_view input, std::string_view output) {
  const std::vector<Request> requests = requestsIn(input);
  if (!output.empty() && output.back() != '\n') fail("output does not end with a line feed", output);
  size_t index = 0;
  for (size_t end; (end = output.find('\n')) != std::string_view::npos; output.remove_prefix(end + 1)) {
    const std::string_view line = output.substr(0, end);
    if (index >= requests.size()) fail("more responses than requests (" + std::to_string(requests.size()) + ")", line);
    checkResponse(requests[index++], line);
  }
  if (index != requests.size()) {
    fail(std::to_string(index) + " responses for " + std::to_string(requests.size()) + " requests");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFixture = new Fixture;
  Fixture& f = *gFixture;
  std::string pattern = (scratchBase() / "kovix-fuzz.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) setupFailed("mkdtemp " + pattern + ": " + std::strerror(errno));
  f.root = pattern;
  std::atexit(removeFixture);
  f.dbPath = f.root / "kovix.db";
  f.agents = f.root / "agents";
  f.templatePath = f.root / "agent-claude-template.md";
  f.input = ::memfd_create("kovix-fuzz-input", MFD_CLOEXEC);
  f.output = ::memfd_create("kovix-fuzz-output", MFD_CLOEXEC);
  if (f.input < 0 || f.output < 0) setupFailed(std::string("memfd_create: ") + std::strerror(errno));
  return 0;
}

// --- Another process --------------------------------------------------
//
// Between inputs a second connection, standing for the scheduler's other
// processes, commits a change derived from the input; the store must then
// answer from the file as it is, never from what it read before. Its lists
// are compared with what the second connection reads.

std::vector<std::string> column(sqlite3* db, const char* sql, const std::string& arg = {}) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) setupFailed(sqlite3_errmsg(db));
  if (!arg.empty()) sqlite3_bind_text(stmt, 1, arg.data(), static_cast<int>(arg.size()), SQLITE_TRANSIENT);
  std::vector<std::string> values;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    values.emplace_back(text ? text : "");
  }
  sqlite3_finalize(stmt);
  return values;
}

void anotherProcessWrites(const Fixture& f, const uint8_t* data, size_t size) {
  sqlite3* db = nullptr;
  if (sqlite3_open(f.dbPath.c_str(), &db) != SQLITE_OK) setupFailed("second connection: " + f.dbPath.string());
  sqlite3_busy_timeout(db, 5000);
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  const std::string n = std::to_string(f.runs), name = "other " + std::to_string(hash % 7);
  std::string sql;
  switch (hash % 5) {
    case 0: break;  // nothing: what the store keeps stays good
    case 1:
      sql = "INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) VALUES ('tk_ext" + n +
            "', 'ag_fuzzagent" + std::to_string(1 + hash % 2) + "', '" + name + "', 'p', '[]', '@daily');";
      break;
    case 2: sql = "DELETE FROM tasks WHERE rowid = (SELECT MAX(rowid) FROM tasks);"; break;
    case 3:
      sql = "INSERT INTO agents (id, user_id, name, created_at) VALUES ('ag_ext" + n + "', '" + kUserId + "', '" +
            name + "', " + std::to_string(hash % 3) + ");";
      break;
    default: sql = "UPDATE tasks SET agent_id = 'ag_fuzzagent2', name = '" + name + "' WHERE id = 'tk_fuzztask01';";
  }
  if (!sql.empty()) sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);

  std::vector<std::string> expected;
  for (const auto& id : column(db, "SELECT id FROM agents WHERE user_id = 'fuzz-user' ORDER BY created_at, rowid")) {
    expected.push_back(id + ":" + column(db, "SELECT COUNT(*) FROM tasks WHERE agent_id = ?", id).at(0));
    for (const auto& task : column(db, "SELECT id FROM tasks WHERE agent_id = ? ORDER BY name, rowid", id)) {
      expected.push_back(task);
    }
  }
  sqlite3_close(db);

  std::vector<std::string> got;
  try {
    std::string agentsText;
    f.store->listAgents(agentsText);
    // Records come as the contents of a JSON string: read the text out of it.
    const auto records = [](const std::string& text) {
      return json::parse(json::parse('"' + text + '"').get<std::string>());
    };
    for (const auto& agent : records(agentsText)) {
      const std::string id = agent.at("agent_id");
      got.push_back(id + ":" + std::to_string(agent.at("task_count").get<long>()));
      std::string tasksText;
      f.store->listTasks(id, tasksText);
      for (const auto& task : records(tasksText)) got.push_back(task.at("task_id"));
    }
  } catch (const std::exception& e) {
    fail(std::string("the store's lists after another process wrote: ") + e.what());
  }
  // Agents of equal created_at, and tasks of equal names, may come in either
  // order; compare them as sets then.
  if (got != expected) {
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    if (got != expected) fail("the store's lists differ from the file after another process wrote");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = *gFixture;
  if (f.runs++ % kRunsPerStore == 0 || storeIsLarge(f)) {
    freshStore(f);
    f.runs = 1;
  }
  replaceContents(f.input, data, size);
  replaceContents(f.output, nullptr, 0);
  {
    MCPServer server(f.store, f.input, f.output);
    server.run();
  }
  const std::string output = readContents(f.output);
  checkOutput(std::string_view(reinterpret_cast<const char*>(data), size), output);
  anotherProcessWrites(f, data, size);
  return 0;
}
