#include "MCPAgentStore.h"

#include "Diagnostics.h"
#include "JSONText.h"
#include "ShortID.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string message(sqlite3* db) {
  const char* text = db ? sqlite3_errmsg(db) : nullptr;
  return text ? std::string(text) : std::string("unknown sqlite error");
}

// A prepared statement that is finalised exactly once, whatever path leaves
// the scope that owns it.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) : db_(db) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
    stmt_.reset(raw);  // owned from here on, whatever follows
    if (rc != SQLITE_OK) throw MCPStoreError::sqlError(message(db));
  }

  // Text is bound by its byte length, so text holding U+0000 is kept whole;
  // SQLite takes its own copy.
  void bindText(int index, std::string_view text) {
    sqlite3_bind_text(stmt_.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void bindOptionalText(int index, const std::optional<std::string>& text) {
    if (text) bindText(index, *text);
    else sqlite3_bind_null(stmt_.get(), index);
  }
  void bindInt(int index, int32_t value) { sqlite3_bind_int(stmt_.get(), index, value); }
  void bindDouble(int index, double value) { sqlite3_bind_double(stmt_.get(), index, value); }

  // True on a row, false at the end. Anything else (busy past the time-out,
  // an I/O error, a corrupt page) is an error, not the end of the rows.
  bool step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw MCPStoreError::sqlError(message(db_));
  }
  // Runs a write to completion; anything but SQLite's done result throws.
  void run() {
    if (sqlite3_step(stmt_.get()) != SQLITE_DONE) throw MCPStoreError::sqlError(message(db_));
  }
  // Steps once and reports nothing, for a write whose failure is tolerated.
  void runIgnoringResult() { sqlite3_step(stmt_.get()); }
  void reset() {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
  }

  // Columns are read through their value: one call into the connection
  // (each takes the connection's mutex) rather than one per property, which
  // matters in scans. The value is read at once, on the one thread that
  // uses the connection.
  bool isNull(int column) const { return sqlite3_value_type(value(column)) == SQLITE_NULL; }
  // Text by byte length, ill-formed UTF-8 replaced by U+FFFD. A NULL (which
  // only another process can put into our NOT NULL columns) reads as "".
  std::string text(int column) const { return textOf(value(column)); }
  std::optional<std::string> textOrNull(int column) const {
    sqlite3_value* v = value(column);
    if (sqlite3_value_type(v) == SQLITE_NULL) return std::nullopt;
    return textOf(v);
  }
  // The column's bytes as SQLite holds them, when it would compare equal to
  // text in SQL (text or a number); valid until the next step.
  std::optional<std::string_view> rawText(int column) const {
    sqlite3_value* v = value(column);
    const int type = sqlite3_value_type(v);
    if (type == SQLITE_NULL || type == SQLITE_BLOB) return std::nullopt;
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(v));
    if (!bytes) return std::nullopt;
    return std::string_view(bytes, static_cast<size_t>(sqlite3_value_bytes(v)));
  }
  int32_t int32(int column) const { return sqlite3_column_int(stmt_.get(), column); }
  int64_t int64(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
  double real(int column) const { return sqlite3_column_double(stmt_.get(), column); }

 private:
  sqlite3_value* value(int column) const { return sqlite3_column_value(stmt_.get(), column); }
  static std::string textOf(sqlite3_value* v) {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(v));
    if (!bytes) return {};
    return jsontext::sanitizeUTF8(std::string_view(bytes, static_cast<size_t>(sqlite3_value_bytes(v))));
  }

  struct Finalize {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
  };
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, Finalize> stmt_;
};

// Lets the count map be searched with the bytes of a column, without a copy.
struct TransparentHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

double now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

