// The real binary over pipes: start-up, framing, the wire form of every
// response, the catalogue, and input meant to hurt.

#include "Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

const std::string kPrefix = "kovix-mcp-server: ";
const std::string kReady = kPrefix + "ready (uid=u1)";
const std::string kClosed = kPrefix + "stdin closed; exiting";

std::string ok(const std::string& id, const std::string& result) {
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":)" + result + "}";
}
std::string error(const std::string& id, int code, const std::string& message) {
  return R"({"error":{"code":)" + std::to_string(code) + R"(,"message":")" + message + R"("},"id":)" + id +
         R"(,"jsonrpc":"2.0"})";
}
// The server's byte form of a value: nlohmann's compact sorted form with "/" escaped.
std::string wire(const json& value) {
  std::string text = value.dump();
  for (size_t at = 0; (at = text.find('/', at)) != std::string::npos; at += 2) text.insert(at, 1, '\\');
  return text;
}

// Runs `program` itself (not the build's binary) with argument 0 as given, or
// none at all, so that the server's own location and argv[0] can differ.
Finished spawnProgram(const fs::path& program, const std::optional<std::string>& argv0, const Environment& env,
                      const fs::path& cwd, const std::string& input) {
  SpawnOptions options;
  options.program = program;
  options.noArguments = !argv0;
  return runServer(env, input, argv0 ? std::vector<std::string>{*argv0} : std::vector<std::string>{}, cwd, options);
}

std::string createAgentLine(const std::string& name) {
  return toolCall(1, "create_agent", {{"name", name}}).dump() + "\n";
}
std::string agentIdOf(const std::string& responseLine) {
  return toolResult(json::parse(responseLine)).value("agent_id", "");
}

}  // namespace

