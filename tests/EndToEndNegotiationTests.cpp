// The real binary over pipes with KOVIX_PROTOCOL: the setting itself, the
// exact bytes of initialize and tools/list in every protocol revision, the
// revision that governs before and after initialize, and tool failures as
// isError results.

#include "Harness.h"

#include <gtest/gtest.h>

#include <regex>

namespace fs = std::filesystem;
using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

const std::string kPrefix = "kovix-mcp-server: ";

Environment negotiating(const TempDir& dir) {
  Environment env = serverEnvironment(dir);
  env["KOVIX_PROTOCOL"] = "negotiate";
  return env;
}

std::string ok(const std::string& id, const std::string& result) {
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":)" + result + "}";
}
std::string error(const std::string& id, int code, const std::string& message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"message":")" + message + R"("},"id":)" + id +
         R"(,"jsonrpc":"2.0"})";
}
std::string failedTool(const std::string& id, const std::string& message) {
  return ok(id, R"({"content":[{"text":")" + message + R"(","type":"text"}],"isError":true})");
}
std::string initializeLine(const std::string& version) {
  return R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":")" + version +
         R"(","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})" "\n";
}
const std::string kToolsList = "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/list\"}\n";

const std::string kServerInfo = R"("serverInfo":{"name":"kovix-mcp-server","version":"0.2.0"})";
const std::string kCapabilities = R"("capabilities":{"tools":{"listChanged":false}})";
const std::string kInstructions =
    R"("instructions":"Kovix runs this user's scheduled work. Agents are named roles; tasks belong to an agent )"
    R"(and run a Markdown prompt with an AI tool on a cron schedule; runs are executions of a task, and run_now )"
    R"(queues one. Call list_agents before proposing agent names so you don't duplicate one. Pass agent and task )"
    R"(ids exactly as returned. Give frequency as a cron expression. Call register_dependency only after all the )"
    R"(tasks it names exist.")";

std::string initializeResult(const std::string& version) {
  if (version == "2024-11-05") {
    return "{" + kCapabilities + R"(,"protocolVersion":"2024-11-05",)" + kServerInfo + "}";
  }
  return "{" + kCapabilities + "," + kInstructions + R"(,"protocolVersion":")" + version + "\"," + kServerInfo + "}";
}

// The catalogue as 2025-06-18 and later send it, byte for byte. The older
// revisions' bytes are cut from it as text, without a JSON library.
const std::string kWriteHints = R"({"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,)"
                                R"("readOnlyHint":false})";
const std::string kCatalogueWithTitles =
    R"({"tools":[)"
    R"({"annotations":)" + kWriteHints + R"(,"description":"Create a new Agent. Returns its agent_id.",)"
    R"("inputSchema":{"properties":{"description":{"description":"One-paragraph description.","type":"string"},)"
    R"("icon_symbol":{"description":"SF Symbol name (e.g. megaphone.fill).","type":"string"},)"
    R"("name":{"description":"Display name (e.g. 'Chief Marketing Officer').","type":"string"},)"
    R"("template":{"description":"Template family. Defaults to 'custom'.","enum":["custom","cmo","engineer",)"
    R"("personal_assistant","daily_researcher"],"type":"string"}},"required":["name"],"type":"object"},)"
    R"("name":"create_agent","title":"Create agent"},)"
    R"({"annotations":)" + kWriteHints + R"(,"description":"Create a Task under an Agent. Returns its task_id.",)"
    R"("inputSchema":{"properties":{"agent_id":{"type":"string"},"ai_tools":{"description":"Default ['claude']. )"
    R"(Use both only when comparison is wanted.","items":{"enum":["claude","codex"],"type":"string"},)"
    R"("type":"array"},"frequency":{"description":"Cron expression. Free tier daily-or-coarser.","type":"string"},)"
    R"("host_id":{"description":"'local' unless other hosts (Pro).","type":"string"},"name":{"type":"string"},)"
    "\"prompt\":{\"description\":\"Markdown prompt \xE2\x80\x94 Goal\\/Context\\/Output format\\/Hand-off.\","
    R"("type":"string"},"timeout_min":{"description":"Defaults to 30.","type":"integer"},)"
    R"("working_subdir":{"description":"Defaults to 'shared'.","type":"string"}},)"
    R"("required":["agent_id","name","prompt"],"type":"object"},"name":"create_task","title":"Create task"},)"
    R"({"annotations":{"destructiveHint":true,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":false},)"
    R"("description":"Mark task_id as depending on the upstream task IDs in depends_on. Call AFTER all relevant )"
    R"(tasks exist.","inputSchema":{"properties":{"depends_on":{"items":{"type":"string"},"type":"array"},)"
    R"("task_id":{"type":"string"}},"required":["task_id","depends_on"],"type":"object"},)"
    R"("name":"register_dependency","title":"Register dependency"},)"
    R"({"annotations":{"readOnlyHint":true},"description":"List the user's existing agents. Call this before )"
    R"(proposing names so you don't duplicate one.","inputSchema":{"properties":{},"type":"object"},)"
    R"("name":"list_agents","title":"List agents"},)"
    R"({"annotations":{"readOnlyHint":true},"description":"List tasks under an agent (id, name, frequency, )"
    R"(ai_tools, depends_on).","inputSchema":{"properties":{"agent_id":{"type":"string"}},)"
    R"("required":["agent_id"],"type":"object"},"name":"list_tasks","title":"List tasks"},)"
    R"({"annotations":{"readOnlyHint":true},"description":"Fetch one agent's full record.","inputSchema":)"
    R"({"properties":{"agent_id":{"type":"string"}},"required":["agent_id"],"type":"object"},"name":"get_agent",)"
    R"("title":"Get agent"},)"
    R"({"annotations":{"readOnlyHint":true},"description":"Fetch one task's full record.","inputSchema":)"
    R"({"properties":{"task_id":{"type":"string"}},"required":["task_id"],"type":"object"},"name":"get_task",)"
    R"("title":"Get task"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":true,"readOnlyHint":false},)"
    R"("description":"Queue a one-shot manual run of this task. Returns run_id and status.","inputSchema":)"
    R"({"properties":{"task_id":{"type":"string"}},"required":["task_id"],"type":"object"},"name":"run_now",)"
    R"("title":"Run task now"}]})";

