#!/usr/bin/env python3
"""The built server against the faults it meets in the field: a locked shared
database held through start-up, other writers, SIGKILL at random moments and
at chosen system calls, another server rendering the same agent, a full disk,
a lowered address-space limit with lines larger than it, briefings that would
grow past their limit, infinite times stored by another process, and answers
compared with the file while another process writes between calls.
Usage: faults.py SERVER_BINARY
       {lock|writers|crash|disk|memory|kill|race|unlocked|oversize|startlock|infinity|snapshot|output|
        matrix [--full] [--only=SYSCALL]};
exit status 0 when every check holds, 1 on the first failure, 77 when the case
cannot run here."""
import fcntl, json, math, os, random, re, resource, select, shutil, signal, sqlite3, subprocess, sys, tempfile, threading, time

SKIP = 77
USER = "u-faults"
figures = {"checks": 0, "rows checked": 0}


def log(*parts):
    print("faults:", *parts, file=sys.stderr, flush=True)


def check(condition, what):
    figures["checks"] += 1
    if not condition:
        raise AssertionError(what)


class Server:
    """One server process over pipes, with the environment of one user."""

    def __init__(self, binary, work, root=None, address_space=None, wrap=()):
        self.db = os.path.join(work, "kovix.db")
        self.root = root or os.path.join(work, "agents")
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "KOVIX_USER_ID": USER,
               "KOVIX_DB_PATH": self.db, "KOVIX_AGENT_ROOT": self.root,
               "KOVIX_TEMPLATE_PATH": os.path.join(work, "no-template.md")}
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        if wrap:  # the leak checker stops the process with ptrace, which a traced process cannot
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        def limit():
            if address_space:
                resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
        self.log = os.path.join(work, "server.log")
        with open(self.log, "ab") as err:
            self.proc = subprocess.Popen([*wrap, binary], env=env, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=err, preexec_fn=limit)
        self.buffer = b""

    def send(self, name, arguments):
        request = {"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": name, "arguments": arguments}}
        self.proc.stdin.write(json.dumps(request).encode() + b"\n")
        self.proc.stdin.flush()

    def receive(self, timeout=30):
        """The next response as (result, None) or (None, error)."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            check(left > 0 and select.select([self.proc.stdout], [], [], left)[0],
                  f"no response within {timeout} s")
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            check(chunk, "the server closed its standard output")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return parse(line)

    def call(self, name, arguments):
        self.send(name, arguments)
        result, error = self.receive()
        check(error is None, f"{name} {arguments} failed: {error}")
        return result

    def close(self):
        self.proc.stdin.close()
        check(self.proc.wait(20) == 0, f"server exit status {self.proc.returncode}")


def parse(line):
    message = json.loads(line)
    if "error" in message:
        return None, message["error"]
    result = message["result"]
    return (json.loads(result["content"][0]["text"]) if "content" in result else result), None


def connect(db):
    return sqlite3.connect(db, timeout=30, isolation_level=None)


def render(name, description, tasks):
    """CLAUDE.md from the built-in template; `tasks` are (name, frequency, ai_tools)."""
    lines = "\n".join(f"- **{n}** \u2014 {f} ({', '.join(json.loads(t))})" for n, f, t in tasks)
    return (f"# {name}\n\nYou are the AI executing a scheduled task for the **{name}** in Kovix.\n\n"
            f"## Agent description\n{'(no description)' if description is None else description}\n\n"
            f"## Other tasks under this Agent\n{lines or '- (no other tasks yet)'}")


def agent_tasks(db, agent):
    sql = "SELECT name, frequency, ai_tools FROM tasks WHERE agent_id = ? ORDER BY name"
    return db.execute(sql, (agent,)).fetchall()


def claude(root, agent):
    with open(os.path.join(root, agent, "CLAUDE.md"), encoding="utf-8", errors="replace") as f:
        return f.read()


def check_integrity(db):
    check(db.execute("PRAGMA integrity_check").fetchall() == [("ok",)], "integrity_check is not ok")


def case_lock(binary, work):
    srv = Server(binary, work)
    agent = srv.call("create_agent", {"name": "Locksmith"})["agent_id"]
    db = connect(srv.db)
    check(db.execute("PRAGMA journal_mode").fetchone()[0] == "wal", "the database is not in WAL mode")

    # A writer holds the lock for 2 s: the server's reads see the committed state
    # only, and its create_task waits for the lock, then sees the writer's row.
    db.execute("BEGIN IMMEDIATE")
    db.execute("INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) "
               "VALUES ('tk_heldheldhe', ?, 'zz-held', 'p', '[\"codex\"]', '@daily')", (agent,))
    start = time.monotonic()
    srv.send("list_tasks", {"agent_id": agent})
    srv.send("create_task", {"agent_id": agent, "name": "waits", "prompt": "p"})
    check(srv.receive() == ({"tasks": []}, None), "list_tasks saw an uncommitted row")
    time.sleep(max(0.0, 2 - (time.monotonic() - start)))
    db.execute("COMMIT")
    result, error = srv.receive()
    check(error is None, f"create_task behind a 2 s lock failed: {error}")
    check(db.execute("SELECT name FROM tasks WHERE id = ?", (result["task_id"],)).fetchall() == [("waits",)],
          "the waiting task is missing")
    expected = render("Locksmith", None, agent_tasks(db, agent))
    check(claude(srv.root, agent) == expected, "CLAUDE.md does not list both tasks")

    # Held past the 5 s busy time-out (and for as long as a slow build needs
    # to give up): the call fails, leaves nothing behind, and the next succeeds.
    db.execute("BEGIN IMMEDIATE")
    start = time.monotonic()
    srv.send("create_task", {"agent_id": agent, "name": "doomed", "prompt": "p"})
    result, error = srv.receive(timeout=60)
    waited = time.monotonic() - start
    time.sleep(max(0.0, 7 - waited))
    db.execute("ROLLBACK")
    log(f"lock: create_task gave up after {waited:.2f} s")
    check(error is not None and error["code"] == -32603 and error["message"].startswith("SQLite error: "),
          f"create_task behind a 7 s lock: expected -32603 'SQLite error: ...', got {result or error}")
    check(db.execute("SELECT COUNT(*) FROM tasks WHERE name = 'doomed'").fetchone()[0] == 0,
          "the failed task left a row")
    check(claude(srv.root, agent) == expected, "the failed call changed CLAUDE.md")
    task = srv.call("create_task", {"agent_id": agent, "name": "after", "prompt": "p"})["task_id"]

    # A reader in another process keeps its snapshot open: the server reads
    # and writes beside it, and the reader still sees its own snapshot.
    reader = connect(srv.db)
    reader.execute("BEGIN")
    before = reader.execute("SELECT COUNT(*) FROM tasks").fetchone()[0]
    beside = srv.call("create_task", {"agent_id": agent, "name": "beside", "prompt": "p"})["task_id"]
    names = [t["name"] for t in srv.call("list_tasks", {"agent_id": agent})["tasks"]]
    check(names == ["after", "beside", "waits", "zz-held"], f"list_tasks beside a reader: {names}")
    check(srv.call("get_task", {"task_id": task})["task"]["name"] == "after", "get_task beside a reader")
    check(srv.call("run_now", {"task_id": beside})["status"] == "queued", "run_now beside a reader")
    check(reader.execute("SELECT COUNT(*) FROM tasks").fetchone()[0] == before, "the reader's snapshot moved")
    reader.execute("COMMIT")
    check(claude(srv.root, agent) == render("Locksmith", None, agent_tasks(db, agent)), "final CLAUDE.md")
    check_integrity(db)
    figures["rows checked"] += 6
    srv.close()


def writer(db_path, agent, prefix):
    """Another scheduler process: writes a task and its run in one transaction
    every few milliseconds until told to stop, then prints how many pairs it
    wrote. (Writers without pauses between their transactions can starve the
    server's busy-wait past its time-out: SQLite's locks are not fair.)"""
    db = connect(db_path)
    count = 0
    while not select.select([sys.stdin], [], [], 0.01)[0]:
        db.execute("BEGIN IMMEDIATE")
        db.execute("INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency) VALUES (?, ?, ?, 'p', "
                   "'[\"codex\"]', '@hourly')", (f"{prefix}{count}", agent, f"{prefix}{count}"))
        db.execute("INSERT INTO runs (id, task_id, started_at, status, ai_used, triggered_by) "
                   "VALUES (?, ?, 0, 'pending', 'codex', 'schedule')", (f"{prefix}r{count}", f"{prefix}{count}"))
        db.execute("COMMIT")
        count += 1
        if count == 1:
            print("started", flush=True)
    print(count, flush=True)


def case_writers(binary, work, calls=60):
    srv = Server(binary, work)
    agent = srv.call("create_agent", {"name": "Crowded"})["agent_id"]
    writers = [subprocess.Popen([sys.executable, __file__, "writer", srv.db, agent, f"w{n}-"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for n in (1, 2)]
    try:
        for w in writers:
            check(w.stdout.readline().strip() == "started", "a writer did not start")
        tasks, runs, start = [], [], time.monotonic()
        while len(tasks) < calls or time.monotonic() - start < 2:  # at least 2 s beside the writers
            i = len(tasks)
            tasks.append(srv.call("create_task", {"agent_id": agent, "name": f"s{i:03}", "prompt": "p"})["task_id"])
            runs.append(srv.call("run_now", {"task_id": tasks[-1]})["run_id"])
        counts = [int(w.communicate("stop\n", timeout=60)[0].split()[-1]) for w in writers]
    finally:
        for w in writers:
            if w.poll() is None:
                w.kill()
    db = connect(srv.db)
    check_integrity(db)
    have = {r[0] for r in db.execute("SELECT id FROM tasks UNION ALL SELECT id FROM runs")}
    wanted = set(tasks + runs) | {f"w{n}-{k}" for n, c in zip((1, 2), counts) for k in range(c)} \
        | {f"w{n}-r{k}" for n, c in zip((1, 2), counts) for k in range(c)}
    check(wanted <= have, f"{len(wanted - have)} rows are missing")
    check(len(have) == len(wanted), f"{len(have) - len(wanted)} unexpected rows")
    text = claude(srv.root, agent)
    check(all(f"- **s{i:03}** \u2014 0 9 * * * (claude)" in text for i in range(len(tasks))),
          "CLAUDE.md misses a task of the server")
    figures["rows checked"] += len(wanted)
    log(f"writers: server made {len(tasks)} tasks and {len(runs)} runs beside writers of {counts} task+run pairs")
    srv.close()


TASK_LINE = r"- \*\*t\d{5}\*\* \u2014 0 9 \* \* \* \(claude\)"
BRIEFING = re.compile(r"# (a\d{5})\n\nYou are the AI executing a scheduled task for the \*\*\1\*\* in Kovix\.\n\n"
                      r"## Agent description\nagent \d+\n\n## Other tasks under this Agent\n"
                      rf"(- \(no other tasks yet\)|{TASK_LINE}(\n{TASK_LINE})*)")


def watch_briefings(root, stop, reads, torn):
    """What the AI tool sees when it reads CLAUDE.md at any moment: a whole briefing."""
    while not stop.wait(0.001):
        for agent in os.listdir(root) if os.path.isdir(root) else []:
            try:
                with open(os.path.join(root, agent, "CLAUDE.md"), encoding="utf-8", errors="replace") as f:
                    text = f.read()
            except FileNotFoundError:
                continue
            reads[0] += 1
            if not BRIEFING.fullmatch(text):
                torn.append(text)


def case_crash(binary, work, kills=100, batch=12):
    """Each round starts a server, sends a batch of calls, reads a random number
    of the answers and kills the server a moment later, while another reader
    keeps reading the briefings."""
    rng = random.Random(os.environ.get("KOVIX_FAULTS_SEED"))
    agents, done_tasks, seq, mid = {}, {}, 0, 0
    stop, reads, torn = threading.Event(), [0], []
    watcher = threading.Thread(target=watch_briefings, args=(os.path.join(work, "agents"), stop, reads, torn))
    watcher.start()
    try:
        for _ in range(kills):
            srv = Server(binary, work)
            requests = []
            if not agents or rng.random() < 0.25:
                seq += 1
                requests.append(("create_agent", {"name": f"a{seq:05}", "description": f"agent {seq}"}))
            for _ in range(batch - len(requests) if agents else 0):
                seq += 1
                requests.append(("create_task", {"agent_id": rng.choice(list(agents)), "name": f"t{seq:05}",
                                                 "prompt": "p"}))
            for name, arguments in requests:
                srv.send(name, arguments)
            got = [srv.receive() for _ in range(rng.randint(0, len(requests)))]
            time.sleep(rng.uniform(0, 0.004))
            srv.proc.send_signal(signal.SIGKILL)
            srv.proc.wait(20)
            got += [parse(line) for line in (srv.buffer + srv.proc.stdout.read()).split(b"\n")[:-1]]
            srv.proc.stdout.close()
            srv.proc.stdin.close()
            mid += 0 < len(got) < len(requests)
            for (name, arguments), (result, error) in zip(requests, got):
                check(error is None, f"{name} failed: {error}")
                if name == "create_agent":
                    agents[result["agent_id"]] = arguments["name"]
                else:
                    done_tasks[result["task_id"]] = (arguments["agent_id"], arguments["name"])
    finally:
        stop.set()
        watcher.join()
    check(not torn, f"{len(torn)} of {reads[0]} reads of CLAUDE.md saw a partial file, such as:\n{torn[:1]}")
    db = connect(os.path.join(work, "kovix.db"))
    check_integrity(db)
    for task, row in done_tasks.items():
        check(db.execute("SELECT agent_id, name FROM tasks WHERE id = ?", (task,)).fetchone() == row,
              f"task {task} answered but not stored")
    rendered = 0
    for agent, name, description in db.execute("SELECT id, name, description FROM agents"):
        check(agents.get(agent, name) == name, f"agent {agent} has the wrong name")
        path = os.path.join(work, "agents", agent, "CLAUDE.md")
        if agent not in agents and not os.path.exists(path):
            continue  # killed before the briefing was written: no answer was given either
        tasks = agent_tasks(db, agent)
        text = claude(os.path.join(work, "agents"), agent)
        check(any(text == render(name, description, tasks[:k]) for k in range(len(tasks) + 1)),
              f"CLAUDE.md of {agent} is not a complete rendering:\n{text}")
        rendered += 1
    # Whatever the kills left half-done, the next task added to each agent
    # leaves its workspace whole.
    srv = Server(binary, work)
    rows = list(db.execute("SELECT id, name, description FROM agents"))
    for agent, name, description in rows:
        srv.call("create_task", {"agent_id": agent, "name": "z-repair", "prompt": "p"})
        check_whole(srv, db, agent, name, description)
    srv.close()
    figures["rows checked"] += len(done_tasks) + len(agents)
    log(f"crash: {kills} kills ({mid} in the middle of the stream), {len(agents)} agents and "
        f"{len(done_tasks)} tasks answered and found, {rendered} CLAUDE.md files complete, "
        f"{reads[0]} reads of CLAUDE.md during the stream all whole, {len(rows)} workspaces whole after a repair")


TEMPORARY = re.compile(r"\.CLAUDE\.md\.[0-9a-z]{10}\.tmp")
WORKSPACE = ["CLAUDE.md", "inputs", "logs", "outputs", "shared"]


def strace_or_skip(case):
    """The strace command line, or None when strace cannot trace here."""
    if not shutil.which("strace") or subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"],
                                                    stderr=subprocess.DEVNULL).returncode != 0:
        log(f"{case}: SKIPPED: strace is missing or cannot trace here")
        return None
    return ["strace", "-f", "-qq", "-o", "/dev/null"]


def check_whole(srv, db, agent, name, description):
    """The workspace of `agent` holds its four directories and a CLAUDE.md
    listing every committed task, and nothing a render left behind."""
    directory = os.path.join(srv.root, agent)
    check(sorted(os.listdir(directory)) == WORKSPACE,
          f"workspace of {agent} after the repair: {sorted(os.listdir(directory))}")
    check(claude(srv.root, agent) == render(name, description, agent_tasks(db, agent)),
          f"CLAUDE.md of {agent} after the repair:\n{claude(srv.root, agent)}")


def case_kill(binary, work):
    """SIGKILL at chosen system calls of a render (strace's fault injection),
    then one create_task by a server that runs to the end: it must leave the
    agent's workspace whole."""
    strace = strace_or_skip("kill")
    if strace is None:
        return SKIP
    srv = Server(binary, work)
    agent = srv.call("create_agent", {"name": "Victim", "description": "v"})["agent_id"]
    srv.close()
    db = connect(srv.db)
    # (tool, system call, its n-th call in the process): the agent's
    # directories (mkdir), the render lock (flock, on the agent directory),
    # the listing under it that finds leftovers and missing directories
    # (getdents64), the temporary file's fsync and rename (renameat, relative
    # to the directory), and the directory's fsync.
    points = [("create_agent", "mkdir", n) for n in (1, 2, 3, 5)] + [("create_agent", "fsync", 1)] + \
        [("create_task", call, n) for call, n in (("flock", 1), ("getdents64", 1), ("fsync", 1),
                                                    ("renameat,renameat2", 1), ("fsync", 2))]
    killed = 0
    for round_, (tool, call, n) in enumerate(points):
        known = {row[0] for row in db.execute("SELECT id FROM agents")}
        victim = Server(binary, work, wrap=strace + ["-e", f"inject={call}:signal=KILL:when={n}"])
        arguments = {"name": f"k{round_}", "description": f"d{round_}"} if tool == "create_agent" else \
            {"agent_id": agent, "name": f"t{round_:02}", "prompt": "p"}
        victim.send(tool, arguments)
        victim.proc.stdin.close()
        status = victim.proc.wait(30)
        victim.proc.stdout.close()
        killed += status == -signal.SIGKILL
        log(f"kill: {tool} with SIGKILL at {call} #{n}: exit status {status}")
        target, name, description = agent, "Victim", "v"
        if tool == "create_agent":
            added = [row for row in db.execute("SELECT id, name, description FROM agents") if row[0] not in known]
            check(len(added) == 1, f"the killed create_agent left {len(added)} rows")
            target, name, description = added[0]
        repair = Server(binary, work)
        repair.call("create_task", {"agent_id": target, "name": f"r{round_:02}", "prompt": "p"})
        repair.close()
        check_whole(srv, db, target, name, description)
        check_whole(srv, db, agent, "Victim", "v")
        figures["rows checked"] += 1
    check(killed == len(points), f"only {killed} of {len(points)} injected kills happened")
    check_integrity(db)
    log(f"kill: {killed} renders killed at chosen system calls, each workspace whole after the next create_task")


def start_slow_render(binary, work, strace, agent, directory):
    """A server under `strace` whose create_task on `agent` renders with each
    fsync slowed by 1.5 s, returned once its temporary CLAUDE.md exists."""
    slow = Server(binary, work, wrap=strace + ["-e", "inject=fsync:delay_enter=1500000"])
    slow.send("create_task", {"agent_id": agent, "name": "slow", "prompt": "p"})
    deadline = time.monotonic() + 30
    while not any(TEMPORARY.fullmatch(f) for f in os.listdir(directory)):
        check(time.monotonic() < deadline, "the slow server never began writing CLAUDE.md")
        time.sleep(0.001)
    return slow


def case_race(binary, work):
    """Two servers add a task to one agent at once; the first one's fsync is
    slowed down, so its render is overtaken. The last CLAUDE.md written must
    still list both tasks."""
    strace = strace_or_skip("race")
    if strace is None:
        return SKIP
    fast = Server(binary, work)
    agent = fast.call("create_agent", {"name": "Contested"})["agent_id"]
    directory = os.path.join(fast.root, agent)
    slow = start_slow_render(binary, work, strace, agent, directory)
    start = time.monotonic()
    fast.call("create_task", {"agent_id": agent, "name": "fast", "prompt": "p"})
    waited = time.monotonic() - start
    result, error = slow.receive()
    check(error is None, f"the slow create_task failed: {error}")
    db = connect(fast.db)
    check([t[0] for t in agent_tasks(db, agent)] == ["fast", "slow"], "both tasks are stored")
    check(claude(fast.root, agent) == render("Contested", None, agent_tasks(db, agent)),
          f"the last CLAUDE.md written does not list both tasks:\n{claude(fast.root, agent)}")
    check(sorted(os.listdir(directory)) == WORKSPACE, f"left in the workspace: {sorted(os.listdir(directory))}")
    slow.close()

    # A holder that never lets go (a stopped server) costs a bounded wait:
    # the call fails, its task stays, and the next render lists it.
    before = claude(fast.root, agent)
    lock = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    start = time.monotonic()
    fast.send("create_task", {"agent_id": agent, "name": "blocked", "prompt": "p"})
    result, error = fast.receive(timeout=60)
    blocked = time.monotonic() - start
    os.close(lock)
    check(error is not None and error["code"] == -32603 and "Could not lock " in error["message"],
          f"create_task behind a lock held for good: {result or error}")
    check(claude(fast.root, agent) == before, "CLAUDE.md changed without the lock")
    fast.call("create_task", {"agent_id": agent, "name": "next", "prompt": "p"})
    check([t[0] for t in agent_tasks(db, agent)] == ["blocked", "fast", "next", "slow"], "the tasks after the lock")
    check(claude(fast.root, agent) == render("Contested", None, agent_tasks(db, agent)), "CLAUDE.md after the lock")
    check(sorted(os.listdir(directory)) == WORKSPACE, f"left in the workspace: {sorted(os.listdir(directory))}")
    fast.close()
    figures["rows checked"] += 4
    log(f"race: the fast server waited {waited:.2f} s for the slow one's render; CLAUDE.md lists both tasks; "
        f"a lock never released failed the call after {blocked:.1f} s: {error['message']}")


def case_unlocked(binary, work):
    """Where flock fails (ENOLCK, as on some network file systems) renders run
    unlocked: one must leave alone the temporary file that another is
    writing. The slow server's fsync is slowed so that the fast one renders
    while the slow one's file exists; both calls must succeed. A leftover
    unchanged for two hours still goes; a fresh one may be another render's
    and stays."""
    strace = strace_or_skip("unlocked")
    if strace is None:
        return SKIP
    unlocked = strace + ["-e", "inject=flock:error=ENOLCK"]
    fast = Server(binary, work, wrap=unlocked)
    agent = fast.call("create_agent", {"name": "Unlocked"})["agent_id"]
    directory = os.path.join(fast.root, agent)
    old, fresh = (os.path.join(directory, f".CLAUDE.md.{n}.tmp") for n in ("0ld0ld0ld0", "fresh0fres"))
    for path in (old, fresh):
        with open(path, "w") as f:
            f.write("partial")
    os.utime(old, (time.time() - 7200, time.time() - 7200))
    fast.call("create_task", {"agent_id": agent, "name": "first", "prompt": "p"})
    check(not os.path.exists(old) and os.path.exists(fresh),
          f"unlocked render: the old leftover must go, the fresh file stay: {sorted(os.listdir(directory))}")
    os.unlink(fresh)

    slow = start_slow_render(binary, work, unlocked, agent, directory)
    fast.call("create_task", {"agent_id": agent, "name": "fast", "prompt": "p"})
    result, error = slow.receive()
    check(error is None, f"the slow create_task lost its temporary file to the fast one's render: {error}")
    check(sorted(os.listdir(directory)) == WORKSPACE, f"left in the workspace: {sorted(os.listdir(directory))}")
    # Unlocked, the render written last may miss a task; the next one lists them all.
    fast.call("create_task", {"agent_id": agent, "name": "last", "prompt": "p"})
    db = connect(fast.db)
    check(claude(fast.root, agent) == render("Unlocked", None, agent_tasks(db, agent)), "CLAUDE.md after the race")
    slow.close()
    fast.close()
    figures["rows checked"] += 4
    log("unlocked: with flock failing (ENOLCK), a render beside another one's temporary file left it alone; "
        "both calls succeeded; a two-hour-old leftover was removed, a fresh one kept")


def case_output(binary, work, pings=200):
    """Answers go out by a write that does not wait (RWF_NOWAIT) while the
    client's pipe has room. Where the pipe is full (EAGAIN), or the kernel or
    the descriptor cannot write that way (EOPNOTSUPP, ENOSYS, EINVAL), the
    server waits for room and writes as it always did. Every way, every
    answer arrives whole and in order, and a refusal is met once, not once
    per answer."""
    strace = strace_or_skip("output")
    if strace is None:
        return SKIP
    requests = b"".join(b'{"jsonrpc":"2.0","id":%d,"method":"ping"}\n' % i for i in range(1, pings + 1))
    expected = [b'{"id":%d,"jsonrpc":"2.0","result":{}}' % i for i in range(1, pings + 1)]
    refused = 100
    for error, when in [("EOPNOTSUPP", "1+"), ("ENOSYS", "1+"), ("EINVAL", "1+"), ("EAGAIN", f"1..{refused}")]:
        run_dir = os.path.join(work, error)
        os.makedirs(run_dir)
        trace = os.path.join(run_dir, "trace")
        srv = Server(binary, run_dir, wrap=strace + ["-o", trace, "-e", "trace=pwritev2,writev,poll",
                                                      "-e", f"inject=pwritev2:error={error}:when={when}"])
        srv.proc.stdin.write(requests)
        srv.proc.stdin.close()
        out = srv.proc.stdout.read()
        check(srv.proc.wait(20) == 0, f"{error}: server exit status {srv.proc.returncode}")
        check(out.split(b"\n") == expected + [b""], f"{error}: the answers are not the {pings} pings' in order")
        with open(trace, errors="replace") as f:
            calls = f.read().splitlines()
        tried = sum(bool(re.match(r"^(?:\d+ +)?pwritev2\(1, ", line)) for line in calls)
        waited = sum(bool(re.match(r"^(?:\d+ +)?writev\(1, ", line)) for line in calls)
        if error == "EAGAIN":
            check(tried == pings and waited == refused,
                  f"EAGAIN: {tried} writes tried without waiting and {waited} after a wait; "
                  f"{pings} and {refused} expected")
        else:
            check(tried == 1 and waited == pings,
                  f"{error}: {tried} writes tried without waiting (1 expected) and {waited} after a wait")
    log(f"output: {pings} answers whole and in order with RWF_NOWAIT refused for good (EOPNOTSUPP, ENOSYS, "
        f"EINVAL: asked once) and with the pipe full for {refused} writes (EAGAIN)")


def peak_memory(proc):
    with open(f"/proc/{proc.pid}/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def case_oversize(binary, work):
    """Placeholders inside values are replaced too, so a short request can ask
    for a huge briefing: refused with its size, nothing written, memory kept."""
    srv = Server(binary, work)
    limit = 16 << 20
    # 121 KB that would render 200 MB, and 710 KB that would render 10 GB.
    for repeats, size in ((1000, 100_000), (10_000, 500_000)):
        name, description = "{{AGENT_DESCRIPTION}}" * repeats, "d" * size
        srv.send("create_agent", {"name": name, "description": description})
        result, error = srv.receive(timeout=60)
        # The text with the descriptions in place, the task list not yet.
        expected = len(render(name, description, []).replace("{{AGENT_DESCRIPTION}}", "").encode()) + \
            2 * repeats * size - len("- (no other tasks yet)") + len("{{TASK_LIST}}")
        check(error is not None and error["code"] == -32603, f"oversize create_agent: {result or error}")
        check(f"placeholders would expand to {expected} bytes on the way, over its limit of " in error["message"]
              and f"plus {limit})" in error["message"], f"oversize create_agent: {error['message']}")
        log(f"oversize: a {len(name) + len(description)} byte agent refused: {error['message'][-140:]}")
    for agent, in connect(srv.db).execute("SELECT id FROM agents"):
        check(sorted(os.listdir(os.path.join(srv.root, agent))) == WORKSPACE[1:], "an oversize briefing was written")

    # An agent whose description repeats the task list: one more task with a
    # long name would take it past the limit. The earlier file stays.
    agent = srv.call("create_agent", {"name": "Keeper", "description": "{{TASK_LIST}}" * 20_000})["agent_id"]
    srv.call("create_task", {"agent_id": agent, "name": "short", "prompt": "p"})
    before = claude(srv.root, agent)
    srv.send("create_task", {"agent_id": agent, "name": "n" * 1000, "prompt": "p"})
    result, error = srv.receive(timeout=60)
    check(error is not None and error["code"] == -32603 and ", over its limit of " in error["message"],
          f"oversize create_task: {result or error}")
    check(claude(srv.root, agent) == before, "the refused render changed CLAUDE.md")
    check(sorted(os.listdir(os.path.join(srv.root, agent))) == WORKSPACE, "the refused render left a file")
    peak = peak_memory(srv.proc)
    log(f"oversize: peak resident memory of the server {peak / 2**20:.1f} MiB")
    check(peak < 160 * 2**20, f"the server's peak memory was {peak / 2**20:.0f} MiB")
    srv.close()
    figures["rows checked"] += 3


def ready_log(work, since, timeout=60):
    """The server log's lines once the ready line is there, and when it came."""
    path = os.path.join(work, "server.log")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            text = f.read()[since:]
        if "kovix-mcp-server: ready (uid=" in text:
            return text.splitlines(), time.monotonic()
        time.sleep(0.01)
    check(False, f"no ready line within {timeout} s")


def log_size(work):
    path = os.path.join(work, "server.log")
    return os.path.getsize(path) if os.path.exists(path) else 0


def case_startlock(binary, work):
    """Start-up runs the journal mode, the busy time-out and the three tables,
    and nothing that reads the file besides: on a file that is not a database
    it logs four failures, and behind a lock held through start-up it waits out
    the busy time-out once per table only. The tables that could not be made
    then are made by the first call that needs them."""
    db_path = os.path.join(work, "kovix.db")
    with open(db_path, "wb") as f:
        f.write(b"not a database, " * 4096)
    mark = log_size(work)
    srv = Server(binary, work)
    lines, _ = ready_log(work, mark)
    srv.close()
    failures = [line for line in lines if line.startswith("kovix-mcp-server: sqlite exec failed: ")]
    check(len(failures) == 4, f"a file that is not a database: {len(failures)} logged failures, not 4:\n{lines}")

    # A database without tables, in the rollback journal mode, whose lock
    # another process holds exclusively through the server's start-up.
    os.remove(db_path)
    holder = connect(db_path)
    holder.execute("PRAGMA user_version = 7")
    holder.execute("BEGIN EXCLUSIVE")
    mark = log_size(work)
    start = time.monotonic()
    srv = Server(binary, work)
    lines, ready = ready_log(work, mark)
    waited = ready - start
    # Still held: a call waits out the busy time-out once for the statement
    # it runs, and the server's own checks (the tables it could not make,
    # what it has cached) add no wait of their own.
    start = time.monotonic()
    srv.send("list_agents", {})
    result, error = srv.receive(timeout=60)
    held = time.monotonic() - start
    holder.execute("ROLLBACK")
    log(f"startlock: ready after {waited:.2f} s behind a held lock; list_agents answered after {held:.2f} s")
    check(error is not None and error["message"] == "SQLite error: database is locked",
          f"list_agents behind a held lock: {result or error}")
    check(held < 8, f"list_agents behind a held lock took {held:.2f} s: more than one busy time-out")
    failures = [line for line in lines if line.startswith("kovix-mcp-server: sqlite exec failed: ")]
    check(len(failures) == 4, f"behind a held lock: {len(failures)} logged failures, not 4:\n{lines}")
    # Three table statements wait out the 5 s busy time-out each; a fourth
    # wait would make it 20 s.
    check(waited < 18, f"ready after {waited:.2f} s behind a held lock: more than the three tables' waits")
    agent = srv.call("create_agent", {"name": "Late"})["agent_id"]
    check(srv.call("list_agents", {})["agents"][0]["agent_id"] == agent, "the agent made after a late start")
    task = srv.call("create_task", {"agent_id": agent, "name": "t", "prompt": "p"})["task_id"]
    check(srv.call("run_now", {"task_id": task})["status"] == "queued", "a run after a late start")
    db = connect(db_path)
    check(db.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name").fetchall()
          == [("agents",), ("runs",), ("tasks",)], "the three tables after a late start")
    figures["rows checked"] += 3
    srv.close()


def case_infinity(binary, work):
    """Another process stores infinities in REAL columns: those fields are
    null, the rest of every answer stands."""
    srv = Server(binary, work)
    first = srv.call("create_agent", {"name": "First"})["agent_id"]
    second = srv.call("create_agent", {"name": "Second", "description": "d"})["agent_id"]
    task = srv.call("create_task", {"agent_id": second, "name": "t", "prompt": "p"})["task_id"]
    db = connect(srv.db)
    db.execute("UPDATE agents SET created_at = 9e999 WHERE id = ?", (first,))
    db.execute("UPDATE tasks SET next_run_at = -9e999, last_run_at = 9e999 WHERE id = ?", (task,))
    agents = srv.call("list_agents", {})["agents"]
    check([(a["agent_id"], a["created_at"], a["task_count"]) for a in agents][1:] == [(first, None, 0)],
          f"list_agents with an infinite created_at: {agents}")
    check(agents[0]["agent_id"] == second and isinstance(agents[0]["created_at"], float), "the finite agent")
    check(srv.call("get_agent", {"agent_id": first})["agent"]["created_at"] is None, "get_agent of infinity")
    for got in (srv.call("get_task", {"task_id": task})["task"],
                srv.call("list_tasks", {"agent_id": second})["tasks"][0]):
        check(got["next_run_at"] is None and got["last_run_at"] is None and got["task_id"] == task,
              f"a task with infinite run times: {got}")
    figures["rows checked"] += 3
    srv.close()


def finite(value):
    return value if value is None or math.isfinite(value) else None


def decode_list(text):
    try:
        value = json.loads(text)
    except (ValueError, TypeError):
        return []
    return value if isinstance(value, list) and all(isinstance(e, str) for e in value) else []


class Oracle:
    """Today's answers, read straight from the file with the statements the
    server runs when it keeps nothing in memory."""
    AGENT = "id, name, template, description, icon_symbol, enabled, created_at"
    TASK = ("id, agent_id, name, prompt, ai_tools, frequency, host_id, depends_on, timeout_min, working_subdir, "
            "enabled, next_run_at, last_run_at")

    def __init__(self, db):
        self.db = db

    def agent(self, row):
        count = self.db.execute("SELECT COUNT(*) FROM tasks WHERE agent_id = ?", (row[0],)).fetchone()[0]
        return {"agent_id": row[0], "name": row[1], "template": row[2], "description": row[3], "icon_symbol": row[4],
                "enabled": row[5] != 0, "created_at": finite(row[6]), "task_count": count}

    def task(self, row):
        return {"task_id": row[0], "agent_id": row[1], "name": row[2], "prompt": row[3],
                "ai_tools": decode_list(row[4]), "frequency": row[5], "host_id": row[6],
                "depends_on": decode_list(row[7]), "timeout_min": row[8], "working_subdir": row[9],
                "enabled": row[10] != 0, "next_run_at": finite(row[11]), "last_run_at": finite(row[12])}

    def list_agents(self):
        rows = self.db.execute(f"SELECT {self.AGENT} FROM agents WHERE user_id = ? ORDER BY created_at;", (USER,))
        return {"agents": [self.agent(r) for r in rows.fetchall()]}

    def get_agent(self, agent):
        row = self.db.execute(f"SELECT {self.AGENT} FROM agents WHERE id = ? AND user_id = ?;", (agent, USER)).fetchone()
        return row and {"agent": self.agent(row)}

    def list_tasks(self, agent):
        rows = self.db.execute(f"SELECT {self.TASK} FROM tasks WHERE agent_id = ? AND agent_id IN "
                               "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;", (agent, USER))
        return {"tasks": [self.task(r) for r in rows.fetchall()]}

    def get_task(self, task):
        columns = ", ".join("t." + c for c in self.TASK.split(", "))
        row = self.db.execute(f"SELECT {columns} FROM tasks t JOIN agents a ON a.id = t.agent_id "
                              "WHERE t.id = ? AND a.user_id = ?;", (task, USER)).fetchone()
        return row and {"task": self.task(row)}

    def briefing(self, agent):
        name, description = self.db.execute("SELECT name, description FROM agents WHERE id = ?", (agent,)).fetchone()
        tasks = self.db.execute("SELECT name, frequency, ai_tools FROM tasks WHERE agent_id = ? AND agent_id IN "
                                "(SELECT id FROM agents WHERE user_id = ?) ORDER BY name;", (agent, USER)).fetchall()
        return render(name, description, [(n, f, json.dumps(decode_list(t))) for n, f, t in tasks])


def case_snapshot(binary, work, calls=600):
    """Another process writes between the server's calls (or does not, so
    that what the server keeps in memory is used): every answer equals the
    one read straight from the file, and so does every CLAUDE.md written."""
    rng = random.Random(os.environ.get("KOVIX_FAULTS_SEED"))
    srv = Server(binary, work)
    db = connect(srv.db)
    oracle = Oracle(db)
    names = ["alpha", "Alpha", "beta", "b\u00e9ta", "zeta", "Zeta", "\U0001f600", ""]
    agents = [srv.call("create_agent", {"name": f"agent {i}", "description": f"d{i}"})["agent_id"] for i in range(4)]
    tasks, seq, wrote = [], 0, 0

    def any_agent():
        return rng.choice(agents + ["ag_other", "ag_orphan", "ag_missing"])

    def write():
        nonlocal seq
        seq += 1
        kind = rng.randrange(11)
        times = [r[0] for r in db.execute("SELECT created_at FROM agents").fetchall()] or [1.0]
        if kind == 0:  # an agent of the user, sometimes with the same time as another
            agent = f"ag_ext{seq:07}"
            created = rng.choice([rng.choice(times), time.time(), rng.uniform(0, 2e9), 9e999])
            db.execute("INSERT INTO agents (id, user_id, name, description, created_at) VALUES (?, ?, ?, ?, ?)",
                       (agent, USER, f"ext {seq}", rng.choice([None, "", "ext"]), created))
            agents.append(agent)
        elif kind == 1:
            db.execute("INSERT INTO agents (id, user_id, name, created_at) VALUES (?, 'someone-else', 'x', ?)",
                       (f"ag_oth{seq:07}", rng.uniform(0, 2e9)))
        elif kind in (2, 3):
            task = f"tk_ext{seq:07}"
            db.execute("INSERT INTO tasks (id, agent_id, name, prompt, ai_tools, frequency, next_run_at) "
                       "VALUES (?, ?, ?, 'p', ?, '@daily', ?)",
                       (task, any_agent(), rng.choice(names), rng.choice(['["codex"]', '[]', '[1]', 'x']),
                        rng.choice([None, 1.5, 9e999])))
            tasks.append(task)
        elif kind == 4 and tasks:
            db.execute("UPDATE tasks SET name = ? WHERE id = ?", (rng.choice(names), rng.choice(tasks)))
        elif kind == 5 and tasks:
            db.execute("DELETE FROM tasks WHERE id = ?", (rng.choice(tasks),))
        elif kind == 6 and tasks:
            db.execute("UPDATE tasks SET agent_id = ?, frequency = '@hourly' WHERE id = ?",
                       (any_agent(), rng.choice(tasks)))
        elif kind == 7:
            db.execute("UPDATE agents SET name = ?, description = NULL WHERE id = ?", (f"renamed {seq}", any_agent()))
        elif kind == 8:
            db.execute("UPDATE agents SET created_at = ? WHERE id = ?", (rng.choice(times), any_agent()))
        elif kind == 9:
            db.execute("UPDATE agents SET user_id = ? WHERE id = ?",
                       (rng.choice([USER, "someone-else"]), rng.choice(agents)))
        else:
            db.execute("DELETE FROM agents WHERE id = ?", (rng.choice(agents[4:] or ["none"]),))

    for i in range(calls):
        if rng.random() < 0.6:
            write()
            wrote += 1
        kind = rng.randrange(7)
        if kind == 0:
            got, want = srv.call("list_agents", {}), oracle.list_agents()
        elif kind == 1:
            agent = any_agent()
            got, want = srv.call("list_tasks", {"agent_id": agent}), oracle.list_tasks(agent)
        elif kind == 2:
            agent = any_agent()
            srv.send("get_agent", {"agent_id": agent})
            result, error = srv.receive()
            got, want = result or error["message"], oracle.get_agent(agent) or f"get_agent: agent not found: {agent}"
        elif kind == 3 and tasks:
            task = rng.choice(tasks)
            srv.send("get_task", {"task_id": task})
            result, error = srv.receive()
            got, want = result or error["message"], oracle.get_task(task) or f"get_task: task not found: {task}"
        elif kind in (4, 5):
            agent = any_agent()
            srv.send("create_task", {"agent_id": agent, "name": rng.choice(names[:-1]), "prompt": "p",
                                     "ai_tools": rng.choice([["claude"], ["codex", "claude"]])})
            result, error = srv.receive()
            owned = oracle.get_agent(agent) is not None
            check((error is None) == owned, f"create_task on {agent}: {result or error}")
            if error is None:
                tasks.append(result["task_id"])
                got, want = claude(srv.root, agent), oracle.briefing(agent)
            else:
                got, want = error["message"], f"Not found: agent {agent}"
        else:
            agent = srv.call("create_agent", {"name": rng.choice(names) or "n"})["agent_id"]
            agents.append(agent)
            got, want = claude(srv.root, agent), oracle.briefing(agent)
        check(got == want, f"call {i} (kind {kind}) differs from the file:\n got {got}\nwant {want}")
        figures["rows checked"] += 1
    log(f"snapshot: {calls} calls, another process wrote before {wrote} of them")
    srv.close()


def case_disk(binary, work):
    root = os.path.join(work, "agents")
    os.makedirs(root)
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", root],
                                           stderr=subprocess.DEVNULL).returncode != 0:
        log("disk: SKIPPED: cannot mount a tmpfs here (needs root)")
        return SKIP
    try:
        srv = Server(binary, work, root)
        agent = srv.call("create_agent", {"name": "Hoarder"})["agent_id"]
        first = srv.call("create_task", {"agent_id": agent, "name": "first", "prompt": "p"})["task_id"]
        before = claude(root, agent)
        filler = os.path.join(root, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096):
                pass
        except OSError:
            pass
        os.close(fd)
        for name, arguments in (("create_task", {"agent_id": agent, "name": "second", "prompt": "p"}),
                                ("create_agent", {"name": "Homeless"})):
            srv.send(name, arguments)
            result, error = srv.receive()
            check(error is not None and error["code"] == -32603 and error["message"],
                  f"{name} on a full disk: expected -32603, got {result or error}")
            log(f"disk: {name} on a full disk: {error['message']}")
        check(claude(root, agent) == before, "CLAUDE.md changed on a full disk")
        check(not [f for f in os.listdir(os.path.join(root, agent)) if f.endswith(".tmp")],
              "a temporary file stays behind and holds space")
        db = connect(srv.db)
        check(db.execute("SELECT name FROM tasks WHERE id = ?", (first,)).fetchall() == [("first",)],
              "the first task is gone")
        os.unlink(filler)
        srv.call("create_task", {"agent_id": agent, "name": "third", "prompt": "p"})
        check(claude(root, agent) == render("Hoarder", None, agent_tasks(db, agent)), "CLAUDE.md after freeing")
        check([t[0] for t in agent_tasks(db, agent)] == ["first", "second", "third"],
              "the tasks of the agent (the one whose CLAUDE.md failed stays, as designed)")
        check(db.execute("SELECT COUNT(*) FROM agents").fetchone()[0] == 2, "the agent rows")
        figures["rows checked"] += 5
        srv.close()
    finally:
        subprocess.run(["umount", "-l", root])


def case_memory(binary, work, limit=400 << 20):
    """Under `ulimit -v`: a line that fits is served as always; a longer one is
    dropped as it arrives, with one diagnostic and no echo, and the server
    reads on; one longer than all the memory the server may use (without a
    line feed, so it can never be handled) does not end it either."""
    with open(binary, "rb") as f:
        if b"__asan_init" in f.read():
            log("memory: SKIPPED: a sanitized build cannot run under an address-space limit")
            return SKIP
    srv = Server(binary, work, address_space=limit)
    description = "d" * (512 << 10)
    agent = srv.call("create_agent", {"name": "Fits", "description": description})["agent_id"]
    check(srv.call("get_agent", {"agent_id": agent})["agent"]["description"] == description, "the line that fits")

    def send_raw(data):
        view = memoryview(data)
        while view:
            view = view[os.write(srv.proc.stdin.fileno(), view):]

    # A valid request of 64 MiB: far over what a 400 MiB process may take for one line.
    send_raw(b'{"jsonrpc":"2.0","id":"long","method":"ping","x":"' + b"x" * (64 << 20) + b'"}\n')
    srv.send("list_agents", {})
    result, error = srv.receive()
    check(error is None and [a["agent_id"] for a in result["agents"]] == [agent],
          f"the answer after the long line: {result or error}")
    # 1 GiB without a line feed: more than the whole limit.
    block = b"y" * (4 << 20)
    for _ in range(256):
        send_raw(block)
    srv.proc.stdin.close()
    status = srv.proc.wait(60)
    check(srv.proc.stdout.read() == b"", "output after the last answer")
    with open(srv.log, "rb") as f:
        lines = f.read().split(b"\n")
    check(status == 0, f"exit status {status} (-6 is SIGABRT); log: {lines[-4:]}")
    check(all(len(line) < 1000 for line in lines), "a diagnostic echoes a long line")
    dropped = [line for line in lines if b"discarded" in line]
    check(len(dropped) == 2, f"one diagnostic per long line: {dropped}")
    bound = int(re.search(rb"longer than (\d+) bytes", dropped[0]).group(1))
    check(len(description) < bound < limit // 16, f"the bound {bound} for a {limit}-byte address space")
    check(lines[-2] == b"kovix-mcp-server: stdin closed; exiting", f"last line: {lines[-2]}")
    log(f"memory: under a {limit >> 20} MiB address space, lines up to {bound} bytes are taken; "
        "a 64 MiB line and a 1 GiB one were dropped")


# The fault-injection matrix. Each tool that writes, and one that reads, is
# run with each system call it makes failing at its 1st, 2nd, ... n-th
# occurrence in the call, once and for good, with the errors that call can
# really return. A transient error (EINTR, EAGAIN where it means "try
# again") is injected once and as a burst of a thousand, not for good: a
# signal storm ends. After each run: a clean answer (success, or a JSON-RPC
# error with a message) or, when the injection also fails every write of
# the answer itself, none; the server ends normally when its input does;
# PRAGMA integrity_check is ok; every row acknowledged before and by the
# call is there; CLAUDE.md is a complete rendering; and a create_task by a
# server without faults leaves the agent's workspace whole.
PERSISTENT, TRANSIENT = "persistent", "transient"
ERRORS = {  # the first of each is the one a CI run uses
    "read": [("EIO", PERSISTENT), ("EINTR", TRANSIENT)],
    "pread64": [("EIO", PERSISTENT), ("EINTR", TRANSIENT)],
    "write": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT), ("EINTR", TRANSIENT)],
    "pwrite64": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT), ("EINTR", TRANSIENT)],
    "writev": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT), ("EINTR", TRANSIENT), ("EAGAIN", TRANSIENT)],
    "fsync": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT)],
    "fdatasync": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT)],
    "ftruncate": [("EIO", PERSISTENT), ("EINTR", TRANSIENT)],
    "fallocate": [("ENOSPC", PERSISTENT), ("EIO", PERSISTENT)],
    "openat": [("ENOSPC", PERSISTENT), ("EMFILE", PERSISTENT), ("EINTR", TRANSIENT)],
    "close": [("EIO", PERSISTENT), ("EINTR", TRANSIENT)],
    "fcntl": [("ENOLCK", PERSISTENT), ("EAGAIN", PERSISTENT)],  # EAGAIN: another process holds the lock
    "flock": [("ENOLCK", PERSISTENT), ("EINTR", TRANSIENT), ("EAGAIN", PERSISTENT)],  # EAGAIN: another render holds it
    "getdents64": [("EIO", PERSISTENT)],
    "newfstatat": [("EIO", PERSISTENT), ("ENOMEM", PERSISTENT)],
    "fstat": [("EIO", PERSISTENT), ("ENOMEM", PERSISTENT)],
    "statx": [("EIO", PERSISTENT), ("ENOMEM", PERSISTENT)],
    "faccessat": [("EIO", PERSISTENT)],
    "faccessat2": [("EIO", PERSISTENT)],
    "fchmod": [("EIO", PERSISTENT)],
    "mkdir": [("ENOSPC", PERSISTENT), ("EIO", PERSISTENT)],
    "mkdirat": [("ENOSPC", PERSISTENT), ("EIO", PERSISTENT)],
    "renameat": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT)],
    "renameat2": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT)],
    "rename": [("EIO", PERSISTENT), ("ENOSPC", PERSISTENT)],
    "unlink": [("EIO", PERSISTENT), ("EBUSY", PERSISTENT)],
    "unlinkat": [("EIO", PERSISTENT), ("EBUSY", PERSISTENT)],
    "getrandom": [("EINTR", TRANSIENT), ("EAGAIN", TRANSIENT)],
    # Not brk: the kernel's brk never fails, it returns the old break, and
    # an injected -ENOMEM is taken for a break address.
    "mmap": [("ENOMEM", PERSISTENT)],
    "poll": [("EINTR", TRANSIENT), ("ENOMEM", PERSISTENT)],
}
SYSCALL_LINE = re.compile(r"^(?:\d+ +)?([a-z0-9_]+)\(")


