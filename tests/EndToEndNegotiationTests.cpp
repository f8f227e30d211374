// The real binary over pipes with KOVIX_PROTOCOL: the setting itself, the
// exact bytes of initialize and tools/list in every protocol revision, the
// revision that governs before and after initialize, tool failures as
// isError results, structured results, and the stateless 2026-07-28
// revision: discovery, the request envelope and its errors.

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
std::string errorWithData(const std::string& id, int code, const std::string& data, const std::string& message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"data":)" + data + R"(,"message":")" + message +
         R"("},"id":)" + id + R"(,"jsonrpc":"2.0"})";
}
std::string failedTool(const std::string& id, const std::string& message, const std::string& more = "") {
  return ok(id, R"({"content":[{"text":")" + message + R"(","type":"text"}],"isError":true)" + more + "}");
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

// The catalogue, byte for byte, tool by tool: each revision adds to the
// 2024-11-05 descriptor its annotations (2025-03-26), and its output schema
// and title (2025-06-18), in the sorted places of their keys.
struct ToolBytes {
  std::string annotations;
  std::string descriptionAndInput;  // the "description" and "inputSchema" members, and the comma after them
  std::string name;
  std::string output;  // the output schema
  std::string title;
};

const std::string kWriteHints = R"({"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,)"
                                R"("readOnlyHint":false})";
const std::string kReadHints = R"({"readOnlyHint":true})";
const std::string kString = R"({"type":"string"})";
const std::string kStringOrNull = R"({"type":["string","null"]})";
const std::string kTime = R"({"type":["number","null"]})";
const std::string kStrings = R"({"items":{"type":"string"},"type":"array"})";
std::string objectSchema(const std::string& properties, const std::string& required) {
  return R"({"additionalProperties":false,"properties":{)" + properties + R"(},"required":[)" + required +
         R"(],"type":"object"})";
}
const std::string kAgentSchema = objectSchema(
    R"("agent_id":)" + kString + R"(,"created_at":)" + kTime + R"(,"description":)" + kStringOrNull +
        R"(,"enabled":{"type":"boolean"},"icon_symbol":)" + kStringOrNull + R"(,"name":)" + kString +
        R"(,"task_count":{"type":"integer"},"template":)" + kString,
    R"("agent_id","created_at","description","enabled","icon_symbol","name","task_count","template")");
const std::string kTaskSchema = objectSchema(
    R"("agent_id":)" + kString + R"(,"ai_tools":)" + kStrings + R"(,"depends_on":)" + kStrings +
        R"(,"enabled":{"type":"boolean"},"frequency":)" + kString + R"(,"host_id":)" + kString +
        R"(,"last_run_at":)" + kTime + R"(,"name":)" + kString + R"(,"next_run_at":)" + kTime + R"(,"prompt":)" +
        kString + R"(,"task_id":)" + kString + R"(,"timeout_min":{"type":"integer"},"working_subdir":)" + kString,
    R"("agent_id","ai_tools","depends_on","enabled","frequency","host_id","last_run_at","name","next_run_at",)"
    R"("prompt","task_id","timeout_min","working_subdir")");

