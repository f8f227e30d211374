#include "Harness.h"
#include "MCPAgentStore.h"
#include "MCPError.h"
#include "MCPToolSet.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <regex>
#include <set>

namespace fs = std::filesystem;
using nlohmann::json;
using V = std::vector<std::string>;

namespace {

class ToolSetTest : public ::testing::Test {
 protected:
  // The text of a call's result.
  std::string resultText(const std::string& name, const json& arguments) {
    std::string text = "unchanged";
    tools.invoke(name, arguments, text);
    return text.substr(9);
  }
  // A call's result object.
  json call(const std::string& name, const json& arguments) { return json::parse(resultText(name, arguments)); }
  // What a call gave: its result as JSON text, or the kind and message of what it threw.
  std::string outcome(const std::string& name, const json& arguments) {
    try {
      return resultText(name, arguments);
    } catch (const MCPError& e) {
      return (e.kind == MCPError::Kind::invalidParams ? "invalid: " : e.kind == MCPError::Kind::unknownTool
                                                                          ? "unknown: "
                                                                          : "internal: ") +
             e.message;
    } catch (const std::exception& e) {
      return std::string("store: ") + e.what();
    }
  }
  // Everything a call could change: the rows and every file under the agents root.
  std::string snapshot() {
    std::string state;
    for (const std::string& row :
         Sql(dir / "db.sqlite")("SELECT 'agents', * FROM agents UNION ALL SELECT 'tasks', id, name, depends_on, "
                                "ifnull(next_run_at, '-'), timeout_min, ai_tools, working_subdir, prompt FROM tasks "
                                "UNION ALL SELECT 'runs', id, 0, 0, 0, 0, 0, 0, 0 FROM runs ORDER BY 1, 2")) {
      state += row + "|\n";
    }
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "agents"))
      files.insert(entry.path().string() + "=" + (entry.is_regular_file() ? readFile(entry.path()) : "dir"));
    for (const auto& file : files) state += file + "\n";
    return state;
  }

  TempDir dir;
  std::shared_ptr<MCPAgentStore> store = openStore(dir);
  MCPToolSet tools{store};
  std::string agent = call("create_agent", {{"name", "A"}})["agent_id"];
  std::string task = call("create_task", {{"agent_id", agent}, {"name", "T"}, {"prompt", "P"}})["task_id"];
};

TEST_F(ToolSetTest, EveryCataloguedNameRoutesToItsOwnToolAndNoOtherNameDoes) {
  const V names = {"create_agent", "create_task", "register_dependency", "list_agents",
                   "list_tasks",   "get_agent",   "get_task",            "run_now"};
  V catalogued, routed;
  for (const auto& descriptor : MCPToolSet::toolDescriptors()) catalogued.push_back(descriptor["name"]);
  for (const auto name : MCPToolSet::routedToolNames()) routed.emplace_back(name);
  EXPECT_EQ(catalogued, names);
  EXPECT_EQ(routed, names);
  const std::string before = snapshot();
  // Each name reaches its own operation: all but list_agents refuse no arguments in their own words.
  for (const auto& name : names) {
    const std::string result = outcome(name, json::object());
    EXPECT_EQ(result.rfind(name == "list_agents" ? "{\"agents\":[{" : "invalid: " + name + ": '", 0), 0u) << result;
  }
  for (const std::string& near : V{"List_agents", "list_agents ", " list_agents", "LIST_AGENTS", "list-agents",
                                   "list_agent", "", "list_agents\n", std::string("run_now\0", 8), "tools/call"})
    EXPECT_EQ(outcome(near, json::object()), "unknown: " + near);
  EXPECT_EQ(snapshot(), before);
}

