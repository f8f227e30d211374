#include "MCPAgentStore.h"

#include "SQLiteConnection.h"
#include "SchemaCheck.h"
#include "ShortID.h"
#include "StoreRecords.h"
#include "StoreSchema.h"
#include "StoreSnapshot.h"
#include "UTF8.h"

#include <ctime>
#include <unordered_map>

namespace fs = std::filesystem;
using storerecords::AgentFields;

namespace {

double now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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
constexpr char kListAgentsCounted[] = "SELECT " KOVIX_AGENT_COLUMNS ", (SELECT COUNT(*) FROM tasks WHERE agent_id = "
                                      "agents.id) FROM agents WHERE user_id = ? ORDER BY created_at;";
constexpr char kTasksIndex[] = "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ? AND tbl_name = 'tasks';";
// The agent is looked up by its id rather than the user's agents listed:
// the same rows, without a scan of every user's agents.
constexpr char kListTasks[] = "SELECT " KOVIX_TASK_COLUMNS("") " FROM tasks WHERE agent_id = ? AND EXISTS "
                              "(SELECT 1 FROM agents WHERE id = ?1 AND user_id = ?) ORDER BY name;";
constexpr char kGetTask[] = "SELECT " KOVIX_TASK_COLUMNS("t.") " FROM tasks t JOIN agents a ON a.id = t.agent_id "
                            "WHERE t.id = ? AND a.user_id = ?;";
constexpr char kTaskExists[] =
    "SELECT 1 FROM tasks t JOIN agents a ON a.id = t.agent_id WHERE t.id = ? AND a.user_id = ?;";
constexpr char kTaskTools[] =
    "SELECT t.ai_tools FROM tasks t JOIN agents a ON a.id = t.agent_id WHERE t.id = ? AND a.user_id = ?;";
constexpr char kBriefingTasks[] =
    "SELECT name, frequency, ai_tools, working_subdir FROM tasks WHERE agent_id = ? AND EXISTS "
    "(SELECT 1 FROM agents WHERE id = ?1 AND user_id = ?) ORDER BY name;";
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
constexpr char kTaskByRow[] = "SELECT " KOVIX_TASK_COLUMNS("") " FROM tasks WHERE rowid = ?;";
#undef KOVIX_TASK_COLUMNS
#undef KOVIX_AGENT_COLUMNS

// Lets a map keyed by ids be searched with the bytes of a column, without a
// copy.
struct TransparentHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

}  // namespace

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
  db_->setBusyTimeout(5000);
  // Nothing else runs here: a setting that reads the file would log one more
  // failure for a file that is not a database and wait out the busy time-out
  // once more behind a lock held at start-up.
  tablesReady_ = true;
  for (const char* create : storeschema::kCreateTables) tablesReady_ = db_->execSQL(create) && tablesReady_;
  // A smaller page cache than the 2 MiB default: the pages that repeated
  // operations need stay cached (the snapshot keeps what scans would read
  // again, and another process's commit empties the cache anyway), and a
  // scan need not leave its pages behind. Set only once the tables are
  // there: the schema is read then, and the setting touches no file.
  if (tablesReady_) {
    db_->execSQL("PRAGMA cache_size = -1024;");
    // Tables another program made with fewer columns are named now, not one
    // column per failed call. Only once the tables are there: behind a lock
    // or on a file that is not a database the check would fail, or wait,
    // again.
    reportMissingColumns(*db_, storeschema::kCreateTables);
    makeTasksIndex();
  }
  snapshot_ = std::make_unique<StoreSnapshot>(*db_, userId_);
}

void MCPAgentStore::makeTasksIndex() {
  // Quietly and without waiting: a lock, a read-only file or anything else
  // that stops it leaves the server as it would be without it.
  const SQLiteConnection::WithoutWaiting noWait(*db_);
  db_->execQuietly(storeschema::kCreateTasksByAgentName);
}

bool MCPAgentStore::tasksIndexed() {
  static const std::string made = storeschema::storedText(storeschema::kCreateTasksByAgentName);
  Statement index = connection().statement(kTasksIndex);
  index.bindText(1, storeschema::kTasksByAgentName);
  return index.step() && index.text(0) == made;
}