std::string toolsListResult(const std::string& version) {
  std::string text = kCatalogueWithTitles;
  if (version >= "2025-06-18") return text;
  text = std::regex_replace(text, std::regex(R"(,"title":"[A-Za-z ]+")"), "");
  if (version >= "2025-03-26") return text;
  return std::regex_replace(text, std::regex(R"("annotations":\{[^{}]*\},)"), "");
}

const std::vector<std::string> kVersions = {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};

}  // namespace

TEST(EndToEndNegotiation, ProtocolSettingOtherThanNegotiateStopsStartUp) {
  TempDir dir;
  for (const std::string value : {"Negotiate", "negotiate ", " negotiate", "2025-11-25", "fixed", "0", "\n"}) {
    Environment env = serverEnvironment(dir);
    env["KOVIX_PROTOCOL"] = value;
    const Finished done = runServer(env, initializeLine("2025-11-25"));
    EXPECT_EQ(done.status, 2) << value;
    EXPECT_EQ(done.out, "") << value;
    EXPECT_EQ(done.err, kPrefix + "KOVIX_PROTOCOL must be unset, empty or 'negotiate'\n") << value;
  }
  // The required variables are still checked first, and nothing was opened.
  Environment env = serverEnvironment(dir);
  env["KOVIX_PROTOCOL"] = "bogus";
  env.erase("KOVIX_DB_PATH");
  EXPECT_EQ(runServer(env, "").err, kPrefix + "KOVIX_DB_PATH is required\n");
  EXPECT_FALSE(fs::exists(dir / "db.sqlite"));
}

TEST(EndToEndNegotiation, UnsetOrEmptySettingSpeaksOnly20241105) {
  TempDir dir;
  const std::string session = initializeLine("2025-11-25") + kToolsList +
                              R"({"id":3,"method":"tools/call","params":{"name":"get_task","arguments":{}}})" "\n";
  const Lines expected = {ok("1", initializeResult("2024-11-05")), ok("2", toolsListResult("2024-11-05")),
                          error("3", -32602, "get_task: 'task_id' is required")};
  Environment env = serverEnvironment(dir);
  EXPECT_EQ(runServer(env, session).outLines(), expected);
  env["KOVIX_PROTOCOL"] = "";
  const Finished done = runServer(env, session);
  EXPECT_EQ(done.outLines(), expected);
  EXPECT_EQ(done.status, 0);
}

TEST(EndToEndNegotiation, ExactInitializeAndCatalogueInEveryRevision) {
  TempDir dir;
  // Every revision this server speaks is answered as asked.
  for (const auto& version : kVersions) {
    const Finished done = runServer(negotiating(dir), initializeLine(version) + kToolsList);
    EXPECT_EQ(done.outLines(), (Lines{ok("1", initializeResult(version)), ok("2", toolsListResult(version))}))
        << version;
  }
  // Anything else gets the newest, which the client may refuse.
  for (const std::string params :
       {R"({"protocolVersion":"2024-10-07"})", R"({"protocolVersion":"2099-01-01"})", R"({"protocolVersion":""})",
        R"({"protocolVersion":" 2025-06-18"})", R"({"protocolVersion":20250618})",
        R"({"protocolVersion":["2025-06-18"]})", R"({})"}) {
    const Finished done =
        runServer(negotiating(dir), R"({"id":1,"method":"initialize","params":)" + params + "}\n" + kToolsList);
    EXPECT_EQ(done.outLines(), (Lines{ok("1", initializeResult("2025-11-25")), ok("2", toolsListResult("2025-11-25"))}))
        << params;
  }
  // The same without params at all.
  EXPECT_EQ(runServer(negotiating(dir), "{\"id\":1,\"method\":\"initialize\"}\n").outLines(),
            Lines{ok("1", initializeResult("2025-11-25"))});
  // The 2024-11-05 catalogue cut from the newest is today's, which the
  // catalogue test pins to the letter.
  EXPECT_EQ(runServer(serverEnvironment(dir), kToolsList).outLines(), Lines{ok("2", toolsListResult("2024-11-05"))});
}