TEST(EndToEndStartup, StopsWithOneLineAndNothingElse) {
  TempDir dir;
  const std::string user = kPrefix + "KOVIX_USER_ID is required", db = kPrefix + "KOVIX_DB_PATH is required";
  const std::string path = (dir / "db.sqlite").string(), root = (dir / "agents").string();
  const std::string odd = dir.path().string() + "/no \"such\" \\ dir\n\t\r\x1b\x7f";
  struct Case {
    Environment env;
    std::optional<std::string> argv0;
    std::string line;  // only the prefix when the wording is ours to choose
    int status;
  };
  const Case cases[] = {
      {{}, KOVIX_SERVER_BINARY, user, 2},
      {{{"KOVIX_USER_ID", ""}}, KOVIX_SERVER_BINARY, user, 2},
      {{{"KOVIX_USER_ID", ""}, {"KOVIX_DB_PATH", path}}, KOVIX_SERVER_BINARY, user, 2},
      {{{"KOVIX_USER_ID", "u1"}}, KOVIX_SERVER_BINARY, db, 2},
      {{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", ""}}, KOVIX_SERVER_BINARY, db, 2},
      {{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", path + "/missing/db"}},
       KOVIX_SERVER_BINARY, kPrefix + "failed to open db: openFailed(\"" + path + "/missing/db\")", 3},
      {{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", odd + "/db"}, {"KOVIX_AGENT_ROOT", root}},
       KOVIX_SERVER_BINARY,
       kPrefix + "failed to open db: openFailed(\"" + dir.path().string() +
           "/no \\\"such\\\" \\\\ dir\\n\\t\\r\\u{1b}\\u{7f}/db\")",
       3},
      {{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", path}, {"KOVIX_AGENT_ROOT", root}}, std::nullopt, kPrefix, 2},
      {{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", path}, {"KOVIX_AGENT_ROOT", root}}, "", kPrefix, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Finished done = spawnProgram(KOVIX_SERVER_BINARY, c.argv0, c.env, dir.path(), "");
    EXPECT_EQ(done.status, c.status);
    EXPECT_EQ(done.out, "");
    const Lines lines = done.errLines();
    ASSERT_EQ(lines.size(), 1u) << done.err;
    if (c.line == kPrefix) EXPECT_TRUE(lines[0].starts_with(kPrefix) && lines[0].size() > kPrefix.size());
    else EXPECT_EQ(lines[0], c.line);
    EXPECT_TRUE(fs::is_empty(dir.path())) << "start-up that stops must create nothing";
  }
}

TEST(EndToEndStartup, ReadyLineEchoesTheUserIdAndClosedInputEndsWithZero) {
  for (const std::string uid : {"u1", "a b", "x(y)z)", "\"q\" \\ \xC3\xA9 \xF0\x9F\x99\x82", "uid=", "-"}) {
    TempDir dir;
    const Finished done = runServer(serverEnvironment(dir, uid), "");
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.out, "");
    EXPECT_EQ(done.errLines(), (Lines{kPrefix + "ready (uid=" + uid + ")", kClosed}));
  }
}

TEST(EndToEndStartup, AgentRootAndTemplateFromTheEnvironment) {
  // Relative paths are taken from the working directory; "@" stands for it.
  const std::vector<std::pair<Environment, std::string>> cases = {
      {{{"KOVIX_AGENT_ROOT", "rel/agents"}, {"XDG_DATA_HOME", "@/xdg"}}, "rel/agents"},
      {{{"XDG_DATA_HOME", "@/xdg"}, {"HOME", "@/home"}}, "xdg/Kovix/agents"},
      {{{"KOVIX_AGENT_ROOT", ""}, {"XDG_DATA_HOME", "@/xdg"}}, "xdg/Kovix/agents"},
      {{{"KOVIX_AGENT_ROOT", ""}, {"XDG_DATA_HOME", "xdg"}, {"HOME", "@/home"}}, "home/.local/share/Kovix/agents"},
      {{{"XDG_DATA_HOME", ""}, {"HOME", "@/home"}}, "home/.local/share/Kovix/agents"},
  };
  for (const auto& [extra, root] : cases) {
    SCOPED_TRACE(root);
    TempDir dir;
    writeFile(dir / "tpl.md", "T:{{AGENT_NAME}}");
    Environment env{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", "db.sqlite"}, {"KOVIX_TEMPLATE_PATH", "tpl.md"}};
    for (auto [k, v] : extra) env[k] = v.starts_with("@") ? dir.path().string() + v.substr(1) : v;
    ServerProcess server(env, {}, dir.path());
    server.send(createAgentLine("A"));
    const std::string id = agentIdOf(server.readLine());
    EXPECT_EQ(server.finish().status, 0);
    EXPECT_EQ(readFile(dir / root / id / "CLAUDE.md"), "T:A");
    EXPECT_TRUE(fs::exists(dir / "db.sqlite"));
  }
}

TEST(EndToEndStartup, TemplateFoundBesideTheProgram) {
  TempDir dir;
  fs::create_directories(dir / "bin");
  fs::copy_file(KOVIX_SERVER_BINARY, dir / "bin" / "kovix-mcp-server");
  const fs::path bundled = dir / "Resources" / "agent-claude-template.md", beside = dir / "bin" / "agent-claude-template.md";
  const std::string absolute = (dir / "bin" / "kovix-mcp-server").string();
  struct Case {
    bool withBundled, withBeside;
    std::string argv0, claude;
  };
  const Case cases[] = {
      {true, true, absolute, "R:A"},
      {true, true, "bin/kovix-mcp-server", "R:A"},
      {true, false, "kovix-mcp-server", "R:A"},  // found through PATH: the real location counts
      {false, true, absolute, "B:A"},
      {false, true, "kovix-mcp-server", "B:A"},
      {false, false, absolute, "# A\n"},  // the built-in template
  };
  const Environment env{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", (dir / "db").string()},
                        {"KOVIX_AGENT_ROOT", (dir / "agents").string()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv0 + " -> " + c.claude);
    fs::remove_all(dir / "Resources");
    fs::remove(beside);
    if (c.withBundled) fs::create_directories(dir / "Resources"), writeFile(bundled, "R:{{AGENT_NAME}}");
    if (c.withBeside) writeFile(beside, "B:{{AGENT_NAME}}");
    const Finished done = spawnProgram(dir / "bin" / "kovix-mcp-server", c.argv0, env, dir.path(), createAgentLine("A"));
    EXPECT_EQ(done.status, 0);
    ASSERT_EQ(done.outLines().size(), 1u) << done.err;
    EXPECT_TRUE(readFile(dir / "agents" / agentIdOf(done.outLines()[0]) / "CLAUDE.md").starts_with(c.claude));
  }
}

TEST(EndToEndStartup, VersionAndHelpAnswerBeforeAnyVariableIsLookedAt) {
  TempDir dir;
  const std::string bin = KOVIX_SERVER_BINARY;
  for (const Environment& env : {Environment{}, serverEnvironment(dir)}) {
    SCOPED_TRACE(env.size());
    for (const std::vector<std::string>& argv : {std::vector<std::string>{bin, "--version"},
                                                 {bin, "x", "--version", "--help"}}) {
      const Finished done = runServer(env, "", argv);
      EXPECT_EQ(done.status, 0);
      EXPECT_EQ(done.out, "kovix-mcp-server 0.2.0\n");
      EXPECT_EQ(done.err, "");
    }
    const Finished help = runServer(env, "", {bin, "--help", "--version"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_TRUE(help.out.starts_with("Usage: kovix-mcp-server")) << help.out;
    EXPECT_TRUE(help.out.ends_with("\n"));
    for (const char* text : {"KOVIX_USER_ID", "KOVIX_DB_PATH", "KOVIX_AGENT_ROOT", "KOVIX_TEMPLATE_PATH",
                             "KOVIX_PROTOCOL", "Exit status: 0 ", "; 2 ", "; 3 ", "man kovix-mcp-server"}) {
      EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
    EXPECT_TRUE(fs::is_empty(dir.path())) << "--help and --version must open nothing";
  }
  // Anything else is ignored, as it always was: the server serves.
  const Finished served = runServer(serverEnvironment(dir), R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n",
                                    {bin, "-h", "--verbose", "--help=1", "-version"});
  EXPECT_EQ(served.status, 0);
  EXPECT_EQ(served.out, ok("1", "{}") + "\n");
  EXPECT_EQ(served.errLines(), (Lines{kReady, kClosed}));
}

TEST(EndToEndStartup, TablesMadeElsewhereWithoutOurColumnsAreNamedOnce) {
  const std::string tail = "; calls that need them will fail";
  struct Case {
    const char* schema;
    Lines lines;  // before the ready line
  };
  const Case cases[] = {
      {"CREATE TABLE agents(id TEXT PRIMARY KEY, name TEXT);",
       {kPrefix + "missing columns in table agents: user_id, template, description, icon_symbol, enabled, "
                  "created_at" + tail}},
      // Names match without regard to case, extra columns are fine, and a
      // table may lack columns the server only writes.
      {"CREATE TABLE TASKS(ID TEXT, Agent_Id TEXT, NAME, PROMPT, AI_TOOLS, FREQUENCY, HOST_ID, DEPENDS_ON, "
       "TIMEOUT_MIN, WORKING_SUBDIR, ENABLED, NEXT_RUN_AT, LAST_RUN_AT, extra);"
       "CREATE TABLE runs(id, task_id, started_at, status, ai_used, triggered_by, output_path, log_path);",
       {kPrefix + "missing columns in table runs: finished_at, exit_code, tokens_in, tokens_out" + tail}},
      {"CREATE TABLE agents(id);CREATE TABLE tasks(id);CREATE TABLE runs(id);",
       {kPrefix + "missing columns in table agents: user_id, name, template, description, icon_symbol, enabled, "
                  "created_at" + tail,
        kPrefix + "missing columns in table tasks: agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, "
                  "timeout_min, working_subdir, enabled, next_run_at, last_run_at" + tail,
        kPrefix + "missing columns in table runs: task_id, started_at, finished_at, status, ai_used, triggered_by, "
                  "output_path, log_path, exit_code, tokens_in, tokens_out" + tail}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.schema);
    TempDir dir;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "db.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, c.schema, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    // Start-up goes on as before: the calls fail as SQLite says.
    const Finished done = runServer(serverEnvironment(dir), toolCall(1, "list_agents", json::object()).dump() + "\n");
    EXPECT_EQ(done.status, 0);
    ASSERT_EQ(done.outLines().size(), 1u);
    Lines expected = c.lines;
    expected.insert(expected.end(), {kReady, kClosed});
    EXPECT_EQ(done.errLines(), expected);
  }
  // The server's own tables, made by an earlier server: the start-up lines
  // are the usual ones, byte for byte.
  TempDir dir;
  EXPECT_EQ(runServer(serverEnvironment(dir), "").err, kReady + "\n" + kClosed + "\n");
  EXPECT_EQ(runServer(serverEnvironment(dir), "").err, kReady + "\n" + kClosed + "\n");
}

TEST(EndToEndProtocol, TranscriptOfFramingNotificationsAndErrors) {
  TempDir dir;
  const std::string input =
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"ping\",\"params\":[1]}\n"
      "\n{\"id\":3,\"method\":\"ping\"}\r\n\r\n \n[1,2]\n42\n\"s\"\nnull\n{bad\n{\"id\":4,\"method\":\"\xff\"}\n"
      R"({"method":"tools/list","params":{}})" "\n"
      R"({"method":"notifications/initialized"})" "\n"
      R"({"method":"notifications/cancelled","params":{"requestId":1}})" "\n"
      R"({"method":"x/y"})" "\n{}\n"
      R"({"method":5,"params":"p"})" "\n"
      R"({"id":5,"method":"notifications/initialized"})" "\n"
      R"({"id":6})" "\n"
      R"({"id":7,"method":["ping"]})" "\n"
      R"({"id":8,"method":"Ping"})" "\n"
      R"({"id":9,"method":"tools/call","params":{"name":5}})" "\n"
      R"({"id":10,"method":"tools/call","params":"x"})" "\n"
      R"({"id":11,"method":"tools/call","params":{"name":"no/such"}})" "\n"
      R"({"id":12,"method":"tools/call","params":{"name":""}})" "\n"
      R"({"id":13,"method":"tools/call","params":{"name":"list_agents","arguments":"x"}})" "\n"
      R"({"id":14,"method":"tools/call","params":{"name":"create_agent","arguments":[{"name":"A"}]}})" "\n"
      R"({"id":15,"method":"initialize","params":{"protocolVersion":"1999"}})" "\n"
      R"({"id":16,"method":"resources/list"})" "\n"
      R"({"id":17,"method":"prompts/list"})" "\n"
      R"({"id":18,"method":"tools/call","params":{"name":"run_now","arguments":{"task_id":"tk_none"}}})" "\n"
      R"({"id":19,"method":"ping"})";  // no line feed before the end: never handled
  const Finished done = runServer(serverEnvironment(dir), input);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.outLines(),
            (Lines{ok("1", "{}"), ok("2", "{}"), ok("3", "{}"),
                   error("5", -32602, "Unsupported method: notifications\\/initialized"),
                   error("6", -32602, "Unsupported method: "), error("7", -32602, "Unsupported method: "),
                   error("8", -32602, "Unsupported method: Ping"),
                   error("9", -32602, "tools\\/call requires 'name'"),
                   error("10", -32602, "tools\\/call requires 'name'"),
                   error("11", -32601, "Unknown tool: no\\/such"), error("12", -32601, "Unknown tool: "),
                   ok("13", R"({"content":[{"text":"{\"agents\":[]}","type":"text"}]})"),
                   error("14", -32602, "create_agent: 'name' is required"),
                   ok("15", R"({"capabilities":{"tools":{"listChanged":false}},"protocolVersion":"2024-11-05",)"
                            R"("serverInfo":{"name":"kovix-mcp-server","version":"0.2.0"}})"),
                   ok("16", R"({"resources":[]})"), ok("17", R"({"prompts":[]})"),
                   error("18", -32603, "Not found: task tk_none")}));
  const std::string bad = kPrefix + "invalid JSON: ";
  EXPECT_EQ(done.errLines(),
            (Lines{kReady, bad + "\r", bad + " ", bad + "[1,2]", bad + "42", bad + "\"s\"", bad + "null",
                   bad + "{bad", bad + "<bin>", kPrefix + "ignoring notification tools/list",
                   kPrefix + "client initialized", kPrefix + "ignoring notification x/y",
                   kPrefix + "ignoring notification ", kPrefix + "ignoring notification ", kClosed}));
}

TEST(EndToEndProtocol, IdsOfEveryTypeAreEchoed) {
  // {sent, echoed}; an empty echo means "the same number, in any digits".
  const std::vector<std::pair<std::string, std::string>> ids = {
      {"0", "0"}, {"false", "false"}, {"true", "true"}, {"null", "null"}, {R"("")", R"("")"},
      {R"("a/b")", R"("a\/b")"}, {R"("\u00e9\n\u0001")", "\"\xC3\xA9\\n\\u0001\""}, {"-7", "-7"},
      {"18446744073709551615", "18446744073709551615"}, {"-9223372036854775808", "-9223372036854775808"},
      {"1.5", "1.5"}, {"-0.25", "-0.25"}, {"2.0", ""}, {"1e300", ""}, {"0.1", ""}, {"[]", "[]"}, {"{}", "{}"},
      {R"({"b":[1,{"d":null,"c":"x"}],"a":1})", R"({"a":1,"b":[1,{"c":"x","d":null}]})"}};
  TempDir dir;
  std::string input;
  for (const auto& [sent, echoed] : ids) input += R"({"method":"ping","id":)" + sent + "}\n";
  input += R"({"method":"nope","id":"a/b"})" "\n";
  const Finished done = runServer(serverEnvironment(dir), input);
  const Lines lines = done.outLines();
  ASSERT_EQ(lines.size(), ids.size() + 1);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!ids[i].second.empty()) EXPECT_EQ(lines[i], ok(ids[i].second, "{}"));
    else EXPECT_EQ(json::parse(lines[i]).at("id"), json::parse(ids[i].first)) << lines[i];
  }
  EXPECT_EQ(lines.back(), error(R"("a\/b")", -32602, "Unsupported method: nope"));
}

TEST(EndToEndProtocol, CatalogueIsExactAndStable) {
  const json catalogue = json::parse(R"json([
{"name":"create_agent","description":"Create a new Agent. Returns its agent_id.","inputSchema":{"type":"object","properties":{
 "name":{"type":"string","description":"Display name (e.g. 'Chief Marketing Officer')."},
 "template":{"type":"string","enum":["custom","cmo","engineer","personal_assistant","daily_researcher"],"description":"Template family. Defaults to 'custom'."},
 "description":{"type":"string","description":"One-paragraph description."},
 "icon_symbol":{"type":"string","description":"SF Symbol name (e.g. megaphone.fill)."}},"required":["name"]}},
{"name":"create_task","description":"Create a Task under an Agent. Returns its task_id.","inputSchema":{"type":"object","properties":{
 "agent_id":{"type":"string"},"name":{"type":"string"},
 "prompt":{"type":"string","description":"Markdown prompt \u2014 Goal/Context/Output format/Hand-off."},
 "ai_tools":{"type":"array","items":{"type":"string","enum":["claude","codex"]},"description":"Default ['claude']. Use both only when comparison is wanted."},
 "frequency":{"type":"string","description":"Cron expression. Free tier daily-or-coarser."},
 "host_id":{"type":"string","description":"'local' unless other hosts (Pro)."},
 "timeout_min":{"type":"integer","description":"Defaults to 30."},
 "working_subdir":{"type":"string","description":"Defaults to 'shared'."}},"required":["agent_id","name","prompt"]}},
{"name":"register_dependency","description":"Mark task_id as depending on the upstream task IDs in depends_on. Call AFTER all relevant tasks exist.",
 "inputSchema":{"type":"object","properties":{"task_id":{"type":"string"},"depends_on":{"type":"array","items":{"type":"string"}}},"required":["task_id","depends_on"]}},
{"name":"list_agents","description":"List the user's existing agents. Call this before proposing names so you don't duplicate one.","inputSchema":{"type":"object","properties":{}}},
{"name":"list_tasks","description":"List tasks under an agent (id, name, frequency, ai_tools, depends_on).","inputSchema":{"type":"object","properties":{"agent_id":{"type":"string"}},"required":["agent_id"]}},
{"name":"get_agent","description":"Fetch one agent's full record.","inputSchema":{"type":"object","properties":{"agent_id":{"type":"string"}},"required":["agent_id"]}},
{"name":"get_task","description":"Fetch one task's full record.","inputSchema":{"type":"object","properties":{"task_id":{"type":"string"}},"required":["task_id"]}},
{"name":"run_now","description":"Queue a one-shot manual run of this task. Returns run_id and status.","inputSchema":{"type":"object","properties":{"task_id":{"type":"string"}},"required":["task_id"]}}
])json");
  TempDir dir;
  // Asked before any initialize, twice, and again after a write.
  const Finished done = runServer(serverEnvironment(dir), "{\"id\":1,\"method\":\"tools/list\"}\n"
                                  "{\"id\":1,\"method\":\"tools/list\"}\n" + createAgentLine("A") +
                                  "{\"id\":1,\"method\":\"tools/list\"}\n");
  const Lines lines = done.outLines();
  ASSERT_EQ(lines.size(), 4u);
  const std::string expected = ok("1", R"({"tools":)" + wire(catalogue) + "}");
  for (size_t i : {0, 1, 3}) EXPECT_EQ(lines[i], expected);
  const json tools = json::parse(lines[0])["result"]["tools"];
  const std::string prompt = tools[1]["inputSchema"]["properties"]["prompt"]["description"];
  EXPECT_EQ(prompt.size(), 56u);
  EXPECT_NE(prompt.find("prompt \xE2\x80\x94 Goal"), std::string::npos);
  EXPECT_FALSE(tools[3]["inputSchema"].contains("required"));
}

TEST(EndToEndProtocol, SplitReadsToolTextAndAClientThatStopsReading) {
  TempDir dir;
  ServerProcess server(serverEnvironment(dir));
  // The second request is cut in two; its first half is in the server before
  // the first answer comes back.
  server.send("{\"id\":\"a\",\"method\":\"ping\"}\n{\"id\":\"b\",");
  EXPECT_EQ(server.readLine(), ok("\"a\"", "{}"));
  server.send("\"method\":\"ping\"}\n");
  EXPECT_EQ(server.readLine(), ok("\"b\"", "{}"));

  // Tool text: sorted keys, "/" escaped inside the text and again on the wire.
  server.send(createAgentLine("A"));
  const std::string line = server.readLine();
  const std::string id = agentIdOf(line);
  const std::string text = R"({"agent_id":")" + id + R"(","url":"kovix:\/\/agents\/)" + id + "\"}";
  EXPECT_EQ(line, ok("1", R"({"content":[{"text":)" + wire(text) + R"(,"type":"text"}]})"));
  const auto record = nlohmann::ordered_json::parse(toolResult(server.request(toolCall(2, "get_agent", {{"agent_id", id}}))).dump());
  std::vector<std::string> keys;
  for (const auto& [key, value] : record["agent"].items()) keys.push_back(key);
  EXPECT_EQ(keys.size(), 8u);
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));

  // A client that closes its end of our output: the answers are lost, the
  // server goes on with its input and ends normally.
  server.closeOutput();
  for (int i = 0; i < 3; ++i) server.send(R"({"id":1,"method":"tools/list"})" "\n");
  server.send(createAgentLine("after"));
  const Finished done = server.finish();
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.errLines(), (Lines{kReady, kClosed}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "agents"), fs::directory_iterator()), 2);
}

