#pragma once

#include "LineFramer.h"
#include "MCPToolSet.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <memory>
#include <string>
#include <string_view>

class MCPAgentStore;

// The code and message of a JSON-RPC error response.
struct MCPErrorPayload {
  int code;
  std::string message;
};

// Maps whatever a request threw to its error response: MCPError by its kind,
// then the store's and any other std::exception's description as an internal
// error. This is the only place errors of a request are turned into codes.
MCPErrorPayload errorPayload(std::exception_ptr error);

// The Model Context Protocol over JSON-RPC 2.0, one message per line.
//
// run() reads `input` until end of file and handles each line to completion
// before it reads the next; every request (a message with an "id", whatever
// its value) gets exactly one response line on `output`, in order, and
// notifications get none. Diagnostics go to standard error. Nothing a client
// sends ends the server.
class MCPServer {
 public:
  explicit MCPServer(std::shared_ptr<MCPAgentStore> store, int input = 0, int output = 1);

  // Serves until end of input, then logs "stdin closed; exiting" and returns.
  void run();

  // Handles one line, without its line feed, as run() does.
  void handle(std::string_view lineData);

 private:
  // Returns the compact JSON text of the method's result, or throws.
  std::string dispatch(const std::string& method, const nlohmann::json& params);
  std::string callTool(const nlohmann::json& params);
  void handleNotification(const std::string& method);
  void send(const nlohmann::json& id, std::string_view resultText);
  void send(const nlohmann::json& id, const MCPErrorPayload& error);
  void outputQueue(std::string response);

  std::shared_ptr<MCPAgentStore> store_;
  MCPToolSet toolset_;
  int input_;
  int output_;
  LineFramer framer_;
};