json optionalText(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

// A JSON list column: the array when the text is an array of strings, else
// the empty array. Nothing is reported for text that is not.
std::vector<std::string> decodeStringList(const std::string& text) {
  std::vector<std::string> list;
  json parsed = json::parse(text, nullptr, false);
  if (!parsed.is_array()) return list;
  list.reserve(parsed.size());
  for (auto& element : parsed) {
    if (!element.is_string()) return {};
    list.push_back(std::move(element.get_ref<std::string&>()));
  }
  return list;
}

constexpr const char* kAgentColumns = "id, name, template, description, icon_symbol, enabled, created_at";

// Records are built member by member in key order: each insertion then lands
// at the end of the object's map, with no search and no temporary copies.
class RecordBuilder {
 public:
  RecordBuilder() : record_(json::object()), members_(record_.get_ref<json::object_t&>()) {}
  RecordBuilder& add(const char* key, json value) {
    members_.emplace_hint(members_.end(), key, std::move(value));
    return *this;
  }
  json take() { return std::move(record_); }

 private:
  json record_;
  json::object_t& members_;
};

json agentRecord(const Statement& row, int taskCountColumn) {
  return RecordBuilder()
      .add("agent_id", row.text(0))
      .add("created_at", row.real(6))
      .add("description", optionalText(row.textOrNull(3)))
      .add("enabled", row.int64(5) != 0)
      .add("icon_symbol", optionalText(row.textOrNull(4)))
      .add("name", row.text(1))
      .add("task_count", row.int32(taskCountColumn))
      .add("template", row.text(2))
      .take();
}

json taskRecord(const Statement& row) {
  auto nullableReal = [&](int column) { return row.isNull(column) ? json(nullptr) : json(row.real(column)); };
  return RecordBuilder()
      .add("agent_id", row.text(1))
      .add("ai_tools", decodeStringList(row.text(4)))
      .add("depends_on", decodeStringList(row.text(7)))
      .add("enabled", row.int64(10) != 0)
      .add("frequency", row.text(5))
      .add("host_id", row.text(6))
      .add("last_run_at", nullableReal(12))
      .add("name", row.text(2))
      .add("next_run_at", nullableReal(11))
      .add("prompt", row.text(3))
      .add("task_id", row.text(0))
      .add("timeout_min", row.int32(8))
      .add("working_subdir", row.text(9))
      .take();
}

// True when `id` names one directory entry below the agents root and nothing
// else: a row written by another process must not steer writes elsewhere.
bool isSafePathComponent(const std::string& id) {
  return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos &&
         id.find('\0') == std::string::npos;
}

[[noreturn]] void throwFileError(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(error));
}

void makeDirectories(const fs::path& directory) {
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) throwFileError("Could not create directory", directory, ec.value());
}

// Replaces `target` with `contents` so that a reader sees the old file or the
// new one, never part of either, and so that a crash leaves one of the two:
// the bytes reach the disk under a temporary name before the rename, and the
// rename reaches the disk before we report success.
void replaceFileDurably(const fs::path& target, std::string_view contents) {
  const fs::path directory = target.parent_path();
  const fs::path temporary = directory / ("." + target.filename().string() + "." + makeShortID() + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throwFileError("Could not write", target, errno);
  int error = 0;
  if (!writeAll(fd, contents) || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    throwFileError("Could not write", target, error);
  }
  // The rename is durable once the directory that records it is.
  const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd >= 0) {
    ::fsync(directoryFd);
    ::close(directoryFd);
  }
}

// The contents of a regular file, or nothing when it cannot be read. Anything
// else at the path (a directory, a pipe, a terminal) counts as unreadable, so
// that a template path can never make the server wait for input.
std::optional<std::string> readWholeFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string contents;
  contents.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return contents;
}

void replaceAll(std::string& text, std::string_view placeholder, std::string_view replacement) {
  std::string result;
  size_t from = 0;
  size_t at = text.find(placeholder);
  if (at == std::string::npos) return;
  result.reserve(text.size() + replacement.size());
  while (at != std::string::npos) {
    result.append(text, from, at - from).append(replacement);
    from = at + placeholder.size();
    at = text.find(placeholder, from);
  }
  result.append(text, from, std::string::npos);
  text = std::move(result);
}

}  // namespace

void MCPAgentStore::Close::operator()(sqlite3* db) const { sqlite3_close(db); }

MCPAgentStore::MCPAgentStore(std::string dbPath, std::string userId, fs::path agentRoot, fs::path templateURL)
    : dbPath_(std::move(dbPath)),
      userId_(std::move(userId)),
      agentRoot_(std::move(agentRoot)),
      templateURL_(std::move(templateURL)) {}

MCPAgentStore::~MCPAgentStore() = default;