// Whatever the stack (the default, or `ulimit -s` of 32, 64 or 96 KiB), a
// line nested as deep as the reader takes is read, answered (its id echoed,
// however deep) and freed, and a deeper one is invalid JSON; a call that
// reads the template and renders a briefing fits as well.
TEST(EndToEndProtocol, DeepNestingIsInvalidJSONNotACrash) {
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
  // Unoptimised and sanitized code takes several times the stack for the
  // same calls: the limits grow with it, so that what is tested is the
  // nesting, not the size of the frames.
  constexpr uint64_t kStackScale = 4;
#else
  constexpr uint64_t kStackScale = 1;
#endif
  auto nested = [](int depth) {
    return R"({"id":1,"method":"ping","x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  const std::string deepArrays(100000, '['), deepObjects = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "{\"a\":";
    return s;
  }();
  const std::string inString = R"({"id":2,"method":"ping","x":")" + std::string(2000, '[') + R"("})";
  const std::string deepId = std::string(511, '[') + std::string(511, ']');
  const std::string deepIdLine = R"({"id":)" + deepId + R"(,"method":"ping"})";
  std::string deepObjectArgument;
  for (int i = 0; i < 508; ++i) deepObjectArgument += "{\"k\":";
  deepObjectArgument += "1" + std::string(508, '}');
  const std::string deepArgumentsLine =
      R"({"id":3,"method":"tools/call","params":{"name":"create_agent","arguments":{"name":"Deep","x":)" +
      deepObjectArgument + "}}}";
  for (const uint64_t stackKiB : {0, 32, 64, 96}) {
    SCOPED_TRACE(stackKiB ? "ulimit -s " + std::to_string(stackKiB * kStackScale) : "the default stack");
    TempDir dir;
    Environment env = serverEnvironment(dir);
    env["KOVIX_TEMPLATE_PATH"] = (dir / "template.md").string();
    writeFile(dir / "template.md", "# {{AGENT_NAME}}\n\n{{TASK_LIST}}\n");
    SpawnOptions options;
    if (stackKiB) options.limits = {{RLIMIT_STACK, (stackKiB * kStackScale) << 10}};
    ServerProcess server(env, {}, {}, options);
    // Each line is followed by a ping whose answer shows the server is past
    // it (and lets us drain the long diagnostics as we go).
    for (const std::string& line :
         {deepArrays, deepObjects, nested(512), nested(513), inString, deepIdLine, deepArgumentsLine}) {
      server.send(line + "\n{\"id\":\"p\",\"method\":\"ping\"}\n");
      if (line == nested(512) || line == inString || line == deepIdLine) {
        EXPECT_EQ(server.readLine(), ok(line == inString ? "2" : line == deepIdLine ? deepId : "1", "{}"));
      } else if (line == deepArgumentsLine) {
        const std::string agent = agentIdOf(server.readLine());
        EXPECT_EQ(readFile(dir / "agents" / agent / "CLAUDE.md"), "# Deep\n\n- (no other tasks yet)\n");
      }
      EXPECT_EQ(server.readLine(), ok("\"p\"", "{}"));
    }
    const Finished done = server.finish();
    EXPECT_EQ(done.status, 0) << "-11 is SIGSEGV";
    const std::string bad = kPrefix + "invalid JSON: ";
    EXPECT_EQ(done.errLines(), (Lines{kReady, bad + deepArrays, bad + deepObjects, bad + nested(513), kClosed}));
  }
}

