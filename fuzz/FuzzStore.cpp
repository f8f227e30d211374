// libFuzzer target: the store under a sequence of tool calls and of writes by
// "another process". The input decodes to steps: the eight tools, called
// through MCPToolSet over a real MCPAgentStore, and writes that a second
// SQLite connection commits (inserts, updates, deletes, renames, ties of
// created_at and of names, values of odd types and ill-formed UTF-8, and
// triggers that change rows when the server writes).
//
// The oracle is what the file holds: after every tool call the expected
// answer is worked out afresh from the database with plain SQL over the
// second connection (not through the store), and the answer must match it
// record for record (keys in order, values, ties in any order); a call that
// must fail must fail with its message; a write must leave the rows it
// promises; and each CLAUDE.md the call wrote must be the template filled
// from the file's records, by a renderer of the target's own.
//
// Every input starts from the same file (the seed records, no triggers, no
// agent directories), put back by the second connection, so a failure
// replays from the saved input alone. The store object is kept between
// inputs (opening one costs a tenth of an input), and sees the file put back
// as a long-running server sees another process rewrite it;
// KOVIX_FUZZ_FRESH_STORE=1 opens a fresh one for every input instead.
// KOVIX_FUZZ_NO_TRIGGERS=1 leaves the triggers out.
//
// A violation aborts, so libFuzzer saves the input.

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "FuzzReport.h"
#include "FuzzSeed.h"
#include "JSONChecker.h"
#include "MCPAgentStore.h"
#include "MCPError.h"
#include "MCPToolSet.h"

namespace fs = std::filesystem;
using nlohmann::json;
using fuzzcheck::Value;

namespace {

constexpr const char* kUserId = "fuzz-user";
constexpr const char* kTemplate =
    "# {{AGENT_NAME}}\n{{AGENT_DESCRIPTION}}\n## Tasks\n{{TASK_LIST}}\nWork in {{WORKING_SUBDIR}}; {{AGENT_NAME}}\n";
// At most this many steps per input, so that one input stays cheap.
constexpr int kMaxSteps = 16;
// Renderings tried for an agent whose tasks tie by name.
constexpr size_t kMaxOrders = 64;

std::string gLog;  // the steps of the input, shown on a failure

[[noreturn]] void fail(const std::string& why, std::string_view text = {}) {
  std::fprintf(stderr, "FuzzStore: steps:\n%s", gLog.c_str());
  fuzzreport::abortWith("FuzzStore", "wrong", why, "text", text, 1500);
}

[[noreturn]] void setupFailed(const std::string& why) {
  fuzzreport::abortWith("FuzzStore", "setup failed", why, {}, {}, 0);
}

// --- The second connection ----------------------------------------------

struct Param {
  enum Kind { text, integer, real, blob, null } kind = null;
  std::string bytes;
  int64_t n = 0;
  double d = 0;
};
Param text(std::string s) { return {Param::text, std::move(s), 0, 0}; }
Param integer(int64_t n) { return {Param::integer, {}, n, 0}; }
Param real(double d) { return {Param::real, {}, 0, d}; }
Param blob(std::string s) { return {Param::blob, std::move(s), 0, 0}; }
Param null() { return {}; }

// The second connection's statements, by their text.
std::unordered_map<std::string, sqlite3_stmt*>* gKept = new std::unordered_map<std::string, sqlite3_stmt*>;

// One statement of the second connection. Statements are compiled once
// per text and kept (compiling is most of what a check would cost), and
// reset when the query ends.
class Query {
 public:
  Query(sqlite3* db, const std::string& sql, const std::vector<Param>& params = {}) : db_(db) {
    sqlite3_stmt*& stmt = (*gKept)[sql];
    if (!stmt && sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      setupFailed(sqlite3_errmsg(db));
    }
    stmt_ = stmt;
    for (size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      const Param& p = params[i];
      switch (p.kind) {
        case Param::text: sqlite3_bind_text(stmt_, at, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT); break;
        case Param::blob: sqlite3_bind_blob(stmt_, at, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT); break;
        case Param::integer: sqlite3_bind_int64(stmt_, at, p.n); break;
        case Param::real: sqlite3_bind_double(stmt_, at, p.d); break;
        case Param::null: sqlite3_bind_null(stmt_, at); break;
      }
    }
  }
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool row() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) setupFailed(std::string("second connection: ") + sqlite3_errmsg(db_));
    return false;
  }
  // For the other process's writes, which may break a constraint.
  bool run() { return sqlite3_step(stmt_) == SQLITE_DONE; }

  bool isNull(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
  // The column as text, as SQLite converts it (a NULL is ""), ill-formed
  // UTF-8 repaired by the model.
  std::string text(int i) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    return p ? fuzzcheck::repairedUTF8(std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, i)))) : "";
  }
  json textOrNull(int i) const { return isNull(i) ? json() : json(text(i)); }
  int64_t int64(int i) const { return sqlite3_column_int64(stmt_, i); }
  int32_t int32(int i) const { return sqlite3_column_int(stmt_, i); }
  json number(int i) const {
    const double d = sqlite3_column_double(stmt_, i);
    return std::isfinite(d) ? json(d) : json();
  }
  json numberOrNull(int i) const { return isNull(i) ? json() : number(i); }
  // What ORDER BY compares: numbers by value, before text and blobs by bytes.
  std::pair<int, std::string> sortKey(int i) const {
    const int type = sqlite3_column_type(stmt_, i);
    if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", sqlite3_column_double(stmt_, i));
      return {1, buffer};
    }
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
    return {type, p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, i))) : ""};
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string why = message ? message : "unknown error";
    sqlite3_free(message);
    setupFailed("second connection: " + why);
  }
}

