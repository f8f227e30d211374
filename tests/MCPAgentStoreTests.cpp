#include "Harness.h"
#include "MCPAgentStore.h"
#include "ShortID.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sys/resource.h>

namespace fs = std::filesystem;
using V = std::vector<std::string>;

namespace {

// What an operation threw: the store's description, or "file error: " and the text of any other exception.
template <class F>
std::string failure(F&& operation) {
  try {
    operation();
  } catch (const MCPStoreError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("file error: ") + e.what();
  }
  return "no error";
}
bool isFileError(const std::string& failed) { return failed.rfind("file error: ", 0) == 0; }

V tree(const fs::path& top) {
  V entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    entries.push_back(fs::relative(it->path(), top).string() + (it->is_directory() ? "/" : ""));
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string briefing(const std::string& name, const std::string& description, const std::string& tasks) {
  return "# " + name + "\n\nYou are the AI executing a scheduled task for the **" + name +
         "** in Kovix.\n\n## Agent description\n" + description + "\n\n## Other tasks under this Agent\n" + tasks;
}

const std::string kTaskColumns = "id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min, "
                                 "working_subdir, enabled, next_run_at, last_run_at";

class StoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<MCPAgentStore> open(const std::string& user, const fs::path& db = {}, const fs::path& agents = {}) {
    auto s = std::make_unique<MCPAgentStore>((db.empty() ? dbPath : db).string(), user,
                                             agents.empty() ? root : agents, templatePath);
    s->openAndMigrate();
    return s;
  }
  void task(const std::string& id, const std::string& agent, const std::string& name, const V& tools = {"claude"},
            const std::string& subdir = "shared", const std::string& frequency = "0 9 * * *") {
    store->createTask(id, agent, name, "p", tools, frequency, "local", 30, subdir);
  }
  std::string claude(const std::string& agent) { return readFile(root / agent / "CLAUDE.md"); }

  TempDir dir;
  fs::path dbPath = dir / "db.sqlite", root = dir / "agents", templatePath = dir / "template.md";
  std::unique_ptr<MCPAgentStore> store = open("u1");
  Sql sql{dbPath};
};

TEST_F(StoreTest, SchemaWALModeReopenOpenFailureAndOldLayout) {
  const std::string columns =
      "SELECT group_concat(name || ' ' || type || ' ' || \"notnull\" || ' ' || ifnull(dflt_value, '-') || ' ' || pk, "
      "', ') FROM pragma_table_info(?)";
  EXPECT_EQ(sql(columns, {"agents"}),
            V{"id TEXT 0 - 1, user_id TEXT 1 '' 0, name TEXT 1 - 0, template TEXT 1 'custom' 0, description TEXT 0 - 0, "
              "icon_symbol TEXT 0 - 0, enabled INTEGER 1 1 0, created_at REAL 1 - 0"});
  EXPECT_EQ(sql(columns, {"tasks"}),
            V{"id TEXT 0 - 1, agent_id TEXT 1 - 0, name TEXT 1 - 0, prompt TEXT 1 - 0, ai_tools TEXT 1 - 0, frequency "
              "TEXT 1 - 0, host_id TEXT 1 'local' 0, depends_on TEXT 1 '[]' 0, timeout_min INTEGER 1 30 0, "
              "working_subdir TEXT 1 'shared' 0, enabled INTEGER 1 1 0, next_run_at REAL 0 - 0, last_run_at REAL 0 - 0"});
  EXPECT_EQ(sql(columns, {"runs"}),
            V{"id TEXT 0 - 1, task_id TEXT 1 - 0, started_at REAL 1 - 0, finished_at REAL 0 - 0, status TEXT 1 - 0, "
              "ai_used TEXT 1 - 0, triggered_by TEXT 1 - 0, output_path TEXT 0 - 0, log_path TEXT 0 - 0, exit_code "
              "INTEGER 0 - 0, tokens_in INTEGER 0 - 0, tokens_out INTEGER 0 - 0"});
  EXPECT_EQ(sql("SELECT type, name FROM sqlite_master WHERE sql IS NOT NULL ORDER BY name"),
            (V{"table|agents", "table|runs", "table|tasks"}));
  EXPECT_EQ(sql("PRAGMA journal_mode"), V{"wal"});

  sql.exec("INSERT INTO agents VALUES ('ag_k', 'u1', 'Kept', 'custom', NULL, NULL, 1, 1.5)");
  testing::internal::CaptureStderr();
  auto again = open("u1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(listAgents(*again).size(), 1u);

  const std::string missing = (dir / "no-such-dir" / "db.sqlite").string();
  MCPAgentStore unopenable(missing, "u1", root, templatePath);
  EXPECT_EQ(failure([&] { unopenable.openAndMigrate(); }), "Failed to open SQLite at " + missing);

  // An agents table from before user_id existed is left alone, and every read says why it fails.
  const fs::path oldPath = dir / "old.sqlite";
  Sql(oldPath).exec("CREATE TABLE agents (id TEXT PRIMARY KEY, name TEXT NOT NULL, template TEXT NOT NULL DEFAULT "
                    "'custom', description TEXT, icon_symbol TEXT, enabled INTEGER NOT NULL DEFAULT 1, created_at "
                    "REAL NOT NULL);");
  testing::internal::CaptureStderr();
  auto old = open("u1", oldPath);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const std::regex noUserId("SQLite error: no such column: (a\\.)?user_id");
  for (const auto& read : {failure([&] { listAgents(*old); }), failure([&] { getAgent(*old, "a"); }),
                           failure([&] { listTasks(*old, "a"); }), failure([&] { getTask(*old, "t"); })})
    EXPECT_TRUE(std::regex_match(read, noUserId)) << read;
  EXPECT_EQ(Sql(oldPath)("SELECT count(*) FROM pragma_table_info('agents')"), V{"7"});
}

TEST_F(StoreTest, ReadsBuildExactRecordsForTheUserOnly) {
  sql.exec(R"(INSERT INTO agents VALUES ('ag_b', 'u1', 'Bee', 'cmo', NULL, NULL, 2, 200.25);
    INSERT INTO agents VALUES ('ag_a', 'u1', 'Ay', 'custom', '', 'star', 0, 100.5);
    INSERT INTO agents VALUES ('ag_o', 'u2', 'Other', 'custom', 'd', NULL, 1, 50);
    INSERT INTO tasks VALUES ('t1', 'ag_a', 'beta', 'p1', '["codex","claude","codex"]', 'f1', 'h1', '["t2"]', 7, 'w1', 2, NULL, 12.5);
    INSERT INTO tasks VALUES ('t2', 'ag_a', 'Alpha', 'p2', 'not json', 'f2', 'h2', '{"a":["x"]}', -3, 'w2', 0, 3.25, NULL);
    INSERT INTO tasks VALUES ('t3', 'ag_a', 'alpha', 'p3', '["x",1]', 'f3', 'h3', '"t1"', 0, 'w3', 1, NULL, NULL);
    INSERT INTO tasks VALUES ('t4', 'ag_o', 'other', 'p4', '[["x"]]', 'f4', 'h4', '[null]', 1, 'w4', 1, NULL, NULL);
    INSERT INTO tasks VALUES ('t5', 'ag_later', 'orphan', 'p5', '[]', 'f5', 'h5', '[]', 1, 'w5', 1, NULL, NULL);)");
  const std::string ay =
      R"({"agent_id":"ag_a","created_at":100.5,"description":"","enabled":false,"icon_symbol":"star","name":"Ay","task_count":3,"template":"custom"})";
  const std::string bee =
      R"({"agent_id":"ag_b","created_at":200.25,"description":null,"enabled":true,"icon_symbol":null,"name":"Bee","task_count":0,"template":"cmo"})";
  EXPECT_EQ(listAgents(*store).dump(), "[" + ay + "," + bee + "]");
  EXPECT_EQ(getAgent(*store, "ag_a")->dump(), ay);
  const std::string t1 =
      R"({"agent_id":"ag_a","ai_tools":["codex","claude","codex"],"depends_on":["t2"],"enabled":true,"frequency":"f1","host_id":"h1","last_run_at":12.5,"name":"beta","next_run_at":null,"prompt":"p1","task_id":"t1","timeout_min":7,"working_subdir":"w1"})";
  const std::string t2 =
      R"({"agent_id":"ag_a","ai_tools":[],"depends_on":[],"enabled":false,"frequency":"f2","host_id":"h2","last_run_at":null,"name":"Alpha","next_run_at":3.25,"prompt":"p2","task_id":"t2","timeout_min":-3,"working_subdir":"w2"})";
  const std::string t3 =
      R"({"agent_id":"ag_a","ai_tools":[],"depends_on":[],"enabled":true,"frequency":"f3","host_id":"h3","last_run_at":null,"name":"alpha","next_run_at":null,"prompt":"p3","task_id":"t3","timeout_min":0,"working_subdir":"w3"})";
  EXPECT_EQ(listTasks(*store, "ag_a").dump(), "[" + t2 + "," + t3 + "," + t1 + "]");
  EXPECT_EQ(getTask(*store, "t1")->dump(), t1);
  // Another user's records, unknown ids and orphan tasks are invisible.
  EXPECT_FALSE(getAgent(*store, "ag_o"));
  EXPECT_EQ(listTasks(*store, "ag_o").dump(), "[]");
  EXPECT_FALSE(getTask(*store, "t4"));
  EXPECT_FALSE(getTask(*store, "t5"));
  EXPECT_EQ(listTasks(*store, "ag_later").dump(), "[]");
  EXPECT_EQ(listTasks(*store, "ag_b").dump(), "[]");
  auto other = open("u2");
  EXPECT_EQ(listAgents(*other).size(), 1u);
  EXPECT_EQ((*getTask(*other, "t4"))["ai_tools"].dump(), "[]");
  EXPECT_EQ(listAgents(*open("nobody")).dump(), "[]");
  // The orphan counts once its agent appears.
  sql.exec("INSERT INTO agents VALUES ('ag_later', 'u1', 'Late', 'custom', NULL, NULL, 1, 300)");
  EXPECT_EQ((*getAgent(*store, "ag_later"))["task_count"].dump(), "1");
  EXPECT_EQ(listAgents(*store)[2]["task_count"].dump(), "1");
}

TEST_F(StoreTest, FailedStepIsAnErrorNotTheEndOfRows) {
  store->createAgent("ag_a", "A", "custom", std::nullopt, std::nullopt);
  task("t1", "ag_a", "one");
  store.reset();
  sql.exec("PRAGMA wal_checkpoint(TRUNCATE)");
  // Break the tasks table's root page: statements still compile from the intact schema, their steps fail.
  const long page = std::stol(sql("SELECT rootpage FROM sqlite_master WHERE name = 'tasks'")[0]);
  const long pageSize = std::stol(sql("PRAGMA page_size")[0]);
  {
    std::fstream file(dbPath, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((page - 1) * pageSize);
    file.write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
  }
  store = open("u1");
  const std::string malformed = "SQLite error: database disk image is malformed";
  EXPECT_EQ(failure([&] { listAgents(*store); }), malformed);
  EXPECT_EQ(failure([&] { getAgent(*store, "ag_a"); }), malformed);
  EXPECT_EQ(failure([&] { listTasks(*store, "ag_a"); }), malformed);
  EXPECT_EQ(failure([&] { getTask(*store, "t1"); }), malformed);
  EXPECT_EQ(failure([&] { store->setDependsOn("t1", {}); }), malformed);
  EXPECT_EQ(failure([&] { store->queueManualRun("t1"); }), malformed);
  EXPECT_EQ(failure([&] { task("t2", "ag_a", "two"); }), malformed);
  // The briefing tolerates an unreadable task list.
  store->createAgent("ag_b", "B", "custom", std::nullopt, std::nullopt);
  EXPECT_EQ(claude("ag_b"), briefing("B", "(no description)", "- (no other tasks yet)"));
  EXPECT_EQ(sql("SELECT count(*) FROM runs"), V{"0"});
}

TEST_F(StoreTest, LockHeldPastTheBusyTimeoutIsAnError) {
  {
    // Every connection to a WAL file keeps a shared lock, so another process can block our writes, not our reads.
    Sql holder(dbPath);
    holder.exec("BEGIN IMMEDIATE; INSERT INTO runs (id, task_id, started_at, status, ai_used, triggered_by) VALUES "
                "('r', 't', 1, 's', 'a', 'm');");
    EXPECT_EQ(failure([&] { store->createAgent("ag_1", "A", "custom", {}, {}); }), "SQLite error: database is locked");
  }
  EXPECT_EQ(sql("SELECT count(*) FROM agents"), V{"0"});
  EXPECT_FALSE(fs::exists(root));
  store->createAgent("ag_1", "A", "custom", {}, {});
  EXPECT_TRUE(getAgent(*store, "ag_1"));
}

// Lists written the way this program writes them are read without the JSON
// parser; text that only nearly looks like one must still read as the parser
// reads it.
TEST_F(StoreTest, ListColumnsReadAsJSONWhateverTheirForm) {
  store->createAgent("ag_l", "L", "custom", std::nullopt, std::nullopt);
  const V texts = {"[]", "[\"a\"]", "[\"a\",\"b c\"]", "[\"\"]", "[ ]", "[\"a\" ]", "[\"a\",]", "[,\"a\"]",
                   "[\"a\"\"b\"]", "[\"a\"", "\"a\"]", "[\"]", "[\"a\",\"b\"]x", "[\"\\u0041\\/\"]", "[\"a\\\"\"]",
                   "[\"\xc3\xa9\"]", "[\"a\tb\"]", "[\"x\",1]", "[\"a]\",\"[b\"]", "[\"a\",\"b\"],[\"c\"]", ""};
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string id = "tk_l" + std::to_string(i);
    sql("INSERT INTO tasks VALUES (?, 'ag_l', ?, 'p', ?, 'f', 'h', ?, 1, 'w', 1, NULL, NULL)",
        {id, "n" + std::to_string(100 + i), texts[i], texts[i]});
    nlohmann::json expected = nlohmann::json::parse(texts[i], nullptr, false);
    const bool strings = expected.is_array() && std::all_of(expected.begin(), expected.end(),
                                                            [](const nlohmann::json& e) { return e.is_string(); });
    if (!strings) expected = nlohmann::json::array();
    const auto task = *getTask(*store, id);
    EXPECT_EQ(task["ai_tools"], expected) << texts[i];
    EXPECT_EQ(task["depends_on"], expected) << texts[i];
  }
}

TEST_F(StoreTest, TextIsKeptWholeAndReadSafely) {
  const std::string nul("N\0L", 3);
  store->createAgent("ag_n", nul, nul, nul, nul);
  store->createTask("tk_n", "ag_n", nul, nul, {nul}, nul, nul, 5, nul);
  EXPECT_EQ(sql("SELECT length(CAST(name AS BLOB)), length(CAST(description AS BLOB)) FROM agents"), V{"3|3"});
  EXPECT_EQ(sql("SELECT length(CAST(prompt AS BLOB)), ai_tools FROM tasks"), V{"3|[\"N\\u0000L\"]"});
  const auto agent = *getAgent(*store, "ag_n");
  for (const char* key : {"name", "template", "description", "icon_symbol"}) EXPECT_EQ(agent[key], nul) << key;
  const auto task = *getTask(*store, "tk_n");
  for (const char* key : {"name", "prompt", "frequency", "host_id", "working_subdir"}) EXPECT_EQ(task[key], nul) << key;
  EXPECT_EQ(task["ai_tools"], nlohmann::json::array({nul}));
  EXPECT_EQ(claude("ag_n"), briefing(nul, nul, "- **" + nul + "** \u2014 " + nul + " (" + nul + ")"));

  sql("INSERT INTO agents VALUES ('ag_x', 'u1', ?, 'custom', ?, NULL, 1, 9)", {"bad\xff\xfe", "\xe2\x82("});
  sql("INSERT INTO tasks VALUES ('tk_x', 'ag_x', 'n', ?, ?, 'f', 'h', '[]', 1, 'w', 1, NULL, NULL)",
      {"\xc0\xaf", "[\"\xff\"]"});
  EXPECT_EQ((*getAgent(*store, "ag_x"))["name"], "bad\uFFFD\uFFFD");
  EXPECT_EQ((*getAgent(*store, "ag_x"))["description"], "\uFFFD(");
  EXPECT_EQ((*getTask(*store, "tk_x"))["prompt"], "\uFFFD\uFFFD");
  EXPECT_EQ((*getTask(*store, "tk_x"))["ai_tools"], nlohmann::json::array({"\uFFFD"}));

  // Only another process can put NULL into the NOT NULL columns: one that made looser tables first.
  const fs::path loosePath = dir / "loose.sqlite";
  Sql(loosePath).exec(
      "CREATE TABLE agents (id TEXT PRIMARY KEY, user_id TEXT, name TEXT, template TEXT, description TEXT, "
      "icon_symbol TEXT, enabled INTEGER, created_at REAL); CREATE TABLE tasks (id TEXT PRIMARY KEY, agent_id TEXT, "
      "name TEXT, prompt TEXT, ai_tools TEXT, frequency TEXT, host_id TEXT, depends_on TEXT, timeout_min INTEGER, "
      "working_subdir TEXT, enabled INTEGER, next_run_at REAL, last_run_at REAL); INSERT INTO agents (id, user_id) "
      "VALUES ('ag_0', 'u1'); INSERT INTO tasks (id, agent_id) VALUES ('tk_0', 'ag_0');");
  auto loose = open("u1", loosePath);
  std::string agents, tasks;
  loose->listAgents(agents);
  loose->listTasks("ag_0", tasks);
  EXPECT_EQ(agents,
            R"([{"agent_id":"ag_0","created_at":0,"description":null,"enabled":false,"icon_symbol":null,"name":"","task_count":1,"template":""}])");
  EXPECT_EQ(tasks,
            R"([{"agent_id":"ag_0","ai_tools":[],"depends_on":[],"enabled":false,"frequency":"","host_id":"","last_run_at":null,"name":"","next_run_at":null,"prompt":"","task_id":"tk_0","timeout_min":0,"working_subdir":""}])");
  const std::string run = loose->queueManualRun("tk_0");
  EXPECT_EQ(Sql(loosePath)("SELECT ai_used FROM runs WHERE id = ?", {run}), V{"claude"});
}

TEST_F(StoreTest, CreateWritesExactRowsAndWorkspace) {
  store->createAgent("ag_1", "Growth", "cmo", std::nullopt, "megaphone.fill");
  store->createAgent("ag_2", "Ops", "not-a-family", "", std::nullopt);
  store->createTask("tk_1", "ag_1", "beta", "Do it", {"codex", "claude"}, "0 * * * *", "h1", -5, "out");
  const std::string now = "(julianday('now') - 2440587.5) * 86400.0";
  EXPECT_EQ(sql("SELECT id, user_id, name, template, quote(description), quote(icon_symbol), enabled, typeof(enabled), "
                "typeof(created_at), created_at <> floor(created_at), abs(created_at - " + now +
                ") < 60 FROM agents ORDER BY id"),
            (V{"ag_1|u1|Growth|cmo|NULL|'megaphone.fill'|1|integer|real|1|1",
               "ag_2|u1|Ops|not-a-family|''|NULL|1|integer|real|1|1"}));
  EXPECT_EQ(sql("SELECT " + kTaskColumns + ", typeof(timeout_min) FROM tasks"),
            V{"tk_1|ag_1|beta|Do it|[\"codex\",\"claude\"]|0 * * * *|h1|[]|-5|out|1|NULL|NULL|integer"});
  // Every file is in place and no temporary file is left by the replacements.
  EXPECT_EQ(tree(root), (V{"ag_1/", "ag_1/CLAUDE.md", "ag_1/inputs/", "ag_1/logs/", "ag_1/outputs/", "ag_1/shared/",
                           "ag_2/", "ag_2/CLAUDE.md", "ag_2/inputs/", "ag_2/logs/", "ag_2/outputs/", "ag_2/shared/"}));
  EXPECT_EQ(claude("ag_1"), briefing("Growth", "(no description)", "- **beta** \u2014 0 * * * * (codex, claude)"));
  EXPECT_EQ(claude("ag_2"), briefing("Ops", "", "- (no other tasks yet)"));

  sql.exec("INSERT INTO agents VALUES ('ag_u2', 'u2', 'Theirs', 'custom', NULL, NULL, 1, 1)");
  EXPECT_EQ(failure([&] { task("tk_2", "ag_x", "n"); }), "Not found: agent ag_x");
  EXPECT_EQ(failure([&] { task("tk_2", "ag_u2", "n"); }), "Not found: agent ag_u2");
  EXPECT_EQ(failure([&] { task("tk_1", "ag_1", "clash"); }), "SQLite error: UNIQUE constraint failed: tasks.id");
  EXPECT_EQ(failure([&] { store->createAgent("ag_1", "Clash", "custom", {}, {}); }),
            "SQLite error: UNIQUE constraint failed: agents.id");
  EXPECT_EQ(sql("SELECT count(*) FROM tasks"), V{"1"});
  EXPECT_FALSE(fs::exists(root / "ag_u2"));

  // A write that fails after the insert keeps the row and reports the failure.
  writeFile(dir / "plain", "x");
  auto blocked = open("u1", {}, dir / "plain");
  const auto failed = failure([&] { blocked->createAgent("ag_3", "Blocked", "custom", {}, {}); });
  EXPECT_TRUE(isFileError(failed) && failed.find((dir / "plain").string()) != std::string::npos) << failed;
  EXPECT_TRUE(getAgent(*store, "ag_3"));
  EXPECT_EQ(readFile(dir / "plain"), "x");
  fs::remove(root / "ag_2" / "CLAUDE.md");
  fs::create_directories(root / "ag_2" / "CLAUDE.md" / "in-the-way");
  EXPECT_TRUE(isFileError(failure([&] { task("tk_3", "ag_2", "kept"); })));
  EXPECT_TRUE(getTask(*store, "tk_3"));
  EXPECT_EQ(tree(root / "ag_2"), (V{"CLAUDE.md/", "CLAUDE.md/in-the-way/", "inputs/", "logs/", "outputs/", "shared/"}));
}

TEST_F(StoreTest, BriefingIsRenderedFromTheTemplateByteForByte) {
  store->createAgent("ag_r", "R", "custom", std::nullopt, std::nullopt);
  store->createAgent("ag_e", "E", "custom", std::nullopt, std::nullopt);
  task("tk_b", "ag_r", "beta", {"codex", "claude"}, "b-dir", "0 * * * *");
  task("tk_a", "ag_r", "Alpha", {}, "a-dir", "@hourly");
  const std::string list = "- **Alpha** \u2014 @hourly ()\n- **beta** \u2014 0 * * * * (codex, claude)";
  struct Case {
    std::optional<std::string> templateText;
    std::string agent, name;
    std::optional<std::string> description;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "ag_r", "Growth", std::nullopt, briefing("Growth", "(no description)", list)},
      {"\xff{{AGENT_NAME}}", "ag_r", "G", "d", briefing("G", "d", list)},
      {"", "ag_r", "G", "d", ""},
      {"{{WORKING_SUBDIR}}|{{AGENT_NAME}}|{{AGENT_DESCRIPTION}}|{{TASK_LIST}}|{{agent_name}}|{{OTHER}}", "ag_r",
       "N{{TASK_LIST}}{{AGENT_DESCRIPTION}}", "D{{AGENT_NAME}}{{WORKING_SUBDIR}}",
       "a-dir|N" + list + "D{{AGENT_NAME}}a-dir|D{{AGENT_NAME}}a-dir|" + list + "|{{agent_name}}|{{OTHER}}"},
      {"{{AGENT_DESCRIPTION}}/{{WORKING_SUBDIR}}/{{TASK_LIST}}", "ag_e", "E", "", "/shared/- (no other tasks yet)"},
  };
  for (const auto& c : cases) {
    if (c.templateText) writeFile(templatePath, *c.templateText);
    else fs::remove(templatePath);
    store->regenerateAgentCLAUDE(c.agent, c.name, c.description);
    EXPECT_EQ(claude(c.agent), c.expected) << c.name;
  }
  // A template path that is not a regular file (here a pipe nobody writes
  // to) is unreadable: the built-in template, and no wait for input.
  fs::remove(templatePath);
  ASSERT_EQ(mkfifo(templatePath.c_str(), 0600), 0);
  store->regenerateAgentCLAUDE("ag_e", "E", {});
  EXPECT_EQ(claude("ag_e"), briefing("E", "(no description)", "- (no other tasks yet)"));
  fs::remove(templatePath);

  // Rendering makes a missing agent directory and its sub-directories.
  store->regenerateAgentCLAUDE("ag_dirless", "D", {});
  EXPECT_EQ(tree(root / "ag_dirless"), (V{"CLAUDE.md", "inputs/", "logs/", "outputs/", "shared/"}));

  // A write that fails midway leaves the earlier file and no temporary file.
  const std::string before = claude("ag_e");
  fs::remove(templatePath);
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small{4096, old.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  const auto failed = failure([&] { store->regenerateAgentCLAUDE("ag_e", std::string(100000, 'x'), {}); });
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(isFileError(failed)) << failed;
  EXPECT_EQ(claude("ag_e"), before);
  EXPECT_EQ(tree(root / "ag_e"), (V{"CLAUDE.md", "inputs/", "logs/", "outputs/", "shared/"}));
}

TEST_F(StoreTest, UnsafeAgentIdsNeverBecomePaths) {
  int n = 0;
  for (const std::string& id : V{"../x", "..", ".", "", "a/b", "/abs", std::string("x\0y", 3)}) {
    sql("INSERT INTO agents VALUES (?, 'u1', 'Evil', 'custom', NULL, NULL, 1, 1)", {id});
    EXPECT_TRUE(isFileError(failure([&] { store->regenerateAgentCLAUDE(id, "Evil", {}); }))) << id;
    const std::string taskId = "tk_" + std::to_string(n++);
    EXPECT_TRUE(isFileError(failure([&] { task(taskId, id, "kept"); }))) << id;
    EXPECT_TRUE(getTask(*store, taskId)) << id;
  }
  EXPECT_TRUE(isFileError(failure([&] { store->createAgent("../y", "Evil", "custom", {}, {}); })));
  EXPECT_TRUE(getAgent(*store, "../y"));
  EXPECT_FALSE(fs::exists(root));
  EXPECT_FALSE(fs::exists("/abs"));
  EXPECT_EQ(tree(dir.path()), (V{"db.sqlite", "db.sqlite-shm", "db.sqlite-wal"}));
}

// Another process's triggers change what the store's own writes make. The
// running store, which had its snapshot loaded before the write, answers
// what the file holds, byte for byte as a store opened afresh does, and the
// briefing it renders lists the tasks the file holds, in name order.
TEST(StoreTriggers, OwnWritesAnswerWhatTheFileHoldsWhateverTriggersDid) {
  struct Case {
    const char* trigger;
    std::function<void(MCPAgentStore&)> write;
    const char* rendered;  // the agent whose briefing the write renders
  };
  const auto newAgent = [](MCPAgentStore& s) { s.createAgent("ag_new", "New", "custom", std::nullopt, std::nullopt); };
  const auto newTask = [](const char* name, const char* frequency) {
    return [=](MCPAgentStore& s) { s.createTask("tk_new", "ag_1", name, "p", {"codex"}, frequency, "local", 5, "w"); };
  };
  const Case cases[] = {
      {"AFTER INSERT ON agents WHEN new.icon_symbol IS NULL BEGIN "
       "UPDATE agents SET icon_symbol = 'person.fill' WHERE id = new.id; END",
       newAgent, "ag_new"},
      {"AFTER INSERT ON agents BEGIN INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) "
       "VALUES (new.id || '_starter', new.id, 'starter', 'p', '[\"claude\"]', '@daily'); END",
       newAgent, "ag_new"},
      {"BEFORE INSERT ON tasks WHEN new.name = 'ignored' BEGIN SELECT RAISE(IGNORE); END", newTask("ignored", "@daily"),
       "ag_1"},
      {"AFTER INSERT ON tasks WHEN new.frequency = '@daily' BEGIN "
       "UPDATE tasks SET frequency = '0 0 * * *' WHERE rowid = new.rowid; END",
       newTask("gamma", "@daily"), "ag_1"},
      {"AFTER INSERT ON tasks BEGIN DELETE FROM tasks WHERE agent_id = new.agent_id AND name = 'sibling'; END",
       newTask("gamma", "@daily"), "ag_1"},
      {"AFTER INSERT ON runs BEGIN UPDATE tasks SET name = 'renamed' WHERE id = new.task_id; END",
       [](MCPAgentStore& s) { s.queueManualRun("tk_a"); }, nullptr},
      {"AFTER UPDATE OF depends_on ON tasks BEGIN UPDATE agents SET name = 'Touched', created_at = 0; END",
       [](MCPAgentStore& s) { s.setDependsOn("tk_a", {"tk_s"}); }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trigger);
    TempDir dir;
    const fs::path db = dir / "db.sqlite", root = dir / "agents", none = dir / "none.md";
    MCPAgentStore store(db.string(), "u1", root, none);
    store.openAndMigrate();
    store.createAgent("ag_1", "One", "custom", "d", std::nullopt);
    store.createTask("tk_s", "ag_1", "sibling", "p", {"claude"}, "@hourly", "local", 30, "shared");
    store.createTask("tk_a", "ag_1", "alpha", "p", {"claude", "codex"}, "@weekly", "local", 30, "shared");
    Sql sql(db);
    sql.exec("CREATE TRIGGER other " + std::string(c.trigger));
    // Two operations at the file's new version: the snapshot is loaded.
    for (int i = 0; i < 2; ++i) {
      std::string ignored;
      store.listAgents(ignored);
      store.listTasks("ag_1", ignored);
    }
    c.write(store);

    MCPAgentStore fresh(db.string(), "u1", root, none);
    fresh.openAndMigrate();
    const auto answers = [&](MCPAgentStore& s) {
      std::string text;
      s.listAgents(text);
      for (const std::string& agent : sql("SELECT id FROM agents ORDER BY id")) {
        text += "\n" + agent + ": ";
        s.getAgent(agent, text);
        s.listTasks(agent, text);
      }
      for (const std::string& task : sql("SELECT id FROM tasks ORDER BY id")) {
        text += "\n" + task + ": ";
        s.getTask(task, text);
      }
      return text;
    };
    EXPECT_EQ(answers(store), answers(fresh));
    if (!c.rendered) continue;
    // The briefing, worked out from the rows with SQL and a JSON reader of
    // the test's own.
    std::string lines;
    for (const std::string& row : sql("SELECT name || ' \u2014 ' || frequency, ai_tools FROM tasks "
                                      "WHERE agent_id = ? ORDER BY name",
                                      {c.rendered})) {
      const size_t bar = row.rfind('|');
      std::string tools;
      for (const auto& tool : nlohmann::json::parse(row.substr(bar + 1))) {
        tools += (tools.empty() ? "" : ", ") + tool.get<std::string>();
      }
      lines += (lines.empty() ? "" : "\n") + ("- **" + row.substr(0, row.find(" \u2014 ")) + "**" +
                                              row.substr(row.find(" \u2014 "), bar - row.find(" \u2014 ")) + " (" +
                                              tools + ")");
    }
    const V agent = sql("SELECT name, ifnull(description, '(no description)') FROM agents WHERE id = ?", {c.rendered});
    ASSERT_EQ(agent.size(), 1u);
    const size_t bar = agent[0].find('|');
    EXPECT_EQ(readFile(root / c.rendered / "CLAUDE.md"),
              briefing(agent[0].substr(0, bar), agent[0].substr(bar + 1), lines.empty() ? "- (no other tasks yet)" : lines));
  }
}

TEST_F(StoreTest, SetDependsOnChecksEverythingBeforeWriting) {
  store->createAgent("ag_a", "A", "custom", {}, {});
  store->createAgent("ag_b", "B", "custom", {}, {});
  task("t1", "ag_a", "one");
  task("t2", "ag_b", "two");
  sql.exec("INSERT INTO agents VALUES ('ag_o', 'u2', 'O', 'custom', NULL, NULL, 1, 1); INSERT INTO tasks VALUES "
           "('t/o', 'ag_o', 'o', 'p', '[]', 'f', 'h', '[]', 1, 'w', 1, NULL, NULL);");
  auto stored = [&] { return sql("SELECT depends_on FROM tasks WHERE id = 't1'"); };
  store->setDependsOn("t1", {"t2", "t1", "t2"});
  EXPECT_EQ(stored(), V{R"(["t2","t1","t2"])"});
  EXPECT_EQ((*getTask(*store, "t1"))["depends_on"].dump(), R"(["t2","t1","t2"])");
  EXPECT_EQ(failure([&] { store->setDependsOn("t1", {"t2", "nope"}); }), "Not found: upstream task nope");
  EXPECT_EQ(failure([&] { store->setDependsOn("t1", {"t/o"}); }), "Not found: upstream task t/o");
  EXPECT_EQ(failure([&] { store->setDependsOn("t/o", {}); }), "Not found: task t/o");
  EXPECT_EQ(failure([&] { store->setDependsOn("nope", {"also-nope"}); }), "Not found: task nope");
  EXPECT_EQ(stored(), V{R"(["t2","t1","t2"])"});
  open("u2")->setDependsOn("t/o", {"t/o"});
  EXPECT_EQ(sql("SELECT depends_on FROM tasks WHERE id = 't/o'"), V{R"(["t\/o"])"});
  store->setDependsOn("t1", {});
  EXPECT_EQ(stored(), V{"[]"});
}

TEST_F(StoreTest, QueueManualRunInsertsPendingRunAndMovesNextRun) {
  store->createAgent("ag_a", "A", "custom", {}, {});
  task("t1", "ag_a", "one", {"codex", "claude"});
  task("t2", "ag_a", "two", {});
  sql.exec("INSERT INTO tasks VALUES ('t3', 'ag_a', 'three', 'p', 'garbage', 'f', 'h', '[]', 1, 'w', 0, NULL, NULL);"
           "INSERT INTO agents VALUES ('ag_o', 'u2', 'O', 'custom', NULL, NULL, 1, 1); INSERT INTO tasks VALUES "
           "('t4', 'ag_o', 'o', 'p', '[]', 'f', 'h', '[]', 1, 'w', 1, NULL, NULL);");
  const std::string first = store->queueManualRun("t1"), second = store->queueManualRun("t1");
  EXPECT_NE(first, second);
  const std::string runColumns =
      "SELECT id, task_id, typeof(started_at), started_at <> floor(started_at), quote(finished_at), status, ai_used, "
      "triggered_by, quote(output_path), quote(log_path), quote(exit_code), quote(tokens_in), quote(tokens_out) FROM "
      "runs WHERE id = ?";
  for (const auto& run : {first, second}) {
    EXPECT_TRUE(std::regex_match(run, std::regex("rn_[0-9a-z]{10}"))) << run;
    EXPECT_EQ(sql(runColumns, {run}), V{run + "|t1|real|1|NULL|pending|codex|manual|NULL|NULL|NULL|NULL|NULL"});
  }
  EXPECT_EQ(sql("SELECT t.next_run_at = r.started_at - 1.0, typeof(t.next_run_at) FROM tasks t, runs r WHERE t.id = "
                "'t1' AND r.id = ?",
                {second}),
            V{"1|real"});
  for (const char* id : {"t2", "t3"})
    EXPECT_EQ(sql("SELECT ai_used FROM runs WHERE id = ?", {store->queueManualRun(id)}), V{"claude"}) << id;
  EXPECT_EQ(failure([&] { store->queueManualRun("t4"); }), "Not found: task t4");
  EXPECT_EQ(failure([&] { store->queueManualRun(""); }), "Not found: task ");
  EXPECT_EQ(sql("SELECT count(*), count(DISTINCT id) FROM runs"), V{"4|4"});
  EXPECT_EQ(sql("SELECT quote(next_run_at) FROM tasks WHERE id = 't4'"), V{"NULL"});
}

TEST(ShortID, TenUniformCharactersFromTheAlphabet) {
  const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyz";
  constexpr int draws = 18000;  // 500 expected per character and position
  std::vector<std::array<int, 36>> counts(10, std::array<int, 36>{});
  std::set<std::string> seen;
  for (int i = 0; i < draws; ++i) {
    const std::string id = makeShortID();
    ASSERT_EQ(id.size(), 10u);
    for (size_t p = 0; p < 10; ++p) {
      const auto at = alphabet.find(id[p]);
      ASSERT_NE(at, std::string::npos) << id;
      ++counts[p][at];
    }
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), size_t(draws));
  // The standard deviation is about 22, so these bounds are more than ten deviations wide.
  for (size_t p = 0; p < 10; ++p)
    for (size_t c = 0; c < 36; ++c)
      EXPECT_TRUE(counts[p][c] > 250 && counts[p][c] < 750) << alphabet[c] << " at " << p << ": " << counts[p][c];
}

}  // namespace