// Under `ulimit -f`, a write past the limit is an error of the call that
// made it, whether SQLite's log or CLAUDE.md meets the limit, and the server
// serves on.
TEST(EndToEndLimits, AFileSizeLimitFailsTheCallNotTheServer) {
  TempDir dir;
  Environment env = serverEnvironment(dir);
  env["KOVIX_TEMPLATE_PATH"] = (dir / "twice.md").string();
  writeFile(dir / "twice.md", "{{AGENT_DESCRIPTION}}\n{{AGENT_DESCRIPTION}}");
  SpawnOptions options;
  options.limits = {{RLIMIT_FSIZE, 256 << 10}};
  ServerProcess server(env, {}, {}, options);
  const std::string agent = toolResult(server.request(toolCall(1, "create_agent", {{"name", "Small"}})))["agent_id"];

  // A 150 KB description fits the database; its briefing of 300 KB does not.
  const json big = server.request(toolCall(2, "create_agent", {{"name", "Big"}, {"description", std::string(150000, 'd')}}));
  ASSERT_TRUE(big.contains("error")) << big.dump().substr(0, 300);
  EXPECT_EQ(big["error"]["code"], -32603);
  const std::string briefingError = big["error"]["message"];
  EXPECT_TRUE(briefingError.starts_with("Could not write " + (dir / "agents").string() + "/ag_")) << briefingError;
  EXPECT_TRUE(briefingError.ends_with("/CLAUDE.md: File too large")) << briefingError;

  // A 300 KB prompt does not fit the database's log.
  const json task = server.request(
      toolCall(3, "create_task", {{"agent_id", agent}, {"name", "huge"}, {"prompt", std::string(300000, 'p')}}));
  ASSERT_TRUE(task.contains("error")) << task.dump().substr(0, 300);
  EXPECT_EQ(task["error"]["code"], -32603);
  EXPECT_EQ(task["error"]["message"], "SQLite error: disk I/O error (File too large)");

  // The server goes on, and so do calls that fit.
  EXPECT_EQ(server.request(json{{"id", 4}, {"method", "ping"}})["result"], json::object());
  const json small = server.request(toolCall(5, "create_task", {{"agent_id", agent}, {"name", "t"}, {"prompt", "p"}}));
  EXPECT_TRUE(toolResult(small)["task_id"].get<std::string>().starts_with("tk_")) << small.dump();
  const Finished done = server.finish();
  EXPECT_EQ(done.status, 0) << "-25 is SIGXFSZ";
  EXPECT_EQ(done.errLines(), (Lines{kReady, kClosed}));
}

