// The load driver: spawns the built server over pipes on seeded databases,
// and the floor program (Floor.cpp) with the very same request lines, and
// prints what each costs as Markdown tables on standard output; progress goes
// to standard error. Every response is checked (its id, a result, the
// expected content), so a broken build stops the run instead of looking fast.
//
// With --before, a second server binary (an older build) is run beside the
// first in every run, in turn with it and over databases of its own that the
// older binary created, and the figures of both are set side by side.
//
// Usage: kovix-load-driver [--server PATH] [--floor PATH] [--before PATH]
//                          [--work DIR] [--runs N] [--quick]

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const Clock::time_point began = Clock::now();
double since(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }
// The machine's one-minute load average at every progress line, since other
// work on the machine moves every figure.
std::vector<double> loads;
void log(const std::string& line) {
  std::ifstream in("/proc/loadavg");
  if (double load = 0; in >> load) loads.push_back(load);
  std::cerr << "bench: [" << std::lround(since(began)) << " s] " << line << std::endl;
}
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }
void expect(bool ok, const std::string& what) {
  if (!ok) fail("unexpected content: " + what);
}

struct Options {
  fs::path server = KOVIX_SERVER_BINARY;
  fs::path floor = KOVIX_FLOOR_BINARY;
  fs::path before;  // an older server to compare with; empty for none
  fs::path work = fs::temp_directory_path() / "kovix-bench";
  int runs = 3;
  double scale = 1;  // of request counts and time budgets; --quick makes it small
  long count(long n) const { return std::max(1L, std::lround(static_cast<double>(n) * scale)); }
  double budget(double seconds) const { return seconds * scale; }
};

// --- Processes -------------------------------------------------------------

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(std::string("write to the child: ") + std::strerror(errno));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// A "Key: value kB" line of /proc/<pid>/status, in KiB.
long statusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key + ":")) return std::stol(line.substr(key.size() + 1));
  }
  fail("no " + key + " for process " + std::to_string(pid));
}

// The process's CPU time, user and system, in seconds. /proc/<pid>/stat
// counts it in clock ticks, too coarse for a few thousand cheap requests;
// schedstat has the same sum in nanoseconds.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long ns = 0;
  if (!(in >> ns)) fail("cannot read /proc/<pid>/schedstat");
  return static_cast<double>(ns) / 1e9;
}

double threadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The three programs a run may start: the server under test, the floor, and
// the older server (--before). Figures are indexed by it.
enum Kind : int { kServer = 0, kFloor = 1, kBefore = 2 };
const char* kindName(Kind k) { return k == kServer ? "the server" : k == kFloor ? "the floor" : "the older server"; }

// The order of the programs in a run: the floor first, then the two servers,
// the older one first in every other run, so that both see the same load.
std::vector<Kind> kindsOf(const Options& o, int run, bool withFloor = true) {
  std::vector<Kind> kinds;
  if (withFloor) kinds.push_back(kFloor);
  if (o.before.empty()) {
    kinds.push_back(kServer);
  } else if (run % 2 == 0) {
    kinds.insert(kinds.end(), {kServer, kBefore});
  } else {
    kinds.insert(kinds.end(), {kBefore, kServer});
  }
  return kinds;
}

// A database seeded for the user "bench", beside as many rows of another user.
struct Dataset {
  std::string label;  // agents/tasks of the bench user
  fs::path file;
  fs::path beforeFile;  // the same rows in a file that the older server created (with --before)
  std::vector<std::string> agents;  // the bench user's, oldest first
  std::vector<long> tasks;          // how many each has
  std::vector<long> firstTask;      // the number of each one's first task
  long totalTasks = 0;
};

// A server, over a fresh copy of a dataset, or the floor program.
class Peer {
 public:
  Peer(const Options& o, Kind k, const Dataset* data) : kind(k), floor(k == kFloor), dir(o.work / "run") {
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (data && !floor) fs::copy_file(kind == kBefore ? data->beforeFile : data->file, dir / "db.sqlite");
    const std::vector<std::string> env = {"KOVIX_USER_ID=bench", "KOVIX_DB_PATH=" + (dir / "db.sqlite").string(),
                                          "KOVIX_AGENT_ROOT=" + (dir / "agents").string(),
                                          "KOVIX_TEMPLATE_PATH=" + (dir / "no-template.md").string()};
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string exe = (kind == kFloor ? o.floor : kind == kBefore ? o.before : o.server).string();
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) fail("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    spawned = Clock::now();
    const int rc = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err[1]}) ::close(fd);
    in_ = in[1];
    streams_[0].fd = out[0];
    streams_[1].fd = err[0];
    if (rc != 0) fail("cannot start " + exe + ": " + std::strerror(rc));
  }
  ~Peer() {
    for (int fd : {in_, streams_[0].fd, streams_[1].fd}) ::close(fd);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  const Kind kind;
  const bool floor;
  const fs::path dir;  // the server's database and agents root
  Clock::time_point spawned;
  long nextId = 1;

  pid_t pid() const { return pid_; }
  void send(std::string_view bytes) { writeAll(in_, bytes); }
  void kill() { ::kill(pid_, SIGKILL); }
  int fd(int stream) const { return streams_[stream].fd; }

  // Sets `line` to the next complete line of standard output (stream 0) or
  // error (1), without its line feed; false when none is buffered. The view
  // lasts until the next call for that stream.
  bool tryLine(int stream, std::string_view& line) {
    Stream& s = streams_[stream];
    if (s.start > 65536 && s.start * 2 > s.buf.size()) s.buf.erase(0, std::exchange(s.start, 0));
    const size_t end = s.buf.find('\n', s.start);
    if (end == std::string::npos) return false;
    line = std::string_view(s.buf).substr(s.start, end - s.start);
    s.start = end + 1;
    return true;
  }
  // Reads what has arrived on the stream, waiting at most 60 s for it.
  // Returns false at end of file.
  bool fill(int stream) {
    pollfd p{streams_[stream].fd, POLLIN, 0};
    if (::poll(&p, 1, 60000) == 0) fail("no output from the child for 60 s");
    char chunk[65536];
    ssize_t n;
    do n = ::read(p.fd, chunk, sizeof chunk);
    while (n < 0 && errno == EINTR);
    if (n > 0) streams_[stream].buf.append(chunk, static_cast<size_t>(n));
    return n > 0;
  }
  std::string_view line() {
    std::string_view result;
    while (!tryLine(0, result)) {
      if (!fill(0)) fail(std::string(kindName(kind)) + " closed its output");
    }
    return result;
  }

  // Closes standard input, and checks that the child ends with status 0 and
  // says nothing but its ready and closing lines.
  void finish() {
    ::close(std::exchange(in_, -1));
    while (fill(0)) {
    }
    if (streams_[0].buf.size() > streams_[0].start) fail("output after the last response: " + streams_[0].buf);
    while (fill(1)) {
    }
    for (std::string_view said; tryLine(1, said);) {
      if (said.find(": ready") == said.npos && said.find(": stdin closed; exiting") == said.npos) {
        fail("unexpected diagnostic: " + std::string(said));
      }
    }
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("child ended with status " + std::to_string(status));
  }

 private:
  struct Stream {
    int fd = -1;
    std::string buf;
    size_t start = 0;
  };
  pid_t pid_ = -1;
  int in_ = -1;
  Stream streams_[2];
};

// --- Requests and their checks -------------------------------------------

using DeepCheck = std::function<void(const json& result, const Peer&, long id)>;