// A list column as the records show it: the strings of a JSON array of
// strings, else none.
json decodeList(const std::string& textValue) {
  Value v;
  json list = json::array();
  if (!fuzzcheck::StrictJSON(textValue).document(&v) || v.kind != Value::Kind::array) return list;
  for (const Value& e : v.elements) {
    if (e.kind != Value::Kind::string) return json::array();
    list.push_back(e.text);
  }
  return list;
}

// --- What the file holds ----------------------------------------------------

// Records in list order; records of one group tie in the ORDER BY and may
// come in any order among themselves.
struct Expected {
  std::vector<json> records;
  std::vector<size_t> group;
};

void addGrouped(Expected& e, json record, const std::pair<int, std::string>& key,
                std::pair<int, std::string>& lastKey) {
  const size_t g = e.group.empty() ? 0 : e.group.back() + (key == lastKey ? 0 : 1);
  lastKey = key;
  e.records.push_back(std::move(record));
  e.group.push_back(g);
}

#define AGENT_COLUMNS "id, name, template, description, icon_symbol, enabled, created_at"
#define TASK_COLUMNS(t)                                                                                           \
  t "id, " t "agent_id, " t "name, " t "prompt, " t "ai_tools, " t "frequency, " t "host_id, " t "depends_on, " t \
    "timeout_min, " t "working_subdir, " t "enabled, " t "next_run_at, " t "last_run_at"

json agentRecord(sqlite3* db, const Query& q) {
  // By the id as stored, not as the record shows it repaired.
  Query counted(db, "SELECT COUNT(*) FROM tasks t, agents a WHERE a.rowid = ? AND t.agent_id = a.id;",
                {integer(q.int64(7))});
  counted.row();
  const int64_t count = counted.int64(0);
  return json{{"agent_id", q.text(0)},       {"created_at", q.number(6)},
              {"description", q.textOrNull(3)}, {"enabled", q.int64(5) != 0},
              {"icon_symbol", q.textOrNull(4)}, {"name", q.text(1)},
              {"task_count", static_cast<int32_t>(count)}, {"template", q.text(2)}};
}

json taskRecord(const Query& q) {
  return json{{"agent_id", q.text(1)},        {"ai_tools", decodeList(q.text(4))},
              {"depends_on", decodeList(q.text(7))}, {"enabled", q.int64(10) != 0},
              {"frequency", q.text(5)},       {"host_id", q.text(6)},
              {"last_run_at", q.numberOrNull(12)}, {"name", q.text(2)},
              {"next_run_at", q.numberOrNull(11)}, {"prompt", q.text(3)},
              {"task_id", q.text(0)},         {"timeout_min", q.int32(8)},
              {"working_subdir", q.text(9)}};
}

Expected fileAgents(sqlite3* db) {
  Expected e;
  std::pair<int, std::string> last;
  Query q(db, "SELECT " AGENT_COLUMNS ", rowid FROM agents WHERE user_id = ? ORDER BY created_at;", {text(kUserId)});
  while (q.row()) addGrouped(e, agentRecord(db, q), q.sortKey(6), last);
  return e;
}

