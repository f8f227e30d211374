#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Splits a byte stream into lines at line feeds, and at nothing else: a
// carriage return before the line feed stays in the line. Bytes are appended
// as they arrive and complete lines taken out one at a time.
//
// The search for a line feed resumes where the last one stopped, so a line
// that arrives in many small pieces is scanned once; and the memory that a
// very long line took is given back once it has been taken out.
class LineFramer {
 public:
  void append(std::string_view bytes);

  // Sets `line` to the next complete line, without its line feed, and
  // returns true; returns false when no complete line is buffered. Empty
  // lines are returned like any other. `line` stays valid until the next
  // call of append or nextLine.
  bool nextLine(std::string_view& line);

  // Drops the lines already taken out, and gives back the memory that a
  // very long line took. Call it once the complete lines are handled.
  void compact();

  // Bytes received after the last line feed.
  size_t pendingBytes() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;    // first byte not yet taken out as a line
  size_t scanned_ = 0;  // bytes from start_ on that hold no line feed
};
