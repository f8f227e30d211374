#include "Harness.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;
using V = std::vector<std::string>;

namespace {

// Rows of `query` as their columns joined by "|", NULL as "NULL".
V rows(const fs::path& db, const std::string& query) { return Sql(db)(query); }

// Another process of the scheduler: runs `work` on its own connection to `db` in a child and exits 0 when it
// returns true.
template <class Work>
pid_t otherProcess(const fs::path& db, Work work) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  sqlite3* connection = nullptr;
  const bool ok = sqlite3_open(db.c_str(), &connection) == SQLITE_OK &&
                  sqlite3_busy_timeout(connection, 5000) == SQLITE_OK && work(connection);
  sqlite3_close(connection);
  _exit(ok ? 0 : 1);
}
bool exec(sqlite3* connection, const std::string& sql) {
  return sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}
int exitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class EndToEnd : public ::testing::Test {
 protected:
  json call(const std::string& name, const json& arguments) { return server.request(toolCall(++id, name, arguments)); }
  std::string created(const std::string& name, const json& arguments, const char* key) {
    return toolResult(call(name, arguments)).at(key);
  }
  json error(int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
  }

  TempDir dir;
  fs::path db = dir / "db.sqlite";
  ServerProcess server{serverEnvironment(dir)};
  int id = 0;
};