struct Op {
  std::string label;
  std::function<std::string(long id)> tail;  // the request line after its id
  std::string needle;                        // every result holds it exactly `count` times
  long count = 1;
  DeepCheck deep;  // on the parsed result (a tool's: the JSON of its text)
  bool tool = true;
  std::string error;  // the exact error object expected instead of a result
  std::function<void(const Peer&)> before;  // run before each sequential request, untimed (not for the floor)
};

std::string request(const Op& op, long id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + op.tail(id) + "\n";
}

Op methodOp(const std::string& method, std::string needle, long count, DeepCheck deep) {
  const std::string tail = R"(,"method":")" + method + R"(","params":{}})";
  return Op{method, [tail](long) { return tail; }, std::move(needle), count, std::move(deep), false, "", {}};
}

Op toolOp(const std::string& name, const json& args, std::string needle, DeepCheck deep, long count = 1) {
  const std::string tail =
      R"(,"method":"tools/call","params":{"name":")" + name + R"(","arguments":)" + args.dump() + "}}";
  return Op{name, [tail](long) { return tail; }, std::move(needle), count, std::move(deep), true, "", {}};
}

long occurrences(std::string_view text, std::string_view needle) {
  long n = 0;
  for (size_t at = text.find(needle); at != text.npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// Every answer is checked for its id and the count of a marker in it; some
// (`deep`) are parsed and checked in full.
void check(const Peer& p, const Op& op, std::string_view line, long id, bool deep) {
  const std::string ids = std::to_string(id);
  auto bad = [&](const std::string& why) {
    fail(op.label + " #" + ids + ": " + why + ": " + std::string(line.substr(0, 400)));
  };
  if (p.floor) {
    if (line != R"({"id":)" + ids + R"(,"jsonrpc":"2.0","result":{}})") bad("not the floor's answer");
    return;
  }
  if (!op.error.empty()) {
    if (line != R"({"error":)" + op.error + R"(,"id":)" + ids + R"(,"jsonrpc":"2.0"})") bad("not the expected error");
    return;
  }
  const std::string head = R"({"id":)" + ids + R"(,"jsonrpc":"2.0","result":)";
  if (!line.starts_with(head) || !line.ends_with("}")) bad("no result for this id");
  if (const long n = occurrences(line, op.needle); !op.needle.empty() && n != op.count)
    bad(op.needle + " " + std::to_string(n) + " times");
  if (!deep) return;
  try {
    json result = json::parse(line.substr(head.size(), line.size() - head.size() - 1));
    if (op.tool) {
      const json& content = result.at("content");
      expect(content.size() == 1 && content[0].at("type") == "text", "one text content");
      result = json::parse(content[0].at("text").get<std::string>());
    }
    op.deep(result, p, id);
  } catch (const std::exception& e) {
    bad(e.what());
  }
}

std::string recordId(const char* kind, char owner, long n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s_%c%09ld", kind, owner, n);  // as long as the server's ids
  return text;
}
// About 300 bytes of Markdown, different for every task.
std::string promptOf(long n) {
  return "## Goal\nSummarise what changed overnight in project " + std::to_string(n) +
         " and list the three most urgent follow-ups.\n\n## Context\nRead inputs/ and the previous reports in "
         "outputs/.\n\n## Output format\nA Markdown report of at most one page, written to outputs/report.md.\n\n"
         "## Hand-off\nNone.";
}
std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
// The tool result's text quotes its keys.
std::string quoted(const std::string& key) { return "\\\"" + key + "\\\""; }

Op initializeOp() {
  return methodOp("initialize", "\"protocolVersion\"", 1, [](const json& r, const Peer&, long) {
    expect(r.at("protocolVersion") == "2024-11-05", "protocol version");
  });
}
Op pingOp() {
  return methodOp("ping", R"("result":{}})", 1,
                  [](const json& r, const Peer&, long) { expect(r == json::object(), "{}"); });
}
Op toolsListOp() {
  return methodOp("tools/list", "\"inputSchema\"", 8,
                  [](const json& r, const Peer&, long) { expect(r.at("tools").size() == 8, "8 tools"); });
}
Op listAgentsOp(const Dataset& d) {
  const auto n = static_cast<long>(d.agents.size());
  return toolOp(
      "list_agents", json::object(), quoted("agent_id"),
      [&d](const json& r, const Peer&, long) {
        const json& agents = r.at("agents");
        expect(agents.size() == d.agents.size(), "every agent of the user and no other");
        long tasks = 0;
        for (size_t i = 0; i < agents.size(); ++i) {
          expect(agents[i].at("agent_id") == d.agents[i], "agents oldest first");
          tasks += agents[i].at("task_count").get<long>();
        }
        expect(tasks == d.totalTasks, "task counts add up");
      },
      n);
}
Op listTasksOp(const Dataset& d) {
  const size_t a = d.agents.size() / 2;
  return toolOp(
      "list_tasks", {{"agent_id", d.agents[a]}}, quoted("task_id"),
      [&d, a](const json& r, const Peer&, long) {
        const json& tasks = r.at("tasks");
        expect(static_cast<long>(tasks.size()) == d.tasks[a], "every task of the agent");
        for (size_t i = 0; i < tasks.size(); ++i) {
          expect(tasks[i].at("agent_id") == d.agents[a], "the agent's tasks only");
          expect(i == 0 || tasks[i - 1].at("name") <= tasks[i].at("name"), "tasks by name");
        }
      },
      d.tasks[a]);
}
Op getAgentOp(const Dataset& d) {
  const size_t a = d.agents.size() / 2;
  return toolOp("get_agent", {{"agent_id", d.agents[a]}}, quoted("agent_id") + ":" + quoted(d.agents[a]),
                [&d, a](const json& r, const Peer&, long) {
                  const json& agent = r.at("agent");
                  expect(agent.at("agent_id") == d.agents[a], "the agent");
                  expect(agent.at("task_count") == d.tasks[a], "its task count");
                });
}
Op getTaskOp(const Dataset& d, size_t a, const std::string& prompt) {
  const std::string id = recordId("tk", 'b', d.firstTask[a]);
  return toolOp("get_task", {{"task_id", id}}, quoted("task_id") + ":" + quoted(id),
                [agent = d.agents[a], id, prompt](const json& r, const Peer&, long) {
                  const json& task = r.at("task");
                  expect(task.at("task_id") == id && task.at("agent_id") == agent, "the task");
                  expect(task.at("prompt") == prompt, "its prompt");
                });
}
Op createAgentOp() {
  return toolOp("create_agent", {{"name", "Chief Bench Officer"}, {"description", "Made by the load driver."}},
                quoted("url"), [](const json& r, const Peer& p, long) {
                  const std::string id = r.at("agent_id");
                  expect(id.starts_with("ag_") && r.at("url") == "kovix://agents/" + id, "the agent and its link");
                  expect(fs::exists(p.dir / "agents" / id / "CLAUDE.md"), "the agent's CLAUDE.md");
                });
}
// Each task is named after its request id, so that its line in CLAUDE.md
// can be found.
Op createTaskOp(const std::string& agent, const std::string& prompt, const std::string& label) {
  Op op = toolOp("create_task", json::object(), quoted("task_id"), [agent](const json& r, const Peer& p, long id) {
    expect(r.at("task_id").get<std::string>().starts_with("tk_"), "a task id");
    const std::string claude = fileText(p.dir / "agents" / agent / "CLAUDE.md");
    expect(claude.find("- **new task " + std::to_string(id) + "**") != claude.npos, "listed in CLAUDE.md");
  });
  const std::string head = R"(,"method":"tools/call","params":{"name":"create_task","arguments":{"agent_id":")" +
                           agent + R"(","prompt":)" + json(prompt).dump() + R"(,"name":"new task )";
  op.label = label;
  op.tail = [head](long id) { return head + std::to_string(id) + "\"}}}"; };
  return op;
}
Op runNowOp(const Dataset& d) {
  return toolOp("run_now", {{"task_id", recordId("tk", 'b', d.firstTask[0])}},
                quoted("status") + ":" + quoted("queued"), [](const json& r, const Peer&, long) {
                  expect(r.at("run_id").get<std::string>().starts_with("rn_"), "a run id");
                });
}

// --- Seeding -------------------------------------------------------------

void sql(sqlite3* db, const char* text) {
  char* error = nullptr;
  if (sqlite3_exec(db, text, nullptr, nullptr, &error) != SQLITE_OK) fail(std::string("seeding: ") + error);
}

// The same request, each time right after another process has committed
// (a run row, which changes no answer), so that nothing the server read
// before may be used.
Op afterWrite(Op op) {
  struct Writer {
    pid_t pid = -1;
    sqlite3* db = nullptr;
  };
  auto writer = std::make_shared<Writer>();
  op.label += " after another process wrote";
  op.before = [writer](const Peer& p) {
    if (writer->pid != p.pid()) {
      sqlite3_close(writer->db);
      if (sqlite3_open((p.dir / "db.sqlite").c_str(), &writer->db) != SQLITE_OK) fail("cannot open the peer's file");
      sqlite3_busy_timeout(writer->db, 5000);
      writer->pid = p.pid();
    }
    sql(writer->db, "INSERT INTO runs (id, task_id, started_at, status, ai_used, triggered_by) VALUES "
                    "(lower(hex(randomblob(8))), 'tk_none', 0, 'pending', 'codex', 'bench');");
  };
  return op;
}

// The index that the server makes at start-up on tasks (agent_id, name). A
// file the older server made must not have it, or the comparison would give
// the older server what only the newer one makes.
const char* const kTaskIndex = "kovix_mcp_server_tasks_by_agent_name";

bool hasIndex(sqlite3* db, const char* name) {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = ?;", -1, &s, nullptr);
  if (!s) fail(std::string("cannot read the schema: ") + sqlite3_errmsg(db));
  sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
  const bool found = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) > 0;
  sqlite3_finalize(s);
  return found;
}