const std::vector<ToolBytes> kTools = {
    {kWriteHints,
     R"("description":"Create a new Agent. Returns its agent_id.",)"
     R"("inputSchema":{"properties":{"description":{"description":"One-paragraph description.","type":"string"},)"
     R"("icon_symbol":{"description":"SF Symbol name (e.g. megaphone.fill).","type":"string"},)"
     R"("name":{"description":"Display name (e.g. 'Chief Marketing Officer').","type":"string"},)"
     R"("template":{"description":"Template family. Defaults to 'custom'.","enum":["custom","cmo","engineer",)"
     R"("personal_assistant","daily_researcher"],"type":"string"}},"required":["name"],"type":"object"},)",
     "create_agent", objectSchema(R"("agent_id":)" + kString + R"(,"url":)" + kString, R"("agent_id","url")"),
     "Create agent"},
    {kWriteHints,
     R"("description":"Create a Task under an Agent. Returns its task_id.",)"
     R"("inputSchema":{"properties":{"agent_id":{"type":"string"},"ai_tools":{"description":"Default ['claude']. )"
     R"(Use both only when comparison is wanted.","items":{"enum":["claude","codex"],"type":"string"},)"
     R"("type":"array"},"frequency":{"description":"Cron expression. Free tier daily-or-coarser.","type":"string"},)"
     R"("host_id":{"description":"'local' unless other hosts (Pro).","type":"string"},"name":{"type":"string"},)"
     "\"prompt\":{\"description\":\"Markdown prompt \xE2\x80\x94 Goal\\/Context\\/Output format\\/Hand-off.\","
     R"("type":"string"},"timeout_min":{"description":"Defaults to 30.","type":"integer"},)"
     R"("working_subdir":{"description":"Defaults to 'shared'.","type":"string"}},)"
     R"("required":["agent_id","name","prompt"],"type":"object"},)",
     "create_task", objectSchema(R"("task_id":)" + kString, R"("task_id")"), "Create task"},
    {R"({"destructiveHint":true,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":false})",
     R"("description":"Mark task_id as depending on the upstream task IDs in depends_on. Call AFTER all relevant )"
     R"(tasks exist.","inputSchema":{"properties":{"depends_on":{"items":{"type":"string"},"type":"array"},)"
     R"("task_id":{"type":"string"}},"required":["task_id","depends_on"],"type":"object"},)",
     "register_dependency", objectSchema(R"("ok":{"const":true})", R"("ok")"), "Register dependency"},
    {kReadHints,
     R"("description":"List the user's existing agents. Call this before proposing names so you don't )"
     R"(duplicate one.","inputSchema":{"properties":{},"type":"object"},)",
     "list_agents", objectSchema(R"("agents":{"items":)" + kAgentSchema + R"(,"type":"array"})", R"("agents")"),
     "List agents"},
    {kReadHints,
     R"("description":"List tasks under an agent (id, name, frequency, ai_tools, depends_on).",)"
     R"("inputSchema":{"properties":{"agent_id":{"type":"string"}},"required":["agent_id"],"type":"object"},)",
     "list_tasks", objectSchema(R"("tasks":{"items":)" + kTaskSchema + R"(,"type":"array"})", R"("tasks")"),
     "List tasks"},
    {kReadHints,
     R"("description":"Fetch one agent's full record.","inputSchema":)"
     R"({"properties":{"agent_id":{"type":"string"}},"required":["agent_id"],"type":"object"},)",
     "get_agent", objectSchema(R"("agent":)" + kAgentSchema, R"("agent")"), "Get agent"},
    {kReadHints,
     R"("description":"Fetch one task's full record.","inputSchema":)"
     R"({"properties":{"task_id":{"type":"string"}},"required":["task_id"],"type":"object"},)",
     "get_task", objectSchema(R"("task":)" + kTaskSchema, R"("task")"), "Get task"},
    {R"({"destructiveHint":false,"idempotentHint":false,"openWorldHint":true,"readOnlyHint":false})",
     R"("description":"Queue a one-shot manual run of this task. Returns run_id and status.","inputSchema":)"
     R"({"properties":{"task_id":{"type":"string"}},"required":["task_id"],"type":"object"},)",
     "run_now", objectSchema(R"("run_id":)" + kString + R"(,"status":{"const":"queued"})", R"("run_id","status")"),
     "Run task now"},
};

// What the stateless revision adds to every result, and to the lists.
const std::string kComplete = R"("resultType":"complete")";
const std::string kCacheable = R"("cacheScope":"private",)";
const std::string kTtl = R"("ttlMs":3600000)";