def matrix_setup(binary, work):
    """The state every run starts from: an agent with two tasks and a run,
    left by a server that ended normally."""
    base = os.path.join(work, "base")
    os.makedirs(base)
    srv = Server(binary, base)
    agent = srv.call("create_agent", {"name": "Matrix", "description": "m"})["agent_id"]
    t1 = srv.call("create_task", {"agent_id": agent, "name": "t1", "prompt": "p"})["task_id"]
    t2 = srv.call("create_task", {"agent_id": agent, "name": "t2", "prompt": "p", "ai_tools": ["codex"]})["task_id"]
    run = srv.call("run_now", {"task_id": t1})["run_id"]
    srv.close()
    operations = [("create_agent", {"name": "New", "description": "n"}),
                  ("create_task", {"agent_id": agent, "name": "zz-new", "prompt": "p"}),
                  ("register_dependency", {"task_id": t2, "depends_on": [t1]}),
                  ("run_now", {"task_id": t2}),
                  ("list_tasks", {"agent_id": agent})]
    return base, agent, {"agents": [agent], "tasks": [t1, t2], "runs": [run]}, operations


def matrix_lines(name, arguments):
    """A ping whose answer marks where the call begins, and the call, in one write."""
    return (b'{"jsonrpc":"2.0","id":"mark","method":"ping"}\n' +
            json.dumps({"jsonrpc": "2.0", "id": "op", "method": "tools/call",
                        "params": {"name": name, "arguments": arguments}}).encode() + b"\n")


