// The tools' output schemas against what the store really writes: every
// tool's result over rows as the scheduler's other processes may leave them,
// checked by a small JSON Schema validator of this file's own, and the keys
// of the records the store writes against the schemas' keys, both ways.

#include "Harness.h"
#include "MCPAgentStore.h"
#include "MCPToolSet.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

using nlohmann::json;
using V = std::vector<std::string>;

namespace {

bool hasType(const json& value, const std::string& type) {
  if (type == "string") return value.is_string();
  if (type == "number") return value.is_number();
  if (type == "integer") {
    return value.is_number_integer() ||
           (value.is_number_float() && std::trunc(value.get<double>()) == value.get<double>());
  }
  if (type == "boolean") return value.is_boolean();
  if (type == "null") return value.is_null();
  if (type == "array") return value.is_array();
  if (type == "object") return value.is_object();
  ADD_FAILURE() << "unknown type " << type;
  return false;
}

// Appends to `errors` every way in which `value` breaks `schema`, read as
// both draft-07 and 2020-12 read the keywords used here. Any other keyword
// is itself an error: its meaning might differ between the two, or it might
// not be checked here at all.
void validate(const json& schema, const json& value, const std::string& path, V& errors) {
  static const std::set<std::string> known = {"type", "properties", "required", "additionalProperties", "items",
                                              "const"};
  if (!schema.is_object()) return errors.push_back(path + ": schema is not an object");
  for (const auto& [keyword, argument] : schema.items()) {
    if (!known.count(keyword)) errors.push_back(path + ": keyword " + keyword);
  }
  if (const auto type = schema.find("type"); type != schema.end()) {
    const json types = type->is_array() ? *type : json::array({*type});
    bool matched = false;
    for (const auto& t : types) matched = matched || hasType(value, t.get<std::string>());
    if (!matched) errors.push_back(path + ": " + value.dump() + " is not " + type->dump());
  }
  if (const auto constant = schema.find("const"); constant != schema.end() && value != *constant) {
    errors.push_back(path + ": " + value.dump() + " is not " + constant->dump());
  }
  if (value.is_object()) {
    const json properties = schema.value("properties", json::object());
    for (const auto& [key, member] : value.items()) {
      if (properties.contains(key)) validate(properties[key], member, path + "." + key, errors);
      else if (schema.value("additionalProperties", true) == false) errors.push_back(path + ": extra key " + key);
    }
    for (const auto& key : schema.value("required", json::array())) {
      if (!value.contains(key.get<std::string>())) errors.push_back(path + ": no key " + key.get<std::string>());
    }
  }
  if (value.is_array() && schema.contains("items")) {
    for (size_t i = 0; i < value.size(); ++i) {
      validate(schema["items"], value[i], path + "[" + std::to_string(i) + "]", errors);
    }
  }
}

V violations(const json& schema, const json& value) {
  V errors;
  validate(schema, value, "$", errors);
  return errors;
}

const json& outputSchema(const std::string& tool, MCPProtocolVersion version = MCPProtocolVersion::v2025_06_18) {
  for (const auto& descriptor : MCPToolSet::toolDescriptors(version)) {
    if (descriptor["name"] == tool) return descriptor.at("outputSchema");
  }
  throw std::runtime_error("no tool " + tool);
}

V keysOf(const json& object) {
  V keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

V sorted(V names) {
  std::sort(names.begin(), names.end());
  return names;
}

class RecordShapesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Rows as another process may write them: nulls, empty and broken
    // lists, infinite and integral times, counts beyond 32 bits either way,
    // flags other than 0 and 1, numbers stored as text or with a fraction.
    Sql(dir / "db.sqlite").exec(R"(
      INSERT INTO agents VALUES ('ag_1', 'u1', 'One', 'custom', NULL, NULL, 0, 9e999);
      INSERT INTO agents VALUES ('ag_2', 'u1', 'Two', 'cmo', '', 'star', 2, -9e999);
      INSERT INTO agents VALUES ('ag_3', 'u1', 'Three', 'whatever', 'd', NULL, -1, 1700000000.0);
      INSERT INTO agents VALUES ('ag_4', 'u1', 'Four', 'custom', 'x', 'i', 1, 0.25);
      INSERT INTO tasks VALUES ('tk_1', 'ag_1', 'a', 'p', '[]', 'f', 'h', '[]', 30, 'shared', 0, NULL, NULL);
      INSERT INTO tasks VALUES ('tk_2', 'ag_1', 'b', 'p', 'not json', '', '', '["tk_1","tk_1"]', 99999999999,
                                '', 2, 9e999, -9e999);
      INSERT INTO tasks VALUES ('tk_3', 'ag_1', 'c', 'p', '["claude","codex","other"]', 'f', 'h', '[1]',
                                -2147483649, 'w', 1, 12.5, 0);
      INSERT INTO tasks VALUES ('tk_4', 'ag_2', 'd', 'p', '{"a":1}', 'f', 'h', 'null', -5, 'w', -7, 0.0, 1e300);
      INSERT INTO tasks VALUES ('tk_5', 'ag_2', 'e', 'p', '["x"]', 'f', 'h', '[]', '2.5', 'w', '1', 1, 2);
      INSERT INTO tasks VALUES ('tk_6', 'ag_2', 'f', 'p', '["x"]', 'f', 'h', '[]', 'lots', 'w', 'yes', NULL, 3);
    )");
  }

