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

void Statement::Finalize::operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }

Statement::~Statement() {
  reset();
  if (inUse_) *inUse_ = false;
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
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
  errno = 0;  // so that a reason found after a failure is this step's (see messageOf)
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw MCPStoreError::sqlError(connection_->message());
}

void Statement::run() {
  errno = 0;
  if (sqlite3_step(stmt_) != SQLITE_DONE) throw MCPStoreError::sqlError(connection_->message());
}

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

void SQLiteConnection::Close::operator()(sqlite3* db) const { sqlite3_close(db); }

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

bool SQLiteConnection::execSQL(const char* sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK && error) logLine(std::string("sqlite exec failed: ") + error);
  sqlite3_free(error);
  return rc == SQLITE_OK;
}

bool SQLiteConnection::execQuietly(const char* sql) {
  return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void SQLiteConnection::setBusyTimeout(int milliseconds) {
  busyTimeoutMs_ = milliseconds;
  sqlite3_busy_timeout(db_.get(), milliseconds);
}

SQLiteConnection::WithoutWaiting::WithoutWaiting(SQLiteConnection& connection) : connection_(connection) {
  sqlite3_busy_timeout(connection_.db_.get(), 0);
}

SQLiteConnection::WithoutWaiting::~WithoutWaiting() {
  sqlite3_busy_timeout(connection_.db_.get(), connection_.busyTimeoutMs_);
}

Statement::Owned SQLiteConnection::compile(const char* sql) {
  sqlite3_stmt* raw = nullptr;
  errno = 0;
  const int rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  Statement::Owned compiled(raw);
  if (rc != SQLITE_OK) throw MCPStoreError::sqlError(message());
  return compiled;
}

Statement SQLiteConnection::statement(const char* sql) {
  const auto kept = statements_.find(sql);
  if (kept == statements_.end()) {
    Kept& made = statements_.emplace(sql, Kept{compile(sql)}).first->second;
    return Statement(this, made.stmt.get(), &made.inUse);
  }
  if (kept->second.inUse) return Statement(this, compile(sql));
  return Statement(this, kept->second.stmt.get(), &kept->second.inUse);
}

int64_t SQLiteConnection::lastInsertRowid() const { return sqlite3_last_insert_rowid(db_.get()); }
int64_t SQLiteConnection::changes() const { return sqlite3_changes64(db_.get()); }
int64_t SQLiteConnection::totalChanges() const { return sqlite3_total_changes64(db_.get()); }

std::string SQLiteConnection::message() const { return messageOf(db_.get()); }
