#include "MCPAgentStore.h"

#include "JSONText.h"
#include "SQLiteConnection.h"
#include "SchemaCheck.h"
#include "ShortID.h"
#include "UTF8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <deque>
#include <iterator>
#include <unordered_map>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

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

// A list column as this program writes one: compact, each name printable
// ASCII without quotes or backslashes. Read without the JSON parser, which
// reads such text the same way; nothing for any other text, which then goes
// to the parser.
template <class Add>
bool readPlainStringList(std::string_view text, Add add) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  const size_t end = text.size() - 1;
  size_t i = 1;
  if (i == end) return true;
  for (;;) {
    if (text[i] != '"') return false;
    const size_t start = ++i;
    for (; i < end && text[i] != '"'; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c > 0x7E || c == '\\') return false;
    }
    if (i >= end) return false;
    add(text.substr(start, i - start));
    if (++i == end) return true;
    if (text[i++] != ',') return false;
  }
}

// A JSON list column: the array when the text is an array of strings, else
// the empty array. Nothing is reported for text that is not.
std::vector<std::string> decodeStringList(const std::string& text) {
  std::vector<std::string> list;
  if (readPlainStringList(text, [&](std::string_view name) { list.emplace_back(name); })) return list;
  list.clear();
  json parsed = json::parse(text, nullptr, false);
  if (!parsed.is_array()) return list;
  list.reserve(parsed.size());
  for (auto& element : parsed) {
    if (!element.is_string()) return {};
    list.push_back(std::move(element.get_ref<std::string&>()));
  }
  return list;
}

// The statements, each kept for the connection's life under its address.
#define KOVIX_AGENT_COLUMNS "id, name, template, description, icon_symbol, enabled, created_at"
#define KOVIX_TASK_COLUMNS(t)                                                                                      \
  t "id, " t "agent_id, " t "name, " t "prompt, " t "ai_tools, " t "frequency, " t "host_id, " t "depends_on, " t \
    "timeout_min, " t "working_subdir, " t "enabled, " t "next_run_at, " t "last_run_at"
constexpr char kListAgents[] = "SELECT " KOVIX_AGENT_COLUMNS " FROM agents WHERE user_id = ? ORDER BY created_at;";
constexpr char kGetAgent[] = "SELECT " KOVIX_AGENT_COLUMNS " FROM agents WHERE id = ? AND user_id = ?;";
constexpr char kFindAgent[] = "SELECT name, description FROM agents WHERE id = ? AND user_id = ?;";
constexpr char kCountTasks[] = "SELECT COUNT(*) FROM tasks WHERE agent_id = ?;";
constexpr char kAllTaskAgents[] = "SELECT agent_id FROM tasks;";
constexpr char kListTasks[] = "SELECT " KOVIX_TASK_COLUMNS("") " FROM tasks WHERE agent_id = ? AND agent_id IN "
                              "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;";
constexpr char kGetTask[] = "SELECT " KOVIX_TASK_COLUMNS("t.") " FROM tasks t JOIN agents a ON a.id = t.agent_id "
                            "WHERE t.id = ? AND a.user_id = ?;";
constexpr char kTaskExists[] =
    "SELECT 1 FROM tasks t JOIN agents a ON a.id = t.agent_id WHERE t.id = ? AND a.user_id = ?;";
constexpr char kTaskTools[] =
    "SELECT t.ai_tools FROM tasks t JOIN agents a ON a.id = t.agent_id WHERE t.id = ? AND a.user_id = ?;";
constexpr char kBriefingTasks[] =
    "SELECT name, frequency, ai_tools, working_subdir FROM tasks WHERE agent_id = ? AND agent_id IN "
    "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;";
constexpr char kInsertAgent[] =
    "INSERT INTO agents (id, user_id, name, template, description, icon_symbol, enabled, created_at) "
    "VALUES (?, ?, ?, ?, ?, ?, 1, ?);";
constexpr char kInsertTask[] =
    "INSERT INTO tasks ( id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min, "
    "working_subdir, enabled, next_run_at, last_run_at ) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1, NULL, NULL);";