// Fills a fresh database whose schema `creator` itself created, with the rows
// of `d` (the bench user's agents, tasksPerAgent[i] tasks for the i-th, and as
// many rows of another user), and records the bench user's ids in `d` when
// asked to.
void seedFile(const Options& o, Kind creator, const fs::path& file, Dataset& d, bool record,
              const std::string& bigPrompt) {
  const std::vector<long>& tasksPerAgent = d.tasks;
  {
    Peer p(o, creator, nullptr);
    p.finish();
    fs::rename(p.dir / "db.sqlite", file);
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) fail("cannot open " + file.string());
  if (creator == kBefore && hasIndex(db, kTaskIndex)) fail("the older server made " + std::string(kTaskIndex));
  sql(db, "PRAGMA synchronous = OFF; BEGIN;");
  sqlite3_stmt* agent = nullptr;
  sqlite3_stmt* task = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO agents VALUES (?, ?, ?, 'custom', ?, NULL, 1, ?);", -1, &agent, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO tasks VALUES (?, ?, ?, ?, '[\"claude\"]', '0 9 * * *', 'local', '[]', 30, "
                     "'shared', 1, NULL, NULL);",
                     -1, &task, nullptr);
  if (!agent || !task) fail(std::string("seeding: ") + sqlite3_errmsg(db));
  auto text = [](sqlite3_stmt* s, int i, const std::string& t) {
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
  };
  auto step = [db](sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) fail(std::string("seeding: ") + sqlite3_errmsg(db));
    sqlite3_reset(s);
  };
  for (const char owner : {'b', 'o'}) {
    long n = 0;
    for (size_t a = 0; a < tasksPerAgent.size(); ++a) {
      const std::string id = recordId("ag", owner, static_cast<long>(a));
      if (owner == 'b' && record) d.agents.push_back(id), d.firstTask.push_back(n);
      text(agent, 1, id);
      text(agent, 2, owner == 'b' ? "bench" : "someone-else");
      text(agent, 3, "Agent " + std::to_string(a));
      text(agent, 4, "Looks after project " + std::to_string(a) + " and reports every morning.");
      sqlite3_bind_double(agent, 5, 1.7e9 + static_cast<double>(a));
      step(agent);
      for (long t = 0; t < tasksPerAgent[a]; ++t, ++n) {
        text(task, 1, recordId("tk", owner, n));
        text(task, 2, id);
        text(task, 3, "task " + std::to_string((n * 7919) % 100000));  // not in the order written
        text(task, 4, n == 0 && !bigPrompt.empty() ? bigPrompt : promptOf(n));
        step(task);
      }
    }
  }
  sqlite3_finalize(agent);
  sqlite3_finalize(task);
  sql(db, "COMMIT;");
  sqlite3_close(db);  // the last connection folds the log into the file
}

// A database seeded for each server (see seedFile); `bigPrompt`, when set, is
// the prompt of the first task.
Dataset seed(const Options& o, const std::vector<long>& tasksPerAgent, const std::string& bigPrompt = "") {
  Dataset d{"", {}, {}, {}, tasksPerAgent, {}, 0};
  for (long n : tasksPerAgent) d.totalTasks += n;
  d.label = std::to_string(tasksPerAgent.size()) + "/" + std::to_string(d.totalTasks);
  const std::string name = std::to_string(tasksPerAgent.size()) + "-" + std::to_string(d.totalTasks) + ".sqlite";
  d.file = o.work / ("seed-" + name);
  log("seeding " + d.label);
  seedFile(o, kServer, d.file, d, true, bigPrompt);
  if (!o.before.empty()) {
    d.beforeFile = o.work / ("seed-before-" + name);
    seedFile(o, kBefore, d.beforeFile, d, false, bigPrompt);
  }
  return d;
}

std::vector<long> even(long agents, long tasks) {
  return std::vector<long>(static_cast<size_t>(agents), tasks / agents);
}

// --- Measurements --------------------------------------------------------

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}
double median(const std::vector<double>& v) { return percentile(v, 0.5); }

void initialize(Peer& p) {
  static const Op op = initializeOp();
  const long id = p.nextId++;
  p.send(request(op, id));
  check(p, op, p.line(), id, true);
}

// Start-up in seconds: from spawn to the answer to an initialize written at
// once, and to the ready line.
std::pair<double, double> startup(Peer& p) {
  static const Op op = initializeOp();
  p.send(request(op, p.nextId));
  double answered = -1, ready = -1;
  while (answered < 0 || ready < 0) {
    pollfd fds[2] = {{p.fd(0), POLLIN, 0}, {p.fd(1), POLLIN, 0}};
    if (::poll(fds, 2, 60000) <= 0) fail("start-up timed out");
    for (int stream : {0, 1}) {
      std::string_view line;
      if (!fds[stream].revents) continue;
      if (!p.fill(stream)) fail("the child closed its output during start-up");
      if (!p.tryLine(stream, line)) continue;
      (stream == 0 ? answered : ready) = since(p.spawned);
      if (stream == 0)
        check(p, op, line, p.nextId++, true);
      else if (line.find(": ready") == line.npos)
        fail("not a ready line: " + std::string(line));
    }
  }
  return {answered, ready};
}

