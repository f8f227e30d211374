#pragma once

#include <string_view>

// How a writer waits until `fd` can take more bytes: true to write on,
// false to give up.
using WaitForRoom = bool (*)(int fd);

// Writes every byte of `bytes` to `fd` with as few write(2) calls as the
// kernel allows, retrying short writes and EINTR, and waiting in poll(2)
// when the descriptor is non-blocking and full. Returns false when the
// descriptor cannot take the bytes (the reader has gone, for instance); the
// caller drops what was not written. The descriptor's flags are left as
// they are.
//
// With `waitForRoom`, each write is first tried without blocking
// (pwritev2 with RWF_NOWAIT, where the kernel and descriptor take it); when
// the descriptor cannot take bytes at once, or cannot be written that way,
// `waitForRoom` is called before the write instead, and its false ends the
// writing (false is returned). A write to a blocking pipe then begins only
// when the pipe has room, so it writes something before it can block, and a
// signal ends its blocking (it returns what it wrote) rather than restarting
// it.
bool writeAll(int fd, std::string_view bytes, WaitForRoom waitForRoom = nullptr);

// Writes "kovix-mcp-server: " + text + clientText + "\n" to standard error
// in one write. `clientText` is what a client sent (a method name, a line):
// a line feed in it is written as the two characters "\n", so that it cannot
// end the diagnostic early and forge another. Nothing is copied unless
// `clientText` holds a line feed.
void logLine(std::string_view text, std::string_view clientText = {});
