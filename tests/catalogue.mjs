// The tool catalogue the server must announce, in order: what the outside
// clients (tests/interop, tests/inspector) check the server's answers against.
// Written out by hand, not taken from the server's sources.

export const names = ['create_agent', 'create_task', 'register_dependency', 'list_agents', 'list_tasks', 'get_agent',
  'get_task', 'run_now'];
export const titles = ['Create agent', 'Create task', 'Register dependency', 'List agents', 'List tasks', 'Get agent',
  'Get task', 'Run task now'];
const reads = { readOnlyHint: true };
const creates = { readOnlyHint: false, destructiveHint: false, idempotentHint: false, openWorldHint: false };
export const annotations = [creates, creates,
  { readOnlyHint: false, destructiveHint: true, idempotentHint: true, openWorldHint: false },
  reads, reads, reads, reads,
  { readOnlyHint: false, destructiveHint: false, idempotentHint: false, openWorldHint: true }];