constexpr char kSetDependsOn[] = "UPDATE tasks SET depends_on = ? WHERE id = ?;";
constexpr char kInsertRun[] =
    "INSERT INTO runs (id, task_id, started_at, finished_at, status, ai_used, triggered_by, output_path, log_path, "
    "exit_code, tokens_in, tokens_out) VALUES (?, ?, ?, NULL, 'pending', ?, 'manual', NULL, NULL, NULL, NULL, NULL);";
constexpr char kSetNextRun[] = "UPDATE tasks SET next_run_at = ? WHERE id = ?;";
constexpr char kDataVersion[] = "PRAGMA data_version;";
constexpr char kEncoding[] = "PRAGMA encoding;";
constexpr char kTableSchemas[] = "SELECT name, sql FROM sqlite_master WHERE name IN ('agents', 'tasks');";
constexpr char kSnapshotAgents[] = "SELECT " KOVIX_AGENT_COLUMNS " FROM agents WHERE user_id = ?;";
constexpr char kSnapshotTasks[] = "SELECT rowid, agent_id, name, frequency, ai_tools, working_subdir FROM tasks;";
constexpr char kTaskByRow[] = "SELECT " KOVIX_TASK_COLUMNS("") " FROM tasks WHERE rowid = ?;";
constexpr const char* kCreateTables[] = {
    "CREATE TABLE IF NOT EXISTS agents ( id TEXT PRIMARY KEY, user_id TEXT NOT NULL DEFAULT '', "
    "name TEXT NOT NULL, template TEXT NOT NULL DEFAULT 'custom', description TEXT, icon_symbol TEXT, "
    "enabled INTEGER NOT NULL DEFAULT 1, created_at REAL NOT NULL );",
    "CREATE TABLE IF NOT EXISTS tasks ( id TEXT PRIMARY KEY, agent_id TEXT NOT NULL, name TEXT NOT NULL, "
    "prompt TEXT NOT NULL, ai_tools TEXT NOT NULL, frequency TEXT NOT NULL, host_id TEXT NOT NULL DEFAULT "
    "'local', depends_on TEXT NOT NULL DEFAULT '[]', timeout_min INTEGER NOT NULL DEFAULT 30, working_subdir "
    "TEXT NOT NULL DEFAULT 'shared', enabled INTEGER NOT NULL DEFAULT 1, next_run_at REAL, last_run_at REAL );",
    "CREATE TABLE IF NOT EXISTS runs ( id TEXT PRIMARY KEY, task_id TEXT NOT NULL, started_at REAL NOT NULL, "
    "finished_at REAL, status TEXT NOT NULL, ai_used TEXT NOT NULL, triggered_by TEXT NOT NULL, output_path "
    "TEXT, log_path TEXT, exit_code INTEGER, tokens_in INTEGER, tokens_out INTEGER );",
};
#undef KOVIX_TASK_COLUMNS
#undef KOVIX_AGENT_COLUMNS

// An agent's fields as its record shows them: text as valid UTF-8.
struct AgentFields {
  std::string id;
  std::string name;
  std::string templateName;
  std::optional<std::string> description;
  std::optional<std::string> iconSymbol;
  bool enabled;
  double createdAt;

  static AgentFields read(const Statement& row) {
    return {row.text(0), row.text(1), row.text(2), row.textOrNull(3), row.textOrNull(4), row.int64(5) != 0,
            row.real(6)};
  }
};

void appendCount(std::string& out, int32_t count) {
  char digits[16];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, count).ptr);
}

// Records are written member by member, in key order, straight from what
// was read, and in the form the text of a tool result travels in its
// envelope (the contents of a JSON string), so that the server sends them as
// they stand: a list of thousands is never a JSON object per record, and no
// byte of it is written twice.
constexpr jsontext::Form kRecordForm = jsontext::Form::inString;

void writeOptionalText(jsontext::ObjectWriter& record, std::string_view key, const std::optional<std::string>& text) {
  if (text) record.text(key, *text);
  else record.null(key);
}

// A time that another process stored as an infinity is written as null:
// JSON cannot carry it, and one such field must not cost the whole result.
// `countAt`, when given, receives where the task count's digits begin.
void writeAgentRecord(std::string& out, const AgentFields& agent, int32_t taskCount, size_t* countAt = nullptr) {
  jsontext::ObjectWriter record(out, kRecordForm);
  record.text("agent_id", agent.id).number("created_at", agent.createdAt);
  writeOptionalText(record, "description", agent.description);
  record.boolean("enabled", agent.enabled);
  writeOptionalText(record, "icon_symbol", agent.iconSymbol);
  record.text("name", agent.name).member("task_count");
  if (countAt) *countAt = out.size();
  appendCount(out, taskCount);
  record.text("template", agent.templateName);
  record.close();
}

