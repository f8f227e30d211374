// The server driven by the official MCP TypeScript clients over stdio: the
// handshake, the catalogue, every tool's success path and error paths as the
// client reports them, and a clean exit when the client closes.
// - The v1 client (@modelcontextprotocol/sdk) as the server speaks by default
//   (2024-11-05 only), and with KOVIX_PROTOCOL=negotiate, where it settles on
//   its newest revision and sees annotations, titles, instructions, failed
//   tools as results, and output schemas that it checks every result against.
// - The v2 client (@modelcontextprotocol/client), which probes with
//   server/discover first: with negotiate it reaches the stateless 2026-07-28
//   revision, in its `auto` mode and pinned to it; by default it falls back
//   to initialize and gets the very bytes the v1 client gets.
// Run: KOVIX_SERVER_BINARY=/path/to/kovix-mcp-server node --test
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { names, titles, annotations } from '../catalogue.mjs';

const notInstalled = (error) => {
  throw new Error(`the MCP clients are not installed: run 'npm ci' in tests/interop (${error.message})`);
};
const sdk = 'node_modules/@modelcontextprotocol/sdk/dist/esm';
const load = (module) => import(new URL(`${sdk}/${module}`, import.meta.url)).catch(notInstalled);
const { Client } = await load('client/index.js');
const { StdioClientTransport } = await load('client/stdio.js');
const { McpError, CallToolResultSchema, LATEST_PROTOCOL_VERSION } = await load('types.js');
const v2 = await import('@modelcontextprotocol/client').catch(notInstalled);
const v2stdio = await import('@modelcontextprotocol/client/stdio').catch(notInstalled);

// How each client reports a JSON-RPC error.
const v1Errors = { is: (error) => error instanceof McpError, message: (code, text) => `MCP error ${code}: ${text}` };
const v2Errors = { is: (error) => error instanceof v2.ProtocolError, message: (code, text) => text };

const binary = process.env.KOVIX_SERVER_BINARY;
assert.ok(binary && fs.existsSync(binary), 'KOVIX_SERVER_BINARY must name the built kovix-mcp-server');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kovix-interop-'));
after(() => fs.rmSync(work, { recursive: true, force: true }));

// Sessions whose tool results carry structuredContent.
const structured = new WeakSet();

// One client session over a fresh server. The client hands the server only
// the environment given here (sanitizer options pass through for those builds).
// `asking` makes the v1 client ask for that protocol revision instead of its
// own newest, as an older or a newer client would; the client's own checks of
// the answers stay in force. `negotiation` makes it the v2 client with that
// negotiation mode. The session keeps what the server wrote to the client,
// byte for byte, and what the client sent.
async function session(dbPath, { protocol, asking, negotiation, agents = 'agents' } = {}) {
  const env = { PATH: process.env.PATH, KOVIX_USER_ID: 'u-interop', KOVIX_DB_PATH: dbPath,
    KOVIX_AGENT_ROOT: path.join(work, agents), KOVIX_TEMPLATE_PATH: path.join(work, 'none.md') };
  if (protocol !== undefined) env.KOVIX_PROTOCOL = protocol;
  for (const key of ['ASAN_OPTIONS', 'UBSAN_OPTIONS']) if (process.env[key]) env[key] = process.env[key];
  const Transport = negotiation ? v2stdio.StdioClientTransport : StdioClientTransport;
  const transport = new Transport({ command: binary, env, stderr: 'pipe' });
  let stderr = '';
  transport.stderr.on('data', (chunk) => { stderr += chunk; });
  let negotiated;
  transport.setProtocolVersion = (version) => { negotiated = version; };
  let asked;
  const sent = [];
  const send = transport.send.bind(transport);
  transport.send = (message, options) => {
    if (message.method === 'initialize') {
      if (asking !== undefined) message = { ...message, params: { ...message.params, protocolVersion: asking } };
      asked = message.params.protocolVersion;
    }
    sent.push(message);
    return send(message, options);
  };
  // The server's output from its first byte: the child is spawned within
  // start(), before anything can be read from it.
  let raw = '';
  const start = transport.start.bind(transport);
  transport.start = () => {
    const started = start();
    transport._process.stdout.on('data', (chunk) => { raw += chunk; });
    return started;
  };
  const client = negotiation
    ? new v2.Client({ name: 'kovix-interop', version: '2.0.0' }, { versionNegotiation: { mode: negotiation } })
    : new Client({ name: 'kovix-interop', version: '1.0.0' });
  await client.connect(transport);
  if ((negotiated ?? '') >= '2025-06-18') structured.add(client);
  // Lets a test change a response before the client sees it.
  let change;
  const deliver = transport.onmessage;
  transport.onmessage = (message, extra) => deliver(change ? change(message) : message, extra);
  // The child process is private to the transport; its exit status is what
  // the closing check needs.
  const exited = new Promise((resolve) => transport._process.once('exit', (code, signal) => resolve({ code, signal })));
  return { client, asked, negotiated, exited, sent, stderr: () => stderr, raw: () => raw,
    change: (f) => { change = f; } };
}