def answer_markers(lines):
    """Indexes of the trace lines that write the mark's answer and the call's."""
    return [i for i, line in enumerate(lines) if re.match(r"^(?:\d+ +)?p?writev2?\(1, ", line)]


def matrix_discover(binary, base, work, name, arguments):
    """The system calls the call makes: for each, how many the process made
    before the call began, and how many the call made (its answer's write
    and the wait for room before it are not the call's)."""
    counts = []
    for attempt in range(2):
        run_dir = os.path.join(work, f"discover-{name}-{attempt}")
        shutil.copytree(base, run_dir)
        trace = os.path.join(run_dir, "trace")
        srv = Server(binary, run_dir, wrap=["strace", "-f", "-qq", "-o", trace])
        srv.proc.stdin.write(matrix_lines(name, arguments))
        srv.proc.stdin.flush()
        srv.receive()
        result, error = srv.receive()
        check(error is None, f"{name} without faults: {error}")
        srv.close()
        with open(trace, errors="replace") as f:
            lines = f.read().splitlines()
        marks = answer_markers(lines)
        check(len(marks) >= 2, f"{name}: no answer markers in the trace")
        before, during = {}, {}
        for i, line in enumerate(lines[:marks[1]]):
            m = SYSCALL_LINE.match(line)
            if not m or "{fd=1, events=POLLOUT}" in line:
                continue
            bucket = before if i <= marks[0] else during
            bucket[m.group(1)] = bucket.get(m.group(1), 0) + 1
        counts.append((before, during))
        shutil.rmtree(run_dir)
    if counts[0] != counts[1]:
        log(f"matrix: {name}: the system calls differ between two runs without faults; the first is used")
    return counts[0]


