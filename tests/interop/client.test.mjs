// The server driven by the official MCP TypeScript client over stdio: the
// handshake, the catalogue, every tool's success path and error paths as the
// client reports them, and a clean exit when the client closes.
// Run: KOVIX_SERVER_BINARY=/path/to/kovix-mcp-server node --test
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const sdk = 'node_modules/@modelcontextprotocol/sdk/dist/esm';
const load = (module) => import(new URL(`${sdk}/${module}`, import.meta.url)).catch((error) => {
  throw new Error(`the MCP client is not installed: run 'npm ci' in tests/interop (${error.message})`);
});
const { Client } = await load('client/index.js');
const { StdioClientTransport } = await load('client/stdio.js');
const { McpError } = await load('types.js');

const binary = process.env.KOVIX_SERVER_BINARY;
assert.ok(binary && fs.existsSync(binary), 'KOVIX_SERVER_BINARY must name the built kovix-mcp-server');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kovix-interop-'));
after(() => fs.rmSync(work, { recursive: true, force: true }));

// One client session over a fresh server. The client hands the server only
// the environment given here (sanitizer options pass through for those builds).
async function session(dbPath) {
  const env = { PATH: process.env.PATH, KOVIX_USER_ID: 'u-interop', KOVIX_DB_PATH: dbPath,
    KOVIX_AGENT_ROOT: path.join(work, 'agents'), KOVIX_TEMPLATE_PATH: path.join(work, 'none.md') };
  for (const key of ['ASAN_OPTIONS', 'UBSAN_OPTIONS']) if (process.env[key]) env[key] = process.env[key];
  const transport = new StdioClientTransport({ command: binary, env, stderr: 'pipe' });
  let stderr = '';
  transport.stderr.on('data', (chunk) => { stderr += chunk; });
  let negotiated;
  transport.setProtocolVersion = (version) => { negotiated = version; };
  const client = new Client({ name: 'kovix-interop', version: '1.0.0' });
  await client.connect(transport);
  // The child process is private to the transport; its exit status is what
  // the closing check needs.
  const exited = new Promise((resolve) => transport._process.once('exit', (code, signal) => resolve({ code, signal })));
  return { client, negotiated, exited, stderr: () => stderr };
}

async function call(client, name, args) {
  const result = await client.callTool({ name, arguments: args });
  assert.deepEqual(Object.keys(result), ['content']);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return JSON.parse(result.content[0].text);
}

async function closesCleanly(s) {
  await s.client.close();
  // The client sends SIGTERM two seconds after closing the server's input:
  // a server that ends by itself in time exits with status 0 and no signal.
  assert.deepEqual(await s.exited, { code: 0, signal: null });
  assert.match(s.stderr(), /kovix-mcp-server: client initialized\n(.|\n)*kovix-mcp-server: stdin closed; exiting\n$/);
}

const main = await session(path.join(work, 'kovix.db'));
const ids = {};

test('handshake: protocol 2024-11-05, server info and capabilities', async () => {
  assert.equal(main.negotiated, '2024-11-05');
  assert.deepEqual(main.client.getServerVersion(), { name: 'kovix-mcp-server', version: '0.2.0' });
  assert.deepEqual(main.client.getServerCapabilities(), { tools: { listChanged: false } });
  assert.deepEqual(await main.client.ping(), {});
});

test('tools/list: eight tools in order with their required arguments', async () => {
  const { tools } = await main.client.listTools();
  const required = Object.fromEntries(tools.map((t) => [t.name, t.inputSchema.required]));
  assert.deepEqual(required, {
    create_agent: ['name'], create_task: ['agent_id', 'name', 'prompt'],
    register_dependency: ['task_id', 'depends_on'], list_agents: undefined, list_tasks: ['agent_id'],
    get_agent: ['agent_id'], get_task: ['task_id'], run_now: ['task_id'] });
  assert.deepEqual(tools.map((t) => t.name), Object.keys(required));
  assert.deepEqual(tools[3].inputSchema, { type: 'object', properties: {} });
  assert.equal(tools[1].inputSchema.properties.prompt.description,
    'Markdown prompt \u2014 Goal/Context/Output format/Hand-off.');
  assert.deepEqual(tools[1].inputSchema.properties.ai_tools.items, { type: 'string', enum: ['claude', 'codex'] });
});