std::string toolsListResult(const std::string& version) {
  std::string tools;
  for (const auto& tool : kTools) {
    tools += tools.empty() ? "{" : ",{";
    if (version >= "2025-03-26") tools += R"("annotations":)" + tool.annotations + ",";
    tools += tool.descriptionAndInput + R"("name":")" + tool.name + "\"";
    if (version >= "2025-06-18") tools += R"(,"outputSchema":)" + tool.output + R"(,"title":")" + tool.title + "\"";
    tools += "}";
  }
  if (version >= "2026-07-28") return "{" + kCacheable + kComplete + R"(,"tools":[)" + tools + "]," + kTtl + "}";
  return R"({"tools":[)" + tools + "]}";
}

const std::vector<std::string> kVersions = {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};

// The members of a 2026-07-28 request's _meta envelope.
const std::string kVersionKey = "io.modelcontextprotocol/protocolVersion";
const std::string kCapabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
const std::string kInfoKey = "io.modelcontextprotocol/clientInfo";
json envelope(const json& version = "2026-07-28") {
  return {{kVersionKey, version}, {kCapabilitiesKey, json::object()}, {kInfoKey, {{"name", "t"}, {"version", "1"}}}};
}
// A request line whose params carry `meta` as their _meta.
std::string request(int id, const std::string& method, const json& meta, json params = json::object()) {
  params["_meta"] = meta;
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump() + "\n";
}
std::string toolRequest(int id, const std::string& name, const json& arguments, const json& meta) {
  return request(id, "tools/call", meta, {{"name", name}, {"arguments", arguments}});
}

const std::string kDiscoverResult =
    R"({"_meta":{"io.modelcontextprotocol\/serverInfo":{"name":"kovix-mcp-server","version":"0.2.0"}},)"
    R"("cacheScope":"private",)" + kCapabilities + "," + kInstructions +
    R"(,"resultType":"complete","supportedVersions":["2026-07-28"],"ttlMs":3600000})";
const std::string kMissingEnvelope =
    R"(Missing _meta envelope: every request of protocol revision 2026-07-28 carries )"
    R"(io.modelcontextprotocol\/protocolVersion and io.modelcontextprotocol\/clientCapabilities in params._meta)";

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
  // 2026-07-28 has no handshake: asked for it, initialize settles the
  // newest revision that has one.
  EXPECT_EQ(runServer(negotiating(dir), initializeLine("2026-07-28") + kToolsList).outLines(),
            (Lines{ok("1", initializeResult("2025-11-25")), ok("2", toolsListResult("2025-11-25"))}));
  // The same without params at all.
  EXPECT_EQ(runServer(negotiating(dir), "{\"id\":1,\"method\":\"initialize\"}\n").outLines(),
            Lines{ok("1", initializeResult("2025-11-25"))});
  // The 2024-11-05 catalogue built here is today's, which the catalogue
  // test pins to the letter.
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
  EXPECT_EQ(lines[4], ok("5", R"({"content":[{"text":"{\"agents\":[]}","type":"text"}],)"
                              R"("structuredContent":{"agents":[]}})"));
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

// From 2025-06-18 on a success carries its result object twice: as text, a
// JSON string escaped once, and as structuredContent, the same JSON as is.
TEST(EndToEndNegotiation, SuccessesCarryTheirResultAsStructuredContent) {
  TempDir dir;
  for (const auto& version : kVersions) {
    const Finished done = runServer(negotiating(dir), initializeLine(version) +
                                                          toolCall(2, "create_agent", {{"name", "A/B"}}).dump() + "\n" +
                                                          toolCall(3, "get_task", {{"task_id", "t"}}).dump() + "\n");
    const Lines lines = done.outLines();
    ASSERT_EQ(lines.size(), 3u) << done.out;
    std::smatch id;
    ASSERT_TRUE(std::regex_search(lines[1], id, std::regex("ag_[0-9a-z]{10}"))) << lines[1];
    const std::string text = R"({\"agent_id\":\")" + id.str() + R"(\",\"url\":\"kovix:\\\/\\\/agents\\\/)" +
                             id.str() + R"(\"})";
    const std::string object = R"({"agent_id":")" + id.str() + R"(","url":"kovix:\/\/agents\/)" + id.str() + "\"}";
    const std::string content = R"({"content":[{"text":")" + text + R"(","type":"text"}])";
    EXPECT_EQ(lines[1], ok("2", content + (version >= "2025-06-18" ? R"(,"structuredContent":)" + object : "") + "}"))
        << version;
    // A failure is a message, never a result object.
    EXPECT_EQ(lines[2], version >= "2025-03-26" ? failedTool("3", "get_task: task not found: t")
                                                : error("3", -32602, "get_task: task not found: t"))
        << version;
  }
}