void MCPAgentStore::openAndMigrate() {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(dbPath_.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK || raw == nullptr) {
    sqlite3_close(raw);
    throw MCPStoreError::openFailed(dbPath_);
  }
  db_.reset(raw);
  // The journal mode comes before the busy time-out on purpose: when another
  // process holds the lock it needs, it fails at once and is logged.
  execSQL("PRAGMA journal_mode = WAL;");
  execSQL("PRAGMA busy_timeout = 5000;");
  // tasks.agent_id has no index, so listing an agent's tasks, counting them
  // and rendering CLAUDE.md each read the whole table. SQLite's default 2 MiB
  // page cache is smaller than a few thousand tasks, and a sequential scan
  // through a smaller LRU cache misses on every page; a larger ceiling keeps
  // the table in memory between requests. The cache only grows as far as
  // the database needs.
  execSQL("PRAGMA cache_size = -8192;");
  execSQL(
      "CREATE TABLE IF NOT EXISTS agents ( id TEXT PRIMARY KEY, user_id TEXT NOT NULL DEFAULT '', "
      "name TEXT NOT NULL, template TEXT NOT NULL DEFAULT 'custom', description TEXT, icon_symbol TEXT, "
      "enabled INTEGER NOT NULL DEFAULT 1, created_at REAL NOT NULL );");
  execSQL(
      "CREATE TABLE IF NOT EXISTS tasks ( id TEXT PRIMARY KEY, agent_id TEXT NOT NULL, name TEXT NOT NULL, "
      "prompt TEXT NOT NULL, ai_tools TEXT NOT NULL, frequency TEXT NOT NULL, host_id TEXT NOT NULL DEFAULT "
      "'local', depends_on TEXT NOT NULL DEFAULT '[]', timeout_min INTEGER NOT NULL DEFAULT 30, working_subdir "
      "TEXT NOT NULL DEFAULT 'shared', enabled INTEGER NOT NULL DEFAULT 1, next_run_at REAL, last_run_at REAL );");
  execSQL(
      "CREATE TABLE IF NOT EXISTS runs ( id TEXT PRIMARY KEY, task_id TEXT NOT NULL, started_at REAL NOT NULL, "
      "finished_at REAL, status TEXT NOT NULL, ai_used TEXT NOT NULL, triggered_by TEXT NOT NULL, output_path "
      "TEXT, log_path TEXT, exit_code INTEGER, tokens_in INTEGER, tokens_out INTEGER );");
}

void MCPAgentStore::execSQL(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error) != SQLITE_OK && error) {
    logLine(std::string("sqlite exec failed: ") + error);
  }
  sqlite3_free(error);
}

// --- Reads ---------------------------------------------------------------

json MCPAgentStore::listAgents() {
  Statement list(db_.get(), std::string("SELECT ") + kAgentColumns + ", 0 FROM agents WHERE user_id = ? ORDER BY created_at;");
  list.bindText(1, userId_);
  json agents = json::array();
  // Where each agent's record sits, by id; an id that is NULL names no task.
  std::unordered_map<std::string, size_t, TransparentHash, std::equal_to<>> positions;
  while (list.step()) {
    if (const auto id = list.rawText(0)) positions.emplace(*id, agents.size());
    agents.push_back(agentRecord(list, 7));
  }
  if (positions.empty()) return agents;

  // tasks.agent_id has no index, and the schema belongs to every process
  // that shares the file, so count all agents' tasks in one pass over the
  // table instead of one scan per agent, and without sorting it.
  Statement scan(db_.get(), "SELECT agent_id FROM tasks;");
  std::vector<int32_t> counts(agents.size(), 0);
  while (scan.step()) {
    const auto agentId = scan.rawText(0);
    if (!agentId) continue;
    if (const auto found = positions.find(*agentId); found != positions.end()) ++counts[found->second];
  }
  for (size_t i = 0; i < counts.size(); ++i) agents[i]["task_count"] = counts[i];
  return agents;
}

std::optional<json> MCPAgentStore::getAgent(const std::string& agentId) {
  Statement get(db_.get(), std::string("SELECT ") + kAgentColumns +
                               ", (SELECT COUNT(*) FROM tasks WHERE agent_id = agents.id) "
                               "FROM agents WHERE id = ? AND user_id = ?;");
  get.bindText(1, agentId);
  get.bindText(2, userId_);
  if (!get.step()) return std::nullopt;
  return agentRecord(get, 7);
}

std::optional<MCPAgentStore::AgentIdentity> MCPAgentStore::findAgent(const std::string& agentId) {
  Statement get(db_.get(), "SELECT name, description FROM agents WHERE id = ? AND user_id = ?;");
  get.bindText(1, agentId);
  get.bindText(2, userId_);
  if (!get.step()) return std::nullopt;
  return AgentIdentity{get.text(0), get.textOrNull(1)};
}

json MCPAgentStore::listTasks(const std::string& agentId) {
  Statement list(db_.get(),
                 "SELECT id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min, "
                 "working_subdir, enabled, next_run_at, last_run_at FROM tasks WHERE agent_id = ? AND agent_id IN "
                 "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;");
  list.bindText(1, agentId);
  list.bindText(2, userId_);
  json tasks = json::array();
  while (list.step()) tasks.push_back(taskRecord(list));
  return tasks;
}