test('every tool on its success path', async () => {
  const c = main.client;
  const agent = await call(c, 'create_agent', { name: 'Growth', description: 'Grows things.' });
  assert.match(agent.agent_id, /^ag_[0-9a-z]{10}$/);
  assert.equal(agent.url, `kovix://agents/${agent.agent_id}`);
  ids.agent = agent.agent_id;
  const beta = (await call(c, 'create_task', { agent_id: ids.agent, name: 'beta', prompt: 'Do beta.' })).task_id;
  const alpha = (await call(c, 'create_task', { agent_id: ids.agent, name: 'Alpha', prompt: 'Do alpha.',
    ai_tools: ['codex', 'claude'], frequency: '@hourly', timeout_min: 45 })).task_id;
  assert.match(alpha, /^tk_[0-9a-z]{10}$/);
  ids.task = beta;
  assert.deepEqual(await call(c, 'register_dependency', { task_id: beta, depends_on: [alpha] }), { ok: true });

  const { agents } = await call(c, 'list_agents', {});
  assert.equal(agents.length, 1);
  const { created_at: createdAt, ...fields } = agents[0];
  assert.ok(Math.abs(createdAt - Date.now() / 1000) < 600, `created_at ${createdAt}`);
  assert.deepEqual(fields, { agent_id: ids.agent, name: 'Growth', template: 'custom', description: 'Grows things.',
    icon_symbol: null, enabled: true, task_count: 2 });
  assert.deepEqual(await call(c, 'get_agent', { agent_id: ids.agent }), { agent: agents[0] });

  const { tasks } = await call(c, 'list_tasks', { agent_id: ids.agent });
  assert.deepEqual(tasks.map((t) => t.name), ['Alpha', 'beta']);
  assert.deepEqual(tasks[0], { task_id: alpha, agent_id: ids.agent, name: 'Alpha', prompt: 'Do alpha.',
    ai_tools: ['codex', 'claude'], frequency: '@hourly', host_id: 'local', depends_on: [], timeout_min: 45,
    working_subdir: 'shared', enabled: true, next_run_at: null, last_run_at: null });
  assert.deepEqual(await call(c, 'get_task', { task_id: beta }), { task: { ...tasks[1], depends_on: [alpha] } });

  const run = await call(c, 'run_now', { task_id: alpha });
  assert.match(run.run_id, /^rn_[0-9a-z]{10}$/);
  assert.equal(run.status, 'queued');
  const { task } = await call(c, 'get_task', { task_id: alpha });
  assert.ok(Math.abs(task.next_run_at - (Date.now() / 1000 - 1)) < 600, `next_run_at ${task.next_run_at}`);

  assert.equal(fs.readFileSync(path.join(work, 'agents', ids.agent, 'CLAUDE.md'), 'utf8'),
    '# Growth\n\nYou are the AI executing a scheduled task for the **Growth** in Kovix.\n\n' +
    '## Agent description\nGrows things.\n\n## Other tasks under this Agent\n' +
    '- **Alpha** \u2014 @hourly (codex, claude)\n- **beta** \u2014 0 9 * * * (claude)');
});

test('error paths reach the client with their codes and messages', async (t) => {
  const cases = [
    ['no_such_tool', {}, -32601, 'Unknown tool: no_such_tool'],
    ['create_agent', { name: '' }, -32602, "create_agent: 'name' is required"],
    ['create_task', { agent_id: ids.agent, name: 'x' }, -32602, "create_task: 'prompt' is required"],
    ['create_task', { agent_id: 'ag_missing', name: 'x', prompt: 'p' }, -32603, 'Not found: agent ag_missing'],
    ['register_dependency', { task_id: ids.task, depends_on: 'tk_x' }, -32602,
      "register_dependency: 'depends_on' must be array"],
    ['register_dependency', { task_id: ids.task, depends_on: ['tk_gone'] }, -32603,
      'Not found: upstream task tk_gone'],
    ['list_tasks', { agent_id: 7 }, -32602, "list_tasks: 'agent_id' is required"],
    ['get_agent', { agent_id: 'ag_nope' }, -32602, 'get_agent: agent not found: ag_nope'],
    ['get_task', {}, -32602, "get_task: 'task_id' is required"],
    ['get_task', { task_id: 'tk_nope' }, -32602, 'get_task: task not found: tk_nope'],
    ['run_now', { task_id: 7 }, -32602, "run_now: 'task_id' is required"],
    ['run_now', { task_id: '' }, -32603, 'Not found: task '],
  ];
  for (const [name, args, code, message] of cases) {
    await t.test(`${name} ${JSON.stringify(args)}`, async () => {
      await assert.rejects(main.client.callTool({ name, arguments: args }), (error) => {
        assert.ok(error instanceof McpError, String(error));
        assert.equal(error.code, code);
        assert.equal(error.message, `MCP error ${code}: ${message}`);
        return true;
      });
    });
  }
  // None of them changed anything.
  assert.equal((await call(main.client, 'list_agents', {})).agents[0].task_count, 2);
  assert.equal((await call(main.client, 'get_task', { task_id: ids.task })).task.depends_on.length, 1);
});

test('closing the client ends the server with status 0', () => closesCleanly(main));

test('list_agents over a file that is not a database fails with -32603', async () => {
  const bogus = path.join(work, 'not-a-database');
  fs.writeFileSync(bogus, 'this is not a SQLite file, but long enough to have a header.......\n'.repeat(4));
  const s = await session(bogus);
  await assert.rejects(s.client.callTool({ name: 'list_agents', arguments: {} }),
    (error) => error instanceof McpError && error.code === -32603 &&
      error.message === 'MCP error -32603: SQLite error: file is not a database');
  await closesCleanly(s);
});
