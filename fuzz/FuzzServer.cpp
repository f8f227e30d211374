// libFuzzer target: the input is everything a client writes to the server's
// standard input. It goes through the real MCPServer::run() (line framing,
// parsing, dispatch, the tools) against a real store in a temporary
// directory, and every line the server writes back is checked: one compact
// JSON-RPC response per request (which lines are requests is decided by the
// fuzz targets' own strict JSON checker, JSONChecker.h, not by the server's
// reader), in request order, with the request's id, the right error for
// unsupported methods and bad tool calls, the tool-result envelope with
// sorted keys, and records of the right shape that never belong to another
// user. A violation aborts, so libFuzzer saves the input.
//
// Every input starts from the same state: before it, a second connection to
// the database (standing for the scheduler's other processes) puts back the
// seed records (see FuzzSeed.h) in one transaction, the agents directory is
// emptied, and a fresh store is opened on the file, with one of three
// templates (chosen by the input). So a failure replays from the saved input
// alone. The seed records have fixed ids, which the corpus and the dictionary
// name, so that the tools that need an existing agent or task get past their
// look-ups.
//
// After the server has run, every kCheckEvery-th input (every input when
// libFuzzer replays files), the second connection commits a change derived
// from the input and the store's lists must then match what the file holds.
// KOVIX_FUZZ_CHECK_EVERY sets how often.
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

#include "FuzzReport.h"
#include "FuzzSeed.h"
#include "JSONChecker.h"
#include "MCPAgentStore.h"
#include "MCPServer.h"
#include "MCPToolSet.h"

#include <sqlite3.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// How often the store's lists are compared with the file, in inputs: the
// comparison costs more than the rest of an input.
constexpr unsigned kCheckEvery = 8;
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
  fuzzreport::abortWith("FuzzServer", "bad output", why, "line", line, 2000);
}

[[noreturn]] void setupFailed(const std::string& why) {
  fuzzreport::abortWith("FuzzServer", "setup failed", why, {}, {}, 0);
}

// --- The store -----------------------------------------------------------

struct Fixture {
  fs::path root;
  fs::path dbPath;
  fs::path agents;
  std::array<fs::path, 3> templates;
  sqlite3* other = nullptr;  // the other processes' connection
  int input = -1;
  int output = -1;
  unsigned runs = 0;
  unsigned checkEvery = kCheckEvery;
};

// Never destroyed: the exit handler below tears it down.
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

// The inputs take turns with a template that uses every placeholder, one
// that is not UTF-8, and none at all, so the three ways of rendering
// CLAUDE.md all run.
void writeTemplates(const Fixture& f) {
  writeFile(f.templates[0],
            "# {{AGENT_NAME}}\n\n{{AGENT_DESCRIPTION}}\n\n## Tasks\n{{TASK_LIST}}\n\n"
            "Work in {{WORKING_SUBDIR}}/ \xE2\x80\x94 {{AGENT_NAME}} again{{UNKNOWN}}\n");
  writeFile(f.templates[1], "# {{AGENT_NAME}} \xFF\xFE not UTF-8\n");
}

void exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string why = message ? message : "unknown error";
    sqlite3_free(message);
    setupFailed("second connection: " + why + " in " + sql.substr(0, 200));
  }
}


// Puts the state every input starts from back: the seed records, no agent
// directories.
void resetState(Fixture& f) {
  exec(f.other, fuzzseed::kSeed);
  std::error_code ec;
  if (!fs::is_empty(f.agents, ec)) {
    fs::remove_all(f.agents, ec);
    fs::create_directories(f.agents, ec);
    if (ec) setupFailed("cannot make " + f.agents.string() + ": " + ec.message());
  }
}

std::shared_ptr<MCPAgentStore> openStore(const Fixture& f, const fs::path& templatePath) {
  try {
    auto store = std::make_shared<MCPAgentStore>(f.dbPath.string(), kUserId, f.agents, templatePath);
    store->openAndMigrate();
    return store;
  } catch (const std::exception& e) {
    setupFailed(e.what());
  }
}