std::optional<json> fileAgent(sqlite3* db, const std::string& id) {
  Query q(db, "SELECT " AGENT_COLUMNS ", rowid FROM agents WHERE id = ? AND user_id = ?;", {text(id), text(kUserId)});
  if (!q.row()) return std::nullopt;
  return agentRecord(db, q);
}

Expected fileTasks(sqlite3* db, const std::string& agentId) {
  Expected e;
  std::pair<int, std::string> last;
  Query q(db,
          "SELECT " TASK_COLUMNS("") " FROM tasks WHERE agent_id = ? AND agent_id IN "
          "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;",
          {text(agentId), text(kUserId)});
  while (q.row()) addGrouped(e, taskRecord(q), q.sortKey(2), last);
  return e;
}

std::optional<json> fileTask(sqlite3* db, const std::string& id) {
  Query q(db,
          "SELECT " TASK_COLUMNS("t.") " FROM tasks t JOIN agents a ON a.id = t.agent_id "
          "WHERE t.id = ? AND a.user_id = ?;",
          {text(id), text(kUserId)});
  if (!q.row()) return std::nullopt;
  return taskRecord(q);
}

bool hasTriggers(sqlite3* db) {
  Query q(db, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger';");
  q.row();
  return q.int64(0) > 0;
}

// --- Answers ------------------------------------------------------------------

// The records of a list answer must be the expected ones, each group of ties
// in any order.
void compareList(const Value& list, const Expected& e, const std::string& what, std::string_view answer) {
  if (list.kind != Value::Kind::array) fail(what + ": not an array", answer);
  if (list.elements.size() != e.records.size()) {
    fail(what + ": " + std::to_string(list.elements.size()) + " records where the file has " +
             std::to_string(e.records.size()),
         answer);
  }
  std::vector<bool> used(e.records.size(), false);
  for (size_t i = 0; i < list.elements.size(); ++i) {
    bool matched = false;
    std::string firstWhy;
    for (size_t j = 0; j < e.records.size() && !matched; ++j) {
      if (used[j] || e.group[j] != e.group[i]) continue;
      const std::string why = fuzzcheck::writtenDiffers(list.elements[i], e.records[j]);
      if (why.empty()) used[j] = matched = true;
      else if (firstWhy.empty()) firstWhy = why + "; the file has " + e.records[j].dump(-1, ' ', false, json::error_handler_t::replace);
    }
    if (!matched) fail(what + ": record " + std::to_string(i) + " differs from the file: " + firstWhy, answer);
  }
}

void compareRecord(const Value& record, const json& expected, const std::string& what, std::string_view answer) {
  if (const std::string why = fuzzcheck::writtenDiffers(record, expected); !why.empty()) {
    fail(what + ": the record differs from the file: " + why + "; the file has " +
             expected.dump(-1, ' ', false, json::error_handler_t::replace),
         answer);
  }
}

// --- CLAUDE.md, rendered by the target ----------------------------------------

std::string replaceAll(std::string text, std::string_view placeholder, std::string_view value) {
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(placeholder, from)) != std::string::npos; from = at + placeholder.size()) {
    out.append(text, from, at - from).append(value);
  }
  out.append(text, from, std::string::npos);
  return out;
}

std::string render(const std::string& name, const json& description, const std::vector<json>& tasks) {
  std::string list, subdir = "shared";
  for (const json& t : tasks) {
    if (!list.empty()) list.push_back('\n');
    list += "- **" + t["name"].get<std::string>() + "** \xE2\x80\x94 " + t["frequency"].get<std::string>() + " (";
    bool first = true;
    for (const auto& tool : t["ai_tools"]) {
      list += (first ? "" : ", ") + tool.get<std::string>();
      first = false;
    }
    list += ")";
  }
  if (tasks.empty()) list = "- (no other tasks yet)";
  else subdir = tasks.front()["working_subdir"].get<std::string>();
  std::string out = replaceAll(kTemplate, "{{AGENT_NAME}}", name);
  out = replaceAll(out, "{{AGENT_DESCRIPTION}}", description.is_string() ? description.get<std::string>() : "(no description)");
  out = replaceAll(out, "{{TASK_LIST}}", list);
  return replaceAll(out, "{{WORKING_SUBDIR}}", subdir);
}