struct Sequential {
  std::vector<double> us;  // latency of each request
  double cpu = 0;          // the child's CPU seconds over them
};

// One request at a time: write it, wait for its answer. Stops after n
// requests or once `budget` seconds have passed (after at least five).
Sequential sequential(Peer& p, const Op& op, long n, double budget) {
  Sequential s;
  const double cpu0 = cpuSeconds(p.pid());
  const auto start = Clock::now();
  for (long i = 0; i < n && (i < 5 || since(start) < budget); ++i) {
    const long id = p.nextId++;
    const std::string line = request(op, id);
    if (op.before && !p.floor) op.before(p);
    const auto t0 = Clock::now();
    p.send(line);
    const std::string_view answer = p.line();
    s.us.push_back(since(t0) * 1e6);
    check(p, op, answer, id, true);
  }
  s.cpu = cpuSeconds(p.pid()) - cpu0;
  return s;
}

struct Pipelined {
  long n = 0;
  double wall = 0, cpu = 0, writerCpu = 0, readerCpu = 0;
  std::vector<long> rss;  // VmRSS in KiB after every `sampleEvery` answers
};

// One thread writes requests (cycling through `cycle`) in batches of up to
// 16 KiB while this one reads and checks the answers, in full for the first
// and the last. The writer stops after n requests or `budget` seconds, and
// keeps at most `window` unanswered, so that stopping does not leave seconds
// of queued work for slow requests.
Pipelined pipelined(Peer& p, const std::vector<const Op*>& cycle, long n, double budget, long window,
                    long sampleEvery = 0) {
  Pipelined r;
  const long first = p.nextId;
  std::atomic<bool> done{false};
  std::atomic<long> total{0}, answered{0};
  std::atomic<double> writerCpu{0};
  const double cpu0 = cpuSeconds(p.pid()), reader0 = threadCpuSeconds();
  const auto start = Clock::now();
  std::thread writer([&] {
    const double self0 = threadCpuSeconds();
    try {
      std::string batch;
      for (long sent = 0, k = 0;; sent += k) {
        while (sent - answered >= window) std::this_thread::sleep_for(std::chrono::microseconds(50));
        batch.clear();
        for (k = 0; sent + k < n && batch.size() < 16384 && sent + k - answered < window; ++k) {
          batch += request(*cycle[static_cast<size_t>(sent + k) % cycle.size()], first + sent + k);
        }
        // The reader learns where the end is before the last answers come.
        const bool last = sent + k == n || since(start) > budget;
        if (last) total = sent + k, done = true;
        p.send(batch);
        if (last) break;
      }
    } catch (const std::exception& e) {
      log(std::string("writer: ") + e.what());  // the reader fails on the dead child
    }
    writerCpu = threadCpuSeconds() - self0;
  });
  try {
    for (long got = 0; !(done && got == total); answered = ++got) {
      const std::string_view line = p.line();
      check(p, *cycle[static_cast<size_t>(got) % cycle.size()], line, first + got,
            got == 0 || (done && got + 1 == total));
      if (sampleEvery && (got + 1) % sampleEvery == 0) r.rss.push_back(statusKiB(p.pid(), "VmRSS"));
    }
  } catch (...) {
    p.kill();
    writer.join();
    throw;
  }
  writer.join();
  r.wall = since(start);
  r.n = total;
  r.cpu = cpuSeconds(p.pid()) - cpu0;
  r.readerCpu = threadCpuSeconds() - reader0;
  r.writerCpu = writerCpu;
  p.nextId = first + total;
  return r;
}

// --- Report --------------------------------------------------------------

std::string fixed(double v, int digits) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(digits);
  out << v;
  return out.str();
}
// "server / floor (ratio)", from the medians of runs.
std::string versus(const std::vector<double>& server, const std::vector<double>& floor, int digits) {
  const double s = median(server), f = median(floor);
  return fixed(s, digits) + " / " + fixed(f, digits) + " (" + fixed(s / f, 2) + "x)";
}

// --- The disk's floor under create_task ----------------------------------

// What one create_task cannot do without on this disk, and nothing else: the
// log's commit as SQLite's write-ahead log makes it under synchronous=FULL
// (two pages with their frame headers written at the log's end, then
// fdatasync), and the briefing's atomic, durable replace (a new file of its
// size written and fsynced, renamed over the old one, the directory fsynced).
// No database, no parsing, no rendering; in this process, in a directory
// beside the server's, so on the same disk in the same run.
struct DiskFloor {
  std::vector<double> us;  // wall time of each iteration
  double cpuPerCall = 0;   // seconds of this thread's CPU per iteration
};