// The record's text on either side of its task count, so that a list writes
// each record with one copy.
struct SplitRecord {
  std::string head;  // up to the count
  std::string tail;  // from after it

  explicit SplitRecord(const AgentFields& agent) {
    size_t countAt = 0;
    writeAgentRecord(head, agent, 0, &countAt);
    tail = head.substr(countAt + 1);
    head.resize(countAt);
  }
  void write(std::string& out, int32_t taskCount) const {
    out.append(head);
    appendCount(out, taskCount);
    out.append(tail);
  }
};

// The text SQLite keeps in sqlite_master for a table made by `create`.
std::string storedSchema(std::string_view create) {
  std::string text(create);
  if (const auto at = text.find("IF NOT EXISTS "); at != text.npos) text.erase(at, 14);
  if (!text.empty() && text.back() == ';') text.pop_back();
  return text;
}

// Tool lists decoded for briefings, each distinct one once in a row: most
// tasks share one.
class ToolNames {
 public:
  const std::vector<std::string>& of(const std::string& aiTools) {
    if (!text_ || aiTools != *text_) {
      text_ = aiTools;
      names_ = decodeStringList(aiTools);
    }
    return names_;
  }

 private:
  std::optional<std::string> text_;
  std::vector<std::string> names_;
};

void writeTaskRecord(std::string& out, const Statement& row) {
  jsontext::ObjectWriter record(out, kRecordForm);
  auto nullableReal = [&](std::string_view key, int column) {
    if (row.isNull(column)) record.null(key);
    else record.number(key, row.real(column));
  };
  record.text("agent_id", row.textBytes(1))
      .texts("ai_tools", decodeStringList(row.text(4)))
      .texts("depends_on", decodeStringList(row.text(7)))
      .boolean("enabled", row.int64(10) != 0)
      .text("frequency", row.textBytes(5))
      .text("host_id", row.textBytes(6));
  nullableReal("last_run_at", 12);
  record.text("name", row.textBytes(2));
  nullableReal("next_run_at", 11);
  record.text("prompt", row.textBytes(3))
      .text("task_id", row.textBytes(0))
      .integer("timeout_min", row.int32(8))
      .text("working_subdir", row.textBytes(9));
  record.close();
}

}  // namespace

// The user's agents, and for each agent id named in the tasks table how many
// tasks name it, and for each of the user's agents what its briefing shows
// of its tasks, each with its rowid. Kept only where its order is certain:
// agents whose created_at tie, or tasks of one agent whose names tie (or are
// not UTF-8 text), are listed by SQLite's own sort instead.
struct MCPAgentStore::Snapshot {
  // What the briefing shows of a task is kept in its agent's `briefing`,
  // and its name in `names`: a task is two words, moved as such when
  // another is put before ten thousand of them.
  struct Task {
    int64_t rowid;
    const std::string* name;  // the bytes SQLite compares
  };
  struct Agent {
    std::string id;  // the bytes SQLite compares
    AgentFields fields;
    std::vector<Task> tasks;  // by name
    bool tasksOrdered = true;
    // The briefing's list of `tasks`, in their order, while they are
    // ordered; none while there are no tasks (most agents that a server
    // makes have none, and every agent would carry an empty list's size).
    std::unique_ptr<AgentWorkspace::TaskList> briefing;
    // The record's text, written when the agent is first listed (held by
    // pointer: agents a server makes are rarely listed by it, and each would
    // carry two empty strings).
    mutable std::unique_ptr<SplitRecord> record;

    void writeRecord(std::string& out, int32_t taskCount) const {
      if (!record) record = std::make_unique<SplitRecord>(fields);
      record->write(out, taskCount);
    }
  };

  std::vector<Agent> agents;  // oldest first
  bool agentsOrdered = true;
  std::unordered_map<std::string, size_t, TransparentHash, std::equal_to<>> positions;
  std::unordered_map<std::string, int32_t, TransparentHash, std::equal_to<>> counts;
  std::deque<std::string> names;  // of the agents' tasks; never moved

