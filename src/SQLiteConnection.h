#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

// The store's one SQLite connection and the statements it runs. Private to the
// store: nothing above the store sees SQL.
//
// Statements are compiled once per connection and kept for its life; each use
// binds afresh and is reset when it ends, on every path, so no statement is
// left mid-step holding a read snapshot open. A statement that fails to
// compile is not kept, so a later use tries again (after another process has
// created a missing table, say).

class SQLiteConnection;

// One use of a kept statement: bind by position (from 1), step, read columns
// (from 0). Resets the statement and clears its bindings when it goes out of
// scope. Errors throw MCPStoreError::sqlError with the connection's message.
class Statement {
 public:
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Text is bound by its byte length, so text holding U+0000 is kept whole;
  // SQLite takes its own copy.
  void bindText(int index, std::string_view text);
  void bindOptionalText(int index, const std::optional<std::string>& text);
  void bindInt(int index, int32_t value);
  void bindInt64(int index, int64_t value);
  void bindDouble(int index, double value);

  // True on a row, false at the end. Anything else (busy past the time-out,
  // an I/O error, a corrupt page) throws: it is never taken for the end of
  // the rows.
  bool step();
  // Runs a write to completion; anything but SQLite's done result throws.
  void run();
  // Steps once and reports nothing, for a write whose failure is tolerated.
  void runIgnoringResult();
  // Makes the statement ready to be bound and stepped again.
  void reset();

  // The column's storage class in this row.
  enum class Type { integer, real, text, blob, null };
  Type type(int column) const;
  bool isNull(int column) const;
  // Text by byte length, ill-formed UTF-8 replaced by U+FFFD. A NULL (which
  // only another process can put into our NOT NULL columns) reads as "".
  std::string text(int column) const;
  std::optional<std::string> textOrNull(int column) const;
  // The bytes that text() reads, before ill-formed UTF-8 is replaced; valid
  // until the next step.
  std::string_view textBytes(int column) const;
  // The column's bytes as SQLite holds them, when it would compare equal to
  // text in SQL (text or a number); valid until the next step.
  std::optional<std::string_view> rawText(int column) const;
  int32_t int32(int column) const;
  int64_t int64(int column) const;
  double real(int column) const;

 private:
  friend class SQLiteConnection;
  Statement(SQLiteConnection* connection, sqlite3_stmt* stmt) : connection_(connection), stmt_(stmt) {}
  sqlite3_value* value(int column) const;
  int stepOnce();

  SQLiteConnection* connection_;
  sqlite3_stmt* stmt_;
  bool stepped_ = false;
};

class SQLiteConnection {
 public:
  // Opens (creating when missing) the file read-write in serialized mode.
  // Returns nothing when SQLite cannot open it.
  static std::unique_ptr<SQLiteConnection> open(const std::string& path);
  ~SQLiteConnection();
  SQLiteConnection(const SQLiteConnection&) = delete;
  SQLiteConnection& operator=(const SQLiteConnection&) = delete;

  // Runs one fixed statement, discarding its rows. A failure with a message
  // is logged as "sqlite exec failed: <message>" on standard error; nothing
  // is thrown. True when it succeeded.
  bool execSQL(const char* sql);

  // The statements that make the tables, run again (quietly, with the busy
  // time-out) whenever a statement finds a table missing: when a lock held
  // at start-up made them fail, or another process dropped a table.
  void setTableStatements(std::vector<const char*> creates) { creates_ = std::move(creates); }

  // The kept statement for `sql`, compiled on first use. `sql` must be a
  // string with static storage: its address is the statement's key. Throws
  // MCPStoreError::sqlError when it cannot be compiled, after the tables
  // were made and it was tried once more when it named a missing table.
  Statement statement(const char* sql);

  // Whether SQLite's last error says a table is missing; if so, runs the
  // table statements and returns true.
  bool createMissingTables();

  // The rowid of the row that the last successful INSERT made.
  int64_t lastInsertRowid() const;

  // SQLite's current error message, or "unknown sqlite error".
  std::string message() const;

  sqlite3* handle() const { return db_; }

 private:
  explicit SQLiteConnection(sqlite3* db) : db_(db) {}

  sqlite3* db_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  std::vector<const char*> creates_;
};
