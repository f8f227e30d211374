#include "MCPToolSet.h"

#include "JSONText.h"
#include "MCPAgentStore.h"
#include "MCPError.h"
#include "RecordShapes.h"
#include "ShortID.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

using nlohmann::json;

namespace {

// What a client may assume of a tool before it calls it. The read tools only
// read; the writing tools stay inside this user's records and workspace
// except run_now, whose queued run executes the task's prompt with an outside
// AI tool.
struct Hints {
  bool readOnly;
  bool destructive = false;
  bool idempotent = false;
  bool openWorld = false;
};
constexpr Hints kReads{.readOnly = true};
constexpr Hints kCreates{.readOnly = false};
constexpr Hints kReplaces{.readOnly = false, .destructive = true, .idempotent = true};
constexpr Hints kStartsWork{.readOnly = false, .openWorld = true};

json annotations(const Hints& hints) {
  if (hints.readOnly) return json{{"readOnlyHint", true}};
  return json{{"readOnlyHint", false},
              {"destructiveHint", hints.destructive},
              {"idempotentHint", hints.idempotent},
              {"openWorldHint", hints.openWorld}};
}

// A JSON schema of an object with exactly these members. Only keywords that
// mean the same in draft-07 and 2020-12 (type, properties, required,
// additionalProperties, items, const), and no $schema, so that a client
// validates the same way whichever draft it assumes.
json objectShape(std::span<const recordshape::Member> members);

json valueShape(recordshape::Value value) {
  using recordshape::Value;
  switch (value) {
    case Value::string: return json{{"type", "string"}};
    case Value::stringOrNull: return json{{"type", {"string", "null"}}};
    case Value::numberOrNull: return json{{"type", {"number", "null"}}};
    case Value::integer: return json{{"type", "integer"}};
    case Value::boolean: return json{{"type", "boolean"}};
    case Value::stringList: return json{{"type", "array"}, {"items", {{"type", "string"}}}};
    case Value::alwaysTrue: return json{{"const", true}};
    case Value::queued: return json{{"const", "queued"}};
    case Value::agent: return objectShape(recordshape::kAgentRecord);
    case Value::agentList: return json{{"type", "array"}, {"items", objectShape(recordshape::kAgentRecord)}};
    case Value::task: return objectShape(recordshape::kTaskRecord);
    case Value::taskList: return json{{"type", "array"}, {"items", objectShape(recordshape::kTaskRecord)}};
  }
  return json::object();
}

json objectShape(std::span<const recordshape::Member> members) {
  json properties = json::object();
  for (const auto& member : members) properties[std::string(member.key)] = valueShape(member.value);
  json required = json::array();
  for (const auto& [key, value] : properties.items()) required.push_back(key);
  return json{{"type", "object"},
              {"properties", std::move(properties)},
              {"required", std::move(required)},
              {"additionalProperties", false}};
}

// One descriptor as the given protocol revision has it: annotations from
// 2025-03-26 on; a display title and the schema of the result from
// 2025-06-18 on.
json tool(MCPProtocolVersion version, std::string_view name, std::string_view title, const Hints& hints,
          std::string_view description, json schema) {
  json descriptor{{"name", name}, {"description", description}, {"inputSchema", std::move(schema)}};
  if (version >= MCPProtocolVersion::v2025_03_26) descriptor["annotations"] = annotations(hints);
  if (version >= MCPProtocolVersion::v2025_06_18) {
    descriptor["title"] = title;
    descriptor["outputSchema"] = objectShape(recordshape::resultOf(name));
  }
  return descriptor;
}

json stringProperty() { return json{{"type", "string"}}; }
json stringProperty(std::string_view description) { return json{{"type", "string"}, {"description", description}}; }

json objectSchema(json properties, std::initializer_list<std::string_view> required) {
  json schema{{"type", "object"}, {"properties", std::move(properties)}};
  if (required.size() > 0) schema["required"] = json(std::vector<std::string_view>(required));
  return schema;
}

json buildCatalogue(MCPProtocolVersion v) {
  return json::array({
      // A new agent each call; nothing existing is changed.
      tool(v, "create_agent", "Create agent", kCreates, "Create a new Agent. Returns its agent_id.",
           objectSchema(
               {{"name", stringProperty("Display name (e.g. 'Chief Marketing Officer').")},
                {"template",
                 {{"type", "string"},
                  {"enum", {"custom", "cmo", "engineer", "personal_assistant", "daily_researcher"}},
                  {"description", "Template family. Defaults to 'custom'."}}},
                {"description", stringProperty("One-paragraph description.")},
                {"icon_symbol", stringProperty("SF Symbol name (e.g. megaphone.fill).")}},
               {"name"})),
      // A new task each call. The agent's CLAUDE.md is rendered again, but it
      // is generated from the records, so nothing is lost.
      tool(v, "create_task", "Create task", kCreates, "Create a Task under an Agent. Returns its task_id.",
           objectSchema(
               {{"agent_id", stringProperty()},
                {"name", stringProperty()},
                {"prompt", stringProperty("Markdown prompt \xE2\x80\x94 Goal/Context/Output format/Hand-off.")},
                {"ai_tools",
                 {{"type", "array"},
                  {"items", {{"type", "string"}, {"enum", {"claude", "codex"}}}},
                  {"description", "Default ['claude']. Use both only when comparison is wanted."}}},
                {"frequency", stringProperty("Cron expression. Free tier daily-or-coarser.")},
                {"host_id", stringProperty("'local' unless other hosts (Pro).")},
                {"timeout_min", {{"type", "integer"}, {"description", "Defaults to 30."}}},
                {"working_subdir", stringProperty("Defaults to 'shared'.")}},
               {"agent_id", "name", "prompt"})),
      // Replaces the task's whole list of upstream tasks (an empty list
      // clears it); the same call twice leaves the same list.
      tool(v, "register_dependency", "Register dependency", kReplaces,
           "Mark task_id as depending on the upstream task IDs in depends_on. Call AFTER all relevant tasks exist.",
           objectSchema({{"task_id", stringProperty()},
                         {"depends_on", {{"type", "array"}, {"items", {{"type", "string"}}}}}},
                        {"task_id", "depends_on"})),
      tool(v, "list_agents", "List agents", kReads,
           "List the user's existing agents. Call this before proposing names so you don't duplicate one.",
           objectSchema(json::object(), {})),
      tool(v, "list_tasks", "List tasks", kReads,
           "List tasks under an agent (id, name, frequency, ai_tools, depends_on).",
           objectSchema({{"agent_id", stringProperty()}}, {"agent_id"})),
      tool(v, "get_agent", "Get agent", kReads, "Fetch one agent's full record.",
           objectSchema({{"agent_id", stringProperty()}}, {"agent_id"})),
      tool(v, "get_task", "Get task", kReads, "Fetch one task's full record.",
           objectSchema({{"task_id", stringProperty()}}, {"task_id"})),
      // Adds a pending run and removes nothing, but that run will execute the
      // task's prompt with an outside AI tool, whose reach is not ours; each
      // call queues one more run.
      tool(v, "run_now", "Run task now", kStartsWork,
           "Queue a one-shot manual run of this task. Returns run_id and status.",
           objectSchema({{"task_id", stringProperty()}}, {"task_id"})),
  });
}

// --- Argument readers. A value of the wrong JSON type counts as absent.

const json* member(const json& arguments, const char* key) {
  if (!arguments.is_object()) return nullptr;
  const auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : &*it;
}

std::optional<std::string> stringArgument(const json& arguments, const char* key) {
  const json* value = member(arguments, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

// The creating tools refuse an empty string where they need one.
std::optional<std::string> nonEmptyStringArgument(const json& arguments, const char* key) {
  auto value = stringArgument(arguments, key);
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::optional<std::vector<std::string>> stringListArgument(const json& arguments, const char* key) {
  const json* value = member(arguments, key);
  if (!value || !value->is_array()) return std::nullopt;
  std::vector<std::string> list;
  list.reserve(value->size());
  for (const auto& element : *value) {
    if (!element.is_string()) return std::nullopt;
    list.push_back(element.get<std::string>());
  }
  return list;
}

// A number with an integral value that a 32-bit column can hold as given;
// anything else (a fraction, a string, a boolean, a value out of range) is
// absent, so the caller's default applies.
std::optional<int32_t> int32Argument(const json& arguments, const char* key) {
  const json* value = member(arguments, key);
  if (!value) return std::nullopt;
  constexpr auto lowest = std::numeric_limits<int32_t>::min();
  constexpr auto highest = std::numeric_limits<int32_t>::max();
  if (value->is_number_unsigned()) {
    const auto n = value->get<uint64_t>();
    if (n > static_cast<uint64_t>(highest)) return std::nullopt;
    return static_cast<int32_t>(n);
  }
  if (value->is_number_integer()) {
    const auto n = value->get<int64_t>();
    if (n < lowest || n > highest) return std::nullopt;
    return static_cast<int32_t>(n);
  }
  if (value->is_number_float()) {
    const double d = value->get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d || d < lowest || d > highest) return std::nullopt;
    return static_cast<int32_t>(d);
  }
  return std::nullopt;
}

// A result object's compact JSON text in `form`, or "{}" when JSON cannot
// carry it.
void writeResult(const json& result, std::string& out, jsontext::Form form) {
  const size_t start = out.size();
  if (jsontext::write(result, out, form)) return;
  out.resize(start);
  out.append("{}");
}

std::string require(std::optional<std::string> value, const char* message) {
  if (!value) throw MCPError::invalidParams(message);
  return std::move(*value);
}

}  // namespace

const MCPToolSet::Route MCPToolSet::routes_[8] = {
    {"create_agent", &MCPToolSet::invokeCreateAgent},
    {"create_task", &MCPToolSet::invokeCreateTask},
    {"register_dependency", &MCPToolSet::invokeRegisterDependency},
    {"list_agents", &MCPToolSet::invokeListAgents},
    {"list_tasks", &MCPToolSet::invokeListTasks},
    {"get_agent", &MCPToolSet::invokeGetAgent},
    {"get_task", &MCPToolSet::invokeGetTask},
    {"run_now", &MCPToolSet::invokeRunNow},
};

MCPToolSet::MCPToolSet(std::shared_ptr<MCPAgentStore> store) : store_(std::move(store)) {}

const json& MCPToolSet::toolDescriptors(MCPProtocolVersion version) {
  static const std::array<json, kMCPProtocolVersions.size()> catalogues = [] {
    std::array<json, kMCPProtocolVersions.size()> all;
    for (const auto v : kMCPProtocolVersions) all[static_cast<size_t>(v)] = buildCatalogue(v);
    return all;
  }();
  return catalogues[static_cast<size_t>(version)];
}

std::vector<std::string_view> MCPToolSet::routedToolNames() {
  std::vector<std::string_view> names;
  for (const auto& route : routes_) names.push_back(route.name);
  return names;
}

void MCPToolSet::invoke(const std::string& name, const json& arguments, std::string& out, jsontext::Form form) {
  for (const auto& route : routes_) {
    if (route.name != name) continue;
    const size_t start = out.size();
    try {
      (this->*route.operation)(arguments, out, form);
    } catch (...) {
      out.resize(start);
      throw;
    }
    return;
  }
  throw MCPError::unknownTool(name);
}

// --- Read tools ----------------------------------------------------------
// Each writes its one key and the store's records as they stand.

void MCPToolSet::invokeListAgents(const json&, std::string& out, jsontext::Form form) {
  jsontext::ObjectWriter result(out, form);
  store_->listAgents(result.member("agents"), form);
  result.close();
}

void MCPToolSet::invokeListTasks(const json& arguments, std::string& out, jsontext::Form form) {
  const auto agentId = require(stringArgument(arguments, "agent_id"), "list_tasks: 'agent_id' is required");
  jsontext::ObjectWriter result(out, form);
  store_->listTasks(agentId, result.member("tasks"), form);
  result.close();
}

void MCPToolSet::invokeGetAgent(const json& arguments, std::string& out, jsontext::Form form) {
  const auto agentId = require(stringArgument(arguments, "agent_id"), "get_agent: 'agent_id' is required");
  jsontext::ObjectWriter result(out, form);
  if (!store_->getAgent(agentId, result.member("agent"), form)) {
    throw MCPError::invalidParams("get_agent: agent not found: " + agentId);
  }
  result.close();
}

void MCPToolSet::invokeGetTask(const json& arguments, std::string& out, jsontext::Form form) {
  const auto taskId = require(stringArgument(arguments, "task_id"), "get_task: 'task_id' is required");
  jsontext::ObjectWriter result(out, form);
  if (!store_->getTask(taskId, result.member("task"), form)) {
    throw MCPError::invalidParams("get_task: task not found: " + taskId);
  }
  result.close();
}

// --- Writing tools -------------------------------------------------------
void MCPToolSet::invokeCreateAgent(const json& arguments, std::string& out, jsontext::Form form) {
  const auto name = require(nonEmptyStringArgument(arguments, "name"), "create_agent: 'name' is required");
  const auto templateName = stringArgument(arguments, "template").value_or("custom");
  const auto description = stringArgument(arguments, "description");
  const auto iconSymbol = stringArgument(arguments, "icon_symbol");
  const std::string id = "ag_" + makeShortID();
  store_->createAgent(id, name, templateName, description, iconSymbol);
  writeResult(json{{"agent_id", id}, {"url", "kovix://agents/" + id}}, out, form);
}

void MCPToolSet::invokeCreateTask(const json& arguments, std::string& out, jsontext::Form form) {
  const auto agentId = require(nonEmptyStringArgument(arguments, "agent_id"), "create_task: 'agent_id' is required");
  const auto name = require(nonEmptyStringArgument(arguments, "name"), "create_task: 'name' is required");
  const auto prompt = require(nonEmptyStringArgument(arguments, "prompt"), "create_task: 'prompt' is required");
  const auto aiTools = stringListArgument(arguments, "ai_tools").value_or(std::vector<std::string>{"claude"});
  const auto frequency = stringArgument(arguments, "frequency").value_or("0 9 * * *");
  const auto hostId = stringArgument(arguments, "host_id").value_or("local");
  const auto timeoutMin = int32Argument(arguments, "timeout_min").value_or(30);
  const auto workingSubdir = stringArgument(arguments, "working_subdir").value_or("shared");
  const std::string id = "tk_" + makeShortID();
  store_->createTask(id, agentId, name, prompt, aiTools, frequency, hostId, timeoutMin, workingSubdir);
  writeResult(json{{"task_id", id}}, out, form);
}

void MCPToolSet::invokeRegisterDependency(const json& arguments, std::string& out, jsontext::Form form) {
  const auto taskId =
      require(nonEmptyStringArgument(arguments, "task_id"), "register_dependency: 'task_id' is required");
  const auto dependsOn = stringListArgument(arguments, "depends_on");
  if (!dependsOn) throw MCPError::invalidParams("register_dependency: 'depends_on' must be array");
  store_->setDependsOn(taskId, *dependsOn);
  writeResult(json{{"ok", true}}, out, form);
}

void MCPToolSet::invokeRunNow(const json& arguments, std::string& out, jsontext::Form form) {
  // An empty id is not refused here: the store finds no such task.
  const auto taskId = require(stringArgument(arguments, "task_id"), "run_now: 'task_id' is required");
  writeResult(json{{"run_id", store_->queueManualRun(taskId)}, {"status", "queued"}}, out, form);
}