  Agent* find(std::string_view id) {
    const auto found = positions.find(id);
    return found == positions.end() ? nullptr : &agents[found->second];
  }
  int32_t count(std::string_view id) const {
    const auto found = counts.find(id);
    return found == counts.end() ? 0 : found->second;
  }
  // Puts a task into its agent's list at its place by name, and its line
  // into the agent's briefing.
  void insert(Agent& agent, int64_t rowid, std::string name, std::string_view frequency, const std::string& aiTools,
              std::string_view workingSubdir) {
    auto& tasks = agent.tasks;
    const auto at = std::upper_bound(tasks.begin(), tasks.end(), name,
                                     [](const std::string& n, const Task& t) { return n < *t.name; });
    if (at != tasks.begin() && *std::prev(at)->name == name) agent.tasksOrdered = false;
    if (!agent.tasksOrdered) {
      agent.briefing.reset();  // the file is read instead
    } else {
      if (!agent.briefing) agent.briefing = std::make_unique<AgentWorkspace::TaskList>();
      agent.briefing->insert(static_cast<size_t>(at - tasks.begin()), name, frequency, decodeStringList(aiTools),
                             workingSubdir);
    }
    names.push_back(std::move(name));
    tasks.insert(at, Task{rowid, &names.back()});
  }
};

MCPAgentStore::MCPAgentStore(std::string dbPath, std::string userId, fs::path agentRoot, fs::path templateURL)
    : dbPath_(std::move(dbPath)),
      userId_(std::move(userId)),
      workspace_(std::move(agentRoot), std::move(templateURL)) {}

MCPAgentStore::~MCPAgentStore() = default;

SQLiteConnection& MCPAgentStore::connection() {
  if (!db_) throw MCPStoreError::sqlError("the database is not open");
  return *db_;
}

void MCPAgentStore::openAndMigrate() {
  db_ = SQLiteConnection::open(dbPath_);
  if (!db_) throw MCPStoreError::openFailed(dbPath_);
  // The journal mode comes before the busy time-out on purpose: when another
  // process holds the lock it needs, it fails at once and is logged.
  db_->execSQL("PRAGMA journal_mode = WAL;");
  db_->execSQL("PRAGMA busy_timeout = 5000;");
  // Nothing else runs here: a setting that reads the file would log one more
  // failure for a file that is not a database and wait out the busy time-out
  // once more behind a lock held at start-up.
  bool created = true;
  for (const char* create : kCreateTables) created = db_->execSQL(create) && created;
  // A smaller page cache than the 2 MiB default: the pages that repeated
  // operations need stay cached (the snapshot keeps what scans would read
  // again, and another process's commit empties the cache anyway), and a
  // scan need not leave its pages behind. Set only once the tables are
  // there: the schema is read then, and the setting touches no file.
  if (created) db_->execSQL("PRAGMA cache_size = -1024;");
  db_->setTableStatements({std::begin(kCreateTables), std::end(kCreateTables)});
  // Tables another program made with fewer columns are named now, not one
  // column per failed call. Only once the tables are there: behind a lock or
  // on a file that is not a database the check would fail, or wait, again.
  if (created) reportMissingColumns(*db_, kCreateTables);
}

// --- Snapshot ------------------------------------------------------------

int64_t MCPAgentStore::dataVersion() {
  Statement version = connection().statement(kDataVersion);
  if (!version.step()) throw MCPStoreError::sqlError("no data version");
  return version.int64(0);
}

void MCPAgentStore::dropSnapshot() { snapshot_.reset(); }

void MCPAgentStore::runOwnInsert(Statement& insert) {
  try {
    insert.run();
  } catch (...) {
    dropSnapshot();
    throw;
  }
  operationVersion_.reset();
}

void MCPAgentStore::beginOperation() {
  std::optional<int64_t> version;
  try {
    version = dataVersion();
  } catch (const MCPStoreError&) {
  }
  mayLoad_ = version && version == lastOperationVersion_;
  lastOperationVersion_ = version;
  // The operation's first look at the snapshot uses this reading; any later
  // one reads the version again.
  operationVersion_ = version;
}