DiskFloor durableWriteFloor(const Options& o, size_t briefingBytes, long n, double budget) {
  const fs::path dir = o.work / "disk-floor";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const auto must = [](bool ok, const char* what) {
    if (!ok) fail(std::string("disk floor: ") + what + ": " + std::strerror(errno));
  };
  const int log = ::open((dir / "log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  must(log >= 0, "open the log");
  const std::string frame(24 + 4096, 'f'), briefing(briefingBytes, 'b');
  off_t end = 0;
  DiskFloor f;
  const double cpu0 = threadCpuSeconds();
  const auto start = Clock::now();
  for (long i = 0; i < n && (i < 5 || since(start) < budget); ++i) {
    const auto t0 = Clock::now();
    for (int page = 0; page < 2; ++page, end += static_cast<off_t>(frame.size())) {
      must(::pwrite(log, frame.data(), frame.size(), end) == static_cast<ssize_t>(frame.size()), "pwrite");
    }
    must(::fdatasync(log) == 0, "fdatasync");
    if (end > (4 << 20)) end = 0;  // the log starts over after a checkpoint
    const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    must(d >= 0, "open the directory");
    const int t = ::openat(d, "briefing.tmp", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    must(t >= 0, "create the file");
    must(::write(t, briefing.data(), briefing.size()) == static_cast<ssize_t>(briefing.size()), "write");
    must(::fsync(t) == 0, "fsync the file");
    must(::close(t) == 0, "close");
    must(::renameat(d, "briefing.tmp", d, "briefing.md") == 0, "rename");
    must(::fsync(d) == 0, "fsync the directory");
    ::close(d);
    f.us.push_back(since(t0) * 1e6);
  }
  f.cpuPerCall = (threadCpuSeconds() - cpu0) / static_cast<double>(f.us.size());
  ::close(log);
  fs::remove_all(dir);
  return f;
}

size_t fileSize(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<size_t>(size);
}

struct Report {
  std::ostringstream md;
  std::vector<std::string> targets;  // table rows
  bool withBefore = false;
  std::vector<std::string> changes;  // rows of the before/after table
  void target(const std::string& what, const std::string& measured, bool met) {
    targets.push_back("| " + what + " | " + measured + " | " + (met ? "met" : "**missed**") + " |\n");
  }
  // One figure of the older server and of the server (medians of their runs),
  // and whether the server is within 15% of the older one or better.
  void compare(const std::string& section, const std::string& what, const std::vector<double> (&by)[3], int digits,
               bool higherIsBetter = false) {
    if (!withBefore) return;
    const double before = median(by[kBefore]), after = median(by[kServer]);
    const double change = (after - before) / before * 100;
    const bool worse = higherIsBetter ? after < before * 0.85 : after > before * 1.15;
    changes.push_back("| " + section + " | " + what + " | " + fixed(before, digits) + " | " + fixed(after, digits) +
                      " | " + (change >= 0 ? "+" : "") + fixed(change, 1) + "% | " + (worse ? "**no**" : "yes") +
                      " |\n");
  }
};

// Figures of one request for each program (indexed by Kind), one per run.
struct Figures {
  std::vector<double> p50[3], p99[3], throughput[3], cpu[3], hwm[3];
};

void measureStartup(const Options& o, const Dataset& d, Report& report) {
  log("start-up");
  std::vector<double> answer[3], ready[3];
  for (int run = 0; run < 5 * o.runs; ++run) {
    for (const Kind kind : kindsOf(o, run)) {
      Peer p(o, kind, &d);
      const auto [answered, readyAt] = startup(p);
      answer[kind].push_back(answered * 1e3);
      ready[kind].push_back(readyAt * 1e3);
      p.finish();
    }
  }
  report.compare("Start-up", "from spawn to the first `initialize` answer, ms", answer, 2);
  report.md << "## Start-up (ms, median of " << answer[0].size() << ", database " << d.label << ")\n\n"
            << "| from spawn to | server / floor (ratio) |\n|---|---|\n"
            << "| the answer to the first `initialize` | " << versus(answer[0], answer[1], 2) << " |\n"
            << "| the ready line on stderr | " << versus(ready[0], ready[1], 2) << " |\n\n";
  const double ratio = median(answer[0]) / median(answer[1]);
  report.target("start-up to the first `initialize` answer within 1.5x the floor's", fixed(ratio, 2) + "x",
                ratio <= 1.5);
}

// Each request on a server of its own: sequentially, then pipelined.
void measureRequests(const Options& o, const Dataset& d, Report& report) {
  const std::vector<Op> ops = {pingOp(),
                               toolsListOp(),
                               listAgentsOp(d),
                               listTasksOp(d),
                               getTaskOp(d, d.agents.size() / 3, promptOf(d.firstTask[d.agents.size() / 3])),
                               createAgentOp(),
                               createTaskOp(d.agents[0], promptOf(0), "create_task"),
                               runNowOp(d)};
  std::vector<Figures> figures(ops.size());
  // The size of create_task's briefing after its first call and at the end of each run.
  std::vector<double> firstBytes, briefingBytes;
  Pipelined ceiling;
  for (int run = 0; run < o.runs; ++run) {
    for (size_t i = 0; i < ops.size(); ++i) {
      log("run " + std::to_string(run + 1) + ": " + ops[i].label);
      for (const Kind kind : kindsOf(o, run)) {
        const bool floor = kind == kFloor;
        Peer p(o, kind, &d);
        initialize(p);
        if (kind == kServer && ops[i].label == "create_task") {
          sequential(p, ops[i], 1, 0);
          firstBytes.push_back(static_cast<double>(fileSize(p.dir / "agents" / d.agents[0] / "CLAUDE.md")));
        }
        const Sequential s = sequential(p, ops[i], o.count(5000), o.budget(1.0));
        const double p50 = percentile(s.us, 0.5);
        // Enough in flight to keep the child busy, at most ~0.1 s of work.
        const auto window = std::clamp(std::lround(1e5 / p50), 4L, 1L << 20);
        const Pipelined q = pipelined(p, {&ops[i]}, o.count(100000), o.budget(1.5), window);
        if (kind == kServer && ops[i].label == "create_task") {
          briefingBytes.push_back(static_cast<double>(fileSize(p.dir / "agents" / d.agents[0] / "CLAUDE.md")));
        }
        Figures& f = figures[i];
        f.p50[kind].push_back(p50);
        f.p99[kind].push_back(percentile(s.us, 0.99));
        f.throughput[kind].push_back(static_cast<double>(q.n) / q.wall);
        f.cpu[kind].push_back(q.cpu / static_cast<double>(q.n) * 1e6);
        f.hwm[kind].push_back(static_cast<double>(statusKiB(p.pid(), "VmHWM")) / 1024);
        p.finish();
        if (floor && i == 0 && run == 0) ceiling = q;
      }
    }
  }
  report.md << "## Requests at " << d.label << " (agents/tasks)\n\n"
            << "Latency is one request at a time; throughput has one thread writing while another reads; CPU is the "
            << "process's user+system time per request in the pipelined run; peak RSS is VmHWM before exit.\n\n"
            << "| request | p50 µs | p99 µs | pipelined req/s | CPU µs/req | peak RSS MiB |\n"
            << "|---|---|---|---|---|---|\n";
  double peak = 0;
  std::string floorRow, beyond;
  for (size_t i = 0; i < ops.size(); ++i) {
    const Figures& f = figures[i];
    report.md << "| `" << ops[i].label << "` | " << versus(f.p50[0], f.p50[1], 1) << " | "
              << versus(f.p99[0], f.p99[1], 1) << " | " << versus(f.throughput[0], f.throughput[1], 0) << " | "
              << versus(f.cpu[0], f.cpu[1], 1) << " | " << versus(f.hwm[0], f.hwm[1], 2) << " |\n";
    peak = std::max(peak, median(f.hwm[0]));
    const std::string section = "Requests at " + d.label, name = "`" + ops[i].label + "` ";
    report.compare(section, name + "p50 µs", f.p50, 1);
    report.compare(section, name + "pipelined req/s", f.throughput, 0, true);
    report.compare(section, name + "CPU µs/req (pipelined)", f.cpu, 1);
    report.compare(section, name + "peak RSS MiB", f.hwm, 2);
    if (i < 2) {
      const double latency = median(f.p50[0]) / median(f.p50[1]);
      const double throughput = median(f.throughput[0]) / median(f.throughput[1]);
      report.target("`" + ops[i].label + "` sequential p50 within 1.3x the floor's", fixed(latency, 2) + "x",
                    latency <= 1.3);
      report.target("`" + ops[i].label + "` pipelined throughput at least 1/4 of the floor's",
                    fixed(throughput, 2) + "x", throughput >= 0.25);
    }
    if (ops[i].label == "list_agents") {
      const double ms = median(f.p50[0]) / 1000;
      report.target("`list_agents` at " + d.label + " p50 within 0.3 ms", fixed(ms, 2) + " ms", ms <= 0.3);
    }
    if (ops[i].label == "get_task") {
      const double latency = median(f.p50[0]) / median(figures[0].p50[0]);
      const double throughput = median(f.throughput[0]) / median(figures[0].throughput[0]);
      report.target("`get_task` p50 within 1.5x the server's `ping` p50", fixed(latency, 2) + "x", latency <= 1.5);
      report.target("`get_task` pipelined at least 1/4 of the server's `ping` pipelined", fixed(throughput, 2),
                    throughput >= 0.25);
    }
    if (ops[i].label == "create_task") {
      const double ms = median(f.cpu[0]) / 1000;
      report.target("`create_task` CPU per call at " + d.label + " within 0.3 ms", fixed(ms, 3) + " ms", ms <= 0.3);
      // The briefing grows by a line per call: the floor writes one of the
      // mean of its first and last sizes.
      const size_t bytes = static_cast<size_t>((median(firstBytes) + median(briefingBytes)) / 2);
      log("disk floor: create_task's durable writes at " + std::to_string(bytes) + " bytes");
      std::vector<double> floorCpu, floorP50;
      for (int run = 0; run < o.runs; ++run) {
        const DiskFloor df = durableWriteFloor(o, bytes, o.count(2000), o.budget(1.5));
        floorCpu.push_back(df.cpuPerCall * 1e6);
        floorP50.push_back(percentile(df.us, 0.5));
      }
      floorRow = "| the disk alone: `create_task`'s durable writes (log commit, " + std::to_string(bytes / 1024) +
                 " KiB briefing replaced) | " + fixed(median(floorP50), 1) + " | | | " + fixed(median(floorCpu), 1) +
                 " | |\n";
      beyond = "`create_task`'s CPU beyond the disk's floor: " + fixed(median(f.cpu[0]), 1) + " - " +
               fixed(median(floorCpu), 1) + " = " + fixed(median(f.cpu[0]) - median(floorCpu), 1) +
               " µs per call (the floor does the log commit and the briefing's replace, and nothing else).\n";
    }
  }
  report.md << floorRow << "\n" << beyond;
  report.md << "\nThe floor's pipelined ceiling (`ping`, first run): "
            << fixed(static_cast<double>(ceiling.n) / ceiling.wall, 0)
            << " req/s. Over it the driver's reader thread was busy "
            << fixed(ceiling.readerCpu / ceiling.wall * 100, 0) << "% of the wall time, its writer "
            << fixed(ceiling.writerCpu / ceiling.wall * 100, 0) << "%, the floor "
            << fixed(ceiling.cpu / ceiling.wall * 100, 0) << "% (" << std::thread::hardware_concurrency()
            << " cores for the three).\n\n";
  report.target("peak RSS within 8 MiB at " + d.label + " in the pipelined runs", fixed(peak, 2) + " MiB (the largest)",
                peak <= 8);
}

// For each run, one server and one floor over `d` answer each op in turn, one
// request at a time. Figures: p50 and CPU per call in µs, peak RSS in MiB.
std::vector<Figures> measureSequential(const Options& o, const Dataset& d, const std::vector<Op>& ops, long n,
                                       const Op* warmup = nullptr) {
  std::vector<Figures> figures(ops.size());
  for (int run = 0; run < o.runs; ++run) {
    log("run " + std::to_string(run + 1) + ": " + ops.front().label + "... at " + d.label);
    for (const Kind kind : kindsOf(o, run)) {
      Peer p(o, kind, &d);
      initialize(p);
      if (warmup) sequential(p, *warmup, 2, 0);  // untimed
      for (size_t i = 0; i < ops.size(); ++i) {
        const Sequential s = sequential(p, ops[i], o.count(n), o.budget(1.5));
        figures[i].p50[kind].push_back(percentile(s.us, 0.5));
        figures[i].cpu[kind].push_back(s.cpu / static_cast<double>(s.us.size()) * 1e6);
      }
      const double hwm = static_cast<double>(statusKiB(p.pid(), "VmHWM")) / 1024;
      for (Figures& f : figures) f.hwm[kind].push_back(hwm);
      p.finish();
    }
  }
  return figures;
}

void measureReadsBySize(const Options& o, const std::vector<const Dataset*>& sizes, Report& report) {
  report.md << "## Reads by database size (agents/tasks; sequential)\n\n"
            << "| request | size | p50 µs | CPU µs/call |\n|---|---|---|---|\n";
  std::vector<std::string> rss;
  for (const Dataset* d : sizes) {
    const std::vector<Op> ops = {listAgentsOp(*d),
                                 listTasksOp(*d),
                                 getAgentOp(*d),
                                 afterWrite(listAgentsOp(*d)),
                                 afterWrite(listTasksOp(*d)),
                                 afterWrite(getAgentOp(*d))};
    const std::vector<Figures> figures = measureSequential(o, *d, ops, 500);
    for (size_t i = 0; i < ops.size(); ++i) {
      const Figures& f = figures[i];
      report.md << "| `" << ops[i].label << "` | " << d->label << " | " << versus(f.p50[0], f.p50[1], 1) << " | "
                << versus(f.cpu[0], f.cpu[1], 1) << " |\n";
      const std::string section = "Reads at " + d->label, name = "`" + ops[i].label + "` ";
      report.compare(section, name + "p50 µs", f.p50, 1);
      report.compare(section, name + "CPU µs/call", f.cpu, 1);
    }
    rss.push_back(d->label + ": " + versus(figures[0].hwm[0], figures[0].hwm[1], 2));
    report.compare("Reads at " + d->label, "peak RSS MiB", figures[0].hwm, 2);
    if (d == sizes.back()) {
      const double agents = median(figures[0].p50[0]) / 1000, tasks = median(figures[1].p50[0]) / 1000;
      report.target("`list_agents` at " + d->label + " p50 within 3 ms", fixed(agents, 2) + " ms", agents <= 3);
      report.target("`list_tasks` at " + d->label + " p50 within 1 ms", fixed(tasks, 2) + " ms", tasks <= 1);
      const double peak = median(figures[0].hwm[0]);
      report.target("peak RSS within 24 MiB at " + d->label, fixed(peak, 2) + " MiB", peak <= 24);
      const double agentsAfter = median(figures[3].p50[0]) / 1000, tasksAfter = median(figures[4].p50[0]) / 1000;
      report.target("`list_agents` at " + d->label + " after another process wrote, p50 within 8 ms",
                    fixed(agentsAfter, 2) + " ms", agentsAfter <= 8);
      report.target("`list_tasks` at " + d->label + " after another process wrote, p50 within 2 ms",
                    fixed(tasksAfter, 2) + " ms", tasksAfter <= 2);
    }
  }
  report.md << "\nPeak RSS of these runs, MiB:";
  for (const auto& r : rss) report.md << " " << r << ";";
  report.md << "\n\n";
}

// --- Under a foreign writer ----------------------------------------------

// Another connection to the server's file that commits a run row (which
// changes no answer) every `interval` from a thread of its own, as the
// scheduler does while servers answer; a zero interval writes nothing.
class ForeignWriter {
 public:
  ForeignWriter(const fs::path& file, std::chrono::milliseconds interval) {
    if (interval.count() == 0) return;
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) fail("cannot open the server's file");
    sqlite3_busy_timeout(db_, 5000);
    thread_ = std::thread([this, interval] {
      try {
        std::unique_lock lock(mutex_);
        for (auto next = Clock::now() + interval; !stop_.wait_until(lock, next, [this] { return stopping_; });
             next += interval) {
          sql(db_, "INSERT INTO runs (id, task_id, started_at, status, ai_used, triggered_by) VALUES "
                   "(lower(hex(randomblob(8))), 'tk_none', 0, 'pending', 'codex', 'scheduler');");
          ++commits_;
        }
      } catch (const std::exception& e) {
        error_ = e.what();
      }
    });
  }
  ~ForeignWriter() {
    halt();
    sqlite3_close(db_);
  }
  ForeignWriter(const ForeignWriter&) = delete;
  ForeignWriter& operator=(const ForeignWriter&) = delete;

  // Stops the writer; returns how many commits it made.
  long stop() {
    halt();
    if (!error_.empty()) fail("the foreign writer: " + error_);
    return commits_;
  }

 private:
  void halt() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    stop_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  sqlite3* db_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  long commits_ = 0;
  std::string error_;
};

struct Paced {
  std::vector<std::vector<double>> us;  // latency of each request, by its place in the mix
  long n = 0;
  double cpu = 0;  // the child's CPU seconds over them
};

// The requests of `mix` in turn, one at a time, started `rate` times a second
// (or as soon as the previous answer came, when the server falls behind) for
// `seconds`; every answer checked in full.
Paced paced(Peer& p, const std::vector<Op>& mix, double rate, double seconds) {
  Paced r;
  r.us.resize(mix.size());
  const double cpu0 = cpuSeconds(p.pid());
  const auto start = Clock::now();
  for (long i = 0; static_cast<double>(i) < rate * seconds; ++i) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(static_cast<double>(i) / rate)));
    const Op& op = mix[static_cast<size_t>(i) % mix.size()];
    const long id = p.nextId++;
    const auto t0 = Clock::now();
    p.send(request(op, id));
    const std::string_view answer = p.line();
    r.us[static_cast<size_t>(i) % mix.size()].push_back(since(t0) * 1e6);
    check(p, op, answer, id, true);
    ++r.n;
  }
  r.cpu = cpuSeconds(p.pid()) - cpu0;
  return r;
}

