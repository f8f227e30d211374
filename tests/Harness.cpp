#include "Harness.h"

#include "MCPAgentStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kovix-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may have made parts read-only; give the permissions back first.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeFile(const fs::path& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

Environment serverEnvironment(const TempDir& dir, const std::string& userId) {
  return {{"KOVIX_USER_ID", userId},
          {"KOVIX_DB_PATH", (dir / "db.sqlite").string()},
          {"KOVIX_AGENT_ROOT", (dir / "agents").string()},
          {"KOVIX_TEMPLATE_PATH", (dir / "no-template.md").string()}};
}

static std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Finished::outLines() const { return splitLines(out); }
std::vector<std::string> Finished::errLines() const { return splitLines(err); }

const char* serverBinary() {
  const char* other = std::getenv("KOVIX_TEST_SERVER_BINARY");
  return other && *other ? other : KOVIX_SERVER_BINARY;
}

ServerProcess::ServerProcess(const Environment& env, const std::vector<std::string>& argv,
                             const fs::path& workingDirectory, SpawnOptions options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
  for (const int fd : {in[0], out[1], err[1]}) {
    if (fd == in[0] ? options.nonBlockingInput : options.nonBlockingOutputs) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());

  std::vector<std::string> args = argv.empty() && !options.noArguments ? std::vector<std::string>{serverBinary()} : argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  const std::string program = options.program.empty() ? std::string(serverBinary()) : options.program.string();
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The child takes its limits from ours when it is spawned: lowered for
  // that moment only, and raised again before this process writes or
  // grows its stack.
  std::vector<std::pair<int, rlimit>> saved;
  for (const auto& [resource, soft] : options.limits) {
    rlimit limit{};
    getrlimit(resource, &limit);
    saved.emplace_back(resource, limit);
    limit.rlim_cur = static_cast<rlim_t>(soft);
    if (setrlimit(resource, &limit) != 0) throw std::runtime_error("setrlimit");
  }
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argp.data(), envp.data());
  for (const auto& [resource, limit] : saved) setrlimit(resource, &limit);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  // Writes that would block read the server's output meanwhile (see send), so
  // a large input that makes large output cannot deadlock the two.
  fcntl(in_, F_SETFL, O_NONBLOCK);
  out_ = out[0];
  err_ = err[0];
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
  signal(SIGPIPE, SIG_IGN);
}

ServerProcess::~ServerProcess() {
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ServerProcess::send(std::string_view bytes, bool mayHaveExited) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno == EAGAIN) {
        pump(10);
        continue;
      }
      // A server that stops at start-up may be gone before it reads.
      if (!(errno == EPIPE && mayHaveExited)) ADD_FAILURE() << "write to server failed: " << std::strerror(errno);
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void ServerProcess::sendLine(const json& message) { send(message.dump() + "\n"); }

// Reads whatever the server has written within `timeoutMs`.
void ServerProcess::pump(int timeoutMs, bool readOutput) {
  pollfd fds[2] = {{readOutput ? out_ : -1, POLLIN, 0}, {err_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) (i == 0 ? outBuffer_ : errBuffer_).append(buffer, static_cast<size_t>(n));
    if (n == 0) {
      ::close(fds[i].fd);
      (i == 0 ? out_ : err_) = -1;
    }
  }
}

std::string ServerProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t lf = outBuffer_.find('\n');
    if (lf != std::string::npos) {
      std::string line = outBuffer_.substr(0, lf);
      outBuffer_.erase(0, lf + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) {
      ADD_FAILURE() << "no response line from the server; stderr so far:\n" << errBuffer_;
      return "";
    }
    pump(static_cast<int>(std::min<long>(left.count(), 100)));
  }
}

bool ServerProcess::waitForError(std::string_view text, std::chrono::milliseconds timeout, bool readOutput) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (errBuffer_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline || err_ < 0) return false;
    pump(20, readOutput);
  }
  return true;
}

json ServerProcess::request(const json& message) {
  sendLine(message);
  const std::string line = readLine();
  return line.empty() ? json() : json::parse(line);
}

size_t ServerProcess::unreadInput() const {
  int bytes = 0;
  return in_ >= 0 && ioctl(in_, FIONREAD, &bytes) == 0 ? static_cast<size_t>(bytes) : 0;
}

void ServerProcess::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ServerProcess::closeOutput() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

Finished ServerProcess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    pump(20);
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    } else if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      exited_ = true;
      status_ = -1000;
    }
  }
  while (out_ >= 0 || err_ >= 0) pump(100);
  return {outBuffer_, errBuffer_, status_};
}

Finished runServer(const Environment& env, std::string_view input, const std::vector<std::string>& argv,
                   const fs::path& workingDirectory, SpawnOptions options) {
  ServerProcess server(env, argv, workingDirectory, options);
  server.send(input, true);
  return server.finish();
}

json toolCall(const json& id, const std::string& name, const json& arguments) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"},
              {"params", {{"name", name}, {"arguments", arguments}}}};
}

json toolResult(const json& response) {
  const json& content = response.at("result").at("content");
  EXPECT_EQ(content.size(), 1u);
  EXPECT_EQ(content.at(0).at("type"), "text");
  return json::parse(content.at(0).at("text").get<std::string>());
}

namespace {

// Records as the store writes them, read back.
nlohmann::json parseRecords(const std::string& text) { return nlohmann::json::parse(text); }

}  // namespace

Sql::Sql(const std::filesystem::path& path) {
  EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  sqlite3_busy_timeout(db_, 5000);
}

Sql::~Sql() { sqlite3_close(db_); }

void Sql::exec(const std::string& script) {
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db_, script.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
}

std::vector<std::string> Sql::operator()(const std::string& query, const std::vector<std::string>& args) {
  sqlite3_stmt* s = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db_, query.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
  for (size_t i = 0; i < args.size(); ++i)
    sqlite3_bind_text(s, int(i + 1), args[i].data(), int(args[i].size()), SQLITE_TRANSIENT);
  std::vector<std::string> rows;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(s); ++c) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
      row += (c ? "|" : "") + (text ? std::string(text, size_t(sqlite3_column_bytes(s, c))) : "NULL");
    }
    rows.push_back(row);
  }
  EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db_);
  sqlite3_finalize(s);
  return rows;
}

std::shared_ptr<MCPAgentStore> openStore(const TempDir& dir, const std::string& userId) {
  auto store = std::make_shared<MCPAgentStore>((dir / "db.sqlite").string(), userId, dir / "agents",
                                               dir / "no-template.md");
  store->openAndMigrate();
  return store;
}

nlohmann::json listAgents(MCPAgentStore& store) {
  std::string text;
  store.listAgents(text);
  return parseRecords(text);
}

std::optional<nlohmann::json> getAgent(MCPAgentStore& store, const std::string& agentId) {
  std::string text;
  if (!store.getAgent(agentId, text)) return std::nullopt;
  return parseRecords(text);
}

nlohmann::json listTasks(MCPAgentStore& store, const std::string& agentId) {
  std::string text;
  store.listTasks(agentId, text);
  return parseRecords(text);
}

std::optional<nlohmann::json> getTask(MCPAgentStore& store, const std::string& taskId) {
  std::string text;
  if (!store.getTask(taskId, text)) return std::nullopt;
  return parseRecords(text);
}