MCPAgentStore::Snapshot* MCPAgentStore::snapshot() {
  int64_t version;
  try {
    version = operationVersion_ ? *operationVersion_ : dataVersion();
    operationVersion_.reset();
  } catch (const MCPStoreError&) {
    dropSnapshot();
    return nullptr;
  }
  if (snapshot_ && version == snapshotVersion_) return snapshot_.get();
  snapshot_.reset();
  if (!mayLoad_ || version != lastOperationVersion_ || unusableVersion_ == version) return nullptr;
  auto loaded = loadSnapshot();
  // The snapshot is read by more than one statement. When another process
  // committed in between, it may hold parts of two states: use none of it.
  int64_t after = version + 1;
  try {
    after = dataVersion();
  } catch (const MCPStoreError&) {
  }
  if (after != version) return nullptr;
  if (!loaded) {
    unusableVersion_ = version;
    return nullptr;
  }
  snapshot_ = std::move(loaded);
  snapshotVersion_ = version;
  return snapshot_.get();
}

std::unique_ptr<MCPAgentStore::Snapshot> MCPAgentStore::loadSnapshot() try {
  SQLiteConnection& db = connection();
  // Only what it can stand for exactly: the tables as this program makes
  // them (so the columns' affinities and the rowids are known), text compared
  // as UTF-8 bytes.
  {
    Statement encoding = db.statement(kEncoding);
    if (!encoding.step() || encoding.text(0) != "UTF-8") return nullptr;
  }
  {
    static const std::string agentsSchema = storedSchema(kCreateTables[0]), tasksSchema = storedSchema(kCreateTables[1]);
    Statement schema = db.statement(kTableSchemas);
    int matching = 0;
    while (schema.step()) {
      const std::string name = schema.text(0), sql = schema.text(1);
      if (sql != (name == "agents" ? agentsSchema : tasksSchema)) return nullptr;
      ++matching;
    }
    if (matching != 2) return nullptr;
  }
  auto snap = std::make_unique<Snapshot>();
  {
    Statement agents = db.statement(kSnapshotAgents);
    agents.bindText(1, userId_);
    while (agents.step()) {
      const auto created = agents.type(6);
      if (agents.type(0) != Statement::Type::text ||
          (created != Statement::Type::real && created != Statement::Type::integer)) {
        return nullptr;
      }
      snap->agents.push_back({std::string(*agents.rawText(0)), AgentFields::read(agents), {}, true, {}, {}});
    }
  }
  // Read in rowid order; a stable sort keeps that order among equals, but
  // whether SQLite's sort does is not promised, so equals are not kept.
  const auto older = [](const Snapshot::Agent& a, const Snapshot::Agent& b) {
    return a.fields.createdAt < b.fields.createdAt;
  };
  std::stable_sort(snap->agents.begin(), snap->agents.end(), older);
  for (size_t i = 0; i < snap->agents.size(); ++i) {
    if (i > 0 && !older(snap->agents[i - 1], snap->agents[i])) snap->agentsOrdered = false;
    if (!snap->positions.emplace(snap->agents[i].id, i).second) return nullptr;
  }
  // Each of the user's agents' tasks with what its briefing shows, until
  // they are in order and the briefing's list is made of them.
  struct LoadedTask {
    int64_t rowid;
    std::string name, frequency, aiTools, workingSubdir;
  };
  std::vector<std::vector<LoadedTask>> loaded(snap->agents.size());
  {
    Statement tasks = db.statement(kSnapshotTasks);
    while (tasks.step()) {
      // A NULL or a blob in agent_id never equals an agent's id.
      if (tasks.type(1) != Statement::Type::text) continue;
      const std::string_view agentId = *tasks.rawText(1);
      if (const auto counted = snap->counts.find(agentId); counted != snap->counts.end()) ++counted->second;
      else snap->counts.emplace(agentId, 1);
      const auto position = snap->positions.find(agentId);
      if (position == snap->positions.end()) continue;
      const auto name = tasks.rawText(2);
      if (tasks.type(2) != Statement::Type::text || !utf8::isValid(*name)) {
        snap->agents[position->second].tasksOrdered = false;
      }
      loaded[position->second].push_back(
          {tasks.int64(0), tasks.text(2), tasks.text(3), tasks.text(4), tasks.text(5)});
    }
  }
  ToolNames tools;
  for (size_t a = 0; a < snap->agents.size(); ++a) {
    Snapshot::Agent& agent = snap->agents[a];
    std::vector<LoadedTask>& rows = loaded[a];
    std::stable_sort(rows.begin(), rows.end(),
                     [](const LoadedTask& x, const LoadedTask& y) { return x.name < y.name; });
    agent.tasks.reserve(rows.size());
    for (auto& row : rows) {
      if (!agent.tasks.empty() && *agent.tasks.back().name == row.name) agent.tasksOrdered = false;
      if (agent.tasksOrdered) {
        if (!agent.briefing) agent.briefing = std::make_unique<AgentWorkspace::TaskList>();
        agent.briefing->add(row.name, row.frequency, tools.of(row.aiTools), row.workingSubdir);
      }
      snap->names.push_back(std::move(row.name));
      agent.tasks.push_back({row.rowid, &snap->names.back()});
    }
    if (!agent.tasksOrdered) agent.briefing.reset();
    std::vector<LoadedTask>().swap(rows);
  }
  return snap;
} catch (const MCPStoreError&) {
  return nullptr;
}

