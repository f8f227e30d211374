// The real binary over pipes: start-up, framing, the wire form of every
// response, the catalogue, and input meant to hurt.

#include "Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>

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
  TempDir io;
  writeFile(io / "in", input);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, (io / "in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (io / "out").c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, (io / "err").c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::string arg0 = argv0.value_or("");
  std::vector<char*> argv{argv0 ? arg0.data() : nullptr, nullptr};
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int status = 0;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  waitpid(pid, &status, 0);
  return {readFile(io / "out"), readFile(io / "err"), WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)};
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

TEST(EndToEndProtocol, DeepNestingIsInvalidJSONNotACrash) {
  auto nested = [](int depth) {
    return R"({"id":1,"method":"ping","x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  const std::string deepArrays(100000, '['), deepObjects = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "{\"a\":";
    return s;
  }();
  const std::string inString = R"({"id":2,"method":"ping","x":")" + std::string(2000, '[') + R"("})";
  TempDir dir;
  ServerProcess server(serverEnvironment(dir));
  // Each line is followed by a ping whose answer shows the server is past it
  // (and lets us drain the long diagnostics as we go).
  for (const std::string& line : {deepArrays, deepObjects, nested(512), nested(513), inString}) {
    server.send(line + "\n{\"id\":\"p\",\"method\":\"ping\"}\n");
    if (line == nested(512) || line == inString) {
      EXPECT_EQ(server.readLine(), ok(line == inString ? "2" : "1", "{}"));
    }
    EXPECT_EQ(server.readLine(), ok("\"p\"", "{}"));
  }
  const Finished done = server.finish();
  EXPECT_EQ(done.status, 0);
  const std::string bad = kPrefix + "invalid JSON: ";
  EXPECT_EQ(done.errLines(), (Lines{kReady, bad + deepArrays, bad + deepObjects, bad + nested(513), kClosed}));
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
