#pragma once

#include "AgentWorkspace.h"
#include "JSONForm.h"
#include "MCPStoreError.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class SQLiteConnection;
class StoreSnapshot;

// The server's only access to persistent data: one user's agents, tasks and
// runs in a SQLite file shared with the scheduler's other processes, and each
// agent's working directory with its rendered CLAUDE.md.
//
// Every operation runs its statements to completion before it returns; the
// statements are compiled once and kept, but none is left mid-step, and there
// are no explicit transactions. An operation that writes twice keeps its
// first write when the second fails and reports the failure. Reads are
// limited to the configured user: another user's record looks exactly like a
// missing one. Reads never write: the tables are made at start-up (or, when
// a lock kept start-up from it, by the first operation after), and a table
// missing after that is an error.
//
// Lists, counts and briefings are answered from a snapshot of what the store
// has read (StoreSnapshot), checked against the file on every operation; the
// answers are byte for byte those the file gives. A lock that another
// process holds costs an operation at most one busy time-out per statement
// it runs: the store's own checks never wait for it.
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
  // start-up goes on. Once the tables are there, names on standard error
  // any table made elsewhere that lacks columns the store uses, and makes
  // the store's index on the tasks when it can at once, quietly.
  void openAndMigrate();

  // --- Reads. Each appends its records to `out` as compact JSON text in
  // `form` (members in ascending byte order of their keys, "/" escaped,
  // ill-formed UTF-8 replaced by U+FFFD, a time JSON cannot carry written as
  // null).
  // Each throws MCPStoreError::sqlError when a statement cannot be prepared
  // or a step fails (leaving `out` unspecified); a failed step is never
  // taken for the end of the rows.

  // The user's agent records (eight keys: agent_id, name, template,
  // description, icon_symbol, enabled, created_at, task_count), oldest
  // first, as an array.
  void listAgents(std::string& out, jsontext::Form form = jsontext::Form::json);
  // The user's agent with this id; false, appending nothing, when there is none.
  bool getAgent(const std::string& agentId, std::string& out, jsontext::Form form = jsontext::Form::json);
  // The task records (thirteen keys) of the agent, if it is the user's, in
  // byte order of their names; otherwise the empty array.
  void listTasks(const std::string& agentId, std::string& out, jsontext::Form form = jsontext::Form::json);
  // The task with this id if its agent is the user's; false, appending
  // nothing, otherwise.
  bool getTask(const std::string& taskId, std::string& out, jsontext::Form form = jsontext::Form::json);

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

 private:
  struct AgentIdentity {
    std::string name;
    std::optional<std::string> description;
  };

  SQLiteConnection& connection();
  // Makes the tables when start-up could not, without waiting for a lock
  // (the operation's own statements wait). Once they were made or found in
  // this process, they are never made again.
  void ensureTables();
  // Makes this program's index on the tasks, when it can, quietly.
  void makeTasksIndex();
  // Whether the file has that index as this program makes it.
  bool tasksIndexed();
  // ensureTables(), and the snapshot's note of the file's version, at the
  // start of an operation that reads through the snapshot.
  void beginOperation();

  // The user's agent's name and description, without counting its tasks.
  std::optional<AgentIdentity> findAgent(const std::string& agentId);
  // The agent's tasks as its briefing lists them; none when they cannot be
  // read. Either the snapshot's list or `scratch` filled from the file.
  const AgentWorkspace::TaskList& briefingTasks(const std::string& agentId, AgentWorkspace::TaskList& scratch);

  void listAgentsFromFile(std::string& out, jsontext::Form form);
  void listTasksFromFile(const std::string& agentId, std::string& out, jsontext::Form form);
  void briefingTasksFromFile(const std::string& agentId, AgentWorkspace::TaskList& tasks);

  std::string dbPath_;
  std::string userId_;
  AgentWorkspace workspace_;
  // The connection outlives the snapshot, which reads through it.
  std::unique_ptr<SQLiteConnection> db_;
  std::unique_ptr<StoreSnapshot> snapshot_;
  bool tablesReady_ = false;
};