void removeFixture() {
  if (!gFixture) return;
  if (gFixture->other) sqlite3_close(gFixture->other);
  gFixture->other = nullptr;
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
    if (!fuzzcheck::StrictJSON(line).message(hasId) || !hasId) continue;
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

void checkCompactText(std::string_view text, std::string_view line, const char* what) {
  if (const std::string why = fuzzcheck::compactTextDiffers(text); !why.empty()) fail(std::string(what) + ": " + why, line);
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

// True when libFuzzer was given files to run rather than a corpus to grow:
// then every input is checked in full.
bool replaying(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (argv[i][0] != '-' && fs::is_regular_file(argv[i], ec)) return true;
  }
  return false;
}

// --- Another process --------------------------------------------------
//
// After an input a second connection, standing for the scheduler's other
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

// A tool's result as invoke() appends it, its compact JSON text, read with
// the checker.
json toolResult(MCPToolSet& tools, const char* name, const json& arguments) {
  std::string text;
  tools.invoke(name, arguments, text);
  json result = json::parse(text, nullptr, false);
  if (!fuzzcheck::StrictJSON(text).document(nullptr) || !result.is_object()) {
    fail(std::string(name) + ": the result's text is not a JSON object", text);
  }
  return result;
}

void anotherProcessWrites(const Fixture& f, MCPAgentStore& store, const uint8_t* data, size_t size) {
  sqlite3* db = f.other;
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  const std::string n = std::to_string(hash % 1000), name = "other " + std::to_string(hash % 7);
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
  if (!sql.empty()) exec(db, sql);

  std::vector<std::string> expected;
  for (const auto& id : column(db, "SELECT id FROM agents WHERE user_id = 'fuzz-user' ORDER BY created_at, rowid")) {
    expected.push_back(id + ":" + column(db, "SELECT COUNT(*) FROM tasks WHERE agent_id = ?", id).at(0));
    for (const auto& task : column(db, "SELECT id FROM tasks WHERE agent_id = ? ORDER BY name, rowid", id)) {
      expected.push_back(task);
    }
  }

  std::vector<std::string> got;
  try {
    MCPToolSet tools(std::shared_ptr<MCPAgentStore>(&store, [](MCPAgentStore*) {}));
    const json agents = toolResult(tools, "list_agents", json::object());
    for (const auto& agent : agents.at("agents")) {
      const std::string id = agent.at("agent_id");
      got.push_back(id + ":" + std::to_string(agent.at("task_count").get<long>()));
      const json tasks = toolResult(tools, "list_tasks", {{"agent_id", id}});
      for (const auto& task : tasks.at("tasks")) got.push_back(task.at("task_id"));
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  gFixture = new Fixture;
  Fixture& f = *gFixture;
  std::string pattern = (scratchBase() / "kovix-fuzz.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) setupFailed("mkdtemp " + pattern + ": " + std::strerror(errno));
  f.root = pattern;
  std::atexit(removeFixture);
  f.dbPath = f.root / "kovix.db";
  f.agents = f.root / "agents";
  f.templates = {f.root / "template-full.md", f.root / "template-not-utf8.md", f.root / "no-template.md"};
  writeTemplates(f);
  std::error_code ec;
  fs::create_directories(f.agents, ec);
  if (const char* every = std::getenv("KOVIX_FUZZ_CHECK_EVERY"); every && std::atoi(every) > 0) {
    f.checkEvery = static_cast<unsigned>(std::atoi(every));
  }
  if (replaying(*argc, *argv)) f.checkEvery = 1;
  // The tables, made as the server makes them, then the second connection.
  openStore(f, f.templates[0]);
  if (sqlite3_open(f.dbPath.c_str(), &f.other) != SQLITE_OK) setupFailed("second connection: " + f.dbPath.string());
  sqlite3_busy_timeout(f.other, 5000);
  f.input = ::memfd_create("kovix-fuzz-input", MFD_CLOEXEC);
  f.output = ::memfd_create("kovix-fuzz-output", MFD_CLOEXEC);
  if (f.input < 0 || f.output < 0) setupFailed(std::string("memfd_create: ") + std::strerror(errno));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = *gFixture;
  resetState(f);
  const auto store = openStore(f, f.templates[size % 3]);
  replaceContents(f.input, data, size);
  replaceContents(f.output, nullptr, 0);
  {
    MCPServer server(store, f.input, f.output);
    server.run();
  }
  const std::string output = readContents(f.output);
  checkOutput(std::string_view(reinterpret_cast<const char*>(data), size), output);
  if (++f.runs % f.checkEvery == 0) anotherProcessWrites(f, *store, data, size);
  return 0;
}