  json call(const std::string& name, const json& arguments) {
    std::string text;
    tools.invoke(name, arguments, text);
    return json::parse(text);
  }

  TempDir dir;
  std::shared_ptr<MCPAgentStore> store = openStore(dir);
  MCPToolSet tools{store};
};

TEST_F(RecordShapesTest, EveryToolsResultMatchesItsOutputSchemaOverAnyStoredRow) {
  std::vector<std::pair<std::string, json>> results;
  auto run = [&](const std::string& name, const json& arguments) {
    results.emplace_back(name, call(name, arguments));
    return results.back().second;
  };
  const json created = run("create_agent", {{"name", "New"}});
  run("create_agent", {{"name", "Full"}, {"template", "cmo"}, {"description", "d"}, {"icon_symbol", "i"}});
  const std::string task =
      run("create_task", {{"agent_id", created["agent_id"]}, {"name", "n"}, {"prompt", "p"}})["task_id"];
  run("register_dependency", {{"task_id", task}, {"depends_on", {"tk_1"}}});
  run("register_dependency", {{"task_id", "tk_2"}, {"depends_on", json::array()}});
  run("run_now", {{"task_id", "tk_3"}});
  const json agents = run("list_agents", json::object());
  ASSERT_EQ(agents["agents"].size(), 6u);
  for (const auto& agent : agents["agents"]) {
    run("get_agent", {{"agent_id", agent["agent_id"]}});
    const json tasks = run("list_tasks", {{"agent_id", agent["agent_id"]}});
    for (const auto& t : tasks["tasks"]) run("get_task", {{"task_id", t["task_id"]}});
  }
  run("list_tasks", {{"agent_id", "ag_none"}});

  // The rows really are as odd as meant: an infinite time reads null, a
  // count beyond 32 bits is whatever it reads as, and an empty list is one.
  EXPECT_TRUE(agents["agents"][0]["created_at"].is_null()) << agents;
  const json odd = call("get_task", {{"task_id", "tk_2"}})["task"];
  EXPECT_TRUE(odd["next_run_at"].is_null() && odd["last_run_at"].is_null()) << odd;
  EXPECT_TRUE(odd["timeout_min"].is_number_integer()) << odd;
  EXPECT_EQ(odd["ai_tools"], json::array()) << odd;

  V seen;
  for (const auto& [name, result] : results) {
    seen.push_back(name);
    EXPECT_EQ(violations(outputSchema(name), result), V{}) << name << " " << result;
  }
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 8u);

  // 2025-06-18 and every later revision declare the same schemas; earlier
  // ones declare none.
  for (const auto version : kMCPProtocolVersions) {
    for (const auto& descriptor : MCPToolSet::toolDescriptors(version)) {
      if (version < MCPProtocolVersion::v2025_06_18) {
        EXPECT_FALSE(descriptor.contains("outputSchema")) << descriptor["name"];
      } else {
        EXPECT_EQ(descriptor.at("outputSchema"), outputSchema(descriptor["name"])) << descriptor["name"];
      }
    }
  }
}

