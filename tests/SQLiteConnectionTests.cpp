#include "Harness.h"
#include "SQLiteConnection.h"

#include <gtest/gtest.h>

namespace {

constexpr char kNames[] = "SELECT name FROM t ORDER BY name;";

// Two uses of one statement's SQL at once each get their own cursor: the
// inner one ending does not reset the outer one mid-scan.
TEST(SQLiteConnection, TwoLiveUsesOfOneStatementNeverShareACursor) {
  TempDir dir;
  Sql(dir / "db.sqlite").exec("CREATE TABLE t (name TEXT); INSERT INTO t VALUES ('a'), ('b'), ('c');");
  const auto db = SQLiteConnection::open((dir / "db.sqlite").string());
  ASSERT_TRUE(db);
  std::string seen;
  for (int round = 0; round < 2; ++round) {
    Statement outer = db->statement(kNames);
    while (outer.step()) {
      seen += outer.text(0) + ":";
      Statement inner = db->statement(kNames);
      while (inner.step()) seen += inner.text(0);
      seen += " ";
    }
  }
  EXPECT_EQ(seen, "a:abc b:abc c:abc a:abc b:abc c:abc ");
}

}  // namespace