std::optional<json> MCPAgentStore::getTask(const std::string& taskId) {
  Statement get(db_.get(),
                "SELECT t.id, t.agent_id, t.name, t.prompt, t.ai_tools, t.frequency, t.host_id, t.depends_on, "
                "t.timeout_min, t.working_subdir, t.enabled, t.next_run_at, t.last_run_at FROM tasks t JOIN agents "
                "a ON a.id = t.agent_id WHERE t.id = ? AND a.user_id = ?;");
  get.bindText(1, taskId);
  get.bindText(2, userId_);
  if (!get.step()) return std::nullopt;
  return taskRecord(get);
}

// --- Writes --------------------------------------------------------------

std::string MCPAgentStore::jsonArray(const std::vector<std::string>& values) {
  std::string text;
  if (!jsontext::write(json(values), text)) return "[]";
  return text;
}

void MCPAgentStore::createAgent(const std::string& id, const std::string& name, const std::string& templateName,
                                const std::optional<std::string>& description,
                                const std::optional<std::string>& iconSymbol) {
  const double createdAt = now();
  Statement insert(db_.get(),
                   "INSERT INTO agents (id, user_id, name, template, description, icon_symbol, enabled, created_at) "
                   "VALUES (?, ?, ?, ?, ?, ?, 1, ?);");
  insert.bindText(1, id);
  insert.bindText(2, userId_);
  insert.bindText(3, name);
  insert.bindText(4, templateName);
  insert.bindOptionalText(5, description);
  insert.bindOptionalText(6, iconSymbol);
  insert.bindDouble(7, createdAt);
  insert.run();
  provisionAgentDir(id, name, description);
}

void MCPAgentStore::createTask(const std::string& id, const std::string& agentId, const std::string& name,
                               const std::string& prompt, const std::vector<std::string>& aiTools,
                               const std::string& frequency, const std::string& hostId, int32_t timeoutMin,
                               const std::string& workingSubdir) {
  if (!findAgent(agentId)) throw MCPStoreError::notFound("agent " + agentId);
  {
    Statement insert(db_.get(),
                     "INSERT INTO tasks ( id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, "
                     "timeout_min, working_subdir, enabled, next_run_at, last_run_at ) VALUES (?, ?, ?, ?, ?, ?, ?, "
                     "?, ?, ?, 1, NULL, NULL);");
    insert.bindText(1, id);
    insert.bindText(2, agentId);
    insert.bindText(3, name);
    insert.bindText(4, prompt);
    insert.bindText(5, jsonArray(aiTools));
    insert.bindText(6, frequency);
    insert.bindText(7, hostId);
    insert.bindText(8, "[]");
    insert.bindInt(9, timeoutMin);
    insert.bindText(10, workingSubdir);
    insert.run();
  }
  // Read the agent again: another process may have renamed it meanwhile, and
  // the briefing should carry the name it has now.
  if (const auto agent = findAgent(agentId)) regenerateAgentCLAUDE(agentId, agent->name, agent->description);
}

void MCPAgentStore::setDependsOn(const std::string& taskId, const std::vector<std::string>& dependsOn) {
  Statement lookup(db_.get(),
                   "SELECT 1 FROM tasks t JOIN agents a ON a.id = t.agent_id WHERE t.id = ? AND a.user_id = ?;");
  auto exists = [&](const std::string& id) {
    lookup.reset();
    lookup.bindText(1, id);
    lookup.bindText(2, userId_);
    return lookup.step();
  };
  if (!exists(taskId)) throw MCPStoreError::notFound("task " + taskId);
  for (const auto& upstream : dependsOn) {
    if (!exists(upstream)) throw MCPStoreError::notFound("upstream task " + upstream);
  }
  Statement update(db_.get(), "UPDATE tasks SET depends_on = ? WHERE id = ?;");
  update.bindText(1, jsonArray(dependsOn));
  update.bindText(2, taskId);
  update.run();
}

std::string MCPAgentStore::queueManualRun(const std::string& taskId) {
  std::string aiUsed;
  {
    Statement lookup(db_.get(),
                     "SELECT t.ai_tools FROM tasks t JOIN agents a ON a.id = t.agent_id WHERE t.id = ? AND "
                     "a.user_id = ?;");
    lookup.bindText(1, taskId);
    lookup.bindText(2, userId_);
    if (!lookup.step()) throw MCPStoreError::notFound("task " + taskId);
    const auto tools = decodeStringList(lookup.text(0));
    aiUsed = tools.empty() ? "claude" : tools.front();
  }
  const std::string runId = "rn_" + makeShortID();
  const double startedAt = now();
  Statement insert(db_.get(),
                   "INSERT INTO runs (id, task_id, started_at, finished_at, status, ai_used, triggered_by, "
                   "output_path, log_path, exit_code, tokens_in, tokens_out) VALUES (?, ?, ?, NULL, 'pending', ?, "
                   "'manual', NULL, NULL, NULL, NULL, NULL);");
  insert.bindText(1, runId);
  insert.bindText(2, taskId);
  insert.bindDouble(3, startedAt);
  insert.bindText(4, aiUsed);
  insert.run();
  Statement update(db_.get(), "UPDATE tasks SET next_run_at = ? WHERE id = ?;");
  update.bindDouble(1, startedAt - 1.0);
  update.bindText(2, taskId);
  // The run is queued whatever happens here; the scheduler also picks up
  // pending runs without the hint.
  update.runIgnoringResult();
  return runId;
}