TEST_F(RecordShapesTest, SchemasNameExactlyTheKeysTheStoreWritesAllRequired) {
  // Every schema object lists each of its properties as required and allows
  // no other; every root is an object, as the clients demand.
  std::function<void(const json&, const std::string&)> closed = [&](const json& schema, const std::string& path) {
    if (schema.contains("properties")) {
      EXPECT_EQ(schema.value("type", ""), "object") << path;
      EXPECT_EQ(sorted(keysOf(schema["properties"])), sorted(schema.value("required", V{}))) << path;
      EXPECT_EQ(schema.value("additionalProperties", true), false) << path;
      for (const auto& [key, member] : schema["properties"].items()) closed(member, path + "." + key);
    }
    if (schema.contains("items")) closed(schema["items"], path + "[]");
  };
  for (const auto& descriptor : MCPToolSet::toolDescriptors(kMCPProtocolVersions.back())) {
    const json& schema = descriptor.at("outputSchema");
    EXPECT_EQ(schema.at("type"), "object") << descriptor["name"];
    EXPECT_FALSE(schema.contains("$schema"));
    closed(schema, descriptor["name"]);
  }

  // The record schemas are one each, wherever a record appears.
  const json agentSchema = outputSchema("get_agent")["properties"]["agent"];
  const json taskSchema = outputSchema("get_task")["properties"]["task"];
  EXPECT_EQ(outputSchema("list_agents")["properties"]["agents"]["items"], agentSchema);
  EXPECT_EQ(outputSchema("list_tasks")["properties"]["tasks"]["items"], taskSchema);

  // The keys the store writes, read from its own text, are the schemas'.
  std::string text;
  store->listAgents(text);
  for (const auto& agent : json::parse(text)) {
    EXPECT_EQ(sorted(keysOf(agent)), sorted(keysOf(agentSchema["properties"])));
  }
  for (const std::string agent : {"ag_1", "ag_2"}) {
    text.clear();
    store->listTasks(agent, text);
    for (const auto& task : json::parse(text)) {
      EXPECT_EQ(sorted(keysOf(task)), sorted(keysOf(taskSchema["properties"])));
    }
  }
  EXPECT_EQ(keysOf(agentSchema["properties"]).size(), 8u);
  EXPECT_EQ(keysOf(taskSchema["properties"]).size(), 13u);
}

// The validator above is the oracle; it must be able to say no.
TEST_F(RecordShapesTest, TheValidatorRefusesWhatTheSchemasForbid) {
  const json agent = call("get_agent", {{"agent_id", "ag_4"}});
  const json task = call("get_task", {{"task_id", "tk_3"}});
  ASSERT_EQ(violations(outputSchema("get_agent"), agent), V{});
  ASSERT_EQ(violations(outputSchema("get_task"), task), V{});
  auto refused = [&](const std::string& tool, json result, const std::function<void(json&)>& change) {
    change(result);
    EXPECT_NE(violations(outputSchema(tool), result), V{}) << tool << " " << result;
  };
  refused("get_agent", agent, [](json& r) { r["agent"].erase("icon_symbol"); });
  refused("get_agent", agent, [](json& r) { r["agent"]["extra"] = 1; });
  refused("get_agent", agent, [](json& r) { r["agent"]["description"] = 5; });
  refused("get_agent", agent, [](json& r) { r["agent"]["created_at"] = "0"; });
  refused("get_agent", agent, [](json& r) { r["agent"]["enabled"] = 1; });
  refused("get_agent", agent, [](json& r) { r["agent"]["task_count"] = 1.5; });
  refused("get_agent", agent, [](json& r) { r["agent"]["name"] = nullptr; });
  refused("get_agent", agent, [](json& r) { r["more"] = true; });
  refused("get_task", task, [](json& r) { r["task"]["ai_tools"] = {"claude", 1}; });
  refused("get_task", task, [](json& r) { r["task"]["depends_on"] = nullptr; });
  refused("get_task", task, [](json& r) { r["task"]["timeout_min"] = "30"; });
  refused("get_task", task, [](json& r) { r["task"]["next_run_at"] = false; });
  refused("list_agents", json{{"agents", {agent["agent"]}}}, [](json& r) { r["agents"][0].erase("name"); });
  refused("list_tasks", json{{"tasks", {task["task"]}}}, [&](json& r) { r["tasks"] = task["task"]; });
  refused("register_dependency", json{{"ok", true}}, [](json& r) { r["ok"] = false; });
  refused("run_now", json{{"run_id", "rn_1"}, {"status", "queued"}}, [](json& r) { r["status"] = "done"; });
  refused("create_agent", json{{"agent_id", "a"}, {"url", "u"}}, [](json& r) { r.erase("url"); });
  refused("create_task", json{{"task_id", "t"}}, [](json& r) { r = json::array(); });
  // A keyword it does not know is refused, not ignored.
  EXPECT_NE(violations(json{{"type", "string"}, {"minLength", 1}}, "x"), V{});
}

}  // namespace
