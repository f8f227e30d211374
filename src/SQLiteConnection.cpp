#include "SQLiteConnection.h"

#include "Diagnostics.h"
#include "MCPStoreError.h"
#include "UTF8.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Called right after the failing call, which began with errno at 0: errno
// then holds the reason of a system call that failed in it.
std::string messageOf(sqlite3* db) {
  const int lastErrno = errno;
  const char* text = db ? sqlite3_errmsg(db) : nullptr;
  std::string message = text ? std::string(text) : std::string("unknown sqlite error");
  // "disk I/O error" alone does not say whether the disk failed, filled up or
  // the process met its file-size limit: the system's reason does.
  // sqlite3_system_errno keeps it for some failures only (a failed write of
  // the log is not one) and keeps it past them; errno is this call's.
  if (db && lastErrno != 0) {
    const int primary = sqlite3_extended_errcode(db) & 0xff;
    if (primary == SQLITE_IOERR || primary == SQLITE_FULL) {
      message.append(" (").append(std::strerror(lastErrno)).append(")");
    }
  }
  return message;
}

std::string_view bytesOf(sqlite3_value* v) {
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(v));
  if (!bytes) return {};
  return std::string_view(bytes, static_cast<size_t>(sqlite3_value_bytes(v)));
}

std::string textOf(sqlite3_value* v) { return utf8::sanitize(bytesOf(v)); }

}  // namespace

// --- Statement -------------------------------------------------------------

Statement::~Statement() { reset(); }

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  stepped_ = false;
}

// A kept statement whose table another process dropped fails on its first
// step, when SQLite compiles it again; the tables are made and the step is
// tried once more, with the same bindings.
int Statement::stepOnce() {
  errno = 0;  // so that a reason found after a failure is this step's (see messageOf)
  int rc = sqlite3_step(stmt_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE && !stepped_ && connection_->createMissingTables()) {
    sqlite3_reset(stmt_);
    rc = sqlite3_step(stmt_);
  }
  stepped_ = true;
  return rc;
}

void Statement::bindText(int index, std::string_view text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Statement::bindOptionalText(int index, const std::optional<std::string>& text) {
  if (text) bindText(index, *text);
  else sqlite3_bind_null(stmt_, index);
}

void Statement::bindInt(int index, int32_t value) { sqlite3_bind_int(stmt_, index, value); }
void Statement::bindInt64(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
void Statement::bindDouble(int index, double value) { sqlite3_bind_double(stmt_, index, value); }

bool Statement::step() {
  const int rc = stepOnce();
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw MCPStoreError::sqlError(connection_->message());
}

void Statement::run() {
  if (stepOnce() != SQLITE_DONE) throw MCPStoreError::sqlError(connection_->message());
}

void Statement::runIgnoringResult() { stepOnce(); }

// Columns are read through their value: one call into the connection
// rather than one per property, which matters in scans. The value is read at
// once, on the one thread that uses the connection.
sqlite3_value* Statement::value(int column) const { return sqlite3_column_value(stmt_, column); }

Statement::Type Statement::type(int column) const {
  switch (sqlite3_value_type(value(column))) {
    case SQLITE_INTEGER: return Type::integer;
    case SQLITE_FLOAT: return Type::real;
    case SQLITE_TEXT: return Type::text;
    case SQLITE_BLOB: return Type::blob;
    default: return Type::null;
  }
}

bool Statement::isNull(int column) const { return sqlite3_value_type(value(column)) == SQLITE_NULL; }

std::string Statement::text(int column) const { return textOf(value(column)); }

std::optional<std::string> Statement::textOrNull(int column) const {
  sqlite3_value* v = value(column);
  if (sqlite3_value_type(v) == SQLITE_NULL) return std::nullopt;
  return textOf(v);
}

std::string_view Statement::textBytes(int column) const { return bytesOf(value(column)); }

std::optional<std::string_view> Statement::rawText(int column) const {
  sqlite3_value* v = value(column);
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL || type == SQLITE_BLOB) return std::nullopt;
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(v));
  if (!bytes) return std::nullopt;
  return std::string_view(bytes, static_cast<size_t>(sqlite3_value_bytes(v)));
}

int32_t Statement::int32(int column) const { return sqlite3_column_int(stmt_, column); }
int64_t Statement::int64(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }

// --- SQLiteConnection ------------------------------------------------------

std::unique_ptr<SQLiteConnection> SQLiteConnection::open(const std::string& path) {
  // SQLite's allocation statistics take a global mutex on every allocation;
  // nothing here reads them. Only possible before SQLite starts: in a
  // process that already uses it, the call fails and changes nothing.
  [[maybe_unused]] static const int noStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  sqlite3* raw = nullptr;
  // One thread uses the connection: no mutex to take on every call into it.
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK || raw == nullptr) {
    sqlite3_close(raw);
    return nullptr;
  }
  return std::unique_ptr<SQLiteConnection>(new SQLiteConnection(raw));
}

SQLiteConnection::~SQLiteConnection() {
  // Every kept statement is finalised here and nowhere else, so the close
  // that follows finds none left open.
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

bool SQLiteConnection::execSQL(const char* sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK && error) logLine(std::string("sqlite exec failed: ") + error);
  sqlite3_free(error);
  return rc == SQLITE_OK;
}

Statement SQLiteConnection::statement(const char* sql) {
  if (const auto kept = statements_.find(sql); kept != statements_.end()) return Statement(this, kept->second);
  sqlite3_stmt* raw = nullptr;
  errno = 0;
  int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  if (rc != SQLITE_OK && createMissingTables()) {
    sqlite3_finalize(std::exchange(raw, nullptr));
    rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  }
  if (rc != SQLITE_OK) {
    sqlite3_finalize(raw);
    throw MCPStoreError::sqlError(messageOf(db_));
  }
  statements_.emplace(sql, raw);
  return Statement(this, raw);
}

bool SQLiteConnection::createMissingTables() {
  const char* error = sqlite3_errmsg(db_);
  if (creates_.empty() || !error || std::string_view(error).substr(0, 15) != "no such table: ") return false;
  // The statement's own failure is what the caller reports when these fail
  // too; they are not logged, as the ones at start-up are.
  for (const char* create : creates_) sqlite3_exec(db_, create, nullptr, nullptr, nullptr);
  return true;
}

int64_t SQLiteConnection::lastInsertRowid() const { return sqlite3_last_insert_rowid(db_); }

std::string SQLiteConnection::message() const { return messageOf(db_); }