TEST_F(EndToEnd, ScriptedSessionLeavesExactRowsFilesAndAnswers) {
  const std::string a1 = created("create_agent", {{"name", "Growth"}, {"description", "Grows things."},
                                                  {"icon_symbol", "chart"}, {"template", "cmo"}}, "agent_id");
  const std::string a2 = created("create_agent", {{"name", "Ops"}}, "agent_id");
  const std::string tb = created("create_task", {{"agent_id", a1}, {"name", "beta"}, {"prompt", "Report."},
                                                 {"ai_tools", {"codex", "claude"}}, {"frequency", "0 * * * *"},
                                                 {"timeout_min", 45}}, "task_id");
  const std::string ta = created("create_task", {{"agent_id", a1}, {"name", "Alpha"}, {"prompt", "Collect."}}, "task_id");
  const std::string tg = created("create_task", {{"agent_id", a1}, {"name", "gamma"}, {"prompt", "Sum."},
                                                 {"ai_tools", json::array()}, {"working_subdir", "out"},
                                                 {"host_id", "mini"}}, "task_id");
  server.sendLine(toolCall(++id, "register_dependency", {{"task_id", tg}, {"depends_on", {ta, tb}}}));
  EXPECT_EQ(server.readLine(), R"({"id":6,"jsonrpc":"2.0","result":{"content":[{"text":"{\"ok\":true}","type":"text"}]}})");
  const json run1 = toolResult(call("run_now", {{"task_id", tb}})), run2 = toolResult(call("run_now", {{"task_id", tb}}));
  EXPECT_EQ(run1, json({{"run_id", run1["run_id"]}, {"status", "queued"}}));
  const std::string r1 = run1["run_id"], r2 = run2["run_id"];
  EXPECT_NE(r1, r2);

  EXPECT_EQ(rows(db, "SELECT id, user_id, name, template, quote(description), quote(icon_symbol), enabled FROM "
                     "agents ORDER BY created_at"),
            (V{a1 + "|u1|Growth|cmo|'Grows things.'|'chart'|1", a2 + "|u1|Ops|custom|NULL|NULL|1"}));
  EXPECT_EQ(rows(db, "SELECT id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min, "
                     "working_subdir, enabled, next_run_at IS NULL, last_run_at FROM tasks ORDER BY name"),
            (V{ta + "|" + a1 + "|Alpha|Collect.|[\"claude\"]|0 9 * * *|local|[]|30|shared|1|1|NULL",
               tb + "|" + a1 + "|beta|Report.|[\"codex\",\"claude\"]|0 * * * *|local|[]|45|shared|1|0|NULL",
               tg + "|" + a1 + "|gamma|Sum.|[]|0 9 * * *|mini|[\"" + ta + "\",\"" + tb + "\"]|30|out|1|1|NULL"}));
  EXPECT_EQ(rows(db, "SELECT r.id, task_id, status, ai_used, triggered_by, quote(finished_at), quote(exit_code), "
                     "t.next_run_at = (SELECT max(started_at) FROM runs) - 1.0 FROM runs r JOIN tasks t ON t.id = "
                     "r.task_id ORDER BY started_at"),
            (V{r1 + "|" + tb + "|pending|codex|manual|NULL|NULL|1", r2 + "|" + tb + "|pending|codex|manual|NULL|NULL|1"}));

  V expectedTree;
  for (const auto& agent : {a1, a2})
    for (const char* entry : {"/", "/CLAUDE.md", "/inputs/", "/logs/", "/outputs/", "/shared/"})
      expectedTree.push_back(agent + entry);
  std::sort(expectedTree.begin(), expectedTree.end());
  V tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir / "agents"))
    tree.push_back(fs::relative(entry.path(), dir / "agents").string() + (entry.is_directory() ? "/" : ""));
  std::sort(tree.begin(), tree.end());
  EXPECT_EQ(tree, expectedTree);
  const std::string head = "\n\nYou are the AI executing a scheduled task for the **";
  EXPECT_EQ(readFile(dir / "agents" / a1 / "CLAUDE.md"),
            "# Growth" + head + "Growth** in Kovix.\n\n## Agent description\nGrows things.\n\n## Other tasks under this "
            "Agent\n- **Alpha** \u2014 0 9 * * * (claude)\n- **beta** \u2014 0 * * * * (codex, claude)\n- **gamma** "
            "\u2014 0 9 * * * ()");
  EXPECT_EQ(readFile(dir / "agents" / a2 / "CLAUDE.md"),
            "# Ops" + head + "Ops** in Kovix.\n\n## Agent description\n(no description)\n\n## Other tasks under this "
            "Agent\n- (no other tasks yet)");

  const json gamma = toolResult(call("get_task", {{"task_id", tg}}));
  EXPECT_EQ(gamma, json({{"task", {{"task_id", tg}, {"agent_id", a1}, {"name", "gamma"}, {"prompt", "Sum."},
                                   {"ai_tools", json::array()}, {"frequency", "0 9 * * *"}, {"host_id", "mini"},
                                   {"depends_on", {ta, tb}}, {"timeout_min", 30}, {"working_subdir", "out"},
                                   {"enabled", true}, {"next_run_at", nullptr}, {"last_run_at", nullptr}}}}));
  const json agents = toolResult(call("list_agents", json::object()))["agents"];
  ASSERT_EQ(agents.size(), 2u);
  EXPECT_EQ(agents[0]["task_count"], 3);
  EXPECT_EQ(agents[1]["task_count"], 0);
  EXPECT_EQ(toolResult(call("list_tasks", {{"agent_id", a1}}))["tasks"][0]["task_id"], ta);

  // Failures as the client sees them; none of them changes anything.
  const V before = rows(db, "SELECT * FROM tasks UNION ALL SELECT id, task_id, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 FROM runs");
  const std::vector<std::tuple<std::string, json, int, std::string>> failures = {
      {"list_agents ", json::object(), -32601, "Unknown tool: list_agents "},
      {"create_task", {{"agent_id", a1}, {"name", "x"}}, -32602, "create_task: 'prompt' is required"},
      {"create_task", {{"agent_id", "ag_nope"}, {"name", "x"}, {"prompt", "p"}}, -32603, "Not found: agent ag_nope"},
      {"register_dependency", {{"task_id", tg}, {"depends_on", ta}}, -32602,
       "register_dependency: 'depends_on' must be array"},
      {"register_dependency", {{"task_id", "tk_nope"}, {"depends_on", json::array()}}, -32603, "Not found: task tk_nope"},
      {"register_dependency", {{"task_id", tg}, {"depends_on", {ta, "tk_nope"}}}, -32603,
       "Not found: upstream task tk_nope"},
      {"get_agent", {{"agent_id", ""}}, -32602, "get_agent: agent not found: "},
      {"run_now", {{"task_id", ""}}, -32603, "Not found: task "},
  };
  for (const auto& [name, arguments, code, message] : failures) {
    const json response = call(name, arguments);
    EXPECT_EQ(response, error(code, message)) << name << " " << arguments.dump();
  }
  server.sendLine(toolCall(++id, "get_task", {{"task_id", "../x"}}));
  EXPECT_EQ(server.readLine(), R"({"error":{"code":-32602,"message":"get_task: task not found: ..\/x"},"id":)" +
                                   std::to_string(id) + R"(,"jsonrpc":"2.0"})");

  // Another user on the same file sees none of it.
  ServerProcess other(serverEnvironment(dir, "u2"));
  EXPECT_EQ(toolResult(other.request(toolCall(1, "list_agents", json::object()))), json({{"agents", json::array()}}));
  EXPECT_EQ(other.request(toolCall(2, "run_now", {{"task_id", tb}}))["error"],
            json({{"code", -32603}, {"message", "Not found: task " + tb}}));
  EXPECT_EQ(rows(db, "SELECT * FROM tasks UNION ALL SELECT id, task_id, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 FROM runs"), before);
  EXPECT_EQ(other.finish().status, 0);
  const Finished done = server.finish();
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.errLines(), (V{"kovix-mcp-server: ready (uid=u1)", "kovix-mcp-server: stdin closed; exiting"}));
}