// --- Reads ---------------------------------------------------------------

void MCPAgentStore::listAgents(std::string& out) {
  beginOperation();
  Snapshot* snap = snapshot();
  if (!snap || !snap->agentsOrdered) return listAgentsFromFile(out);
  out.push_back('[');
  for (const auto& agent : snap->agents) {
    if (&agent != &snap->agents.front()) out.push_back(',');
    agent.writeRecord(out, snap->count(agent.id));
  }
  out.push_back(']');
}

void MCPAgentStore::listAgentsFromFile(std::string& out) {
  SQLiteConnection& db = connection();
  std::vector<SplitRecord> records;
  // Where each agent's record sits, by id; an id that is NULL names no task.
  std::unordered_map<std::string, size_t, TransparentHash, std::equal_to<>> positions;
  {
    Statement list = db.statement(kListAgents);
    list.bindText(1, userId_);
    while (list.step()) {
      if (const auto id = list.rawText(0)) positions.emplace(*id, records.size());
      records.emplace_back(AgentFields::read(list));
    }
  }
  // tasks.agent_id has no index, and the schema belongs to every process
  // that shares the file, so count all agents' tasks in one pass over the
  // table instead of one scan per agent, and without sorting it.
  std::vector<int32_t> counts(records.size(), 0);
  if (!records.empty()) {
    Statement scan = db.statement(kAllTaskAgents);
    while (scan.step()) {
      const auto agentId = scan.rawText(0);
      if (!agentId) continue;
      if (const auto found = positions.find(*agentId); found != positions.end()) ++counts[found->second];
    }
  }
  out.push_back('[');
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0) out.push_back(',');
    records[i].write(out, counts[i]);
  }
  out.push_back(']');
}

bool MCPAgentStore::getAgent(const std::string& agentId, std::string& out) {
  beginOperation();
  if (Snapshot* snap = snapshot()) {
    const Snapshot::Agent* agent = snap->find(agentId);
    if (!agent) return false;
    agent->writeRecord(out, snap->count(agentId));
    return true;
  }
  SQLiteConnection& db = connection();
  std::optional<AgentFields> agent;
  {
    Statement get = db.statement(kGetAgent);
    get.bindText(1, agentId);
    get.bindText(2, userId_);
    if (!get.step()) return false;
    agent = AgentFields::read(get);
  }
  // Counted only once the agent is found, so that a missing agent is
  // reported as missing whatever state the tasks table is in.
  Statement count = db.statement(kCountTasks);
  count.bindText(1, agentId);
  writeAgentRecord(out, *agent, count.step() ? count.int32(0) : 0);
  return true;
}

std::optional<MCPAgentStore::AgentIdentity> MCPAgentStore::findAgent(const std::string& agentId) {
  if (Snapshot* snap = snapshot()) {
    const Snapshot::Agent* agent = snap->find(agentId);
    if (!agent) return std::nullopt;
    return AgentIdentity{agent->fields.name, agent->fields.description};
  }
  Statement get = connection().statement(kFindAgent);
  get.bindText(1, agentId);
  get.bindText(2, userId_);
  if (!get.step()) return std::nullopt;
  return AgentIdentity{get.text(0), get.textOrNull(1)};
}

