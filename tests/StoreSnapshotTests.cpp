#include "Harness.h"
#include "MCPAgentStore.h"
#include "SQLiteConnection.h"
#include "StoreSchema.h"
#include "StoreSnapshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <functional>

namespace fs = std::filesystem;

namespace {

constexpr char kInsertTask[] =
    "INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) VALUES (?, ?, ?, 'p', ?, ?);";

// The snapshot over its own connection to a file whose tables this program
// made, as the store's is; another connection stands for the scheduler.
class SnapshotTest : public ::testing::Test {
 protected:
  SnapshotTest() {
    MCPAgentStore(dbPath.string(), "u1", dir / "agents", dir / "none.md").openAndMigrate();
    sql.exec("INSERT INTO agents VALUES ('ag_1', 'u1', 'A', 'custom', NULL, NULL, 1, 1);"
             "INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) "
             "VALUES ('tk_1', 'ag_1', 'one', 'p', '[\"claude\"]', '@daily');");
    db = SQLiteConnection::open(dbPath.string());
    db->setBusyTimeout(5000);
    snapshot = std::make_unique<StoreSnapshot>(*db, "u1");
  }

  // One operation's first look: the snapshot, or nothing when it must read
  // the file.
  const StoreSnapshot::Contents* look() {
    snapshot->beginOperation();
    return snapshot->current();
  }
  // The snapshot's loaded state, after as many operations at an unchanged
  // version as it waits for.
  const StoreSnapshot::Contents& loaded() {
    for (int i = 0; i < 64; ++i) {
      if (const StoreSnapshot::Contents* contents = look()) return *contents;
    }
    throw std::runtime_error("the snapshot did not load");
  }
  void insertTask(const std::string& id, const std::string& name, const std::string& frequency) {
    Statement insert = db->statement(kInsertTask);
    insert.bindText(1, id);
    insert.bindText(2, "ag_1");
    insert.bindText(3, name);
    insert.bindText(4, "[\"codex\"]");
    insert.bindText(5, frequency);
    snapshot->insertTask(insert, "ag_1", name, frequency, "[\"codex\"]", "shared");
  }
  static std::string briefing(const StoreSnapshot::Contents& contents) {
    const StoreSnapshot::Agent* agent = contents.find("ag_1");
    return agent && agent->briefing ? std::string(agent->briefing->text()) : "(none)";
  }

  TempDir dir;
  fs::path dbPath = dir / "db.sqlite";
  Sql sql{dbPath};
  std::unique_ptr<SQLiteConnection> db;
  std::unique_ptr<StoreSnapshot> snapshot;
};

TEST_F(SnapshotTest, LoadsOnTheSecondOperationThatFindsTheFileUnchanged) {
  EXPECT_EQ(look(), nullptr);
  const StoreSnapshot::Contents* contents = look();
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(snapshot->loads(), 1);
  EXPECT_EQ(contents->count("ag_1"), 1);
  EXPECT_EQ(look(), contents);
  EXPECT_EQ(snapshot->loads(), 1);

  // Another process commits: the first operation after reads the file, the
  // second loads what the file holds now.
  sql.exec("UPDATE agents SET name = 'B'");
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(snapshot->loads(), 1);
  contents = look();
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(contents->find("ag_1")->fields.name, "B");
  EXPECT_EQ(snapshot->loads(), 2);

  // A file that changes between every two operations never pays for a load.
  for (int i = 0; i < 5; ++i) {
    sql.exec("UPDATE agents SET enabled = " + std::to_string(i % 2));
    EXPECT_EQ(look(), nullptr);
  }
  EXPECT_EQ(snapshot->loads(), 2);
}

TEST_F(SnapshotTest, AVersionItCannotStandForIsNotTriedAgainUntilTheFileChanges) {
  // A time stored as text sorts unlike a number: the snapshot cannot order it.
  sql.exec("INSERT INTO agents VALUES ('ag_2', 'u1', 'B', 'custom', NULL, NULL, 1, 'yesterday')");
  look();
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(snapshot->loads(), 1);
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(snapshot->loads(), 1);
  sql.exec("UPDATE agents SET created_at = 2 WHERE id = 'ag_2'");
  EXPECT_NE(&loaded(), nullptr);
  EXPECT_NE(look(), nullptr);
  EXPECT_EQ(snapshot->loads(), 2);

  // Tables made otherwise than this program makes them: their columns may
  // compare and sort otherwise.
  sql.exec("ALTER TABLE tasks ADD COLUMN note TEXT");
  look();
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(snapshot->loads(), 3);
}

// SQLite's own calls that read the file, replaced while a test runs: the
// armed action runs once, at the first read after arming.
class ReadInterposer {
 public:
  explicit ReadInterposer(std::function<void()> action) {
    action_ = std::move(action);
    vfs_ = sqlite3_vfs_find("unix");
    for (auto& call : calls_) call.original = vfs_->xGetSystemCall(vfs_, call.name);
    if (calls_[0].original) vfs_->xSetSystemCall(vfs_, "read", reinterpret_cast<sqlite3_syscall_ptr>(&read));
    if (calls_[1].original) vfs_->xSetSystemCall(vfs_, "pread", reinterpret_cast<sqlite3_syscall_ptr>(&pread));
    if (calls_[2].original) vfs_->xSetSystemCall(vfs_, "pread64", reinterpret_cast<sqlite3_syscall_ptr>(&pread64));
  }
  ~ReadInterposer() {
    for (const auto& call : calls_) vfs_->xSetSystemCall(vfs_, call.name, nullptr);
  }
  void arm() { armed_ = true; }
  bool fired() const { return fired_; }