TEST(EndToEndNegotiation, InitializeSettlesTheRevisionForWhatFollows) {
  TempDir dir;
  const std::string badCall = R"({"id":9,"method":"tools/call","params":{"name":"run_now","arguments":{}}})" "\n";
  const Finished done = runServer(negotiating(dir), kToolsList + badCall + initializeLine("2025-03-26") +
                                                        "{\"method\":\"notifications/initialized\"}\n" + kToolsList +
                                                        badCall + initializeLine("2024-11-05") + kToolsList + badCall);
  EXPECT_EQ(done.outLines(), (Lines{
                                 // Before initialize: as 2024-11-05.
                                 ok("2", toolsListResult("2024-11-05")),
                                 error("9", -32602, "run_now: 'task_id' is required"),
                                 ok("1", initializeResult("2025-03-26")),
                                 ok("2", toolsListResult("2025-03-26")),
                                 failedTool("9", "run_now: 'task_id' is required"),
                                 // A later initialize settles again.
                                 ok("1", initializeResult("2024-11-05")),
                                 ok("2", toolsListResult("2024-11-05")),
                                 error("9", -32602, "run_now: 'task_id' is required"),
                             }));
  EXPECT_EQ(done.errLines(), (Lines{kPrefix + "ready (uid=u1)", kPrefix + "client initialized",
                                    kPrefix + "stdin closed; exiting"}));
}

TEST(EndToEndNegotiation, ToolFailuresAreResultsButBadCallsStayErrors) {
  TempDir dir;
  auto call = [](int id, const std::string& name, const json& arguments) {
    return toolCall(id, name, arguments).dump() + "\n";
  };
  std::string input = initializeLine("2025-11-25");
  input += call(2, "create_task", {{"agent_id", "ag_none"}, {"name", "n"}, {"prompt", "p"}});  // store: not found
  input += call(3, "get_agent", {{"agent_id", "ag_a/b"}});                                    // tool: not found
  input += call(4, "register_dependency", {{"task_id", "t"}, {"depends_on", "x"}});          // argument
  input += call(5, "list_agents", json::object());                                            // success
  input += call(6, "List_agents", json::object());                                            // unknown tool
  input += call(7, "", json::object());
  input += R"({"id":8,"method":"tools/call","params":{"arguments":{}}})" "\n";                // malformed
  input += R"({"id":9,"method":"tools/call","params":{"name":5}})" "\n";
  input += R"({"id":10,"method":"tools/call"})" "\n";
  input += R"({"id":11,"method":"tools/cal"})" "\n";
  const Finished done = runServer(negotiating(dir), input);
  const Lines lines = done.outLines();
  ASSERT_EQ(lines.size(), 11u) << done.out;
  EXPECT_EQ(lines[1], failedTool("2", "Not found: agent ag_none"));
  EXPECT_EQ(lines[2], failedTool("3", R"(get_agent: agent not found: ag_a\/b)"));
  EXPECT_EQ(lines[3], failedTool("4", "register_dependency: 'depends_on' must be array"));
  EXPECT_EQ(lines[4], ok("5", R"({"content":[{"text":"{\"agents\":[]}","type":"text"}]})"));
  EXPECT_EQ(lines[5], error("6", -32601, "Unknown tool: List_agents"));
  EXPECT_EQ(lines[6], error("7", -32601, "Unknown tool: "));
  EXPECT_EQ(lines[7], error("8", -32602, R"(tools\/call requires 'name')"));
  EXPECT_EQ(lines[8], error("9", -32602, R"(tools\/call requires 'name')"));
  EXPECT_EQ(lines[9], error("10", -32602, R"(tools\/call requires 'name')"));
  EXPECT_EQ(lines[10], error("11", -32602, R"(Unsupported method: tools\/cal)"));
}

TEST(EndToEndNegotiation, ADatabaseFailureIsAResultTooAndTheServerGoesOn) {
  TempDir dir;
  Environment env = negotiating(dir);
  writeFile(dir / "db.sqlite", std::string(4096, 'x'));  // not a database
  const Finished done = runServer(
      env, initializeLine("2025-06-18") + toolCall(2, "list_agents", json::object()).dump() + "\n" +
               toolCall(3, "run_now", {{"task_id", "tk_1"}}).dump() + "\n" + "{\"id\":4,\"method\":\"ping\"}\n");
  EXPECT_EQ(done.outLines(), (Lines{ok("1", initializeResult("2025-06-18")),
                                    failedTool("2", "SQLite error: file is not a database"),
                                    failedTool("3", "SQLite error: file is not a database"), ok("4", "{}")}));
  EXPECT_EQ(done.status, 0);
}