TEST(EndToEndProtocol, ALineOfTwentyMegabytesIsHandledWhole) {
  std::string description(20 << 20, 'x');
  for (size_t i = 0; i < description.size(); i += 4093) description[i] = static_cast<char>('a' + i % 26);
  TempDir dir;
  ServerProcess server(serverEnvironment(dir));
  server.sendLine(toolCall(1, "create_agent", {{"name", "Big"}, {"description", description}}));
  const std::string id = agentIdOf(server.readLine(std::chrono::seconds(60)));
  server.sendLine(toolCall(2, "get_agent", {{"agent_id", id}}));
  const json agent = toolResult(json::parse(server.readLine(std::chrono::seconds(60))))["agent"];
  EXPECT_TRUE(agent["description"] == description);
  EXPECT_EQ(server.finish().status, 0);
}

TEST(EndToEndStartup, PathsAreTakenAsGivenSoTheKernelResolvesLinks) {
  // real/deep is reached through the link; "link/.." is then real, where a
  // lexical reading would say the directory itself. Decoys wait there.
  TempDir dir;
  fs::create_directories(dir / "real" / "deep");
  fs::create_directory_symlink(dir / "real" / "deep", dir / "link");
  fs::create_directories(dir / "real" / "bin");
  fs::copy_file(serverBinary(), dir / "real" / "bin" / "kovix-mcp-server");
  fs::create_directories(dir / "real" / "Resources");
  fs::create_directories(dir / "Resources");
  writeFile(dir / "real" / "Resources" / "agent-claude-template.md", "resolved:{{AGENT_NAME}}");
  writeFile(dir / "Resources" / "agent-claude-template.md", "lexical:{{AGENT_NAME}}");
  writeFile(dir / "real" / "tpl.md", "resolved-env:{{AGENT_NAME}}");
  writeFile(dir / "tpl.md", "lexical-env:{{AGENT_NAME}}");
  const std::string link = (dir / "link").string();

  struct Case {
    std::string root, templatePath, argv0;
    fs::path expectedRoot;
    std::string claude;
  };
  const Case cases[] = {
      {link + "/../agents", link + "/../tpl.md", "bin/kovix-mcp-server", dir / "real" / "agents", "resolved-env:A"},
      {"link/../rel-agents", "link/../tpl.md", "bin/kovix-mcp-server", dir / "real" / "rel-agents", "resolved-env:A"},
      // The template beside the program: argument 0 through the link.
      {link + "/../a0", "", "link/../bin/kovix-mcp-server", dir / "real" / "a0", "resolved:A"},
      {link + "/../a1", "", link + "/../bin/./kovix-mcp-server", dir / "real" / "a1", "resolved:A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root + " " + c.templatePath + " " + c.argv0);
    Environment env{{"KOVIX_USER_ID", "u1"}, {"KOVIX_DB_PATH", (dir / "db").string()}, {"KOVIX_AGENT_ROOT", c.root}};
    if (!c.templatePath.empty()) env["KOVIX_TEMPLATE_PATH"] = c.templatePath;
    const Finished done =
        spawnProgram(dir / "real" / "bin" / "kovix-mcp-server", c.argv0, env, dir.path(), createAgentLine("A"));
    EXPECT_EQ(done.status, 0);
    ASSERT_EQ(done.outLines().size(), 1u) << done.err;
    const std::string id = agentIdOf(done.outLines()[0]);
    EXPECT_EQ(readFile(c.expectedRoot / id / "CLAUDE.md"), c.claude);
  }
  EXPECT_FALSE(fs::exists(dir / "agents"));
  EXPECT_FALSE(fs::exists(dir / "rel-agents"));
}

TEST(EndToEndProtocol, NulByteAnywhereMakesTheLineInvalid) {
  using namespace std::string_literals;
  const std::vector<std::string> bad = {
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\0junk"s,
      "{\"id\":2,\"method\":\"ping\"}\0"s,
      "{\"id\":3,\"method\":\"ping\"} \0 "s,
      "\0{\"id\":4,\"method\":\"ping\"}"s,
      "{\"id\":5,\"method\":\"pi\0ng\"}"s,
      "{\"id\":6,\0\"method\":\"ping\"}"s,
  };
  std::string input;
  for (const auto& line : bad) input += line + "\n{\"id\":\"p\",\"method\":\"ping\"}\n";
  TempDir dir;
  const Finished done = runServer(serverEnvironment(dir), input);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.outLines(), Lines(bad.size(), ok("\"p\"", "{}")));
  Lines expected{kReady};
  for (const auto& line : bad) expected.push_back(kPrefix + "invalid JSON: " + line);
  expected.push_back(kClosed);
  EXPECT_EQ(done.errLines(), expected);
}

