#include "StoreSnapshot.h"

#include "MCPStoreError.h"
#include "SQLiteConnection.h"
#include "StoreSchema.h"
#include "UTF8.h"

#include <algorithm>
#include <iterator>

using storerecords::AgentFields;

namespace {

constexpr char kDataVersion[] = "PRAGMA data_version;";
constexpr char kEncoding[] = "PRAGMA encoding;";
constexpr char kTableSchemas[] = "SELECT name, sql FROM sqlite_master WHERE name IN ('agents', 'tasks');";
constexpr char kAgents[] =
    "SELECT id, name, template, description, icon_symbol, enabled, created_at FROM agents WHERE user_id = ?;";
constexpr char kTasks[] = "SELECT rowid, agent_id, name, frequency, ai_tools, working_subdir FROM tasks;";

}  // namespace

// --- Contents ------------------------------------------------------------

void StoreSnapshot::Agent::writeRecord(std::string& out, int32_t taskCount, jsontext::Form form) const {
  if (!record || record->form() != form) record = std::make_unique<storerecords::AgentRecordText>(fields, form);
  record->write(out, taskCount);
}

const StoreSnapshot::Agent* StoreSnapshot::Contents::find(std::string_view id) const {
  const auto found = positions_.find(id);
  return found == positions_.end() ? nullptr : &agents[found->second];
}

StoreSnapshot::Agent* StoreSnapshot::Contents::find(std::string_view id) {
  const auto found = positions_.find(id);
  return found == positions_.end() ? nullptr : &agents[found->second];
}

int32_t StoreSnapshot::Contents::count(std::string_view id) const {
  const auto found = counts_.find(id);
  return found == counts_.end() ? 0 : found->second;
}

// Puts a task into its agent's list at its place by name, and its line into
// the agent's briefing. A task is two words there, so that putting one
// before ten thousand others moves little.
void StoreSnapshot::Contents::addTask(Agent& agent, int64_t rowid, std::string name, std::string_view frequency,
                                      const std::string& aiTools, std::string_view workingSubdir) {
  auto& tasks = agent.tasks;
  const auto at = std::upper_bound(tasks.begin(), tasks.end(), name,
                                   [](const std::string& n, const Task& t) { return n < *t.name; });
  if (at != tasks.begin() && *std::prev(at)->name == name) agent.tasksOrdered = false;
  if (!agent.tasksOrdered) {
    agent.briefing.reset();  // the file is read instead
  } else {
    if (!agent.briefing) agent.briefing = std::make_unique<AgentWorkspace::TaskList>();
    agent.briefing->insert(static_cast<size_t>(at - tasks.begin()), name, frequency,
                           storerecords::decodeStringList(aiTools), workingSubdir);
  }
  names_.push_back(std::move(name));
  tasks.insert(at, Task{rowid, &names_.back()});
}

// --- Validity ------------------------------------------------------------

StoreSnapshot::StoreSnapshot(SQLiteConnection& db, std::string userId) : db_(db), userId_(std::move(userId)) {}

StoreSnapshot::~StoreSnapshot() = default;

std::optional<int64_t> StoreSnapshot::readVersion() {
  try {
    const SQLiteConnection::WithoutWaiting noWait(db_);
    Statement version = db_.statement(kDataVersion);
    if (version.step()) return version.int64(0);
  } catch (const MCPStoreError&) {
  }
  return std::nullopt;
}

void StoreSnapshot::drop() { contents_.reset(); }

void StoreSnapshot::beginOperation() {
  const std::optional<int64_t> version = readVersion();
  unchanged_ = version && version == lastOperationVersion_ ? unchanged_ + 1 : 1;
  mayLoad_ = version && unchanged_ >= needed_;
  lastOperationVersion_ = version;
  operationVersion_ = version;
}

void StoreSnapshot::outdated() {
  // A snapshot that served hardly more than the operation that loaded it did
  // not pay for its load: the file changes faster than that, so wait for a
  // longer calm before the next one. One that paid resets the wait.
  needed_ = served_ < kPaysOff ? std::min(needed_ * 2, kMostNeeded) : kFirstNeeded;
  served_ = 0;
}

