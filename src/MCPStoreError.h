#pragma once

#include <stdexcept>
#include <string>

// The store's error. what() is the description the client receives:
//   openFailed(path) -> "Failed to open SQLite at <path>"
//   sqlError(msg)    -> "SQLite error: <msg>"
//   notFound(text)   -> "Not found: <text>"
class MCPStoreError : public std::runtime_error {
 public:
  enum class Kind { openFailed, sqlError, notFound };

  static MCPStoreError openFailed(std::string path);
  static MCPStoreError sqlError(std::string message);
  static MCPStoreError notFound(std::string text);

  Kind kind() const { return kind_; }

  // The programmer's form, as start-up prints it: the case name and the
  // carried string quoted with \" \\ \n \r \t \0 and \u{XX} escapes, such as
  // openFailed("/no/such/dir/db.sqlite").
  std::string debugForm() const;

 private:
  MCPStoreError(Kind kind, std::string detail, const std::string& description)
      : std::runtime_error(description), kind_(kind), detail_(std::move(detail)) {}

  Kind kind_;
  std::string detail_;
};