// The server's CPU per request at a fixed rate of a fixed mix of reads, with
// no other writer, with one committing once a second, and with one committing
// every 10 ms (so that nearly every request follows a foreign commit).
void measureForeignWriter(const Options& o, const std::vector<const Dataset*>& sizes, Report& report) {
  const double rate = 100, seconds = o.budget(3.0);
  const std::vector<std::pair<std::string, std::chrono::milliseconds>> writers = {
      {"none", std::chrono::milliseconds(0)},
      {"every 1 s", std::chrono::milliseconds(1000)},
      {"every 10 ms", std::chrono::milliseconds(10)}};
  const bool both = !o.before.empty();
  report.md << "## Reads while another process writes (" << fixed(rate, 0) << " requests/s for " << fixed(seconds, 1)
            << " s; sequential)\n\n"
            << "The mix, in turn: `list_agents`, `list_tasks`, `get_agent`, `get_task`. The writer is another "
            << "connection that commits a run row at the interval shown. CPU is the server's user+system time per "
            << "request"
            << (both ? "; each cell reads `server / older server (change)`" : "") << ".\n\n"
            << "| writer | size | CPU µs/req | `list_agents` p50 µs | `list_tasks` p50 µs | `get_agent` p50 µs "
            << "| `get_task` p50 µs | commits per run |\n|---|---|---|---|---|---|---|---|\n";
  auto cell = [both](const std::vector<double> (&by)[3], int digits) {
    const double after = median(by[kServer]);
    if (!both) return fixed(after, digits);
    const double before = median(by[kBefore]), change = (after - before) / before * 100;
    return fixed(after, digits) + " / " + fixed(before, digits) + " (" + (change >= 0 ? "+" : "") +
           fixed(change, 0) + "%)";
  };
  for (const Dataset* d : sizes) {
    const std::vector<Op> mix = {listAgentsOp(*d), listTasksOp(*d), getAgentOp(*d),
                                 getTaskOp(*d, d->agents.size() / 3, promptOf(d->firstTask[d->agents.size() / 3]))};
    for (const auto& [name, interval] : writers) {
      std::vector<double> cpu[3], commits[3];
      std::vector<std::vector<double>> p50[3];
      for (auto& v : p50) v.resize(mix.size());
      for (int run = 0; run < o.runs; ++run) {
        log("run " + std::to_string(run + 1) + ": reads with a writer " + name + " at " + d->label);
        for (const Kind kind : kindsOf(o, run, false)) {
          Peer p(o, kind, d);
          initialize(p);
          for (const Op& op : mix) sequential(p, op, 2, 0);  // untimed: start-up's reading and the snapshot's
          ForeignWriter writer(p.dir / "db.sqlite", interval);
          const Paced r = paced(p, mix, rate, seconds);
          commits[kind].push_back(static_cast<double>(writer.stop()));
          cpu[kind].push_back(r.cpu / static_cast<double>(r.n) * 1e6);
          for (size_t i = 0; i < mix.size(); ++i) p50[kind][i].push_back(percentile(r.us[i], 0.5));
          p.finish();
        }
      }
      report.md << "| " << name << " | " << d->label << " | " << cell(cpu, 1);
      const std::string section = "Reads at " + d->label + ", writer " + name;
      report.compare(section, "CPU µs/req", cpu, 1);
      for (size_t i = 0; i < mix.size(); ++i) {
        const std::vector<double> one[3] = {p50[kServer][i], {}, p50[kBefore][i]};
        report.md << " | " << cell(one, 1);
        report.compare(section, "`" + mix[i].label + "` p50 µs", one, 1);
      }
      report.md << " | " << fixed(median(commits[kServer]), 0) << " |\n";
    }
  }
  report.md << "\n";
}

