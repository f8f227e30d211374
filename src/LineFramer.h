#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

// Splits a byte stream into lines at line feeds, and at nothing else: a
// carriage return before the line feed stays in the line. Bytes are appended
// as they arrive and complete lines taken out one at a time.
//
// The search for a line feed resumes where the last one stopped, so a line
// that arrives in many small pieces is scanned once; and the memory that a
// very long line took is given back once it has been taken out.
//
// A line longer than `maxLineBytes` is never held whole: once that many
// bytes of it are buffered they are dropped, and the rest of the line is
// dropped as it arrives, up to and including its line feed. Such a line is
// reported once, as `tooLong`, when it is found to be too long.
class LineFramer {
 public:
  enum class Next { none, line, tooLong };

  explicit LineFramer(size_t maxLineBytes = std::numeric_limits<size_t>::max()) : maxLineBytes_(maxLineBytes) {}

  void append(std::string_view bytes);

  // Returns `line` and sets `line` to the next complete line, without its
  // line feed; returns `tooLong` for a line over the limit (nothing is set);
  // returns `none` when no complete line is buffered. Empty lines are
  // returned like any other. `line` stays valid until the next call of
  // append or nextLine.
  Next nextLine(std::string_view& line);

  // Gives up the line being received (for instance when there was no memory
  // to buffer more of it): what is buffered of it is dropped, and so is the
  // rest of it as it arrives.
  void dropPartialLine();

  // Drops the lines already taken out, and gives back the memory that a
  // very long line took. Call it once the complete lines are handled.
  void compact();

  // Bytes received after the last line feed and kept.
  size_t pendingBytes() const { return buffer_.size() - start_; }
  size_t maxLineBytes() const { return maxLineBytes_; }

 private:
  std::string buffer_;
  size_t start_ = 0;    // first byte not yet taken out as a line
  size_t scanned_ = 0;  // bytes from start_ on that hold no line feed
  size_t maxLineBytes_;
  bool discarding_ = false;  // inside a line that was too long, before its line feed
};