TEST(EndToEndProtocol, ALineFeedFromTheClientCannotForgeADiagnostic) {
  TempDir dir;
  const Finished done = runServer(serverEnvironment(dir),
                                  R"({"method":"a\nkovix-mcp-server: stdin closed; exiting\n"})" "\n"
                                  R"({"method":"x\\ny\r"})" "\n");
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.errLines(), (Lines{kReady,
                                    kPrefix + "ignoring notification a\\nkovix-mcp-server: stdin closed; exiting\\n",
                                    kPrefix + "ignoring notification x\\ny\r", kClosed}));
}

namespace {

// The open flags of the server's descriptor `fd`, as the kernel shows them.
long openFlags(int pid, int fd) {
  const std::string info = readFile("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
  const size_t at = info.find("flags:");
  return at == std::string::npos ? -1 : std::stol(info.substr(at + 6), nullptr, 8);
}

}  // namespace

TEST(EndToEndPipes, NonBlockingDescriptorsLoseNothingAndKeepTheirFlags) {
  using namespace std::chrono_literals;
  for (const bool nonBlockingInput : {false, true}) {
    SpawnOptions options;
    options.nonBlockingInput = nonBlockingInput;
    options.nonBlockingOutputs = true;
    SCOPED_TRACE(options.nonBlockingInput ? "all three non-blocking" : "outputs non-blocking");
    TempDir dir;
    ServerProcess server(serverEnvironment(dir), {}, {}, options);
    // Nothing to read for a while: the server must wait, not take it for the end.
    std::this_thread::sleep_for(300ms);
    // A client that writes slowly.
    for (const std::string piece : {"{\"id\":1,", "\"method\"", ":\"ping\"}", "\n"}) {
      server.send(piece);
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(server.readLine(), ok("1", "{}"));

    // Answers far larger than the pipe, which we leave unread for a while.
    const std::string description(1 << 20, 'd');
    server.sendLine(toolCall(2, "create_agent", {{"name", "Big"}, {"description", description}}));
    const std::string id = agentIdOf(server.readLine());
    for (int i = 0; i < 3; ++i) server.sendLine(toolCall(3 + i, "get_agent", {{"agent_id", id}}));
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 3; ++i) {
      const std::string line = server.readLine();
      ASSERT_GT(line.size(), description.size());
      const json response = json::parse(line, nullptr, false);
      ASSERT_TRUE(response.is_object()) << "a response line is torn";
      EXPECT_EQ(response["id"], 3 + i);
      EXPECT_EQ(toolResult(response)["agent"]["description"], description);
    }
    // A diagnostic far larger than the pipe of standard error.
    const std::string garbage = "{" + std::string(1 << 20, 'g');
    server.send(garbage + "\n{\"id\":9,\"method\":\"ping\"}\n");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.readLine(), ok("9", "{}"));

    EXPECT_EQ(openFlags(server.pid(), 0) & O_NONBLOCK, options.nonBlockingInput ? O_NONBLOCK : 0);
    for (const int fd : {1, 2}) EXPECT_NE(openFlags(server.pid(), fd) & O_NONBLOCK, 0) << "descriptor " << fd;
    const Finished done = server.finish();
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.errLines(), (Lines{kReady, kPrefix + "invalid JSON: " + garbage, kClosed}));
  }
}