def matrix_runs(operations, discovered, full, excluded=()):
    """Every (tool, arguments, call, occurrence, error, mode, when=) of the
    matrix, or the CI share of it: each call at its first and last occurrence
    with its first error, once and for good (or as a burst)."""
    runs, untested = [], set()
    for name, arguments in operations:
        before, during = discovered[name]
        for call, n in sorted(during.items()):
            if call not in ERRORS or call in excluded:
                untested.add(call)
                continue
            errors = ERRORS[call] if full else ERRORS[call][:1]
            occurrences = range(1, n + 1) if full else sorted({1, n})
            for error, kind in errors:
                for k in occurrences:
                    first = before.get(call, 0) + k
                    for mode in ("once", "for good" if kind == PERSISTENT else "burst"):
                        when = {"once": f"{first}", "for good": f"{first}+", "burst": f"{first}..{first + 999}"}[mode]
                        if not full and mode == "once" and k == n and n > 1:
                            continue  # the last occurrence is tried for good only
                        runs.append((name, arguments, call, k, n, error, mode, when))
    return runs, untested


def matrix_outcome(trace, call):
    """Whether the first injection fell inside the call (after the mark's answer
    and before the call's), from a trace of the injected call and the writes
    of the answers."""
    with open(trace, errors="replace") as f:
        lines = f.read().splitlines()
    marks = answer_markers(lines)
    injected = [i for i, line in enumerate(lines) if line.endswith("(INJECTED)") and SYSCALL_LINE.match(line)
                and SYSCALL_LINE.match(line).group(1) == call]
    if not marks or not injected:
        return False
    return injected[0] > marks[0] and (len(marks) < 2 or injected[0] < marks[1])