// A successful call's result object: its text, which from 2025-06-18 on is
// also the structured content.
async function call(client, name, args) {
  const result = await client.callTool({ name, arguments: args });
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  const value = JSON.parse(result.content[0].text);
  if (structured.has(client)) {
    assert.deepEqual(Object.keys(result).sort(), ['content', 'structuredContent']);
    assert.deepEqual(result.structuredContent, value);
  } else {
    assert.deepEqual(Object.keys(result), ['content']);
  }
  return value;
}

async function closesCleanly(s, { initialized = true } = {}) {
  await s.client.close();
  // The client sends SIGTERM two seconds after closing the server's input:
  // a server that ends by itself in time exits with status 0 and no signal.
  assert.deepEqual(await s.exited, { code: 0, signal: null });
  // 2026-07-28 has no handshake, so no notification that it is done.
  assert.match(s.stderr(), initialized
    ? /kovix-mcp-server: client initialized\n(.|\n)*kovix-mcp-server: stdin closed; exiting\n$/
    : /^kovix-mcp-server: ready \(uid=u-interop\)\nkovix-mcp-server: stdin closed; exiting\n$/);
}

const instructions = "Kovix runs this user's scheduled work. Agents are named roles; tasks belong to an agent and " +
  'run a Markdown prompt with an AI tool on a cron schedule; runs are executions of a task, and run_now queues ' +
  "one. Call list_agents before proposing agent names so you don't duplicate one. Pass agent and task ids exactly " +
  'as returned. Give frequency as a cron expression. Call register_dependency only after all the tasks it names ' +
  'exist.';

async function catalogueChecks(client) {
  const { tools } = await client.listTools();
  const required = Object.fromEntries(tools.map((t) => [t.name, t.inputSchema.required]));
  assert.deepEqual(required, {
    create_agent: ['name'], create_task: ['agent_id', 'name', 'prompt'],
    register_dependency: ['task_id', 'depends_on'], list_agents: undefined, list_tasks: ['agent_id'],
    get_agent: ['agent_id'], get_task: ['task_id'], run_now: ['task_id'] });
  assert.deepEqual(tools.map((t) => t.name), names);
  assert.deepEqual(tools[3].inputSchema, { type: 'object', properties: {} });
  assert.equal(tools[1].inputSchema.properties.prompt.description,
    'Markdown prompt \u2014 Goal/Context/Output format/Hand-off.');
  assert.deepEqual(tools[1].inputSchema.properties.ai_tools.items, { type: 'string', enum: ['claude', 'codex'] });
  return tools;
}

// Every tool declares the schema of its result object: an object with
// exactly its keys, all required.
function outputSchemaChecks(tools) {
  for (const tool of tools) {
    const schema = tool.outputSchema;
    assert.equal(schema.type, 'object', tool.name);
    assert.equal(schema.additionalProperties, false, tool.name);
    assert.deepEqual(schema.required, Object.keys(schema.properties), tool.name);
    assert.equal(schema.$schema, undefined, tool.name);
  }
  assert.deepEqual(tools.map((tool) => tool.outputSchema.required), [['agent_id', 'url'], ['task_id'], ['ok'],
    ['agents'], ['tasks'], ['agent'], ['task'], ['run_id', 'status']]);
}

