#pragma once

#include "LineFramer.h"
#include "MCPProtocolVersion.h"
#include "MCPToolSet.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

class MCPAgentStore;

// The code, message and data of a JSON-RPC error response.
struct MCPErrorPayload {
  int code;
  std::string message;
  std::string data;  // the compact JSON text of the error's data; empty when it has none
};

// Maps whatever a request threw to its error response: MCPError by its kind,
// then the store's and any other std::exception's description as an internal
// error. This is the only place errors of a request are turned into codes.
MCPErrorPayload errorPayload(std::exception_ptr error);

// How the server settles the protocol revision with its client. `fixed`
// answers every initialize with 2024-11-05, reads none of its params and
// knows no request envelope. `negotiate` answers initialize with the revision
// the client asks for when it is one initialize can settle, and with
// 2025-11-25 otherwise; it also answers server/discover and serves any
// request whose `_meta` envelope claims 2026-07-28 in that revision.
enum class MCPVersionPolicy { fixed, negotiate };

// The Model Context Protocol over JSON-RPC 2.0, one message per line.
//
// run() reads `input` until end of file and handles each line to completion
// before it reads the next; every request (a message with an "id", whatever
// its value) gets exactly one response line on `output`, in order, and
// notifications get none. Diagnostics go to standard error. Nothing a client
// sends ends the server.
//
// Each request is answered in the revision its own `_meta` envelope claims
// (negotiate only), else in the one the last initialize settled; before any
// initialize, as 2024-11-05, unless the client has already spoken 2026-07-28,
// whose requests must each carry the envelope. From 2025-03-26 on, a tool
// that fails answers a result marked isError that carries the error's
// message, so that the model sees it; from 2025-06-18 on, a success also
// carries its result object as structuredContent. A malformed tools/call and
// an unknown tool stay JSON-RPC errors in every revision.
//
// A line is a message when it is one JSON object (RFC 8259) with nothing but
// whitespace around it, whose strings are well-formed UTF-8 with every
// escaped surrogate in a high-low pair, whose numbers fit a double, that
// nests at most 512 arrays and objects inside one another and holds no NUL
// byte. A byte-order mark before it is ignored. Any other line is logged as
// invalid JSON and gets no response.
//
// Descriptors may be blocking or not: on a non-blocking one the server waits
// in poll(2) and never changes its flags.
//
// One line may cost at most a share of the memory the process may use (its
// address-space or data limit, else the machine's memory), fixed when the
// server is built. A longer line is dropped, as it arrives and without being
// held whole, with one diagnostic; a line whose handling runs out of memory
// fails alone. Either way the server reads on.
class MCPServer {
 public:
  explicit MCPServer(std::shared_ptr<MCPAgentStore> store, int input = 0, int output = 1,
                     MCPVersionPolicy policy = MCPVersionPolicy::fixed);

  // Serves until end of input, then logs "stdin closed; exiting" and returns.
  // After requestStop it returns as at end of input once the line in hand is
  // handled and answered, without handling lines still buffered, and logs
  // "<signal> received; exiting" instead. An answer that the client has not
  // taken 3 s after the stop is cut short there.
  void run();

  // The signals that stop a running server (Startup installs the handler).
  static constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

  // Makes what requestStop needs to wake a server that waits for input.
  // Call it once, before the handler that calls requestStop is installed.
  static void prepareStopRequests();

  // Asks run() to stop, naming the signal that asked. Async-signal-safe; the
  // first request wins.
  static void requestStop(int signal) noexcept;

  // The longest line this server takes.
  size_t maxLineBytes() const { return framer_.maxLineBytes(); }

  // Handles one line, without its line feed, as run() does.
  void handle(std::string_view lineData);

 private:
  // Appends the compact JSON text of the method's result to `out`, or
  // throws.
  void dispatch(const std::string& method, const nlohmann::json& params, std::string& out);
  void initialize(const nlohmann::json& params, std::string& out);
  MCPProtocolVersion requestRevision(const nlohmann::json& params);
  void callTool(const nlohmann::json& params, MCPProtocolVersion revision, std::string& out);
  void handleNotification(const std::string& method);
  static std::string errorResponse(const nlohmann::json& id, const MCPErrorPayload& error);
  void outputQueue(std::string response);
  bool waitForInput();

  std::shared_ptr<MCPAgentStore> store_;
  MCPToolSet toolset_;
  int input_;
  int output_;
  LineFramer framer_;
  MCPVersionPolicy policy_;
  // What the last initialize settled, and whether there was one.
  MCPProtocolVersion version_ = MCPProtocolVersion::v2024_11_05;
  bool initialized_ = false;
  // A request has claimed 2026-07-28 in its envelope.
  bool spokeStateless_ = false;
};