def matrix_check_state(db_path, root, known, name, arguments, result):
    """What must hold after any run: the database intact, every acknowledged
    row there, and every CLAUDE.md a complete rendering."""
    db = connect(db_path)
    try:
        check_integrity(db)
        for table, key in (("agents", "agents"), ("tasks", "tasks"), ("runs", "runs")):
            for row_id in known[key]:
                check(db.execute(f"SELECT COUNT(*) FROM {table} WHERE id = ?", (row_id,)).fetchone()[0] == 1,
                      f"acknowledged {table} row {row_id} is missing")
        if result is not None:
            if name == "create_agent":
                check(db.execute("SELECT name FROM agents WHERE id = ?", (result["agent_id"],)).fetchall() ==
                      [(arguments["name"],)], f"answered agent {result} is not stored")
            elif name == "create_task":
                check(db.execute("SELECT name FROM tasks WHERE id = ?", (result["task_id"],)).fetchall() ==
                      [(arguments["name"],)], f"answered task {result} is not stored")
            elif name == "register_dependency":
                check(db.execute("SELECT depends_on FROM tasks WHERE id = ?", (arguments["task_id"],)).fetchone()[0]
                      == json.dumps(arguments["depends_on"], separators=(",", ":")), "answered dependency not stored")
            elif name == "run_now":
                check(db.execute("SELECT status FROM runs WHERE id = ?", (result["run_id"],)).fetchall() ==
                      [("pending",)], f"answered run {result} is not stored")
            else:
                check([t["name"] for t in result["tasks"]] ==
                      [r[0] for r in db.execute("SELECT name FROM tasks WHERE agent_id = ? ORDER BY name",
                                                (arguments["agent_id"],))], f"list_tasks answered {result}")
        for agent, agent_name, description in db.execute("SELECT id, name, description FROM agents").fetchall():
            path = os.path.join(root, agent, "CLAUDE.md")
            if not os.path.exists(path):
                check(name == "create_agent" and (result is None or result["agent_id"] != agent),
                      f"CLAUDE.md of {agent} is missing")
                continue
            tasks = agent_tasks(db, agent)
            text = claude(root, agent)
            check(any(text == render(agent_name, description, tasks[:k]) for k in range(len(tasks) + 1)),
                  f"CLAUDE.md of {agent} is torn or wrong:\n{text}")
        return [r[0] for r in db.execute("SELECT id FROM agents").fetchall()]
    finally:
        db.close()