TEST_F(ToolSetTest, ArgumentErrorsInEveryJsonTypeWriteNothing) {
  const std::vector<json> wrongTypes = {5, -1, 4.5, 1e300, true, false, nullptr, json::array(), json::array({"x"}),
                                        json::object(), json::object({{"a", "b"}})};
  struct Rule {
    std::string tool;
    json valid;
    std::string key;
    bool emptyRefused;
  };
  const std::vector<Rule> rules = {
      {"create_agent", {{"name", "N"}}, "name", true},
      {"create_task", {{"agent_id", agent}, {"name", "N"}, {"prompt", "P"}}, "agent_id", true},
      {"create_task", {{"agent_id", agent}, {"name", "N"}, {"prompt", "P"}}, "name", true},
      {"create_task", {{"agent_id", agent}, {"name", "N"}, {"prompt", "P"}}, "prompt", true},
      {"register_dependency", {{"task_id", task}, {"depends_on", json::array()}}, "task_id", true},
      {"list_tasks", {{"agent_id", agent}}, "agent_id", false},
      {"get_agent", {{"agent_id", agent}}, "agent_id", false},
      {"get_task", {{"task_id", task}}, "task_id", false},
      {"run_now", {{"task_id", task}}, "task_id", false},
  };
  const std::string before = snapshot();
  ASSERT_NE(before.find("tasks|" + task + "|T|[]|-|30|[\"claude\"]|shared|P|"), std::string::npos) << before;
  ASSERT_NE(before.find(agent + "/CLAUDE.md=# A\n"), std::string::npos) << before;
  for (const auto& rule : rules) {
    const std::string expected = "invalid: " + rule.tool + ": '" + rule.key + "' is required";
    json missing = rule.valid;
    missing.erase(rule.key);
    EXPECT_EQ(outcome(rule.tool, missing), expected);
    std::vector<json> bad = wrongTypes;
    if (rule.emptyRefused) bad.push_back("");
    for (const auto& value : bad) {
      json arguments = rule.valid;
      arguments[rule.key] = value;
      EXPECT_EQ(outcome(rule.tool, arguments), expected) << value.dump();
    }
  }
  json dependsOn = {{"task_id", task}};
  EXPECT_EQ(outcome("register_dependency", dependsOn), "invalid: register_dependency: 'depends_on' must be array");
  for (const json& value : {json(task), json::array({1}), json::array({task, nullptr}), json::array({json::array({task})}),
                            json::object(), json(nullptr), json(5), json(true)}) {
    dependsOn["depends_on"] = value;
    EXPECT_EQ(outcome("register_dependency", dependsOn), "invalid: register_dependency: 'depends_on' must be array")
        << value.dump();
  }
  // The first missing argument is the one reported; arguments that are not an object are no arguments.
  EXPECT_EQ(outcome("create_task", {{"prompt", 1}}), "invalid: create_task: 'agent_id' is required");
  EXPECT_EQ(outcome("create_task", {{"agent_id", agent}}), "invalid: create_task: 'name' is required");
  EXPECT_EQ(outcome("register_dependency", {{"depends_on", 5}}), "invalid: register_dependency: 'task_id' is required");
  EXPECT_EQ(outcome("get_task", json::array({task})), "invalid: get_task: 'task_id' is required");
  EXPECT_EQ(snapshot(), before);
}

TEST_F(ToolSetTest, StringsAreTakenAsGiven) {
  const std::string sqlText = "x'); DROP TABLE agents; --", longText(100000, 'L');
  const std::string agents = outcome("list_agents", json::object());
  const std::string before = snapshot();
  const std::vector<std::pair<std::pair<std::string, json>, std::string>> cases = {
      {{"list_agents", {{"agent_id", 5}, {"junk", nullptr}}}, agents},
      {{"get_agent", {{"agent_id", ""}}}, "invalid: get_agent: agent not found: "},
      {{"get_agent", {{"agent_id", agent + " "}}}, "invalid: get_agent: agent not found: " + agent + " "},
      {{"get_agent", {{"agent_id", "../" + agent}}}, "invalid: get_agent: agent not found: ../" + agent},
      {{"get_agent", {{"agent_id", sqlText}}}, "invalid: get_agent: agent not found: " + sqlText},
      {{"get_task", {{"task_id", ""}}}, "invalid: get_task: task not found: "},
      {{"get_task", {{"task_id", longText}}}, "invalid: get_task: task not found: " + longText},
      {{"list_tasks", {{"agent_id", ""}}}, R"({"tasks":[]})"},
      {{"list_tasks", {{"agent_id", "../"}}}, R"({"tasks":[]})"},
      {{"list_tasks", {{"agent_id", sqlText}}}, R"({"tasks":[]})"},
      {{"run_now", {{"task_id", ""}}}, "store: Not found: task "},
      {{"run_now", {{"task_id", "../" + task}}}, "store: Not found: task ../" + task},
      {{"create_task", {{"agent_id", "../x"}, {"name", "n"}, {"prompt", "p"}}}, "store: Not found: agent ../x"},
      {{"create_task", {{"agent_id", sqlText}, {"name", "n"}, {"prompt", "p"}}}, "store: Not found: agent " + sqlText},
      {{"register_dependency", {{"task_id", "../x"}, {"depends_on", json::array({task})}}}, "store: Not found: task ../x"},
      {{"register_dependency", {{"task_id", task}, {"depends_on", json::array({task, sqlText})}}},
       "store: Not found: upstream task " + sqlText},
  };
  for (const auto& [call, expected] : cases)
    EXPECT_EQ(outcome(call.first, call.second), expected) << call.first << " " << call.second.dump().substr(0, 80);
  EXPECT_EQ(snapshot(), before);

  for (const std::string& name : V{sqlText, longText, "   ", "../../etc", "\u2014 \"q\" \\ / \t\n"}) {
    const json created = call("create_agent", {{"name", name}});
    const std::string id = created["agent_id"];
    EXPECT_TRUE(std::regex_match(id, std::regex("ag_[0-9a-z]{10}"))) << id;
    EXPECT_EQ(created, json({{"agent_id", id}, {"url", "kovix://agents/" + id}}));
    EXPECT_EQ((*getAgent(*store, id))["name"], name);
    EXPECT_TRUE(fs::is_regular_file(dir / "agents" / id / "CLAUDE.md"));
  }
  EXPECT_FALSE(fs::exists(dir / "etc"));
}

