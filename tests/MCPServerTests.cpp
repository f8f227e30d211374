// MCPServer in-process, over descriptors of our own and a real store.

#include "Harness.h"
#include "MCPAgentStore.h"
#include "MCPError.h"
#include "MCPServer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Runs a server over a fresh store in `dir` on `input`, after `prepare` has
// had the database, and returns what it wrote as its output.
std::string serve(const TempDir& dir, const std::string& input, void (*prepare)(const TempDir&)) {
  auto store = openStore(dir);
  if (prepare) prepare(dir);
  int in[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);
  const int memory = memfd_create("out", 0);
  MCPServer(store, in[0], memory).run();
  close(in[0]);
  std::string text;
  char buffer[4096];
  lseek(memory, 0, SEEK_SET);
  for (ssize_t n; (n = read(memory, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(memory);
  return text;
}

TEST(MCPServer, ErrorMappingGivesEveryKindItsCodeAndMessage) {
  struct Case {
    std::exception_ptr error;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {std::make_exception_ptr(MCPError::invalidParams("bad")), -32602, "bad"},
      {std::make_exception_ptr(MCPError::unknownTool("x/y")), -32601, "Unknown tool: x/y"},
      {std::make_exception_ptr(MCPError::unknownTool("")), -32601, "Unknown tool: "},
      {std::make_exception_ptr(MCPError::internalError("oops")), -32603, "oops"},
      {std::make_exception_ptr(MCPError::methodNotFound("ping")), -32601, "Method not found: ping"},
      {std::make_exception_ptr(MCPStoreError::openFailed("/d")), -32603, "Failed to open SQLite at /d"},
      {std::make_exception_ptr(MCPStoreError::sqlError("busy")), -32603, "SQLite error: busy"},
      {std::make_exception_ptr(MCPStoreError::notFound("task t")), -32603, "Not found: task t"},
      {std::make_exception_ptr(std::runtime_error("disk")), -32603, "disk"},
  };
  for (const auto& c : cases) {
    const MCPErrorPayload payload = errorPayload(c.error);
    EXPECT_EQ(payload.code, c.code);
    EXPECT_EQ(payload.message, c.message);
    EXPECT_EQ(payload.data, "");
  }
  // The one error with data: what the request claimed, as a JSON string.
  const MCPErrorPayload unsupported =
      errorPayload(std::make_exception_ptr(MCPError::unsupportedProtocolVersion("2099\"/\\")));
  EXPECT_EQ(unsupported.code, -32022);
  EXPECT_EQ(unsupported.message, "Unsupported protocol version: 2099\"/\\");
  EXPECT_EQ(unsupported.data, R"({"requested":"2099\"\/\\","supported":["2026-07-28"]})");
  const MCPErrorPayload unknown = errorPayload(std::make_exception_ptr(42));
  EXPECT_EQ(unknown.code, -32603);
  EXPECT_FALSE(unknown.message.empty());
}

TEST(MCPServer, AnswersOnTheGivenDescriptorInOrderAndMapsStoreFailures) {
  TempDir dir;
  // Another process of the scheduler has broken the schema under us: the
  // tasks table is gone, and the agents table has lost the column that
  // limits it to the user.
  const auto breakSchema = [](const TempDir& d) {
    Sql(d / "db.sqlite").exec("DROP TABLE tasks; DROP TABLE agents; CREATE TABLE agents (id TEXT PRIMARY KEY, name TEXT);");
  };
  const std::string output = serve(dir,
                              "{\"id\":1,\"method\":\"ping\"}\n\n{\"method\":\"notifications/cancelled\"}\n"
                              R"({"id":2,"method":"tools/call","params":{"name":"list_tasks","arguments":{"agent_id":"a"}}})"
                              "\n"
                              R"({"id":3,"method":"tools/call","params":{"name":"get_task","arguments":{"task_id":"t"}}})"
                              "\n{\"id\":4,\"method\":\"ping\"}",
                              breakSchema);
  // Once start-up has made the tables, a missing one is reported, and a
  // read never makes it again: it is the schema's owners' business (another
  // process may be half-way through a migration).
  const std::string broken = R"({"error":{"code":-32603,"message":"SQLite error: no such table: tasks"},"id":)";
  EXPECT_EQ(output, R"({"id":1,"jsonrpc":"2.0","result":{}})" "\n" + broken + R"(2,"jsonrpc":"2.0"})" "\n" +
                        broken + R"(3,"jsonrpc":"2.0"})" "\n");
  EXPECT_EQ(Sql(dir / "db.sqlite")("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
            (std::vector<std::string>{"agents", "runs"}))
      << "a read made the tasks table again";
}

TEST(MCPServer, TablesDroppedAfterStartUpAreReportedByEveryToolAndNeverMade) {
  TempDir dir;
  const auto dropAll = [](const TempDir& d) {
    Sql(d / "db.sqlite").exec("DROP TABLE tasks; DROP TABLE agents; DROP TABLE runs;");
  };
  const std::string output = serve(
      dir,
      R"({"id":1,"method":"tools/call","params":{"name":"list_agents","arguments":{}}})" "\n"
      R"({"id":2,"method":"tools/call","params":{"name":"get_agent","arguments":{"agent_id":"a"}}})" "\n"
      R"({"id":3,"method":"tools/call","params":{"name":"create_agent","arguments":{"name":"A"}}})" "\n"
      R"({"id":4,"method":"tools/call","params":{"name":"run_now","arguments":{"task_id":"t"}}})" "\n",
      dropAll);
  const auto missing = [](int id, const char* table) {
    return R"({"error":{"code":-32603,"message":"SQLite error: no such table: )" + std::string(table) +
           R"("},"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0"})" "\n";
  };
  EXPECT_EQ(output, missing(1, "agents") + missing(2, "agents") + missing(3, "agents") + missing(4, "tasks"));
  EXPECT_EQ(Sql(dir / "db.sqlite")("SELECT name FROM sqlite_master"), std::vector<std::string>{})
      << "a table was made after start-up";
}

}  // namespace