TEST(EndToEndSignals, AWaitingServerStopsAsAtTheEndOfInput) {
  for (const auto& [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(name);
    TempDir dir;
    ServerProcess server(serverEnvironment(dir));
    EXPECT_EQ(server.request(json{{"id", 1}, {"method", "ping"}}), json::parse(R"({"id":1,"jsonrpc":"2.0","result":{}})"));
    server.send(R"({"id":2,"method":)");  // half a line, never handled
    ASSERT_TRUE(server.waitForError(kReady + "\n"));
    kill(server.pid(), signal);
    EXPECT_TRUE(server.waitForError(kPrefix + name + " received; exiting\n"));
    const Finished done = server.finish();
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.out, "");
    EXPECT_EQ(done.errLines(), (Lines{kReady, kPrefix + name + " received; exiting"}));
  }
}

TEST(EndToEndSignals, TheRequestInHandIsAnsweredThenTheServerStops) {
  using namespace std::chrono_literals;
  TempDir dir;
  ServerProcess server(serverEnvironment(dir));
  EXPECT_EQ(server.request(json{{"id", 1}, {"method", "ping"}})["id"], 1);

  // Another process holds the write lock, so create_agent waits in SQLite's
  // busy time-out when the signal comes.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "db.sqlite").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  server.send(createAgentLine("Waits") + "{\"id\":\"behind\",\"method\":\"ping\"}\n");
  for (int i = 0; i < 200 && server.unreadInput() > 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server.unreadInput(), 0u);
  std::this_thread::sleep_for(1s);  // well into the 5 s busy time-out
  kill(server.pid(), SIGTERM);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  const std::string answer = server.readLine();
  EXPECT_TRUE(agentIdOf(answer).starts_with("ag_")) << answer;
  EXPECT_TRUE(server.waitForError(kPrefix + "SIGTERM received; exiting\n"));
  const Finished done = server.finish();
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.out, "") << "the ping behind the request was answered";
  EXPECT_EQ(done.errLines(), (Lines{kReady, kPrefix + "SIGTERM received; exiting"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "agents"), fs::directory_iterator()), 1);
}