TEST_F(ToolSetTest, OptionalArgumentsOfOtherTypesGetTheirDefaults) {
  const json none(json::value_t::discarded);  // the key is left out
  const std::string claude = R"(["claude"])", cron = "\"0 9 * * *\"";
  // Tool, key (also the record's field), value given, the record's field as JSON text.
  const std::vector<std::tuple<std::string, std::string, json, std::string>> cases = {
      {"create_task", "ai_tools", none, claude}, {"create_task", "ai_tools", "codex", claude},
      {"create_task", "ai_tools", json::array({"codex", 1}), claude}, {"create_task", "ai_tools", nullptr, claude},
      {"create_task", "ai_tools", json::object(), claude}, {"create_task", "ai_tools", json::array(), "[]"},
      {"create_task", "ai_tools", json::array({"codex", "claude", "codex"}), R"(["codex","claude","codex"])"},
      {"create_task", "timeout_min", none, "30"}, {"create_task", "timeout_min", 45, "45"},
      {"create_task", "timeout_min", 45.0, "45"}, {"create_task", "timeout_min", 45.5, "30"},
      {"create_task", "timeout_min", "45", "30"}, {"create_task", "timeout_min", true, "30"},
      {"create_task", "timeout_min", nullptr, "30"}, {"create_task", "timeout_min", json::array({45}), "30"},
      {"create_task", "timeout_min", 0, "0"}, {"create_task", "timeout_min", -5, "-5"},
      {"create_task", "timeout_min", 2147483647, "2147483647"},
      {"create_task", "timeout_min", -2147483648LL, "-2147483648"},
      {"create_task", "timeout_min", 2147483648LL, "30"}, {"create_task", "timeout_min", -2147483649LL, "30"},
      {"create_task", "timeout_min", 18446744073709551615ULL, "30"},
      {"create_task", "timeout_min", 4294967341.0, "30"}, {"create_task", "timeout_min", 1e300, "30"},
      {"create_task", "frequency", none, cron}, {"create_task", "frequency", 5, cron},
      {"create_task", "frequency", "", "\"\""}, {"create_task", "frequency", "not cron", "\"not cron\""},
      {"create_task", "host_id", none, "\"local\""}, {"create_task", "host_id", false, "\"local\""},
      {"create_task", "host_id", "h2", "\"h2\""}, {"create_task", "working_subdir", none, "\"shared\""},
      {"create_task", "working_subdir", json::array(), "\"shared\""},
      {"create_task", "working_subdir", "../up", "\"../up\""},
      {"create_task", "depends_on", json::array({"tk_x"}), "[]"},
      {"create_agent", "template", none, "\"custom\""}, {"create_agent", "template", 5, "\"custom\""},
      {"create_agent", "template", "weird", "\"weird\""}, {"create_agent", "template", "", "\"\""},
      {"create_agent", "description", none, "null"}, {"create_agent", "description", 5, "null"},
      {"create_agent", "description", "", "\"\""}, {"create_agent", "icon_symbol", false, "null"},
      {"create_agent", "icon_symbol", "", "\"\""}, {"create_agent", "icon_symbol", "star", "\"star\""},
  };
  for (const auto& [tool, key, value, expected] : cases) {
    const bool isTask = tool == "create_task";
    json arguments = isTask ? json{{"agent_id", agent}, {"name", "N"}, {"prompt", "P"}} : json{{"name", "N"}};
    if (!value.is_discarded()) arguments[key] = value;
    const json result = call(tool, arguments);
    const auto record = isTask ? getTask(*store, result["task_id"]) : getAgent(*store, result["agent_id"]);
    EXPECT_EQ((*record)[key].dump(), expected) << tool << " " << key << " " << value.dump();
  }
}

