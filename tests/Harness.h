#pragma once

// Test support: temporary directories, and the real server binary spawned
// over pipes with a chosen environment.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view contents);

using Environment = std::map<std::string, std::string>;

// The usual environment for a server over `dir`: KOVIX_USER_ID=u1,
// KOVIX_DB_PATH=dir/db.sqlite, KOVIX_AGENT_ROOT=dir/agents and
// KOVIX_TEMPLATE_PATH=dir/no-template.md (which does not exist, so the
// built-in template is used).
Environment serverEnvironment(const TempDir& dir, const std::string& userId = "u1");

struct Finished {
  std::string out;
  std::string err;
  int status;  // the exit status, or -N when killed by signal N, or -1000 on time-out

  std::vector<std::string> outLines() const;
  std::vector<std::string> errLines() const;
};

// The server binary under test: KOVIX_TEST_SERVER_BINARY when set (to try
// the tests on another build, an older one for instance), else this build's.
const char* serverBinary();

struct SpawnOptions {
  // The server's ends of its pipes are made non-blocking before it starts,
  // as a parent that shares them non-blocking would leave them.
  bool nonBlockingInput = false;
  bool nonBlockingOutputs = false;  // standard output and standard error
  // The program to run instead of serverBinary(), such as a copy of it
  // elsewhere; and, when `noArguments`, with no argv[0] at all.
  std::filesystem::path program;
  bool noArguments = false;
  // Soft resource limits the server starts with, such as {RLIMIT_STACK,
  // 32 << 10} for `ulimit -s 32`.
  std::vector<std::pair<int, uint64_t>> limits;
};

// The server binary, running with exactly `env` as its environment.
class ServerProcess {
 public:
  explicit ServerProcess(const Environment& env, const std::vector<std::string>& argv = {},
                         const std::filesystem::path& workingDirectory = {}, SpawnOptions options = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Fails the test when the bytes cannot be written, unless the server may
  // have exited and closed its input.
  void send(std::string_view bytes, bool mayHaveExited = false);
  // Sends `message` as one line.
  void sendLine(const nlohmann::json& message);
  // The next line of standard output, without its line feed. Fails the test
  // (and returns "") when none arrives in time.
  std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a request and returns the parsed response line.
  nlohmann::json request(const nlohmann::json& message);
  void closeInput();
  // Bytes sent that the server has not read yet.
  size_t unreadInput() const;
  void closeOutput();  // closes our end of the server's standard output
  // Reads standard error until it holds `text` or the time is up; true when it does.
  // Standard output is read meanwhile unless `readOutput` is false.
  bool waitForError(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    bool readOutput = true);
  // Closes standard input if still open and waits for the process to end.
  Finished finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  int pid() const { return pid_; }

 private:
  void pump(int timeoutMs, bool readOutput = true);

  int pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuffer_, errBuffer_;
  bool exited_ = false;
  int status_ = 0;
};

class MCPAgentStore;

// Runs the server with `env` on `input` to the end.
Finished runServer(const Environment& env, std::string_view input, const std::vector<std::string>& argv = {},
                   const std::filesystem::path& workingDirectory = {}, SpawnOptions options = {});

// A store over `dir` as serverEnvironment lays it out, opened.
std::shared_ptr<MCPAgentStore> openStore(const TempDir& dir, const std::string& userId = "u1");

// A second connection to a database file, standing for the scheduler's other
// processes: seeds rows behind the server's back and reads what it wrote.
// Fails the test on any SQLite error.
class Sql {
 public:
  explicit Sql(const std::filesystem::path& path);
  ~Sql();
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;
  void exec(const std::string& script);
  // Rows as their columns joined by "|", NULL as "NULL"; `args` bound as text by byte length.
  std::vector<std::string> operator()(const std::string& query, const std::vector<std::string>& args = {});

 private:
  struct sqlite3* db_ = nullptr;
};


// The store's read answers as JSON values: the text it writes, parsed back.
nlohmann::json listAgents(MCPAgentStore& store);
std::optional<nlohmann::json> getAgent(MCPAgentStore& store, const std::string& agentId);
nlohmann::json listTasks(MCPAgentStore& store, const std::string& agentId);
std::optional<nlohmann::json> getTask(MCPAgentStore& store, const std::string& taskId);

nlohmann::json toolCall(const nlohmann::json& id, const std::string& name, const nlohmann::json& arguments);
// The parsed tool result object inside a successful tools/call response.
nlohmann::json toolResult(const nlohmann::json& response);