// server/discover and requests that claim 2026-07-28 in their envelope,
// answered with no initialize at all; what each result adds; the methods
// that are gone; and the errors of a missing, partial or foreign envelope.
TEST(EndToEndNegotiation, StatelessRevisionByteForByte) {
  TempDir dir;
  const json meta = envelope();
  json bare = meta;  // clientInfo is optional
  bare.erase(kInfoKey);
  std::string input;
  input += "{\"id\":1,\"method\":\"server/discover\"}\n";
  input += request(2, "server/discover", envelope("2099-01-01"));  // discovery is how a client learns what to claim
  input += request(3, "tools/list", meta);
  input += toolRequest(4, "list_agents", json::object(), bare);
  input += toolRequest(5, "get_agent", {{"agent_id", "ag_x"}}, meta);
  input += toolRequest(6, "no_such_tool", json::object(), meta);
  input += request(7, "resources/list", meta);
  input += request(8, "prompts/list", meta);
  input += request(9, "ping", meta);
  input += request(10, "logging/setLevel", meta, {{"level", "info"}});
  input += request(11, "tools/cal", meta);
  // This client has spoken 2026-07-28 and never initialized: without the
  // envelope a request belongs to no revision it could mean.
  input += kToolsList;
  input += "{\"id\":13,\"method\":\"ping\"}\n";
  input += request(14, "tools/list", json::array({meta}));
  input += request(15, "tools/list", {{kCapabilitiesKey, json::object()}});
  input += request(16, "tools/list", envelope("2025-11-25"));
  input += request(17, "tools/list", envelope("2099-01-01"));
  input += request(18, "tools/list", envelope(20260728));
  input += request(19, "tools/list", {{kVersionKey, "2026-07-28"}});
  input += request(20, "tools/list", {{kVersionKey, "2026-07-28"}, {kCapabilitiesKey, "all"}});
  input += request(21, "tools/list", {{kVersionKey, "2026-07-28"}, {kCapabilitiesKey, json::object()}, {kInfoKey, 1}});
  input += toolRequest(22, "run_now", json::object(), envelope("2025-06-18"));
  const Finished done = runServer(negotiating(dir), input);
  const std::string complete = R"(,"resultType":"complete")";
  const std::string envelopeError = "Invalid _meta envelope: ";
  EXPECT_EQ(done.outLines(),
            (Lines{
                ok("1", kDiscoverResult),
                ok("2", kDiscoverResult),
                ok("3", toolsListResult("2026-07-28")),
                ok("4", R"({"content":[{"text":"{\"agents\":[]}","type":"text"}],"resultType":"complete",)"
                        R"("structuredContent":{"agents":[]}})"),
                failedTool("5", "get_agent: agent not found: ag_x", complete),
                error("6", -32601, "Unknown tool: no_such_tool"),
                ok("7", R"({"cacheScope":"private","resources":[],"resultType":"complete","ttlMs":3600000})"),
                ok("8", R"({"cacheScope":"private","prompts":[],"resultType":"complete","ttlMs":3600000})"),
                error("9", -32601, "Method not found: ping"),
                error("10", -32601, R"(Method not found: logging\/setLevel)"),
                error("11", -32601, R"(Method not found: tools\/cal)"),
                error("2", -32602, kMissingEnvelope),
                error("13", -32602, kMissingEnvelope),
                error("14", -32602, kMissingEnvelope),
                error("15", -32602, kMissingEnvelope),
                errorWithData("16", -32022, R"({"requested":"2025-11-25","supported":["2026-07-28"]})",
                              "Unsupported protocol version: 2025-11-25"),
                errorWithData("17", -32022, R"({"requested":"2099-01-01","supported":["2026-07-28"]})",
                              "Unsupported protocol version: 2099-01-01"),
                error("18", -32602, envelopeError + R"(io.modelcontextprotocol\/protocolVersion must be a string)"),
                error("19", -32602,
                      R"(Incomplete _meta envelope: io.modelcontextprotocol\/clientCapabilities is required)"),
                error("20", -32602, envelopeError + R"(io.modelcontextprotocol\/clientCapabilities must be an object)"),
                error("21", -32602, envelopeError + R"(io.modelcontextprotocol\/clientInfo must be an object)"),
                errorWithData("22", -32022, R"({"requested":"2025-06-18","supported":["2026-07-28"]})",
                              "Unsupported protocol version: 2025-06-18"),
            }));
  // No handshake, so no "client initialized"; nothing else to say.
  EXPECT_EQ(done.errLines(), (Lines{kPrefix + "ready (uid=u1)", kPrefix + "stdin closed; exiting"}));
  EXPECT_EQ(done.status, 0);
}

