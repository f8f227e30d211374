#pragma once

#include <string>

// A fault the client caused or must hear about, thrown by the server and the
// tools. It carries one string; the server turns it into a JSON-RPC error in
// one place (see MCPServer), which is also the only place its kind matters.
struct MCPError {
  enum class Kind { invalidParams, unknownTool, internalError };

  Kind kind;
  std::string message;  // for unknownTool: the tool name as the client sent it

  static MCPError invalidParams(std::string message) { return {Kind::invalidParams, std::move(message)}; }
  static MCPError unknownTool(std::string name) { return {Kind::unknownTool, std::move(name)}; }
  static MCPError internalError(std::string message) { return {Kind::internalError, std::move(message)}; }
};