// A stop signal while an answer waits for the client to read it: the answer
// gets a few seconds to drain, which a reading client uses to take it whole;
// a client that has stopped reading no longer keeps the server alive. The
// ping behind the request is not handled either way.
TEST(EndToEndSignals, AnAnswerTheClientDoesNotReadDelaysTheStopOnlyBriefly) {
  using namespace std::chrono_literals;
  for (const bool clientReads : {true, false}) {
    SCOPED_TRACE(clientReads ? "the client reads after the signal" : "the client never reads");
    TempDir dir;
    ServerProcess server(serverEnvironment(dir));
    const std::string description(2 << 20, 'd');
    server.sendLine(toolCall(1, "create_agent", {{"name", "Big"}, {"description", description}}));
    const std::string id = agentIdOf(server.readLine(std::chrono::seconds(30)));
    // A 2 MB answer fills the pipe (64 KiB) at once; the server waits in its write.
    server.send(toolCall(2, "get_agent", {{"agent_id", id}}).dump() + "\n{\"id\":3,\"method\":\"ping\"}\n");
    for (int i = 0; i < 500 && server.unreadInput() > 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.unreadInput(), 0u);
    std::this_thread::sleep_for(300ms);
    const auto signalled = std::chrono::steady_clock::now();
    kill(server.pid(), SIGTERM);
    server.closeInput();
    if (clientReads) {
      std::this_thread::sleep_for(200ms);
      const json answer = json::parse(server.readLine(std::chrono::seconds(10)));
      EXPECT_TRUE(toolResult(answer)["agent"]["description"] == description);
    }
    EXPECT_TRUE(server.waitForError(kPrefix + "SIGTERM received; exiting\n", 20s, /*readOutput=*/clientReads));
    const auto stopped = std::chrono::steady_clock::now() - signalled;
    EXPECT_LT(stopped, 10s);
    const Finished done = server.finish();
    EXPECT_EQ(done.status, 0);
    EXPECT_EQ(done.errLines(), (Lines{kReady, kPrefix + "SIGTERM received; exiting"}));
    if (clientReads) {
      EXPECT_EQ(done.out, "") << "the ping behind the request was answered";
    } else {
      EXPECT_GE(stopped, 2s) << "the answer got no time to drain";
      EXPECT_GT(done.out.size(), 0u);
      EXPECT_LT(done.out.size(), description.size()) << "the answer was written whole";
      EXPECT_EQ(done.out.find('\n'), std::string::npos) << "the ping behind the request was answered";
    }
  }
}