def case_matrix(binary, work):
    full = "--full" in sys.argv[3:]
    only = [a.split("=", 1)[1] for a in sys.argv[3:] if a.startswith("--only=")]  # one system call's runs
    strace = strace_or_skip("matrix")
    if strace is None:
        return SKIP
    budget = None if full else float(os.environ.get("KOVIX_MATRIX_SECONDS", "150"))
    start = time.monotonic()
    base, agent, known, operations = matrix_setup(binary, work)
    discovered = {name: matrix_discover(binary, base, work, name, arguments) for name, arguments in operations}
    for name, (before, during) in discovered.items():
        log(f"matrix: {name} makes {sum(during.values())} system calls of {len(during)} kinds: "
            + ", ".join(f"{c} {n}" for c, n in sorted(during.items())))
    with open(binary, "rb") as f:
        sanitized = b"__asan_init" in f.read()
    # AddressSanitizer's allocator takes its memory with mmap and aborts, by
    # design, when it gets none; the program's own allocator does not.
    runs, untested = matrix_runs(operations, discovered, full, excluded={"mmap"} if sanitized else ())
    runs = [r for r in runs if not only or r[2] in only]
    log(f"matrix: {len(runs)} runs ({'full' if full else 'CI share'}); calls with no error worth injecting: "
        f"{', '.join(sorted(untested)) or 'none'}")
    findings, tally, missed, done = [], {"success": 0, "error": 0, "no answer": 0}, 0, 0
    messages = {}
    for index, (name, arguments, call, k, n, error, mode, when) in enumerate(runs):
        if budget is not None and time.monotonic() - start > budget:
            log(f"matrix: the time budget of {budget:.0f} s ends the CI share after {done} of {len(runs)} runs")
            break
        label = f"{name}: {call} #{k}/{n} {error} {mode}"
        run_dir = os.path.join(work, "run")
        shutil.rmtree(run_dir, ignore_errors=True)
        shutil.copytree(base, run_dir)
        trace = os.path.join(run_dir, "trace")
        traced = ",".join(dict.fromkeys([call, "writev", "pwritev2"]))  # the answers' writes mark the call
        srv = Server(binary, run_dir, wrap=["strace", "-f", "-qq", "-o", trace, "-e", f"trace={traced}",
                                            "-e", f"inject={call}:error={error}:when={when}"])
        result = None
        try:
            srv.proc.stdin.write(matrix_lines(name, arguments))
            srv.proc.stdin.flush()
            srv.proc.stdin.close()
            status = srv.proc.wait(60)
            answers = [parse(line) for line in (srv.buffer + srv.proc.stdout.read()).split(b"\n")[1:-1]]
            srv.proc.stdout.close()
            check(status == 0, f"exit status {status}")
            if not answers:
                check(call in ("writev", "poll") and mode != "once", "no answer")
                outcome = "no answer"
            else:
                result, failure = answers[0]
                check(failure is None or (failure.get("code") in (-32603, -32602) and failure.get("message")),
                      f"answer {failure}")
                outcome = "success" if failure is None else "error"
                if failure is not None:
                    kind = re.split(r" /|: ", failure["message"])[0]
                    messages[kind] = messages.get(kind, 0) + 1
            if not matrix_outcome(trace, call):
                missed += 1
            agents = matrix_check_state(os.path.join(run_dir, "kovix.db"), os.path.join(run_dir, "agents"),
                                        known, name, arguments, result)
            # One more call on the agent, by a server without faults.
            target = agent
            if name == "create_agent":
                new = [a for a in agents if a != agent]
                target = new[0] if new else agent
            repair = Server(binary, run_dir)
            repair.call("create_task", {"agent_id": target, "name": "zzz-repair", "prompt": "p"})
            repair.close()
            db = connect(repair.db)
            row = db.execute("SELECT name, description FROM agents WHERE id = ?", (target,)).fetchone()
            check_whole(repair, db, target, *row)
            db.close()
            tally[outcome] += 1
        except (AssertionError, subprocess.TimeoutExpired, ValueError, OSError) as failure:
            if srv.proc.poll() is None:
                srv.proc.kill()
                srv.proc.wait()
            findings.append(f"{label}: {failure}")
            log(f"matrix: FINDING {label}: {failure}")
        done += 1
    log(f"matrix: {done} runs in {time.monotonic() - start:.0f} s: {tally['success']} succeeded, {tally['error']} "
        f"answered an error, {tally['no answer']} could not answer (their own answer's write failed); "
        f"{missed} injections fell outside the call; {len(findings)} findings")
    log("matrix: error answers by message: " + "; ".join(f"{m} x{c}" for m, c in sorted(messages.items())))
    figures["rows checked"] += done
    check(not findings, f"{len(findings)} runs failed:\n" + "\n".join(findings[:20]))
    check(missed == 0 or missed < done // 20, f"{missed} of {done} injections fell outside the call")


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "writer":
        return writer(*sys.argv[2:])
    binary, case = sys.argv[1], sys.argv[2]
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kovix-faults-") as work:
        try:
            status = globals()["case_" + case](binary, work)
        except AssertionError as failure:
            with open(os.path.join(work, "server.log"), "a+", errors="replace") as f:
                f.seek(0)
                log(f"{case}: FAILED: {failure}\nserver log (tail):\n" + "".join(f.readlines()[-20:]))
            return 1
    log(f"{case}: passed {figures['checks']} checks, {figures['rows checked']} rows checked, "
        f"{time.monotonic() - start:.1f} s")
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