// The catalogue of every protocol revision is the 2024-11-05 one plus the
// keys the revision knows (RecordShapesTests checks the output schemas), and
// each tool's hints say what it really does: a read-only tool changes
// nothing, an idempotent one changes nothing more when called again, and the
// others do.
TEST_F(ToolSetTest, EveryRevisionsCatalogueAddsOnlyHintsThatHoldAndTitles) {
  const json& base = MCPToolSet::toolDescriptors(MCPProtocolVersion::v2024_11_05);
  EXPECT_EQ(&base, &MCPToolSet::toolDescriptors());
  for (const auto version : kMCPProtocolVersions) {
    const json& catalogue = MCPToolSet::toolDescriptors(version);
    ASSERT_EQ(catalogue.size(), base.size());
    for (size_t i = 0; i < base.size(); ++i) {
      json added = catalogue[i];
      for (const auto& [key, value] : base[i].items()) {
        EXPECT_EQ(added[key], value);
        added.erase(key);
      }
      V keys;
      for (const auto& [key, value] : added.items()) keys.push_back(key);
      const V expected = version < MCPProtocolVersion::v2025_03_26   ? V{}
                         : version < MCPProtocolVersion::v2025_06_18 ? V{"annotations"}
                                                                     : V{"annotations", "outputSchema", "title"};
      EXPECT_EQ(keys, expected) << added;
      EXPECT_TRUE(!added.contains("title") || (added["title"].is_string() && added["title"] != "")) << added;
    }
  }

  const std::string other =
      call("create_task", {{"agent_id", agent}, {"name", "U"}, {"prompt", "P"}})["task_id"];
  const std::map<std::string, json> calls = {
      {"create_agent", {{"name", "B"}}},
      {"create_task", {{"agent_id", agent}, {"name", "V"}, {"prompt", "P"}}},
      {"register_dependency", {{"task_id", task}, {"depends_on", {other}}}},
      {"list_agents", json::object()},
      {"list_tasks", {{"agent_id", agent}}},
      {"get_agent", {{"agent_id", agent}}},
      {"get_task", {{"task_id", task}}},
      {"run_now", {{"task_id", task}}},
  };
  V readOnly, idempotentWrites, otherWrites;
  for (const auto& descriptor : MCPToolSet::toolDescriptors(kMCPProtocolVersions.back())) {
    const std::string name = descriptor["name"];
    const json& hints = descriptor["annotations"];
    const std::string before = snapshot();
    ASSERT_EQ(outcome(name, calls.at(name)).rfind("{", 0), 0u) << name;
    const std::string once = snapshot();
    ASSERT_EQ(outcome(name, calls.at(name)).rfind("{", 0), 0u) << name;
    const std::string twice = snapshot();
    if (hints.at("readOnlyHint") == true) {
      EXPECT_EQ(hints, json({{"readOnlyHint", true}})) << name;
      EXPECT_EQ(once, before) << name;
      readOnly.push_back(name);
      continue;
    }
    EXPECT_NE(once, before) << name;
    EXPECT_EQ(hints.at("idempotentHint") == true, once == twice) << name;
    (hints.at("idempotentHint") == true ? idempotentWrites : otherWrites).push_back(name);
  }
  EXPECT_EQ(readOnly, (V{"list_agents", "list_tasks", "get_agent", "get_task"}));
  EXPECT_EQ(idempotentWrites, V{"register_dependency"});
  EXPECT_EQ(otherWrites, (V{"create_agent", "create_task", "run_now"}));
}

}  // namespace
