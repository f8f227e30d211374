#pragma once

#include "AgentWorkspace.h"
#include "MCPStoreError.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class SQLiteConnection;
class Statement;

// The server's only access to persistent data: one user's agents, tasks and
// runs in a SQLite file shared with the scheduler's other processes, and each
// agent's working directory with its rendered CLAUDE.md.
//
// Every operation runs its statements to completion before it returns; the
// statements are compiled once and kept, but none is left mid-step, and there
// are no explicit transactions. An operation that writes twice keeps its
// first write when the second fails and reports the failure. Reads are limited to the configured user: another
// user's record looks exactly like a missing one.
//
// Lists, counts and briefings are answered from what the store has already
// read, for as long as no other process has committed to the file; the
// answers are byte for byte those the file gives.
//
// Errors: MCPStoreError for the database and for missing records;
// std::runtime_error (with the path and the system's reason) for the file
// system.
class MCPAgentStore {
 public:
  // Stores the configuration; touches neither the file system nor the database.
  MCPAgentStore(std::string dbPath, std::string userId, std::filesystem::path agentRoot,
                std::filesystem::path templateURL);
  ~MCPAgentStore();
  MCPAgentStore(const MCPAgentStore&) = delete;
  MCPAgentStore& operator=(const MCPAgentStore&) = delete;

  // Opens (creating if missing) the database in serialized mode, turns on
  // write-ahead logging and a 5000 ms busy time-out, and creates the three
  // tables when missing. Throws openFailed(dbPath) when the file cannot be
  // opened; a failing pragma or CREATE is logged on standard error and
  // start-up goes on.
  void openAndMigrate();

  const std::string& userId() const { return userId_; }
  const std::filesystem::path& agentRoot() const { return workspace_.agentRoot(); }
  const std::filesystem::path& templateURL() const { return workspace_.templateURL(); }

  // --- Reads. Each appends its records to `out` as compact JSON text
  // (members in ascending byte order of their keys, "/" escaped, ill-formed
  // UTF-8 replaced by U+FFFD, a time JSON cannot carry written as null).
  // Each throws MCPStoreError::sqlError when a statement cannot be prepared
  // or a step fails (leaving `out` unspecified); a failed step is never
  // taken for the end of the rows.

  // The user's agent records (eight keys: agent_id, name, template,
  // description, icon_symbol, enabled, created_at, task_count), oldest
  // first, as an array.
  void listAgents(std::string& out);
  // The user's agent with this id; false, appending nothing, when there is none.
  bool getAgent(const std::string& agentId, std::string& out);
  // The task records (thirteen keys) of the agent, if it is the user's, in
  // byte order of their names; otherwise the empty array.
  void listTasks(const std::string& agentId, std::string& out);
  // The task with this id if its agent is the user's; false, appending
  // nothing, otherwise.
  bool getTask(const std::string& taskId, std::string& out);

  // --- Writes.

  // Inserts the agent for the configured user, then makes its working
  // directory, its four sub-directories and its CLAUDE.md. When the
  // directory work fails the row stays and the file-system error is thrown.
  void createAgent(const std::string& id, const std::string& name, const std::string& templateName,
                   const std::optional<std::string>& description, const std::optional<std::string>& iconSymbol);

  // Inserts the task under the user's agent `agentId` (notFound("agent <id>")
  // when there is none) with depends_on "[]" and no run times, then renders
  // the agent's CLAUDE.md again. A failure after the insert keeps the row.
  void createTask(const std::string& id, const std::string& agentId, const std::string& name,
                  const std::string& prompt, const std::vector<std::string>& aiTools,
                  const std::string& frequency, const std::string& hostId, int32_t timeoutMin,
                  const std::string& workingSubdir);

  // Replaces the task's upstream list after checking that the task
  // (notFound("task <id>")) and then every upstream id in order
  // (notFound("upstream task <id>")) are the user's. Nothing is written when
  // a check fails.
  void setDependsOn(const std::string& taskId, const std::vector<std::string>& dependsOn);

  // Inserts a pending manual run of the user's task (notFound("task <id>")
  // otherwise) and moves the task's next_run_at to one second before it.
  // Returns the run id. A failure to update the task keeps the run.
  std::string queueManualRun(const std::string& taskId);

  // Renders CLAUDE.md of the agent from the template file (or the built-in
  // template when the file cannot be read or is not UTF-8) and the agent's
  // current tasks, read under the agent's render lock, and replaces the file
  // atomically and durably, keeping its permission bits. Makes whatever of
  // the agent directory and its four sub-directories is missing, and removes
  // temporary files an interrupted render left. Throws a file-system error
  // (also for a briefing over its size limit), leaving an earlier CLAUDE.md
  // as it was.
  void regenerateAgentCLAUDE(const std::string& agentId, const std::string& agentName,
                             const std::optional<std::string>& agentDescription);

  // The template used when the template file cannot be read.
  static const std::string& defaultTemplate() { return AgentWorkspace::defaultTemplate(); }

  // Compact JSON text of a list of strings, or "[]" when it cannot be written.
  static std::string jsonArray(const std::vector<std::string>& values);

 private:
  struct AgentIdentity {
    std::string name;
    std::optional<std::string> description;
  };

  // What the store has read of the user's agents and of the tasks table,
  // kept while no other process commits (see snapshot()).
  struct Snapshot;

  // The user's agent's name and description, without counting its tasks.
  std::optional<AgentIdentity> findAgent(const std::string& agentId);
  // The agent's tasks as its briefing lists them; none when they cannot be
  // read. Either the snapshot's list, kept up to date as tasks are added, or
  // `scratch` filled from the file.
  const AgentWorkspace::TaskList& briefingTasks(const std::string& agentId, AgentWorkspace::TaskList& scratch);
  SQLiteConnection& connection();

  // The snapshot, valid for the database as it is now, read afresh when
  // another process has committed since it was read (PRAGMA data_version,
  // which our own commits leave alone); nothing when the file holds anything
  // the snapshot cannot stand for exactly (then the operations read the file
  // as they would without it).
  Snapshot* snapshot();
  std::unique_ptr<Snapshot> loadSnapshot();
  // Notes the data version at the start of an operation that reads through
  // the snapshot. Right after another process has committed, an operation
  // reads the file as it would without a snapshot, at no more cost; the
  // snapshot is read afresh only when the next operation finds the version
  // unchanged, so a file that changes between every two calls never pays
  // for one.
  void beginOperation();
  int64_t dataVersion();
  // Forgets the snapshot: after a write whose outcome is not known for sure.
  void dropSnapshot();
  // Runs one of the store's own inserts. Our own commit leaves the data
  // version as it was, so the version is read again at the next check (the
  // commit may have come after another process's); a failed insert drops the
  // snapshot. The caller then tells the snapshot of the new row.
  void runOwnInsert(Statement& insert);

  void listAgentsFromFile(std::string& out);
  void listTasksFromFile(const std::string& agentId, std::string& out);
  void briefingTasksFromFile(const std::string& agentId, AgentWorkspace::TaskList& tasks);

  std::string dbPath_;
  std::string userId_;
  AgentWorkspace workspace_;
  std::unique_ptr<SQLiteConnection> db_;
  std::unique_ptr<Snapshot> snapshot_;
  int64_t snapshotVersion_ = 0;
  // The data version at which a snapshot could not be made; not tried again
  // until another process commits.
  std::optional<int64_t> unusableVersion_;
  std::optional<int64_t> lastOperationVersion_;
  bool mayLoad_ = false;
  std::optional<int64_t> operationVersion_;
};