 private:
  static void fire() {
    if (!armed_) return;
    armed_ = false;
    fired_ = true;
    action_();
  }
  static ssize_t read(int fd, void* buffer, size_t size) {
    fire();
    return reinterpret_cast<ssize_t (*)(int, void*, size_t)>(calls_[0].original)(fd, buffer, size);
  }
  static ssize_t pread(int fd, void* buffer, size_t size, off_t at) {
    fire();
    return reinterpret_cast<ssize_t (*)(int, void*, size_t, off_t)>(calls_[1].original)(fd, buffer, size, at);
  }
  static ssize_t pread64(int fd, void* buffer, size_t size, off_t at) {
    fire();
    return reinterpret_cast<ssize_t (*)(int, void*, size_t, off_t)>(calls_[2].original)(fd, buffer, size, at);
  }

  struct Call {
    const char* name;
    sqlite3_syscall_ptr original;
  };
  static inline Call calls_[3] = {{"read", nullptr}, {"pread", nullptr}, {"pread64", nullptr}};
  static inline std::function<void()> action_;
  static inline bool armed_ = false, fired_ = false;
  sqlite3_vfs* vfs_;
};

TEST_F(SnapshotTest, ACommitDuringTheLoadDiscardsIt) {
  // The first operation at this version reads nothing of the tables, so
  // the load that the second begins reads their pages from the file, and
  // another process commits as it does.
  ReadInterposer interposer([&] { sql.exec("UPDATE agents SET name = 'C'"); });
  look();
  snapshot->beginOperation();
  interposer.arm();
  EXPECT_EQ(snapshot->current(), nullptr);
  ASSERT_TRUE(interposer.fired());
  EXPECT_EQ(snapshot->loads(), 1);
  // A spoilt load: the next waits for four operations at one version.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(look(), nullptr);
  const StoreSnapshot::Contents* contents = look();
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(contents->find("ag_1")->fields.name, "C");
  EXPECT_EQ(snapshot->loads(), 2);
}

TEST_F(SnapshotTest, LoadsThatDoNotPayOffWaitForALongerCalm) {
  // Another process commits right after each load: each snapshot serves only
  // the operation that made it, and each next load waits twice as long.
  int operations = 0;
  for (const int calm : {2, 4, 8, 16}) {
    for (int i = 1; i < calm; ++i, ++operations) EXPECT_EQ(look(), nullptr) << "calm " << calm << ", operation " << i;
    EXPECT_NE(look(), nullptr) << "calm " << calm;
    ++operations;
    sql.exec("UPDATE agents SET enabled = 1 - enabled");
  }
  EXPECT_EQ(snapshot->loads(), 4);
  // A snapshot that serves two operations resets the wait.
  for (int i = 1; i < 32; ++i) EXPECT_EQ(look(), nullptr);
  EXPECT_NE(look(), nullptr);
  EXPECT_NE(look(), nullptr);
  sql.exec("UPDATE agents SET enabled = 1 - enabled");
  EXPECT_EQ(look(), nullptr);
  EXPECT_NE(look(), nullptr);
  EXPECT_EQ(snapshot->loads(), 6);
}

TEST_F(SnapshotTest, OwnWritesKeepItOnlyWhenTheFileHoldsExactlyWhatTheyMade) {
  const StoreSnapshot::Contents* contents = &loaded();
  insertTask("tk_2", "two", "@hourly");
  EXPECT_EQ(look(), contents) << "a plain insert keeps the snapshot";
  EXPECT_EQ(contents->count("ag_1"), 2);
  EXPECT_EQ(briefing(*contents), "- **one** \u2014 @daily (claude)\n- **two** \u2014 @hourly (codex)");
  EXPECT_EQ(snapshot->loads(), 1);

  // A trigger that rewrites what was sent: dropped, and loaded again from
  // what the file holds.
  sql.exec("CREATE TRIGGER canon AFTER INSERT ON tasks WHEN new.frequency = '@daily' BEGIN "
           "UPDATE tasks SET frequency = '0 0 * * *' WHERE rowid = new.rowid; END;");
  contents = &loaded();
  insertTask("tk_3", "three", "@daily");
  contents = look();
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(snapshot->loads(), 3);
  EXPECT_EQ(briefing(*contents), "- **one** \u2014 @daily (claude)\n- **three** \u2014 0 0 * * * (codex)\n"
                                 "- **two** \u2014 @hourly (codex)");

  // A trigger that keeps the row out: nothing changed, nothing to learn.
  sql.exec("CREATE TRIGGER keepout BEFORE INSERT ON tasks WHEN new.name = 'four' BEGIN SELECT RAISE(IGNORE); END;");
  contents = &loaded();
  const int64_t loads = snapshot->loads();
  insertTask("tk_4", "four", "@weekly");
  EXPECT_EQ(look(), contents);
  EXPECT_EQ(snapshot->loads(), loads);
  EXPECT_EQ(contents->count("ag_1"), 3);

  // A write whose commit comes after another process's: that commit may
  // have changed anything.
  Sql other(dbPath);
  other.exec("UPDATE tasks SET name = 'uno' WHERE id = 'tk_1'");
  insertTask("tk_5", "five", "@weekly");
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(briefing(loaded()), "- **five** \u2014 @weekly (codex)\n- **three** \u2014 0 0 * * * (codex)\n"
                                "- **two** \u2014 @hourly (codex)\n- **uno** \u2014 @daily (claude)");
}

// A record's text is kept in the form it was last asked for: asked for in
// the other form, it is written again, never handed up in the wrong one.
TEST_F(SnapshotTest, RecordTextIsHandedUpInTheFormAskedFor) {
  sql.exec("UPDATE agents SET name = 'say \"hi\" / bye'");
  const StoreSnapshot::Agent* agent = loaded().find("ag_1");
  ASSERT_NE(agent, nullptr);
  std::string json, inString, jsonAgain;
  agent->writeRecord(json, 3, jsontext::Form::json);
  agent->writeRecord(inString, 3, jsontext::Form::inString);
  agent->writeRecord(jsonAgain, 3, jsontext::Form::json);
  EXPECT_EQ(nlohmann::json::parse(json).value("name", ""), "say \"hi\" / bye") << json;
  EXPECT_EQ(nlohmann::json::parse("\"" + inString + "\"").get<std::string>(), json) << inString;
  EXPECT_EQ(jsonAgain, json);
}

TEST_F(SnapshotTest, ItsChecksNeverWaitForAnotherProcesssLock) {
  // A lock that blocks readers as well: a file not in WAL mode (another
  // process made it so, or held a lock when the server started), locked
  // exclusively by another process.
  const fs::path path = dir / "rollback.sqlite";
  Sql other(path);
  ASSERT_EQ(other("PRAGMA journal_mode"), std::vector<std::string>{"delete"});
  for (const char* create : storeschema::kCreateTables) other.exec(create);
  db = SQLiteConnection::open(path.string());
  db->setBusyTimeout(5000);
  snapshot = std::make_unique<StoreSnapshot>(*db, "u1");
  other.exec("BEGIN EXCLUSIVE; INSERT INTO agents VALUES ('ag_1', 'u1', 'A', 'custom', NULL, NULL, 1, 1);");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(look(), nullptr);
  EXPECT_EQ(look(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4))
      << "the checks waited out the busy time-out";
  other.exec("COMMIT");
  EXPECT_EQ(loaded().find("ag_1")->fields.name, "A");
}

}  // namespace
