#pragma once

#include <string_view>

// Writes every byte of `bytes` to `fd` with as few write(2) calls as the
// kernel allows, retrying short writes and EINTR, and waiting in poll(2)
// when the descriptor is non-blocking and full. Returns false when the
// descriptor cannot take the bytes (the reader has gone, for instance); the
// caller drops what was not written. The descriptor's flags are left as
// they are.
bool writeAll(int fd, std::string_view bytes);

// Writes "kovix-mcp-server: " + text + clientText + "\n" to standard error
// in one write. `clientText` is what a client sent (a method name, a line):
// a line feed in it is written as the two characters "\n", so that it cannot
// end the diagnostic early and forge another. Nothing is copied unless
// `clientText` holds a line feed.
void logLine(std::string_view text, std::string_view clientText = {});