async function successPath(c, agentsDir) {
  const ids = {};
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

  assert.equal(fs.readFileSync(path.join(agentsDir, ids.agent, 'CLAUDE.md'), 'utf8'),
    '# Growth\n\nYou are the AI executing a scheduled task for the **Growth** in Kovix.\n\n' +
    '## Agent description\nGrows things.\n\n## Other tasks under this Agent\n' +
    '- **Alpha** \u2014 @hourly (codex, claude)\n- **beta** \u2014 0 9 * * * (claude)');
  return ids;
}

// Every failure of a tool call, with its JSON-RPC code and message. With
// `asResults`, the server answers the tools' own failures as results marked
// isError that carry the same message and no structured content; an unknown
// tool stays an error.
async function errorPaths(t, c, ids, { asResults, errors = v1Errors }) {
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
      if (asResults && code !== -32601) {
        const result = await c.callTool({ name, arguments: args });
        assert.deepEqual(result, { content: [{ type: 'text', text: message }], isError: true });
        return;
      }
      await assert.rejects(c.callTool({ name, arguments: args }), (error) => {
        assert.ok(errors.is(error), String(error));
        assert.equal(error.code, code);
        assert.equal(error.message, errors.message(code, message));
        return true;
      });
    });
  }
  // A tools/call without a name is malformed in every revision. (The v2
  // client refuses to send one.)
  if (errors === v1Errors) {
    await assert.rejects(c.request({ method: 'tools/call', params: { arguments: {} } }, CallToolResultSchema),
      (error) => error instanceof McpError && error.code === -32602 &&
        error.message === "MCP error -32602: tools/call requires 'name'");
  }
  // None of them changed anything.
  assert.equal((await call(c, 'list_agents', {})).agents[0].task_count, 2);
  assert.equal((await call(c, 'get_task', { task_id: ids.task })).task.depends_on.length, 1);
}

const main = await session(path.join(work, 'kovix.db'));
let mainIds;

test('handshake: protocol 2024-11-05, server info and capabilities', async () => {
  assert.equal(main.asked, LATEST_PROTOCOL_VERSION);
  assert.equal(main.negotiated, '2024-11-05');
  assert.deepEqual(main.client.getServerVersion(), { name: 'kovix-mcp-server', version: '0.2.0' });
  assert.deepEqual(main.client.getServerCapabilities(), { tools: { listChanged: false } });
  assert.equal(main.client.getInstructions(), undefined);
  assert.deepEqual(await main.client.ping(), {});
});

test('tools/list: eight tools in order with their required arguments, nothing newer', async () => {
  const tools = await catalogueChecks(main.client);
  for (const tool of tools) assert.deepEqual(Object.keys(tool).sort(), ['description', 'inputSchema', 'name']);
});

test('every tool on its success path', async () => {
  mainIds = await successPath(main.client, path.join(work, 'agents'));
});

test('error paths reach the client with their codes and messages', (t) => errorPaths(t, main.client, mainIds,
  { asResults: false }));

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