// `d` has an agent with one task of a 1 MiB prompt, then agents with 10,
// 1,000 and 10,000 tasks.
void measureWrites(const Options& o, const Dataset& d, const std::string& bigPrompt, Report& report) {
  std::vector<Op> ops;
  for (size_t a = 1; a < d.agents.size(); ++a) {
    ops.push_back(
        createTaskOp(d.agents[a], promptOf(0), "create_task, agent with " + std::to_string(d.tasks[a]) + " tasks"));
  }
  ops.push_back(createTaskOp(d.agents[0], bigPrompt, "create_task, 1 MiB prompt"));
  ops.push_back(getTaskOp(d, 0, bigPrompt));
  ops.back().label = "get_task, 1 MiB prompt";
  const long creates = 40;
  // Two reads first, so that the server's reading of what it keeps in memory
  // is not counted in the first op's CPU.
  const Op warmup = listAgentsOp(d);
  const std::vector<Figures> figures = measureSequential(o, d, ops, creates, &warmup);
  report.md << "## Writes by the tasks on the agent, and a 1 MiB prompt (sequential, ms)\n\n"
            << "Each create adds a task: an agent ends a run with up to " << o.count(creates) << " more than named.\n\n"
            << "| request | p50 ms | CPU ms/call |\n|---|---|---|\n";
  auto ms = [](std::vector<double> v) {
    for (double& x : v) x /= 1000;
    return v;
  };
  for (size_t i = 0; i < ops.size(); ++i) {
    const Figures& f = figures[i];
    report.md << "| " << ops[i].label << " | " << versus(ms(f.p50[0]), ms(f.p50[1]), 3) << " | "
              << versus(ms(f.cpu[0]), ms(f.cpu[1]), 3) << " |\n";
    report.compare("Writes", ops[i].label + ", p50 µs", f.p50, 0);
    report.compare("Writes", ops[i].label + ", CPU µs/call", f.cpu, 0);
  }
  // The disk alone at the briefings' sizes, as the last server left them.
  std::vector<double> floorP50[2], floorCpu[2];
  size_t bytes[2] = {fileSize(o.work / "run" / "agents" / d.agents[1] / "CLAUDE.md"),
                     fileSize(o.work / "run" / "agents" / d.agents[3] / "CLAUDE.md")};
  for (int run = 0; run < o.runs; ++run) {
    for (int k = 0; k < 2; ++k) {
      const DiskFloor df = durableWriteFloor(o, bytes[k], o.count(creates * 5), o.budget(1.5));
      floorP50[k].push_back(percentile(df.us, 0.5) / 1000);
      floorCpu[k].push_back(df.cpuPerCall * 1e3);
    }
  }
  for (int k = 0; k < 2; ++k) {
    report.md << "| the disk alone: `create_task`'s durable writes, " << fixed(static_cast<double>(bytes[k]) / 1024, 1)
              << " KiB briefing | " << fixed(median(floorP50[k]), 3) << " | " << fixed(median(floorCpu[k]), 3)
              << " |\n";
  }
  report.md << "\nPeak RSS of these runs, MiB: " << versus(figures[0].hwm[0], figures[0].hwm[1], 2) << ".\n\n";
  report.compare("Writes", "peak RSS MiB", figures[0].hwm, 2);
  report.md << "The disk alone (the log commit and the briefing's replace, nothing else): 10,000 tasks vs 10, p50 "
            << fixed(median(floorP50[1]) / median(floorP50[0]), 2) << "x. The server's CPU beyond it: "
            << fixed((median(figures[0].cpu[0]) / 1000 - median(floorCpu[0])) * 1000, 0)
            << " µs per call with 10 tasks, "
            << fixed((median(figures[2].cpu[0]) / 1000 - median(floorCpu[1])) * 1000, 0) << " µs with 10,000.\n\n";
  const double ratio = median(figures[2].p50[0]) / median(figures[0].p50[0]);
  const double cpu = median(figures[2].cpu[0]) / median(figures[0].cpu[0]);
  report.target("`create_task` on an agent with 10,000 tasks within 1.5x of one with 10",
                fixed(ratio, 2) + "x (CPU " + fixed(cpu, 2) + "x)", ratio <= 1.5);
  const double create = median(figures[3].p50[0]) / 1000, get = median(figures[4].p50[0]) / 1000;
  report.target("1 MiB prompt: `get_task` within 5 ms", fixed(get, 2) + " ms", get <= 5);
  report.target("1 MiB prompt: `create_task` within 15 ms", fixed(create, 2) + " ms", create <= 15);
}

