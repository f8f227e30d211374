#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

// The store's one SQLite connection and the statements it runs. Private to the
// store: nothing above the store sees SQL.
//
// Statements are compiled once per connection and kept for its life; each use
// binds afresh and is reset when it ends, on every path, so no statement is
// left mid-step holding a read snapshot open. A statement that fails to
// compile is not kept, so a later use tries again.

class SQLiteConnection;

// One use of a statement: bind by position (from 1), step, read columns
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
  // an I/O error, a corrupt page, a table another process dropped) throws:
  // it is never taken for the end of the rows.
  bool step();
  // Runs a write to completion; anything but SQLite's done result throws.
  void run();
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
  struct Finalize {
    void operator()(sqlite3_stmt* stmt) const;
  };
  using Owned = std::unique_ptr<sqlite3_stmt, Finalize>;

  // A use of a kept statement, which is marked busy until this use ends.
  Statement(SQLiteConnection* connection, sqlite3_stmt* kept, bool* inUse)
      : connection_(connection), stmt_(kept), inUse_(inUse) {
    *inUse_ = true;
  }
  // A statement of its own, finalised when this use ends.
  Statement(SQLiteConnection* connection, Owned owned)
      : connection_(connection), stmt_(owned.get()), owned_(std::move(owned)) {}
  sqlite3_value* value(int column) const;

  SQLiteConnection* connection_;
  sqlite3_stmt* stmt_;
  bool* inUse_ = nullptr;
  Owned owned_;
};

class SQLiteConnection {
 public:
  // Opens (creating when missing) the file read-write in serialized mode.
  // Returns nothing when SQLite cannot open it.
  static std::unique_ptr<SQLiteConnection> open(const std::string& path);
  SQLiteConnection(const SQLiteConnection&) = delete;
  SQLiteConnection& operator=(const SQLiteConnection&) = delete;

  // Runs one fixed statement, discarding its rows. A failure with a message
  // is logged as "sqlite exec failed: <message>" on standard error; nothing
  // is thrown. True when it succeeded.
  bool execSQL(const char* sql);
  // The same without the log line; the failure's message is message().
  bool execQuietly(const char* sql);

  // How long a statement waits for another process's lock before it fails.
  void setBusyTimeout(int milliseconds);

  // While the returned guard lives, statements do not wait for another
  // process's lock: one that meets it fails at once. For the store's own
  // checks, which must never add a wait to what an operation costs.
  class WithoutWaiting {
   public:
    explicit WithoutWaiting(SQLiteConnection& connection);
    ~WithoutWaiting();
    WithoutWaiting(const WithoutWaiting&) = delete;
    WithoutWaiting& operator=(const WithoutWaiting&) = delete;

   private:
    SQLiteConnection& connection_;
  };

  // A statement for `sql`, whose address keys the compiled statement kept
  // for it (so `sql` must have static storage). While one use of it is
  // live, another use gets a statement of its own, so that two uses never
  // share one cursor. Throws MCPStoreError::sqlError when it cannot be
  // compiled.
  Statement statement(const char* sql);

  // The rowid of the row that the last successful INSERT made.
  int64_t lastInsertRowid() const;
  // Rows that the last INSERT, UPDATE or DELETE changed itself, and rows
  // changed by all of them since the connection opened, including those
  // that triggers changed.
  int64_t changes() const;
  int64_t totalChanges() const;

  // SQLite's current error message, or "unknown sqlite error".
  std::string message() const;

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  struct Kept {
    Statement::Owned stmt;
    bool inUse = false;
  };

  explicit SQLiteConnection(sqlite3* db) : db_(db) {}
  Statement::Owned compile(const char* sql);

  // Declared first so that it is closed last, after every kept statement
  // is finalised.
  std::unique_ptr<sqlite3, Close> db_;
  // Kept statements by the address of their SQL; a node's address never
  // changes, so a live Statement may point at its flag.
  std::unordered_map<const char*, Kept> statements_;
  int busyTimeoutMs_ = 0;
};