const StoreSnapshot::Contents* StoreSnapshot::current() {
  // The operation's first look uses the reading it began with; any later
  // one reads the version again.
  const bool firstLook = operationVersion_.has_value();
  const std::optional<int64_t> version = firstLook ? operationVersion_ : readVersion();
  operationVersion_.reset();
  if (!version) {
    drop();
    return nullptr;
  }
  if (contents_ && *version == version_) {
    if (firstLook) ++served_;
    return contents_.get();
  }
  if (contents_) outdated();
  drop();
  if (!mayLoad_ || version != lastOperationVersion_ || version == unusableVersion_) return nullptr;
  std::unique_ptr<Contents> loaded;
  ++loads_;
  const Load outcome = load(loaded);
  // Loaded by more than one statement: when another process committed in
  // between, it may hold parts of two states, and none of it is used.
  if (readVersion() != version) {
    outdated();
    return nullptr;
  }
  if (outcome == Load::unusable) unusableVersion_ = version;
  if (outcome != Load::made) return nullptr;
  contents_ = std::move(loaded);
  version_ = *version;
  served_ = 1;
  return contents_.get();
}

bool StoreSnapshot::stillCurrent() {
  if (contents_ && readVersion() == version_) return true;
  drop();
  return false;
}

// --- Loading -------------------------------------------------------------

StoreSnapshot::Load StoreSnapshot::load(std::unique_ptr<Contents>& contents) try {
  const SQLiteConnection::WithoutWaiting noWait(db_);
  {
    // Text compared as UTF-8 bytes.
    Statement encoding = db_.statement(kEncoding);
    if (!encoding.step() || encoding.text(0) != "UTF-8") return Load::unusable;
  }
  {
    // The tables as this program makes them: the columns' affinities and
    // collations, and the rowids, are then what the snapshot assumes.
    static const std::string agentsSchema = storeschema::storedText(storeschema::kCreateAgents),
                             tasksSchema = storeschema::storedText(storeschema::kCreateTasks);
    Statement schema = db_.statement(kTableSchemas);
    int matching = 0;
    while (schema.step()) {
      const std::string name = schema.text(0), sql = schema.text(1);
      if (sql != (name == "agents" ? agentsSchema : tasksSchema)) return Load::unusable;
      ++matching;
    }
    if (matching != 2) return Load::unusable;
  }
  auto snap = std::make_unique<Contents>();
  {
    Statement agents = db_.statement(kAgents);
    agents.bindText(1, userId_);
    while (agents.step()) {
      const auto created = agents.type(6);
      if (agents.type(0) != Statement::Type::text ||
          (created != Statement::Type::real && created != Statement::Type::integer)) {
        return Load::unusable;
      }
      snap->agents.push_back({std::string(*agents.rawText(0)), AgentFields::read(agents), {}, true, {}, {}});
    }
  }
  // Read in rowid order; a stable sort keeps that order among equals, but
  // whether SQLite's sort does is not promised, so equals are not kept.
  const auto older = [](const Agent& a, const Agent& b) { return a.fields.createdAt < b.fields.createdAt; };
  std::stable_sort(snap->agents.begin(), snap->agents.end(), older);
  for (size_t i = 0; i < snap->agents.size(); ++i) {
    if (i > 0 && !older(snap->agents[i - 1], snap->agents[i])) snap->agentsOrdered = false;
    if (!snap->positions_.emplace(snap->agents[i].id, i).second) return Load::unusable;
  }
  // Each of the user's agents' tasks with what its briefing shows, until
  // they are in order and the briefing's list is made of them.
  struct LoadedTask {
    int64_t rowid;
    std::string name, frequency, aiTools, workingSubdir;
  };
  std::vector<std::vector<LoadedTask>> loaded(snap->agents.size());
  {
    Statement tasks = db_.statement(kTasks);
    while (tasks.step()) {
      // A NULL or a blob in agent_id never equals an agent's id.
      if (tasks.type(1) != Statement::Type::text) continue;
      const std::string_view agentId = *tasks.rawText(1);
      if (const auto counted = snap->counts_.find(agentId); counted != snap->counts_.end()) ++counted->second;
      else snap->counts_.emplace(agentId, 1);
      const auto position = snap->positions_.find(agentId);
      if (position == snap->positions_.end()) continue;
      const auto name = tasks.rawText(2);
      if (tasks.type(2) != Statement::Type::text || !utf8::isValid(*name)) {
        snap->agents[position->second].tasksOrdered = false;
      }
      loaded[position->second].push_back(
          {tasks.int64(0), tasks.text(2), tasks.text(3), tasks.text(4), tasks.text(5)});
    }
  }
  storerecords::ToolNames tools;
  for (size_t a = 0; a < snap->agents.size(); ++a) {
    Agent& agent = snap->agents[a];
    std::vector<LoadedTask>& rows = loaded[a];
    std::stable_sort(rows.begin(), rows.end(), [](const LoadedTask& x, const LoadedTask& y) { return x.name < y.name; });
    agent.tasks.reserve(rows.size());
    for (auto& row : rows) {
      if (!agent.tasks.empty() && *agent.tasks.back().name == row.name) agent.tasksOrdered = false;
      if (agent.tasksOrdered) {
        if (!agent.briefing) agent.briefing = std::make_unique<AgentWorkspace::TaskList>();
        agent.briefing->add(row.name, row.frequency, tools.of(row.aiTools), row.workingSubdir);
      }
      snap->names_.push_back(std::move(row.name));
      agent.tasks.push_back({row.rowid, &snap->names_.back()});
    }
    if (!agent.tasksOrdered) agent.briefing.reset();
    std::vector<LoadedTask>().swap(rows);
  }
  contents = std::move(snap);
  return Load::made;
} catch (const MCPStoreError&) {
  // A lock, a table gone: worth trying again at this version.
  return Load::failed;
}

