#pragma once

#include <span>

class SQLiteConnection;

// Start-up's look at tables that another program made before us. For each
// table that the CREATE TABLE IF NOT EXISTS statements `creates` make and
// that `db` already holds without some of their columns, writes one line to
// standard error naming the table and the missing columns, in the
// statements' order: every call that reads or writes them would fail later
// with SQLite's "no such column", one column at a time. Says nothing when
// every such table has those columns (extra ones are fine), and nothing when
// the tables cannot be read (a lock, a file that is not a database): the
// calls report that themselves. Changes nothing in the database.
void reportMissingColumns(SQLiteConnection& db, std::span<const char* const> creates);
