#pragma once

#include <string_view>

// Writes every byte of `bytes` to `fd` with as few write(2) calls as the
// kernel allows, retrying short writes and EINTR. Returns false when the
// descriptor cannot take the bytes (the reader has gone, for instance); the
// caller drops what was not written.
bool writeAll(int fd, std::string_view bytes);

// Writes "kovix-mcp-server: " + text + "\n" to standard error in one write.
void logLine(std::string_view text);