// Memory over many pipelined requests, mostly cheap ones, with VmRSS sampled
// along the way.
void measureMemory(const Options& o, const Dataset& d, Report& report) {
  const long n = o.count(100000), every = n / 10;
  Op missing = toolOp("get_task", {{"task_id", "tk_missing"}}, "", nullptr, 0);
  missing.error = R"({"code":-32602,"message":"get_task: task not found: tk_missing"})";
  const std::vector<Op> kinds = {pingOp(),        toolsListOp(),  getTaskOp(d, 7, promptOf(d.firstTask[7])),
                                 missing,         initializeOp(), listTasksOp(d),
                                 listAgentsOp(d), runNowOp(d)};
  std::vector<const Op*> cycle;
  for (size_t i = 0; i < 200; ++i) {
    // Per 200: one run_now, one list_agents, two list_tasks.
    cycle.push_back(&kinds[i == 0 ? 7 : i == 100 ? 6 : i % 100 == 50 ? 5 : i % 5]);
  }
  Pipelined soak[3];
  for (const Kind kind : kindsOf(o, 0)) {
    log("memory over " + std::to_string(n) + " requests: " + kindName(kind));
    Peer p(o, kind, &d);
    initialize(p);
    soak[kind] = pipelined(p, cycle, n, o.budget(600), 256, every);
    p.finish();
  }
  report.md << "## Memory over " << soak[0].n << " pipelined requests (VmRSS KiB, " << d.label << ")\n\n"
            << "Per 200 requests: one `run_now`, one `list_agents`, two `list_tasks`; the others `ping`, `tools/list`, "
            << "`initialize`, `get_task`, and `get_task` of a missing task (an error).\n\n"
            << "| after requests | server / floor |\n|---|---|\n";
  if (soak[0].rss.empty() || soak[1].rss.size() < soak[0].rss.size()) fail("memory samples missing");
  for (size_t i = 0; i < soak[0].rss.size(); ++i) {
    report.md << "| " << (static_cast<long>(i) + 1) * every << " | " << soak[0].rss[i] << " / " << soak[1].rss[i]
              << " |\n";
  }
  report.md << "\n";
  if (report.withBefore) {
    const std::vector<double> last[3] = {{static_cast<double>(soak[kServer].rss.back())}, {},
                                         {static_cast<double>(soak[kBefore].rss.back())}};
    report.compare("Memory at " + d.label, "VmRSS KiB after " + std::to_string(n) + " pipelined requests", last, 0);
  }
  const long growth = soak[0].rss.back() - soak[0].rss.front();
  report.target("no memory growth across " + std::to_string(n) + " requests (VmRSS, first sample to last)",
                std::to_string(growth) + " KiB", soak[0].n == n && growth <= 64);
}

}  // namespace

int main(int argc, char** argv) try {
  std::signal(SIGPIPE, SIG_IGN);
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : (fail(arg + " needs a value"), ""); };
    if (arg == "--server")
      o.server = value();
    else if (arg == "--floor")
      o.floor = value();
    else if (arg == "--before")
      o.before = value();
    else if (arg == "--work")
      o.work = value();
    else if (arg == "--runs")
      o.runs = std::max(1, std::stoi(value()));
    else if (arg == "--quick")
      o.scale = 0.1, o.runs = 1;
    else
      fail("unknown argument " + arg + " (see the head of LoadDriver.cpp)");
  }
  o.work = fs::absolute(o.work);
  fs::create_directories(o.work);

  const Dataset small = seed(o, even(20, 200)), base = seed(o, even(200, 5000)), big = seed(o, even(2000, 50000));
  std::string bigPrompt;
  for (long i = 0; bigPrompt.size() < (1 << 20); ++i) bigPrompt += "Line " + std::to_string(i) + " of a long prompt.\n";
  bigPrompt.resize(1 << 20);
  const Dataset growth = seed(o, {1, 10, 1000, 10000}, bigPrompt);

  Report report;
  report.withBefore = !o.before.empty();
  report.md << "Figures are medians of " << o.runs << " runs; each cell reads `server / floor (ratio)`. Each "
            << "database holds the configured user's agents and tasks, and as many of another user's. SQLite "
            << sqlite3_libversion() << ".\n\n";
  measureStartup(o, base, report);
  measureRequests(o, base, report);
  measureReadsBySize(o, {&small, &base, &big}, report);
  measureWrites(o, growth, bigPrompt, report);
  measureForeignWriter(o, {&base, &big}, report);
  measureMemory(o, base, report);
  if (report.withBefore) {
    report.md << "## Before and after, same run\n\n"
              << "The older server (`" << o.before.string() << "`) ran in every run beside the server, in turn with "
              << "it (which went first alternated by run), each over its own copy of databases that it created "
              << "itself, so the older one's have no `" << kTaskIndex << "`. Medians of the runs; \"within 15%\" "
              << "means no worse than the older server by more than 15% (for req/s: no lower by more than 15%).\n\n"
              << "| section | figure | before | after | change | within 15% |\n|---|---|---|---|---|---|\n";
    for (const auto& row : report.changes) report.md << row;
    report.md << "\n";
  }
  report.md << "## Targets\n\n| target | measured | |\n|---|---|---|\n";
  for (const auto& row : report.targets) report.md << row;
  log("done");
  if (!loads.empty()) {
    std::cout << "Load average (1 min) at the driver's " << loads.size() << " progress lines: lowest "
              << fixed(percentile(loads, 0), 2) << ", median " << fixed(median(loads), 2) << ", highest "
              << fixed(percentile(loads, 1), 2) << ".\n\n";
  }
  std::cout << report.md.str();
  fs::remove_all(o.work / "run");
  return 0;
} catch (const std::exception& e) {
  std::cerr << "bench: failed: " << e.what() << std::endl;
  return 1;
}