void MCPAgentStore::ensureTables() {
  if (tablesReady_) return;
  SQLiteConnection& db = connection();
  const SQLiteConnection::WithoutWaiting noWait(db);
  // Quietly: the operation's own statements report what is wrong.
  for (const char* create : storeschema::kCreateTables) {
    if (!db.execQuietly(create)) return;
  }
  tablesReady_ = true;
  db.execQuietly("PRAGMA cache_size = -1024;");
  makeTasksIndex();
}

void MCPAgentStore::beginOperation() {
  ensureTables();
  snapshot_->beginOperation();
}

// --- Reads ---------------------------------------------------------------

void MCPAgentStore::listAgents(std::string& out, jsontext::Form form) {
  beginOperation();
  const StoreSnapshot::Contents* snap = snapshot_->current();
  if (!snap || !snap->agentsOrdered) return listAgentsFromFile(out, form);
  out.push_back('[');
  for (const auto& agent : snap->agents) {
    if (&agent != &snap->agents.front()) out.push_back(',');
    agent.writeRecord(out, snap->count(agent.id), form);
  }
  out.push_back(']');
}

void MCPAgentStore::listAgentsFromFile(std::string& out, jsontext::Form form) {
  SQLiteConnection& db = connection();
  // With this program's index on the tasks, each agent's tasks are counted
  // where the index holds them: the cost of the user's agents and tasks, not
  // of every user's.
  if (tasksIndexed()) {
    Statement list = db.statement(kListAgentsCounted);
    list.bindText(1, userId_);
    out.push_back('[');
    for (bool first = true; list.step(); first = false) {
      if (!first) out.push_back(',');
      storerecords::writeAgentRecord(out, AgentFields::read(list), list.int32(7), form);
    }
    out.push_back(']');
    return;
  }
  std::vector<storerecords::AgentRecordText> records;
  // Where each agent's record sits, by id; an id that is NULL names no task.
  std::unordered_map<std::string, size_t, TransparentHash, std::equal_to<>> positions;
  {
    Statement list = db.statement(kListAgents);
    list.bindText(1, userId_);
    while (list.step()) {
      if (const auto id = list.rawText(0)) positions.emplace(*id, records.size());
      records.emplace_back(AgentFields::read(list), form);
    }
  }
  // Without the index, count all agents' tasks in one pass over the table
  // instead of one scan per agent, and without sorting it.
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

bool MCPAgentStore::getAgent(const std::string& agentId, std::string& out, jsontext::Form form) {
  beginOperation();
  if (const StoreSnapshot::Contents* snap = snapshot_->current()) {
    const StoreSnapshot::Agent* agent = snap->find(agentId);
    if (!agent) return false;
    agent->writeRecord(out, snap->count(agentId), form);
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
  storerecords::writeAgentRecord(out, *agent, count.step() ? count.int32(0) : 0, form);
  return true;
}

std::optional<MCPAgentStore::AgentIdentity> MCPAgentStore::findAgent(const std::string& agentId) {
  if (const StoreSnapshot::Contents* snap = snapshot_->current()) {
    const StoreSnapshot::Agent* agent = snap->find(agentId);
    if (!agent) return std::nullopt;
    return AgentIdentity{agent->fields.name, agent->fields.description};
  }
  Statement get = connection().statement(kFindAgent);
  get.bindText(1, agentId);
  get.bindText(2, userId_);
  if (!get.step()) return std::nullopt;
  return AgentIdentity{get.text(0), get.textOrNull(1)};
}

void MCPAgentStore::listTasks(const std::string& agentId, std::string& out, jsontext::Form form) {
  beginOperation();
  const StoreSnapshot::Contents* snap = snapshot_->current();
  if (!snap) return listTasksFromFile(agentId, out, form);
  const StoreSnapshot::Agent* agent = snap->find(agentId);
  if (!agent) {
    out.append("[]");
    return;
  }
  if (!agent->tasksOrdered) return listTasksFromFile(agentId, out, form);
  // Each task by its rowid: the cost of what is listed, not of the table.
  const size_t start = out.size();
  out.push_back('[');
  bool found = true;
  {
    Statement get = connection().statement(kTaskByRow);
    for (const auto& task : agent->tasks) {
      get.reset();
      get.bindInt64(1, task.rowid);
      if (!(found = get.step())) break;
      if (&task != &agent->tasks.front()) out.push_back(',');
      storerecords::writeTaskRecord(out, get, form);
    }
  }
  out.push_back(']');
  // The rows were read one by one: a row not where the snapshot says, or a
  // commit by another process meanwhile, and the file is read instead.
  if (!found) snapshot_->drop();
  if (!found || !snapshot_->stillCurrent()) {
    out.resize(start);
    listTasksFromFile(agentId, out, form);
  }
}

void MCPAgentStore::listTasksFromFile(const std::string& agentId, std::string& out, jsontext::Form form) {
  Statement list = connection().statement(kListTasks);
  list.bindText(1, agentId);
  list.bindText(2, userId_);
  out.push_back('[');
  for (bool first = true; list.step(); first = false) {
    if (!first) out.push_back(',');
    storerecords::writeTaskRecord(out, list, form);
  }
  out.push_back(']');
}

bool MCPAgentStore::getTask(const std::string& taskId, std::string& out, jsontext::Form form) {
  ensureTables();
  Statement get = connection().statement(kGetTask);
  get.bindText(1, taskId);
  get.bindText(2, userId_);
  if (!get.step()) return false;
  storerecords::writeTaskRecord(out, get, form);
  return true;
}

// --- Writes --------------------------------------------------------------
// Each goes through the snapshot's write path, which keeps the snapshot
// only when the file holds exactly what the write made.

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
    // The record as a read of the row shows it.
    const auto safe = [](const std::optional<std::string>& text) {
      return text ? std::optional(utf8::sanitize(*text)) : std::nullopt;
    };
    snapshot_->insertAgent(insert, id,
                           {utf8::sanitize(id), utf8::sanitize(name), utf8::sanitize(templateName), safe(description),
                            safe(iconSymbol), true, createdAt});
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
  const std::string tools = storerecords::encodeStringList(aiTools);
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
    snapshot_->insertTask(insert, agentId, name, frequency, tools, workingSubdir);
  }
  // Read the agent again: another process may have renamed it meanwhile, and
  // the briefing should carry the name it has now.
  if (const auto agent = findAgent(agentId)) regenerateAgentCLAUDE(agentId, agent->name, agent->description);
}