TEST_F(EndToEnd, AnotherProcessWritingMeanwhileLosesNothing) {
  ASSERT_EQ(toolResult(call("list_agents", json::object())), json({{"agents", json::array()}}));
  const pid_t child = otherProcess(db, [](sqlite3* connection) {
    for (int i = 0; i < 200; ++i) {
      if (!exec(connection, "INSERT INTO agents (id, user_id, name, created_at) VALUES ('ext_" + std::to_string(i) +
                                "', 'u1', 'External', 1.5)"))
        return false;
    }
    return true;
  });
  std::set<std::string> ours;
  for (int i = 0; i < 20; ++i) {
    ours.insert(created("create_agent", {{"name", "Ours"}}, "agent_id"));
    EXPECT_EQ(call("list_agents", json::object()).count("result"), 1u);
  }
  EXPECT_EQ(exitStatus(child), 0);
  std::set<std::string> listed;
  const json agents = toolResult(call("list_agents", json::object()))["agents"];
  for (const auto& agent : agents) listed.insert(agent["agent_id"]);
  EXPECT_EQ(listed.size(), 220u);
  for (const auto& agent : ours) EXPECT_EQ(listed.count(agent), 1u) << agent;
  EXPECT_EQ(listed.count("ext_0") + listed.count("ext_199"), 2u);
  EXPECT_EQ(rows(db, "SELECT count(*), count(DISTINCT id) FROM agents"), V{"220|220"});
}

TEST_F(EndToEnd, WriteLockHeldByAnotherProcessOnlyDelaysTheAnswer) {
  const std::string agent = created("create_agent", {{"name", "A"}}, "agent_id");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = otherProcess(db, [&](sqlite3* connection) {
    const bool locked = exec(connection, "BEGIN IMMEDIATE; INSERT INTO agents (id, user_id, name, created_at) VALUES "
                                         "('ext_lock', 'u1', 'External', 1.5);");
    if (write(ready[1], "x", 1) != 1) return false;
    usleep(1500000);
    return locked && exec(connection, "COMMIT");
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  const std::string task = created("create_task", {{"agent_id", agent}, {"name", "t"}, {"prompt", "p"}}, "task_id");
  EXPECT_EQ(exitStatus(child), 0);
  EXPECT_EQ(rows(db, "SELECT id FROM agents ORDER BY id"), (V{agent, "ext_lock"}));
  EXPECT_EQ(rows(db, "SELECT id FROM tasks"), V{task});
}

}  // namespace