test('negotiate: the client settles on its newest revision and gets everything it has', async (t) => {
  const s = await session(path.join(work, 'negotiated.db'), { protocol: 'negotiate', agents: 'agents-negotiated' });
  assert.equal(s.asked, '2025-11-25');
  assert.equal(s.negotiated, '2025-11-25');
  assert.deepEqual(s.client.getServerVersion(), { name: 'kovix-mcp-server', version: '0.2.0' });
  assert.deepEqual(s.client.getServerCapabilities(), { tools: { listChanged: false } });
  assert.equal(s.client.getInstructions(), instructions);
  const tools = await catalogueChecks(s.client);
  assert.deepEqual(tools.map((tool) => tool.title), titles);
  assert.deepEqual(tools.map((tool) => tool.annotations), annotations);
  outputSchemaChecks(tools);
  // The client compiled a validator from each schema, and checks each
  // success of successPath against it.
  for (const name of names) assert.equal(typeof s.client.getToolOutputValidator(name), 'function', name);
  const ids = await successPath(s.client, path.join(work, 'agents-negotiated'));
  await t.test('failed tools are results marked isError', (tt) => errorPaths(tt, s.client, ids, { asResults: true }));
  await t.test('the client refuses structured content that its schema does not allow, or none', async () => {
    const agents = { agents: [{ agent_id: 'ag_1', name: 'x' }] };
    s.change((m) => (m.result?.structuredContent ? { ...m, result: { ...m.result, structuredContent: agents } } : m));
    await assert.rejects(s.client.callTool({ name: 'list_agents', arguments: {} }), (error) =>
      error instanceof McpError && error.code === -32602 && /does not match the tool's output schema/.test(error.message));
    s.change((m) => (m.result?.structuredContent ? { ...m, result: { content: m.result.content } } : m));
    await assert.rejects(s.client.callTool({ name: 'list_agents', arguments: {} }), (error) =>
      error instanceof McpError && error.code === -32600 && /did not return structured content/.test(error.message));
    s.change(undefined);
  });
  await closesCleanly(s);
});

test('negotiate: a client that asks for 2025-03-26 gets annotations but no titles', async () => {
  const s = await session(path.join(work, 'older.db'), { protocol: 'negotiate', asking: '2025-03-26' });
  assert.equal(s.negotiated, '2025-03-26');
  assert.equal(s.client.getInstructions(), instructions);
  const tools = await catalogueChecks(s.client);
  assert.deepEqual(tools.map((tool) => tool.title), names.map(() => undefined));
  assert.deepEqual(tools.map((tool) => tool.annotations), annotations);
  assert.deepEqual(tools.map((tool) => tool.outputSchema), names.map(() => undefined));
  assert.deepEqual(await call(s.client, 'list_agents', {}), { agents: [] });
  assert.deepEqual(await s.client.callTool({ name: 'get_agent', arguments: { agent_id: 'ag_x' } }),
    { content: [{ type: 'text', text: 'get_agent: agent not found: ag_x' }], isError: true });
  await closesCleanly(s);
});

test('negotiate: a client that asks for an unknown revision is offered the newest', async () => {
  const s = await session(path.join(work, 'newer.db'), { protocol: 'negotiate', asking: '2099-01-01' });
  assert.equal(s.asked, '2099-01-01');
  assert.equal(s.negotiated, '2025-11-25');
  const tools = await catalogueChecks(s.client);
  assert.deepEqual(tools.map((tool) => tool.title), titles);
  await closesCleanly(s);
});

test('negotiate over a file that is not a database: the failure is a result', async () => {
  const s = await session(path.join(work, 'not-a-database'), { protocol: 'negotiate' });
  assert.deepEqual(await s.client.callTool({ name: 'list_agents', arguments: {} }),
    { content: [{ type: 'text', text: 'SQLite error: file is not a database' }], isError: true });
  await closesCleanly(s);
});

// The revision without a handshake, as the v2 client speaks it. Besides what
// the client checks itself, the wire shows that it never initialized, that
// every request named the revision, and that every result said it was
// complete.
function statelessWire(s) {
  const requests = s.sent.filter((message) => message.id !== undefined);
  assert.ok(requests.length > 0);
  for (const request of requests) {
    assert.notEqual(request.method, 'initialize');
    const meta = request.params._meta;
    assert.equal(meta['io.modelcontextprotocol/protocolVersion'], '2026-07-28', request.method);
    assert.equal(typeof meta['io.modelcontextprotocol/clientCapabilities'], 'object', request.method);
  }
  const responses = s.raw().trimEnd().split('\n').map((line) => JSON.parse(line));
  assert.equal(responses.length, requests.length);
  for (const response of responses) if (response.result) assert.equal(response.result.resultType, 'complete');
  const list = responses.find((response) => response.result?.tools);
  assert.equal(list.result.cacheScope, 'private');
  assert.ok(Number.isInteger(list.result.ttlMs) && list.result.ttlMs > 0, String(list.result.ttlMs));
}

test('v2 client, auto, negotiate: it discovers 2026-07-28 and gets everything it has', async (t) => {
  const s = await session(path.join(work, 'stateless.db'), { protocol: 'negotiate', negotiation: 'auto',
    agents: 'agents-stateless' });
  const c = s.client;
  assert.equal(c.getNegotiatedProtocolVersion(), '2026-07-28');
  assert.equal(c.getProtocolEra(), 'modern');
  assert.equal(s.negotiated, '2026-07-28');
  assert.deepEqual(c.getServerVersion(), { name: 'kovix-mcp-server', version: '0.2.0' });
  assert.deepEqual(c.getServerCapabilities(), { tools: { listChanged: false } });
  assert.equal(c.getInstructions(), instructions);
  assert.deepEqual(c.getDiscoverResult().supportedVersions, ['2026-07-28']);
  assert.equal(c.getDiscoverResult().cacheScope, 'private');
  const tools = await catalogueChecks(c);
  assert.deepEqual(tools.map((tool) => tool.title), titles);
  assert.deepEqual(tools.map((tool) => tool.annotations), annotations);
  outputSchemaChecks(tools);
  const ids = await successPath(c, path.join(work, 'agents-stateless'));
  await t.test('failed tools are results marked isError', (tt) => errorPaths(tt, c, ids,
    { asResults: true, errors: v2Errors }));
  statelessWire(s);
  await closesCleanly(s, { initialized: false });
});

test('v2 client pinned to 2026-07-28: connects with negotiate, and is refused by default', async () => {
  const s = await session(path.join(work, 'pinned.db'), { protocol: 'negotiate',
    negotiation: { pin: '2026-07-28' } });
  assert.equal(s.client.getNegotiatedProtocolVersion(), '2026-07-28');
  const tools = await catalogueChecks(s.client);
  outputSchemaChecks(tools);
  assert.deepEqual(await call(s.client, 'list_agents', {}), { agents: [] });
  const { agent_id: agent } = await call(s.client, 'create_agent', { name: 'Pinned' });
  assert.equal((await call(s.client, 'get_agent', { agent_id: agent })).agent.name, 'Pinned');
  assert.deepEqual(await s.client.callTool({ name: 'get_task', arguments: { task_id: 'tk_x' } }),
    { content: [{ type: 'text', text: 'get_task: task not found: tk_x' }], isError: true });
  statelessWire(s);
  await closesCleanly(s, { initialized: false });
  // The default server answers server/discover as it answers any method it
  // does not know, and a pinned client has nothing to fall back on.
  await assert.rejects(session(path.join(work, 'pinned-default.db'), { negotiation: { pin: '2026-07-28' } }),
    (error) => error.code === 'ERA_NEGOTIATION_FAILED' && /did not offer pinned protocol version/.test(error.message));
});

test('v2 client, auto, default setting: it falls back to 2024-11-05 and gets the v1 client\'s bytes', async (t) => {
  const s = await session(path.join(work, 'fallback.db'), { negotiation: 'auto', agents: 'agents-fallback' });
  const c = s.client;
  assert.equal(s.asked, '2025-11-25');
  assert.equal(c.getNegotiatedProtocolVersion(), '2024-11-05');
  assert.equal(c.getProtocolEra(), 'legacy');
  assert.deepEqual(c.getServerVersion(), { name: 'kovix-mcp-server', version: '0.2.0' });
  assert.equal(c.getInstructions(), undefined);
  const tools = await catalogueChecks(c);
  for (const tool of tools) assert.deepEqual(Object.keys(tool).sort(), ['description', 'inputSchema', 'name']);
  const ids = await successPath(c, path.join(work, 'agents-fallback'));
  await t.test('error paths reach the client with their codes and messages', (tt) => errorPaths(tt, c, ids,
    { asResults: false, errors: v2Errors }));
  await closesCleanly(s);
  // The same answers, byte for byte, as the v1 client got from its server.
  const line = (raw, part) => raw.split('\n').find((l) => l.includes(part)).replace(/"id":\d+,/, '');
  for (const part of ['"result":{"capabilities":', '"result":{"tools":', '"message":"Unknown tool: no_such_tool"',
    '"message":"get_task: task not found: tk_nope"', '"message":"run_now: \'task_id\' is required"']) {
    assert.equal(line(s.raw(), part), line(main.raw(), part), part);
  }
  assert.equal(line(s.raw(), '"result":{"capabilities":'), '{"jsonrpc":"2.0","result":{"capabilities":{"tools":' +
    '{"listChanged":false}},"protocolVersion":"2024-11-05","serverInfo":{"name":"kovix-mcp-server","version":"0.2.0"}}}');
});