void MCPAgentStore::setDependsOn(const std::string& taskId, const std::vector<std::string>& dependsOn) {
  ensureTables();
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
  update.bindText(1, storerecords::encodeStringList(dependsOn));
  update.bindText(2, taskId);
  snapshot_->write(update);
}

std::string MCPAgentStore::queueManualRun(const std::string& taskId) {
  ensureTables();
  SQLiteConnection& db = connection();
  std::string aiUsed;
  {
    Statement lookup = db.statement(kTaskTools);
    lookup.bindText(1, taskId);
    lookup.bindText(2, userId_);
    if (!lookup.step()) throw MCPStoreError::notFound("task " + taskId);
    const auto tools = storerecords::decodeStringList(lookup.text(0));
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
    snapshot_->write(insert);
  }
  Statement update = db.statement(kSetNextRun);
  update.bindDouble(1, startedAt - 1.0);
  update.bindText(2, taskId);
  // The run is queued whatever happens here; the scheduler also picks up
  // pending runs without the hint.
  try {
    snapshot_->write(update);
  } catch (const MCPStoreError&) {
  }
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
    const StoreSnapshot::Contents* snap = snapshot_->current();
    const StoreSnapshot::Agent* agent = snap ? snap->find(agentId) : nullptr;
    if (snap && !agent) return scratch;
    if (agent && agent->tasksOrdered) return agent->briefing ? *agent->briefing : scratch;
    briefingTasksFromFile(agentId, scratch);
    return scratch;
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
  storerecords::ToolNames tools;
  while (list.step()) tasks.add(list.text(0), list.text(1), tools.of(list.text(2)), list.text(3));
}

void MCPAgentStore::regenerateAgentCLAUDE(const std::string& agentId, const std::string& agentName,
                                          const std::optional<std::string>& agentDescription) {
  AgentWorkspace::TaskList scratch;
  workspace_.render(agentId, agentName, agentDescription,
                    [&]() -> const AgentWorkspace::TaskList& { return briefingTasks(agentId, scratch); });
}
