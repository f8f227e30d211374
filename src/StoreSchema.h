#pragma once

#include <array>
#include <string>
#include <string_view>

// The three tables this program shares with the scheduler's other processes,
// as it makes them when they are missing. Their text is also what the store
// compares a file's tables with before it trusts what it has cached of them.
namespace storeschema {

inline constexpr const char* kCreateAgents =
    "CREATE TABLE IF NOT EXISTS agents ( id TEXT PRIMARY KEY, user_id TEXT NOT NULL DEFAULT '', "
    "name TEXT NOT NULL, template TEXT NOT NULL DEFAULT 'custom', description TEXT, icon_symbol TEXT, "
    "enabled INTEGER NOT NULL DEFAULT 1, created_at REAL NOT NULL );";
inline constexpr const char* kCreateTasks =
    "CREATE TABLE IF NOT EXISTS tasks ( id TEXT PRIMARY KEY, agent_id TEXT NOT NULL, name TEXT NOT NULL, "
    "prompt TEXT NOT NULL, ai_tools TEXT NOT NULL, frequency TEXT NOT NULL, host_id TEXT NOT NULL DEFAULT "
    "'local', depends_on TEXT NOT NULL DEFAULT '[]', timeout_min INTEGER NOT NULL DEFAULT 30, working_subdir "
    "TEXT NOT NULL DEFAULT 'shared', enabled INTEGER NOT NULL DEFAULT 1, next_run_at REAL, last_run_at REAL );";
inline constexpr const char* kCreateRuns =
    "CREATE TABLE IF NOT EXISTS runs ( id TEXT PRIMARY KEY, task_id TEXT NOT NULL, started_at REAL NOT NULL, "
    "finished_at REAL, status TEXT NOT NULL, ai_used TEXT NOT NULL, triggered_by TEXT NOT NULL, output_path "
    "TEXT, log_path TEXT, exit_code INTEGER, tokens_in INTEGER, tokens_out INTEGER );";

inline constexpr std::array<const char*, 3> kCreateTables = {kCreateAgents, kCreateTasks, kCreateRuns};

// An index of this program's own, so that an agent's tasks, their count
// and their order by name are found without a scan of every user's tasks.
// Only an optimisation: made quietly when it can be, and every read gives
// the same answer without it.
inline constexpr const char* kTasksByAgentName = "kovix_mcp_server_tasks_by_agent_name";
inline constexpr const char* kCreateTasksByAgentName =
    "CREATE INDEX IF NOT EXISTS kovix_mcp_server_tasks_by_agent_name ON tasks (agent_id, name);";

// The text SQLite keeps in sqlite_master for what `create` makes: the
// statement without "IF NOT EXISTS " and its final ";".
inline std::string storedText(std::string_view create) {
  std::string text(create);
  if (const auto at = text.find("IF NOT EXISTS "); at != text.npos) text.erase(at, 14);
  if (!text.empty() && text.back() == ';') text.pop_back();
  return text;
}

}  // namespace storeschema
