// The MCP Inspector's command line lists and calls the server's tools, once
// as the server speaks by default and once with KOVIX_PROTOCOL=negotiate.
// Each Inspector run starts its own server over the same database. Everything
// is reported on standard error; the exit status says whether all held.
// Run: node check.mjs /path/to/kovix-mcp-server   (Node 22 or later)
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { names, titles, annotations } from '../catalogue.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const inspector = path.join(here, 'node_modules/@modelcontextprotocol/inspector/clients/launcher/build/index.js');
const binary = process.argv[2];
assert.ok(binary && fs.existsSync(binary), 'usage: node check.mjs /path/to/kovix-mcp-server');
assert.ok(fs.existsSync(inspector), "the Inspector is not installed: run 'npm ci' in tests/inspector");

// One Inspector run against a fresh server process; returns its exit status
// and its parsed JSON output (standard output, or the error envelope on
// standard error).
function inspect(work, protocol, args) {
  const env = [`KOVIX_USER_ID=u-inspector`, `KOVIX_DB_PATH=${path.join(work, 'kovix.db')}`,
    `KOVIX_AGENT_ROOT=${path.join(work, 'agents')}`, `KOVIX_TEMPLATE_PATH=${path.join(work, 'none.md')}`];
  if (protocol) env.push(`KOVIX_PROTOCOL=${protocol}`);
  for (const key of ['ASAN_OPTIONS', 'UBSAN_OPTIONS']) if (process.env[key]) env.push(`${key}=${process.env[key]}`);
  const run = spawnSync(process.execPath,
    [inspector, '--cli', '--format', 'json', ...env.flatMap((e) => ['-e', e]), binary, ...args], {
      encoding: 'utf8', timeout: 60_000,
      // The Inspector keeps a catalogue under the home directory: keep it in
      // the scratch directory.
      env: { ...process.env, HOME: work, PATH: `${path.dirname(process.execPath)}:${process.env.PATH}` },
    });
  const label = `inspector ${protocol || 'default'} ${args.join(' ')}`;
  assert.equal(run.error, undefined, `${label}: ${run.error}`);
  const serverLines = run.stderr.split('\n').filter((line) => line.startsWith('kovix-mcp-server: '));
  const envelope = run.stderr.split('\n').filter((line) => line.startsWith('{')).pop();
  const text = run.stdout.trim() || envelope || '';
  let output;
  try {
    output = JSON.parse(text);
  } catch {
    assert.fail(`${label}: exit ${run.status}, no JSON output\nstdout: ${run.stdout}\nstderr: ${run.stderr}`);
  }
  // Every run is one whole session: the server saw the client through and
  // ended when its input closed.
  assert.deepEqual(serverLines.slice(-2), ['kovix-mcp-server: client initialized',
    'kovix-mcp-server: stdin closed; exiting'], `${label}: ${run.stderr}`);
  return { status: run.status, output };
}

function call(work, protocol, tool, args) {
  return inspect(work, protocol, ['--method', 'tools/call', '--tool-name', tool, '--tool-args-json',
    JSON.stringify(args)]);
}

function result(work, protocol, tool, args) {
  const { status, output } = call(work, protocol, tool, args);
  assert.equal(status, 0, `${tool}: ${JSON.stringify(output)}`);
  assert.equal(output.result.content.length, 1);
  assert.equal(output.result.content[0].type, 'text');
  const value = JSON.parse(output.result.content[0].text);
  // Negotiated, the result object comes a second time as structured content,
  // which the Inspector's client checks against the tool's output schema.
  if (protocol === 'negotiate') {
    assert.deepEqual(Object.keys(output.result).sort(), ['content', 'structuredContent']);
    assert.deepEqual(output.result.structuredContent, value);
  } else {
    assert.deepEqual(Object.keys(output.result), ['content']);
  }
  return value;
}

function session(protocol) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kovix-inspector-'));
  try {
    const { status, output } = inspect(work, protocol, ['--method', 'tools/list']);
    assert.equal(status, 0);
    const { tools } = output.result;
    assert.deepEqual(tools.map((t) => t.name), names);
    if (protocol === 'negotiate') {
      // The Inspector asks for its newest revision, which has them all.
      assert.deepEqual(tools.map((t) => t.title), titles);
      assert.deepEqual(tools.map((t) => t.annotations), annotations);
      assert.deepEqual(tools.map((t) => t.outputSchema.type), names.map(() => 'object'));
    } else {
      for (const tool of tools) assert.deepEqual(Object.keys(tool).sort(), ['description', 'inputSchema', 'name']);
    }

    const agent = result(work, protocol, 'create_agent', { name: 'Growth' });
    assert.match(agent.agent_id, /^ag_[0-9a-z]{10}$/);
    const task = result(work, protocol, 'create_task', { agent_id: agent.agent_id, name: 'Report',
      prompt: 'Write it.', ai_tools: ['codex'], timeout_min: 5 });
    assert.match(task.task_id, /^tk_[0-9a-z]{10}$/);
    assert.deepEqual(result(work, protocol, 'register_dependency', { task_id: task.task_id, depends_on: [] }),
      { ok: true });
    const { tasks } = result(work, protocol, 'list_tasks', { agent_id: agent.agent_id });
    assert.deepEqual(tasks.map((t) => [t.task_id, t.ai_tools, t.timeout_min]), [[task.task_id, ['codex'], 5]]);
    assert.equal(result(work, protocol, 'run_now', { task_id: task.task_id }).status, 'queued');

    // A failing tool: by default a JSON-RPC error, which the Inspector
    // reports with its message; negotiated, a result marked isError.
    const missing = call(work, protocol, 'get_task', { task_id: 'tk_missing' });
    assert.notEqual(missing.status, 0);
    if (protocol === 'negotiate') {
      assert.deepEqual(missing.output, { result: { content: [{ type: 'text',
        text: 'get_task: task not found: tk_missing' }], isError: true } });
    } else {
      assert.equal(missing.output.error.message, 'get_task: task not found: tk_missing');
    }
    console.error(`inspector-test: ${protocol || 'default'}: tools/list and 6 tool calls as expected`);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

session(undefined);
session('negotiate');