// --- Workspace -----------------------------------------------------------

const std::string& MCPAgentStore::defaultTemplate() {
  static const std::string text =
      "# {{AGENT_NAME}}\n"
      "\n"
      "You are the AI executing a scheduled task for the **{{AGENT_NAME}}** in Kovix.\n"
      "\n"
      "## Agent description\n"
      "{{AGENT_DESCRIPTION}}\n"
      "\n"
      "## Other tasks under this Agent\n"
      "{{TASK_LIST}}";
  return text;
}

fs::path MCPAgentStore::agentDirectory(const std::string& agentId) const {
  if (!isSafePathComponent(agentId)) {
    throw std::runtime_error("Agent id is not a safe directory name: " + jsontext::sanitizeUTF8(agentId));
  }
  return agentRoot_ / agentId;
}

void MCPAgentStore::provisionAgentDir(const std::string& agentId, const std::string& name,
                                      const std::optional<std::string>& description) {
  const fs::path directory = agentDirectory(agentId);
  makeDirectories(directory);
  for (const char* sub : {"inputs", "outputs", "logs", "shared"}) makeDirectories(directory / sub);
  regenerateAgentCLAUDE(agentId, name, description);
}

std::string MCPAgentStore::renderCLAUDE(const std::string& agentId, const std::string& agentName,
                                        const std::optional<std::string>& agentDescription) {
  std::optional<std::string> text = readWholeFile(templateURL_);
  if (!text || !jsontext::isValidUTF8(*text)) text = defaultTemplate();

  // Only the columns the briefing shows, read as listTasks reads them (a NULL
  // that another process wrote is the empty text), in its order and for its
  // user. A failed read renders as an agent without tasks.
  std::string taskList;
  std::string workingSubdir = "shared";
  try {
    Statement list(db_.get(),
                   "SELECT name, frequency, ai_tools, working_subdir FROM tasks WHERE agent_id = ? AND agent_id IN "
                   "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;");
    list.bindText(1, agentId);
    list.bindText(2, userId_);
    // Every line is non-empty, so an empty list means no task yet.
    std::optional<std::string> toolsText;
    std::string toolsJoined;
    while (list.step()) {
      if (taskList.empty()) workingSubdir = list.text(3);
      else taskList.push_back('\n');
      taskList.append("- **").append(list.text(0));
      taskList.append("** \xE2\x80\x94 ").append(list.text(1)).append(" (");
      // Most tasks share one tool list; decode each distinct text once.
      if (const std::string_view tools = list.rawText(2).value_or(""); tools != toolsText) {
        toolsText = tools;
        toolsJoined.clear();
        const auto decoded = decodeStringList(list.text(2));
        for (size_t i = 0; i < decoded.size(); ++i) toolsJoined.append(i ? ", " : "").append(decoded[i]);
      }
      taskList.append(toolsJoined).push_back(')');
    }
  } catch (const MCPStoreError&) {
    taskList.clear();
    workingSubdir = "shared";
  }
  if (taskList.empty()) taskList = "- (no other tasks yet)";

  replaceAll(*text, "{{AGENT_NAME}}", agentName);
  replaceAll(*text, "{{AGENT_DESCRIPTION}}", agentDescription ? *agentDescription : "(no description)");
  replaceAll(*text, "{{TASK_LIST}}", taskList);
  replaceAll(*text, "{{WORKING_SUBDIR}}", workingSubdir);
  return std::move(*text);
}

void MCPAgentStore::regenerateAgentCLAUDE(const std::string& agentId, const std::string& agentName,
                                          const std::optional<std::string>& agentDescription) {
  const fs::path directory = agentDirectory(agentId);
  const std::string rendered = renderCLAUDE(agentId, agentName, agentDescription);
  makeDirectories(directory);
  replaceFileDurably(directory / "CLAUDE.md", rendered);
}
