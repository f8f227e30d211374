#include "Harness.h"

#include <gtest/gtest.h>

TEST(Smoke, PingAndExit) {
  TempDir dir;
  const auto done = runServer(serverEnvironment(dir), "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\"}\n");
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.outLines(), std::vector<std::string>{R"({"id":7,"jsonrpc":"2.0","result":{}})"});
  EXPECT_EQ(done.errLines(), (std::vector<std::string>{"kovix-mcp-server: ready (uid=u1)",
                                                       "kovix-mcp-server: stdin closed; exiting"}));
}
