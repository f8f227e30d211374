#pragma once

#include <span>
#include <string_view>

// What the tools answer, key by key: the agent and task records as the store
// writes them, and each tool's result object around them. The tools' output
// schemas are built from these lists. The store writes its records member by
// member on its own; a test reads real records back against these lists, so
// that the two cannot drift apart.
namespace recordshape {

// The JSON values a member can hold.
enum class Value {
  string,
  stringOrNull,
  numberOrNull,  // a time; one stored as an infinity is written as null
  integer,       // any integer, as stored: no bounds
  boolean,
  stringList,
  alwaysTrue,    // the literal true
  queued,        // the string "queued"
  agent,         // an agent record
  agentList,
  task,          // a task record
  taskList,
};

struct Member {
  std::string_view key;
  Value value;
};

// Every key is always present.
inline constexpr Member kAgentRecord[] = {
    {"agent_id", Value::string},
    {"name", Value::string},
    {"template", Value::string},
    {"description", Value::stringOrNull},
    {"icon_symbol", Value::stringOrNull},
    {"enabled", Value::boolean},
    {"created_at", Value::numberOrNull},
    {"task_count", Value::integer},
};

inline constexpr Member kTaskRecord[] = {
    {"task_id", Value::string},
    {"agent_id", Value::string},
    {"name", Value::string},
    {"prompt", Value::string},
    {"ai_tools", Value::stringList},
    {"frequency", Value::string},
    {"host_id", Value::string},
    {"depends_on", Value::stringList},
    {"timeout_min", Value::integer},
    {"working_subdir", Value::string},
    {"enabled", Value::boolean},
    {"next_run_at", Value::numberOrNull},
    {"last_run_at", Value::numberOrNull},
};

struct ToolResult {
  std::string_view tool;
  std::span<const Member> members;
};

inline constexpr Member kCreateAgentResult[] = {{"agent_id", Value::string}, {"url", Value::string}};
inline constexpr Member kCreateTaskResult[] = {{"task_id", Value::string}};
inline constexpr Member kRegisterDependencyResult[] = {{"ok", Value::alwaysTrue}};
inline constexpr Member kListAgentsResult[] = {{"agents", Value::agentList}};
inline constexpr Member kListTasksResult[] = {{"tasks", Value::taskList}};
inline constexpr Member kGetAgentResult[] = {{"agent", Value::agent}};
inline constexpr Member kGetTaskResult[] = {{"task", Value::task}};
inline constexpr Member kRunNowResult[] = {{"run_id", Value::string}, {"status", Value::queued}};

inline constexpr ToolResult kToolResults[] = {
    {"create_agent", kCreateAgentResult},
    {"create_task", kCreateTaskResult},
    {"register_dependency", kRegisterDependencyResult},
    {"list_agents", kListAgentsResult},
    {"list_tasks", kListTasksResult},
    {"get_agent", kGetAgentResult},
    {"get_task", kGetTaskResult},
    {"run_now", kRunNowResult},
};

// The members of the named tool's result object; empty for a name that is no tool.
constexpr std::span<const Member> resultOf(std::string_view tool) {
  for (const auto& result : kToolResults) {
    if (result.tool == tool) return result.members;
  }
  return {};
}

}  // namespace recordshape
