#pragma once

#include "AgentWorkspace.h"
#include "StoreRecords.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class SQLiteConnection;
class Statement;

// What the store has read of the shared file, kept so that repeated reads
// cost what they return rather than a scan of the tasks table: the user's
// agents, how many tasks name each agent id, and for each of the user's
// agents its tasks (rowid and name, in name order) with the lines its
// briefing shows of them.
//
// What it stands for. One state of the file, named by the data version that
// SQLite gives this connection (PRAGMA data_version): it moves with every
// commit of another connection, a schema change included, and never with
// this connection's own. It is made only of a file whose tables are exactly
// as this program makes them (so columns compare and sort as it assumes)
// and whose text is UTF-8, and only where its order is certain: agents whose
// created_at tie, or an agent's tasks whose names tie or are not UTF-8 text,
// are left to SQLite's own sort.
//
// When it is made. On the second operation in a row that finds the file at
// the same version, so that a file that changes between every two
// operations never pays for a load. When a snapshot is outdated (or a load
// spoilt) before it served two operations, the file is changing faster than
// loads pay off: the next load waits for twice as many operations in a row
// at one version (up to 64), until a snapshot serves two again. A version
// whose contents it cannot stand
// for is not tried again until the file changes; a commit by another process
// during the load discards what was loaded. Its own reads never wait for
// another process's lock: one that meets it leaves the operation to read the
// file, which waits as any statement does.
//
// How writes keep it. Every write of the store goes through write(),
// insertAgent() or insertTask(). After each, the snapshot learns of the one
// row the statement changed, but only when that row is all the commit
// changed: no trigger, foreign-key action or other process changed anything
// else (the connection's change counters and the data version tell).
// Otherwise it is dropped, and the next operations read the file.
class StoreSnapshot {
 public:
  struct Task {
    int64_t rowid;
    const std::string* name;  // the bytes SQLite compares, held in Contents::names
  };
  struct Agent {
    std::string id;  // the bytes SQLite compares
    storerecords::AgentFields fields;
    std::vector<Task> tasks;  // by name
    bool tasksOrdered = true;
    // The briefing's list of `tasks`, in their order, while they are
    // ordered; none while there are no tasks (most agents that a server
    // makes have none, and every agent would carry an empty list's size).
    std::unique_ptr<AgentWorkspace::TaskList> briefing;
    // The record's text, written when the agent is first listed (held by
    // pointer: agents a server makes are rarely listed by it), in the form
    // last asked for: a client's results all travel in one.
    mutable std::unique_ptr<storerecords::AgentRecordText> record;

    void writeRecord(std::string& out, int32_t taskCount, jsontext::Form form) const;
  };
  struct Contents {
    std::vector<Agent> agents;  // oldest first
    bool agentsOrdered = true;

    const Agent* find(std::string_view id) const;
    // Task rows whose agent_id is `id`, whoever's agent that is.
    int32_t count(std::string_view id) const;

   private:
    friend class StoreSnapshot;
    Agent* find(std::string_view id);
    void addTask(Agent& agent, int64_t rowid, std::string name, std::string_view frequency,
                 const std::string& aiTools, std::string_view workingSubdir);

    struct TransparentHash {
      using is_transparent = void;
      size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, size_t, TransparentHash, std::equal_to<>> positions_;
    std::unordered_map<std::string, int32_t, TransparentHash, std::equal_to<>> counts_;
    std::deque<std::string> names_;  // of the agents' tasks; never moved
  };

  // Reads the user's records through `db`, which must outlive it.
  StoreSnapshot(SQLiteConnection& db, std::string userId);
  ~StoreSnapshot();
  StoreSnapshot(const StoreSnapshot&) = delete;
  StoreSnapshot& operator=(const StoreSnapshot&) = delete;

  // Notes the file's version at the start of an operation that reads
  // through the snapshot.
  void beginOperation();

  // The snapshot, when it stands for the file as it is now (made here when
  // the rules above allow); nothing when the operation must read the file.
  const Contents* current();

  // True when no other process has committed since the snapshot's state:
  // for an operation that read rows one by one where the snapshot pointed.
  // Drops the snapshot when one has.
  bool stillCurrent();

  // Forgets the snapshot: after a read that found the file other than the
  // snapshot says.
  void drop();

  // How many times the snapshot has read the tables whole, whether or not
  // the load was kept: what the snapshot has cost.
  int64_t loads() const { return loads_; }

  // The write path. Each runs a write of the store to completion (throwing
  // as Statement::run does, after dropping the snapshot, since the outcome
  // is not known) and keeps the snapshot by the rules above.
  //
  // A write to what the snapshot does not hold (a task's upstream list, its
  // next run, a run).
  void write(Statement& statement);
  // The insert of the user's agent `id` (as bound) with `fields`.
  void insertAgent(Statement& insert, const std::string& id, const storerecords::AgentFields& fields);
  // The insert of a task of `agentId`; the texts as bound.
  void insertTask(Statement& insert, const std::string& agentId, const std::string& name,
                  const std::string& frequency, const std::string& aiTools, const std::string& workingSubdir);

 private:
  enum class Load { made, unusable, failed };

  // Runs the write; true when the snapshot may learn of its one row.
  bool runWrite(Statement& statement);
  std::optional<int64_t> readVersion();
  Load load(std::unique_ptr<Contents>& contents);
  // Notes that the snapshot, or a load, was outdated by another process.
  void outdated();

  SQLiteConnection& db_;
  std::string userId_;
  std::unique_ptr<Contents> contents_;
  int64_t version_ = 0;  // of contents_
  // The version at which contents could not be made; not tried again until
  // the file changes.
  std::optional<int64_t> unusableVersion_;
  // The version the last operation began at, and whether this one began at
  // the same.
  std::optional<int64_t> lastOperationVersion_;
  int unchanged_ = 0;  // operations in a row that began at that version
  bool mayLoad_ = false;
  // How many operations in a row at one version a load waits for, and how
  // many the present snapshot has served.
  static constexpr int kFirstNeeded = 2, kMostNeeded = 64, kPaysOff = 2;
  int needed_ = kFirstNeeded;
  int served_ = 0;
  // The reading taken as this operation began, for its first look.
  std::optional<int64_t> operationVersion_;
  int64_t loads_ = 0;
};
