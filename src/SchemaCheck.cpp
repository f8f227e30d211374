#include "SchemaCheck.h"

#include "Diagnostics.h"
#include "MCPStoreError.h"
#include "SQLiteConnection.h"
#include "StoreSchema.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr char kTables[] = "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid;";
constexpr char kColumns[] = "SELECT name FROM pragma_table_info(?);";
constexpr char kTableMadeAs[] = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND sql = ?;";

std::vector<std::string> columnsOf(SQLiteConnection& db, const std::string& table) {
  std::vector<std::string> names;
  Statement columns = db.statement(kColumns);
  columns.bindText(1, table);
  while (columns.step()) names.push_back(columns.text(0));
  return names;
}

// SQLite matches column names without regard to ASCII case.
bool sameName(const std::string& a, const std::string& b) {
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

// Whether every table is there exactly as its statement makes it, so that
// none can lack a column: what a file this program made holds.
bool allAsMade(SQLiteConnection& db, std::span<const char* const> creates) {
  return std::ranges::all_of(creates, [&](const char* create) {
    Statement table = db.statement(kTableMadeAs);
    table.bindText(1, storeschema::storedText(create));
    return table.step();
  });
}

}  // namespace

void reportMissingColumns(SQLiteConnection& db, std::span<const char* const> creates) {
  try {
    if (allAsMade(db, creates)) return;
  } catch (const MCPStoreError&) {
    return;  // the file could not be read just now; the calls will report it
  }
  // The columns wanted are those the statements make, read back from a
  // scratch database in memory: the statements stay the one place that
  // lists them, and every column they make is one the store reads or writes.
  const auto wanted = SQLiteConnection::open(":memory:");
  if (!wanted) return;
  for (const char* create : creates) {
    if (!wanted->execSQL(create)) return;
  }
  try {
    std::vector<std::string> tables;
    for (Statement list = wanted->statement(kTables); list.step();) tables.push_back(list.text(0));
    for (const std::string& table : tables) {
      const std::vector<std::string> present = columnsOf(db, table);
      if (present.empty()) continue;  // no such table: the statement that makes it failed, and said so
      std::string missing;
      for (const std::string& column : columnsOf(*wanted, table)) {
        if (std::ranges::any_of(present, [&](const std::string& p) { return sameName(p, column); })) continue;
        missing += (missing.empty() ? "" : ", ") + column;
      }
      if (!missing.empty()) {
        logLine("missing columns in table " + table + ": " + missing + "; calls that need them will fail");
      }
    }
  } catch (const MCPStoreError&) {
    // The file could not be read just now; the calls will report it.
  }
}