// The agent's CLAUDE.md must be the template filled with these values and
// the agent's tasks as the file holds them, in one of the orders their ties
// allow.
void checkBriefing(sqlite3* db, const fs::path& agents, const std::string& agentId, const std::string& name,
                   const json& description) {
  const fs::path dir = agents / agentId;
  for (const char* sub : {"inputs", "outputs", "logs", "shared"}) {
    std::error_code ec;
    if (!fs::is_directory(dir / sub, ec)) fail("the agent directory lacks " + std::string(sub) + ": " + agentId);
  }
  std::ifstream in(dir / "CLAUDE.md", std::ios::binary);
  if (!in) fail("no CLAUDE.md for " + agentId);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Expected e = fileTasks(db, agentId);
  // Each group sorted, then every permutation within the groups in turn.
  std::vector<size_t> order(e.records.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::string first;
  for (size_t tried = 0; tried < kMaxOrders; ++tried) {
    std::vector<json> tasks;
    for (size_t i : order) tasks.push_back(e.records[i]);
    const std::string expected = render(name, description, tasks);
    if (expected == written) return;
    if (tried == 0) first = expected;
    // The next order: advance the permutation of the last group that has
    // one left, resetting the groups after it.
    bool advanced = false;
    for (size_t end = order.size(); end > 0 && !advanced;) {
      size_t begin = end - 1;
      while (begin > 0 && e.group[begin - 1] == e.group[end - 1]) --begin;
      advanced = std::next_permutation(order.begin() + static_cast<std::ptrdiff_t>(begin),
                                       order.begin() + static_cast<std::ptrdiff_t>(end));
      end = begin;
    }
    if (!advanced) break;
  }
  fail("CLAUDE.md of " + agentId + " is not the file's records rendered; expected:\n" + first, written);
}

// --- The input ------------------------------------------------------------------

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t take() { return at_ < size_ ? data_[at_++] : 0; }
  template <class T>
  const T& pick(const std::vector<T>& from) { return from[take() % from.size()]; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

const std::vector<std::string> kNames = {"alpha", "Alpha", "beta", "Zeta", "Build", "\xC3\xA9t\xC3\xA9", "a/b",
                                         "q\"uote", "{{TASK_LIST}}", "{{AGENT_NAME}} x", "", "Weekly report"};
const std::vector<std::string> kOddText = {"", "plain", "\xFF\xFE", "a\xC3", "\xED\xA0\x80", "{{WORKING_SUBDIR}}",
                                           "[\"x\",\"y\"]", "[1]", "not json", "[\"\\u00e9\"]", "[]", "{}"};

Param oddValue(Bytes& in) {
  switch (in.take() % 7) {
    case 0: return text(in.pick(kNames));
    case 1: return text(in.pick(kOddText));
    case 2: return integer(static_cast<int64_t>(in.take()) - 100 + (in.take() & 1 ? int64_t{1} << 40 : 0));
    case 3: return real(in.take() & 1 ? 1.5 : 1e308 * 10);
    case 4: return blob(in.pick(kOddText));
    default: return text(in.pick(kNames) + " " + std::to_string(in.take() % 3));
  }
}

struct State {
  sqlite3* other;
  fs::path agents;
  std::shared_ptr<MCPAgentStore> store;
  std::unique_ptr<MCPToolSet> tools;
  std::vector<std::string> agentIds = {"ag_fuzzagent1", "ag_fuzzagent2", "ag_otheruser1", "ag_missing00", ""};
  std::vector<std::string> taskIds = {"tk_fuzztask01", "tk_fuzztask02", "tk_fuzztask03", "tk_otheruser1", "tk_missing00"};
  bool triggers = true;
  int serial = 0;
};

// Calls the tool. Returns the answer's value, or nothing with `error` set to
// the message it failed with.
std::optional<Value> call(State& s, const std::string& name, const json& arguments, std::string& error,
                          std::string& answer) {
  gLog += "  " + name + " " + arguments.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  answer = "kept";
  try {
    s.tools->invoke(name, arguments, answer);
  } catch (const MCPError& e) {
    if (answer != "kept") fail(name + ": a failed call changed what was there", answer);
    error = e.message;
    return std::nullopt;
  } catch (const std::exception& e) {
    if (answer != "kept") fail(name + ": a failed call changed what was there", answer);
    error = e.what();
    return std::nullopt;
  }
  if (answer.compare(0, 4, "kept") != 0) fail(name + ": the answer replaced what was there", answer);
  answer.erase(0, 4);
  Value inner;
  if (!fuzzcheck::StrictJSON(answer).document(&inner) || inner.kind != Value::Kind::object) {
    fail(name + ": the answer's text is not a JSON object", answer);
  }
  if (const std::string why = fuzzcheck::compactTextDiffers(answer); !why.empty()) fail(name + ": " + why, answer);
  return inner;
}

const Value& member(const Value& object, const std::string& key, const std::string& what, std::string_view answer) {
  if (object.keys.size() != 1 || object.keys[0] != key) fail(what + ": the answer is not one member " + key, answer);
  return object.elements[0];
}

void expectError(const std::optional<Value>& got, const std::string& error, const std::string& message,
                 const std::string& what, std::string_view answer) {
  if (got) fail(what + ": succeeded where the file says it fails with \"" + message + "\"", answer);
  if (error != message) fail(what + ": failed with \"" + error + "\", not \"" + message + "\"");
}

bool isShortId(const Value& v, std::string_view prefix) {
  if (v.kind != Value::Kind::string || v.text.size() != prefix.size() + 10 || v.text.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  return std::all_of(v.text.begin() + static_cast<std::ptrdiff_t>(prefix.size()), v.text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); });
}

void stepTool(State& s, Bytes& in) {
  sqlite3* db = s.other;
  std::string error, answer;
  switch (in.take() % 8) {
    case 0: {
      const auto got = call(s, "list_agents", json::object(), error, answer);
      if (!got) fail("list_agents failed: " + error);
      compareList(member(*got, "agents", "list_agents", answer), fileAgents(db), "list_agents", answer);
      break;
    }
    case 1: {
      const std::string id = in.pick(s.agentIds);
      const auto got = call(s, "list_tasks", {{"agent_id", id}}, error, answer);
      if (!got) fail("list_tasks failed: " + error);
      compareList(member(*got, "tasks", "list_tasks", answer), fileTasks(db, id), "list_tasks", answer);
      break;
    }
    case 2: {
      const std::string id = in.pick(s.agentIds);
      const auto got = call(s, "get_agent", {{"agent_id", id}}, error, answer);
      const auto expected = fileAgent(db, id);
      if (!expected) return expectError(got, error, "get_agent: agent not found: " + id, "get_agent", answer);
      if (!got) fail("get_agent failed: " + error);
      compareRecord(member(*got, "agent", "get_agent", answer), *expected, "get_agent", answer);
      break;
    }
    case 3: {
      const std::string id = in.pick(s.taskIds);
      const auto got = call(s, "get_task", {{"task_id", id}}, error, answer);
      const auto expected = fileTask(db, id);
      if (!expected) return expectError(got, error, "get_task: task not found: " + id, "get_task", answer);
      if (!got) fail("get_task failed: " + error);
      compareRecord(member(*got, "task", "get_task", answer), *expected, "get_task", answer);
      break;
    }
    case 4: {
      json args = json::object();
      const std::string name = in.pick(kNames);
      args["name"] = name;
      if (in.take() & 1) args["template"] = "cmo";
      json description;
      if (in.take() & 1) args["description"] = description = in.pick(kNames);
      if (in.take() & 1) args["icon_symbol"] = "star";
      const auto got = call(s, "create_agent", args, error, answer);
      if (name.empty()) return expectError(got, error, "create_agent: 'name' is required", "create_agent", answer);
      if (!got) fail("create_agent failed: " + error);
      if (got->keys != std::vector<std::string>{"agent_id", "url"} || !isShortId(got->elements[0], "ag_") ||
          got->elements[1].text != "kovix://agents/" + got->elements[0].text) {
        fail("create_agent: the answer is not an agent id and its url", answer);
      }
      const std::string id = got->elements[0].text;
      s.agentIds.push_back(id);
      Query q(db, "SELECT user_id, name, template, description, icon_symbol, enabled FROM agents WHERE id = ?;", {text(id)});
      if (!q.row()) fail("create_agent: no row for " + id);
      if (q.text(0) != kUserId || q.text(1) != name || q.text(2) != (args.contains("template") ? "cmo" : "custom") ||
          q.textOrNull(3) != description || q.textOrNull(4) != (args.contains("icon_symbol") ? json("star") : json()) ||
          q.int64(5) != 1) {
        fail("create_agent: the row for " + id + " is not what was asked");
      }
      checkBriefing(db, s.agents, id, name, description);
      break;
    }
    case 5: {
      const std::string agentId = in.pick(s.agentIds);
      const std::string name = in.pick(kNames);
      json args{{"agent_id", agentId}, {"name", name}, {"prompt", in.take() & 1 ? "## Goal\nDo it." : ""}};
      json tools = json::array({"claude"});
      if (in.take() & 1) args["ai_tools"] = tools = in.take() & 1 ? json::array() : json::array({"codex", "claude"});
      std::string subdir = "shared";
      if (in.take() & 1) args["working_subdir"] = subdir = in.pick(kNames);
      const auto got = call(s, "create_task", args, error, answer);
      if (agentId.empty()) return expectError(got, error, "create_task: 'agent_id' is required", "create_task", answer);
      if (name.empty()) return expectError(got, error, "create_task: 'name' is required", "create_task", answer);
      if (args["prompt"] == "") return expectError(got, error, "create_task: 'prompt' is required", "create_task", answer);
      Query agent(db, "SELECT name, description FROM agents WHERE id = ? AND user_id = ?;", {text(agentId), text(kUserId)});
      if (!agent.row()) return expectError(got, error, "Not found: agent " + agentId, "create_task", answer);
      if (!got) fail("create_task failed: " + error);
      if (got->keys != std::vector<std::string>{"task_id"} || !isShortId(got->elements[0], "tk_")) {
        fail("create_task: the answer is not a task id", answer);
      }
      const std::string id = got->elements[0].text;
      s.taskIds.push_back(id);
      if (!hasTriggers(db)) {
        const auto row = fileTask(db, id);
        if (!row) fail("create_task: no row for " + id);
        const json want{{"agent_id", agentId}, {"ai_tools", tools}, {"depends_on", json::array()},
                        {"enabled", true},     {"frequency", "0 9 * * *"}, {"host_id", "local"},
                        {"last_run_at", nullptr}, {"name", name}, {"next_run_at", nullptr},
                        {"prompt", args["prompt"]}, {"task_id", id}, {"timeout_min", 30},
                        {"working_subdir", subdir}};
        if (*row != want) fail("create_task: the row is not what was asked: " + row->dump());
      }
      checkBriefing(db, s.agents, agentId, agent.text(0), agent.textOrNull(1));
      break;
    }
    case 6: {
      const std::string taskId = in.pick(s.taskIds);
      std::vector<std::string> deps;
      for (int n = in.take() % 3; n > 0; --n) deps.push_back(in.pick(s.taskIds));
      const auto got = call(s, "register_dependency", {{"task_id", taskId}, {"depends_on", deps}}, error, answer);
      if (taskId.empty()) {
        return expectError(got, error, "register_dependency: 'task_id' is required", "register_dependency", answer);
      }
      if (!fileTask(db, taskId)) return expectError(got, error, "Not found: task " + taskId, "register_dependency", answer);
      for (const auto& dep : deps) {
        if (!fileTask(db, dep)) {
          return expectError(got, error, "Not found: upstream task " + dep, "register_dependency", answer);
        }
      }
      if (!got) fail("register_dependency failed: " + error);
      if (got->keys != std::vector<std::string>{"ok"} || got->elements[0].kind != Value::Kind::boolean ||
          !got->elements[0].boolean) {
        fail("register_dependency: the answer is not ok", answer);
      }
      if ((*fileTask(db, taskId))["depends_on"] != json(deps)) fail("register_dependency: depends_on is not the list given");
      break;
    }
    default: {
      const std::string taskId = in.pick(s.taskIds);
      const auto before = fileTask(db, taskId);
      const auto got = call(s, "run_now", {{"task_id", taskId}}, error, answer);
      if (!before) return expectError(got, error, "Not found: task " + taskId, "run_now", answer);
      if (!got) fail("run_now failed: " + error);
      if (got->keys != std::vector<std::string>{"run_id", "status"} || !isShortId(got->elements[0], "rn_") ||
          got->elements[1].text != "queued") {
        fail("run_now: the answer is not a run id and \"queued\"", answer);
      }
      Query run(db, "SELECT task_id, status, ai_used, triggered_by, started_at FROM runs WHERE id = ?;",
                {text(got->elements[0].text)});
      if (!run.row()) fail("run_now: no run row");
      const json& tools = (*before)["ai_tools"];
      const std::string aiUsed = tools.empty() ? "claude" : tools[0].get<std::string>();
      if (run.text(0) != taskId || run.text(1) != "pending" || run.text(2) != aiUsed || run.text(3) != "manual") {
        fail("run_now: the run row is not a pending manual run of the task with " + aiUsed);
      }
    }
  }
}

// A change committed by another process.
void stepOther(State& s, Bytes& in) {
  sqlite3* db = s.other;
  const std::string n = std::to_string(++s.serial);
  // Inputs decode alike with and without triggers: a trigger step is then
  // skipped.
  const uint8_t kind = in.take() % 9;
  if (kind == 8 && !s.triggers) return;
  std::string sql;
  std::vector<Param> params;
  switch (kind) {
    case 0: {  // an agent, its created_at tied, odd or in order
      const std::string id = "ag_ext" + n;
      const Param created = in.take() % 3 == 0 ? oddValue(in) : real(1700000000.0 + in.take() % 4 * 0.625);
      sql = "INSERT INTO agents (id, user_id, name, template, description, icon_symbol, enabled, created_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?);";
      params = {text(id), text(in.take() % 4 ? kUserId : "fuzz-other-user"), oddValue(in), oddValue(in),
                in.take() & 1 ? null() : oddValue(in), in.take() & 1 ? null() : oddValue(in), integer(in.take() % 3),
                created};
      s.agentIds.push_back(id);
      break;
    }
    case 1: {  // a task, with odd values
      const std::string id = "tk_ext" + n;
      sql = "INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min, "
            "working_subdir, enabled, next_run_at, last_run_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
      params = {text(id), text(in.pick(s.agentIds)), in.take() & 1 ? text(in.pick(kNames)) : oddValue(in), oddValue(in),
                oddValue(in), oddValue(in), oddValue(in), oddValue(in), integer((in.take() & 1 ? 5 : int64_t{1} << 33) + in.take()),
                oddValue(in), integer(in.take() % 3), in.take() & 1 ? null() : oddValue(in), in.take() & 1 ? null() : oddValue(in)};
      s.taskIds.push_back(id);
      break;
    }
    case 2:  // rename a task: ties and reorders
      sql = "UPDATE tasks SET name = ? WHERE id = ?;";
      params = {in.take() & 1 ? text(in.pick(kNames)) : oddValue(in), text(in.pick(s.taskIds))};
      break;
    case 3:  // rename an agent, or change its description
      sql = in.take() & 1 ? "UPDATE agents SET name = ? WHERE id = ?;" : "UPDATE agents SET description = ? WHERE id = ?;";
      params = {oddValue(in), text(in.pick(s.agentIds))};
      break;
    case 4:  // move a task to another agent
      sql = "UPDATE tasks SET agent_id = ? WHERE id = ?;";
      params = {text(in.pick(s.agentIds)), text(in.pick(s.taskIds))};
      break;
    case 5:  // an agent's created_at: ties and reorders
      sql = "UPDATE agents SET created_at = ? WHERE id = ?;";
      params = {in.take() & 1 ? real(1700000001.25) : oddValue(in), text(in.pick(s.agentIds))};
      break;
    case 6:
      sql = in.take() & 1 ? "DELETE FROM tasks WHERE id = ?;" : "DELETE FROM agents WHERE id = ?;";
      params = {text(in.take() & 1 ? in.pick(s.taskIds) : in.pick(s.agentIds))};
      break;
    case 7:  // other columns of a task
      sql = "UPDATE tasks SET ai_tools = ?, enabled = ?, next_run_at = ?, timeout_min = ? WHERE id = ?;";
      params = {oddValue(in), integer(in.take() % 3), in.take() & 1 ? null() : oddValue(in), oddValue(in),
                text(in.pick(s.taskIds))};
      break;
    default: {  // a trigger that changes rows when the server writes
      static const char* const kTriggers[] = {
          "CREATE TRIGGER IF NOT EXISTS t_rename AFTER INSERT ON tasks BEGIN "
          "UPDATE tasks SET name = 'trig ' || NEW.name WHERE rowid = NEW.rowid; END;",
          "CREATE TRIGGER IF NOT EXISTS t_child AFTER INSERT ON agents BEGIN "
          "INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) VALUES "
          "('tk_trig' || NEW.rowid, NEW.id, 'from trigger', 'p', '[\"codex\"]', '@hourly'); END;",
          "CREATE TRIGGER IF NOT EXISTS t_drop AFTER INSERT ON tasks BEGIN "
          "DELETE FROM tasks WHERE name = 'Build' AND rowid <> NEW.rowid; END;",
          "CREATE TRIGGER IF NOT EXISTS t_agent AFTER UPDATE ON tasks BEGIN "
          "UPDATE agents SET name = name || '+' WHERE id = NEW.agent_id; END;",
          "CREATE TRIGGER IF NOT EXISTS t_old AFTER INSERT ON agents BEGIN "
          "UPDATE agents SET created_at = 0 WHERE id = NEW.id; END;",
          "CREATE TRIGGER IF NOT EXISTS t_move AFTER INSERT ON tasks BEGIN "
          "UPDATE tasks SET agent_id = 'ag_fuzzagent2' WHERE rowid = NEW.rowid AND NEW.name = 'beta'; END;",
      };
      sql = kTriggers[in.take() % 6];
    }
  }
  gLog += "  other: " + sql.substr(0, 60) + "\n";
  Query q(db, sql, params);
  q.run();  // a write the schema refuses changes nothing
}

struct Fixture {
  fs::path root, dbPath, agents, templatePath;
  sqlite3* other = nullptr;
  bool triggers = true;
  std::shared_ptr<MCPAgentStore> store;
};
Fixture* gFixture = nullptr;

void removeFixture() {
  if (!gFixture) return;
  gFixture->store.reset();
  for (auto& [sql, stmt] : *gKept) sqlite3_finalize(stmt);
  gKept->clear();
  if (gFixture->other) sqlite3_close(gFixture->other);
  gFixture->other = nullptr;
  std::error_code ec;
  fs::remove_all(gFixture->root, ec);
}


void resetState(Fixture& f) {
  std::vector<std::string> triggers;
  {
    Query q(f.other, "SELECT name FROM sqlite_master WHERE type = 'trigger';");
    while (q.row()) triggers.push_back(q.text(0));
  }
  for (const auto& t : triggers) exec(f.other, ("DROP TRIGGER \"" + t + "\";").c_str());
  exec(f.other, fuzzseed::kSeed);
  std::error_code ec;
  if (!fs::is_empty(f.agents, ec)) {
    fs::remove_all(f.agents, ec);
    fs::create_directories(f.agents, ec);
    if (ec) setupFailed("cannot make " + f.agents.string() + ": " + ec.message());
  }
}

std::shared_ptr<MCPAgentStore> openStore(const Fixture& f) {
  try {
    auto store = std::make_shared<MCPAgentStore>(f.dbPath.string(), kUserId, f.agents, f.templatePath);
    store->openAndMigrate();
    return store;
  } catch (const std::exception& e) {
    setupFailed(e.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFixture = new Fixture;
  Fixture& f = *gFixture;
  const char* base = std::getenv("KOVIX_FUZZ_TMPDIR");
  std::string pattern = std::string(base && *base ? base : ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp") +
                        "/kovix-fuzz-store.XXXXXX";
  if (!::mkdtemp(pattern.data())) setupFailed("mkdtemp " + pattern);
  f.root = pattern;
  std::atexit(removeFixture);
  f.dbPath = f.root / "kovix.db";
  f.agents = f.root / "agents";
  f.templatePath = f.root / "template.md";
  if (const char* off = std::getenv("KOVIX_FUZZ_NO_TRIGGERS"); off && *off && std::string(off) != "0") f.triggers = false;
  std::ofstream(f.templatePath, std::ios::binary) << kTemplate;
  std::error_code ec;
  fs::create_directories(f.agents, ec);
  openStore(f);  // makes the tables
  if (sqlite3_open(f.dbPath.c_str(), &f.other) != SQLITE_OK) setupFailed("second connection");
  sqlite3_busy_timeout(f.other, 5000);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = *gFixture;
  resetState(f);
  gLog.clear();
  if (!f.store || std::getenv("KOVIX_FUZZ_FRESH_STORE")) f.store = openStore(f);
  State s{f.other, f.agents, f.store, nullptr};
  s.tools = std::make_unique<MCPToolSet>(s.store);
  s.triggers = f.triggers;
  Bytes in(data, size);
  for (int step = 0; step < kMaxSteps && !in.done(); ++step) {
    if (in.take() % 3 == 0) stepOther(s, in);
    else stepTool(s, in);
  }
  return 0;
}
