#pragma once

// The records the server and store targets start every input from.
namespace fuzzseed {

// Records with fixed ids: two agents of the fuzzing user with three tasks
// (one depending on another), and an agent with a task of another user,
// which must look missing.
inline constexpr const char* kSeed = R"(
BEGIN IMMEDIATE;
DELETE FROM agents; DELETE FROM tasks; DELETE FROM runs;
INSERT INTO agents (id, user_id, name, template, description, icon_symbol, enabled, created_at) VALUES
  ('ag_otheruser1', 'fuzz-other-user', 'Someone else''s agent', 'custom', NULL, NULL, 1, 1700000000.5),
  ('ag_fuzzagent1', 'fuzz-user', 'Chief Marketing Officer', 'cmo', 'Plans campaigns.', 'megaphone.fill', 1,
   1700000001.25),
  ('ag_fuzzagent2', 'fuzz-user', 'Engineer', 'engineer', NULL, NULL, 1, 1700000002.125);
INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min,
                   working_subdir) VALUES
  ('tk_otheruser1', 'ag_otheruser1', 'Private task', 'Not yours.', '["codex"]', '0 0 * * *', 'local', '[]', 30,
   'shared'),
  ('tk_fuzztask01', 'ag_fuzzagent1', 'Weekly report', '## Goal
Write the report.', '["claude"]', '0 9 * * 1', 'local', '[]', 30, 'shared'),
  ('tk_fuzztask02', 'ag_fuzzagent1', 'Daily digest', 'Summarise the day.', '["claude","codex"]', '0 9 * * *',
   'local', '["tk_fuzztask01"]', 15, 'outputs'),
  ('tk_fuzztask03', 'ag_fuzzagent2', 'Build', 'Run the build.', '[]', '*/5 * * * *', 'host-2', '[]', 1, 'inputs');
COMMIT;
)";

}  // namespace fuzzseed
