#pragma once

#include <string>

// A fault the client caused or must hear about, thrown by the server and the
// tools. It carries one string; the server turns it into a JSON-RPC error in
// one place (see MCPServer), which is also the only place its kind matters.
struct MCPError {
  enum class Kind { invalidParams, unknownTool, internalError, methodNotFound, unsupportedProtocolVersion };

  Kind kind;
  // for unknownTool: the tool name as the client sent it; for methodNotFound:
  // the method; for unsupportedProtocolVersion: the revision the request claimed
  std::string message;

  static MCPError invalidParams(std::string message) { return {Kind::invalidParams, std::move(message)}; }
  static MCPError unknownTool(std::string name) { return {Kind::unknownTool, std::move(name)}; }
  static MCPError internalError(std::string message) { return {Kind::internalError, std::move(message)}; }
  static MCPError methodNotFound(std::string method) { return {Kind::methodNotFound, std::move(method)}; }
  static MCPError unsupportedProtocolVersion(std::string requested) {
    return {Kind::unsupportedProtocolVersion, std::move(requested)};
  }
};