// Each request is answered in the revision of its own envelope, else in the
// one the last initialize settled, whatever came between.
TEST(EndToEndNegotiation, EachRequestsRevisionIsItsEnvelopesElseTheHandshakes) {
  TempDir dir;
  const std::string enveloped = request(3, "tools/list", envelope());
  const std::string badCall = R"({"id":9,"method":"tools/call","params":{"name":"run_now","arguments":{}}})" "\n";
  const Finished done = runServer(
      negotiating(dir), kToolsList + enveloped + initializeLine("2025-06-18") + kToolsList + enveloped + kToolsList +
                            badCall + toolRequest(9, "run_now", json::object(), envelope()) +
                            "{\"id\":4,\"method\":\"ping\"}\n" + request(4, "ping", envelope()));
  EXPECT_EQ(done.outLines(), (Lines{
                                 // Before anything: as 2024-11-05, as always.
                                 ok("2", toolsListResult("2024-11-05")),
                                 ok("3", toolsListResult("2026-07-28")),
                                 ok("1", initializeResult("2025-06-18")),
                                 ok("2", toolsListResult("2025-06-18")),
                                 ok("3", toolsListResult("2026-07-28")),
                                 ok("2", toolsListResult("2025-06-18")),
                                 failedTool("9", "run_now: 'task_id' is required"),
                                 failedTool("9", "run_now: 'task_id' is required", R"(,"resultType":"complete")"),
                                 ok("4", "{}"),
                                 error("4", -32601, "Method not found: ping"),
                             }));
}

// Without KOVIX_PROTOCOL there is no discovery and no envelope: both are
// answered exactly as before, whatever a request claims.
TEST(EndToEndNegotiation, DefaultSettingKnowsNoDiscoveryAndNoEnvelope) {
  TempDir dir;
  const Finished done = runServer(
      serverEnvironment(dir), request(1, "server/discover", envelope()) + request(2, "tools/list", envelope()) +
                                  toolRequest(3, "get_task", json::object(), envelope()) +
                                  request(4, "ping", envelope("2099-01-01")) + request(5, "tools/list", json::array()) +
                                  kToolsList);
  EXPECT_EQ(done.outLines(), (Lines{
                                 error("1", -32602, R"(Unsupported method: server\/discover)"),
                                 ok("2", toolsListResult("2024-11-05")),
                                 error("3", -32602, "get_task: 'task_id' is required"),
                                 ok("4", "{}"),
                                 ok("5", toolsListResult("2024-11-05")),
                                 ok("2", toolsListResult("2024-11-05")),
                             }));
}