// --- Writes --------------------------------------------------------------

bool StoreSnapshot::runWrite(Statement& statement) {
  // A later look in this operation reads the version again: the commit may
  // have come after another process's.
  operationVersion_.reset();
  const int64_t before = db_.totalChanges();
  try {
    statement.run();
  } catch (...) {
    drop();
    throw;
  }
  if (!contents_) return false;
  const int64_t changed = db_.changes();
  // Rows that triggers (or foreign-key actions) changed count in the total
  // but not in the statement's own changes. A row that a trigger kept out
  // (RAISE(IGNORE)) counts in neither: nothing changed.
  if (db_.totalChanges() - before != changed || changed > 1) {
    drop();
    return false;
  }
  if (changed == 0) return false;
  if (!stillCurrent()) return false;
  return true;
}

void StoreSnapshot::write(Statement& statement) { runWrite(statement); }

void StoreSnapshot::insertAgent(Statement& insert, const std::string& id, const AgentFields& fields) {
  if (!runWrite(insert)) return;
  Contents& snap = *contents_;
  // Tasks that already name the id were not read for it.
  if (snap.count(id) != 0 || snap.find(id)) {
    drop();
    return;
  }
  if (!snap.agents.empty() && !(snap.agents.back().fields.createdAt < fields.createdAt)) snap.agentsOrdered = false;
  snap.positions_.emplace(id, snap.agents.size());
  snap.agents.push_back({id, fields, {}, true, {}, {}});
}

void StoreSnapshot::insertTask(Statement& insert, const std::string& agentId, const std::string& name,
                               const std::string& frequency, const std::string& aiTools,
                               const std::string& workingSubdir) {
  if (!runWrite(insert)) return;
  Contents& snap = *contents_;
  ++snap.counts_[agentId];
  if (Agent* agent = snap.find(agentId)) {
    if (!utf8::isValid(name)) agent->tasksOrdered = false;
    snap.addTask(*agent, db_.lastInsertRowid(), utf8::sanitize(name), utf8::sanitize(frequency), aiTools,
                 utf8::sanitize(workingSubdir));
  }
}