void MCPAgentStore::listTasks(const std::string& agentId, std::string& out) {
  beginOperation();
  Snapshot* snap = snapshot();
  if (!snap) return listTasksFromFile(agentId, out);
  const Snapshot::Agent* agent = snap->find(agentId);
  if (!agent) {
    out.append("[]");
    return;
  }
  if (!agent->tasksOrdered) return listTasksFromFile(agentId, out);
  // Each task by its rowid: the cost of what is listed, not of the table.
  const size_t start = out.size();
  out.push_back('[');
  Statement get = connection().statement(kTaskByRow);
  for (const auto& task : agent->tasks) {
    get.reset();
    get.bindInt64(1, task.rowid);
    if (!get.step()) {
      // Not where the snapshot says: it cannot be trusted.
      dropSnapshot();
      out.resize(start);
      return listTasksFromFile(agentId, out);
    }
    if (&task != &agent->tasks.front()) out.push_back(',');
    writeTaskRecord(out, get);
  }
  out.push_back(']');
  // The rows were read one by one: another process that committed meanwhile
  // may have changed what the snapshot ordered them by.
  if (dataVersion() != snapshotVersion_) {
    dropSnapshot();
    out.resize(start);
    listTasksFromFile(agentId, out);
  }
}

void MCPAgentStore::listTasksFromFile(const std::string& agentId, std::string& out) {
  Statement list = connection().statement(kListTasks);
  list.bindText(1, agentId);
  list.bindText(2, userId_);
  out.push_back('[');
  for (bool first = true; list.step(); first = false) {
    if (!first) out.push_back(',');
    writeTaskRecord(out, list);
  }
  out.push_back(']');
}

bool MCPAgentStore::getTask(const std::string& taskId, std::string& out) {
  Statement get = connection().statement(kGetTask);
  get.bindText(1, taskId);
  get.bindText(2, userId_);
  if (!get.step()) return false;
  writeTaskRecord(out, get);
  return true;
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
  beginOperation();
  const double createdAt = now();
  {
    Statement insert = connection().statement(kInsertAgent);
    insert.bindText(1, id);
    insert.bindText(2, userId_);
    insert.bindText(3, name);
    insert.bindText(4, templateName);
    insert.bindOptionalText(5, description);
    insert.bindOptionalText(6, iconSymbol);
    insert.bindDouble(7, createdAt);
    runOwnInsert(insert);
  }
  // The snapshot learns of the row here, or is dropped when it cannot place
  // it for certain.
  if (snapshot_) {
    Snapshot& snap = *snapshot_;
    if (snap.count(id) != 0 || snap.find(id)) {
      dropSnapshot();
    } else {
      if (!snap.agents.empty() && !(snap.agents.back().fields.createdAt < createdAt)) snap.agentsOrdered = false;
      snap.positions.emplace(id, snap.agents.size());
      auto safe = [](const std::optional<std::string>& text) {
        return text ? std::optional(utf8::sanitize(*text)) : std::nullopt;
      };
      AgentFields fields{utf8::sanitize(id), utf8::sanitize(name), utf8::sanitize(templateName),
                         safe(description), safe(iconSymbol), true, createdAt};
      snap.agents.push_back({id, std::move(fields), {}, true, {}, {}});
    }
  }
  AgentWorkspace::TaskList scratch;
  workspace_.provision(id, name, description,
                       [&]() -> const AgentWorkspace::TaskList& { return briefingTasks(id, scratch); });
}

void MCPAgentStore::createTask(const std::string& id, const std::string& agentId, const std::string& name,
                               const std::string& prompt, const std::vector<std::string>& aiTools,
                               const std::string& frequency, const std::string& hostId, int32_t timeoutMin,
                               const std::string& workingSubdir) {
  beginOperation();
  if (!findAgent(agentId)) throw MCPStoreError::notFound("agent " + agentId);
  const std::string tools = jsonArray(aiTools);
  {
    Statement insert = connection().statement(kInsertTask);
    insert.bindText(1, id);
    insert.bindText(2, agentId);
    insert.bindText(3, name);
    insert.bindText(4, prompt);
    insert.bindText(5, tools);
    insert.bindText(6, frequency);
    insert.bindText(7, hostId);
    insert.bindText(8, "[]");
    insert.bindInt(9, timeoutMin);
    insert.bindText(10, workingSubdir);
    runOwnInsert(insert);
  }
  if (snapshot_) {
    Snapshot& snap = *snapshot_;
    ++snap.counts[agentId];
    if (Snapshot::Agent* agent = snap.find(agentId)) {
      if (!utf8::isValid(name)) agent->tasksOrdered = false;
      snap.insert(*agent, connection().lastInsertRowid(), utf8::sanitize(name),
                  utf8::sanitize(frequency), tools, utf8::sanitize(workingSubdir));
    }
  }
  // Read the agent again: another process may have renamed it meanwhile, and
  // the briefing should carry the name it has now.
  if (const auto agent = findAgent(agentId)) regenerateAgentCLAUDE(agentId, agent->name, agent->description);
}

void MCPAgentStore::setDependsOn(const std::string& taskId, const std::vector<std::string>& dependsOn) {
  SQLiteConnection& db = connection();
  {
    Statement lookup = db.statement(kTaskExists);
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
  }
  Statement update = db.statement(kSetDependsOn);
  update.bindText(1, jsonArray(dependsOn));
  update.bindText(2, taskId);
  update.run();
}

std::string MCPAgentStore::queueManualRun(const std::string& taskId) {
  SQLiteConnection& db = connection();
  std::string aiUsed;
  {
    Statement lookup = db.statement(kTaskTools);
    lookup.bindText(1, taskId);
    lookup.bindText(2, userId_);
    if (!lookup.step()) throw MCPStoreError::notFound("task " + taskId);
    const auto tools = decodeStringList(lookup.text(0));
    aiUsed = tools.empty() ? "claude" : tools.front();
  }
  const std::string runId = "rn_" + makeShortID();
  const double startedAt = now();
  {
    Statement insert = db.statement(kInsertRun);
    insert.bindText(1, runId);
    insert.bindText(2, taskId);
    insert.bindDouble(3, startedAt);
    insert.bindText(4, aiUsed);
    insert.run();
  }
  Statement update = db.statement(kSetNextRun);
  update.bindDouble(1, startedAt - 1.0);
  update.bindText(2, taskId);
  // The run is queued whatever happens here; the scheduler also picks up
  // pending runs without the hint.
  update.runIgnoringResult();
  return runId;
}

// --- Workspace -----------------------------------------------------------

const AgentWorkspace::TaskList& MCPAgentStore::briefingTasks(const std::string& agentId,
                                                            AgentWorkspace::TaskList& scratch) {
  // Called while the agent's briefing is locked, which may have waited for
  // another process: the snapshot is checked again here. A failed read
  // briefs the agent as one without tasks.
  try {
    scratch = {};
    Snapshot* snap = snapshot();
    if (!snap) {
      briefingTasksFromFile(agentId, scratch);
      return scratch;
    }
    Snapshot::Agent* agent = snap->find(agentId);
    if (!agent) return scratch;
    if (!agent->tasksOrdered) {
      briefingTasksFromFile(agentId, scratch);
      return scratch;
    }
    return agent->briefing ? *agent->briefing : scratch;
  } catch (const MCPStoreError&) {
    scratch = {};
    return scratch;
  }
}

void MCPAgentStore::briefingTasksFromFile(const std::string& agentId, AgentWorkspace::TaskList& tasks) {
  // Only the columns the briefing shows, read as listTasks reads them (a NULL
  // that another process wrote is the empty text), in its order and for its
  // user.
  Statement list = connection().statement(kBriefingTasks);
  list.bindText(1, agentId);
  list.bindText(2, userId_);
  ToolNames tools;
  while (list.step()) tasks.add(list.text(0), list.text(1), tools.of(list.text(2)), list.text(3));
}

void MCPAgentStore::regenerateAgentCLAUDE(const std::string& agentId, const std::string& agentName,
                                          const std::optional<std::string>& agentDescription) {
  AgentWorkspace::TaskList scratch;
  workspace_.render(agentId, agentName, agentDescription,
                    [&]() -> const AgentWorkspace::TaskList& { return briefingTasks(agentId, scratch); });
}
