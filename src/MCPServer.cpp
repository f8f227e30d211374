#include "MCPServer.h"

#include "Diagnostics.h"
#include "JSONText.h"
#include "MCPAgentStore.h"
#include "MCPError.h"
#include "Version.h"

#include <cerrno>
#include <unistd.h>

using nlohmann::json;

namespace {

// Deeper input is refused as invalid before it is parsed, so that no line can
// exhaust the stack while it is read, echoed or freed.
constexpr int kMaxNesting = 512;
constexpr size_t kReadChunk = 64 * 1024;

std::string compactText(const json& value) {
  std::string text;
  if (!jsontext::write(value, text)) throw MCPError::internalError("result cannot be written as JSON");
  return text;
}

// Results that never change are written once.
const std::string& initializeResult() {
  static const std::string text = compactText(json{
      {"protocolVersion", "2024-11-05"},
      {"capabilities", {{"tools", {{"listChanged", false}}}}},
      {"serverInfo", {{"name", "kovix-mcp-server"}, {"version", KOVIX_VERSION}}},
  });
  return text;
}

const std::string& toolsListResult() {
  static const std::string text = compactText(json{{"tools", MCPToolSet::toolDescriptors()}});
  return text;
}

// The id as it goes into a response. A value that cannot be written as JSON
// (nothing the parser produces) is sent as its text instead.
std::string idText(const json& id) {
  std::string text;
  if (jsontext::write(id, text)) return text;
  text.clear();
  jsontext::writeString(jsontext::sanitizeUTF8(id.dump(-1, ' ', false, json::error_handler_t::replace)), text);
  return text;
}

}  // namespace

MCPErrorPayload errorPayload(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const MCPError& e) {
    switch (e.kind) {
      case MCPError::Kind::invalidParams: return {-32602, e.message};
      case MCPError::Kind::unknownTool: return {-32601, "Unknown tool: " + e.message};
      case MCPError::Kind::internalError: return {-32603, e.message};
    }
    return {-32603, e.message};
  } catch (const std::exception& e) {
    return {-32603, e.what()};
  } catch (...) {
    return {-32603, "internal error"};
  }
}

MCPServer::MCPServer(std::shared_ptr<MCPAgentStore> store, int input, int output)
    : store_(std::move(store)), toolset_(store_), input_(input), output_(output) {}

void MCPServer::run() {
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    const ssize_t n = ::read(input_, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input; a read error ends it the same way
    framer_.append(std::string_view(chunk.data(), static_cast<size_t>(n)));
    std::string_view line;
    while (framer_.nextLine(line)) {
      if (!line.empty()) handle(line);
    }
    framer_.compact();
  }
  logLine("stdin closed; exiting");
}

void MCPServer::handle(std::string_view lineData) {
  json message;
  if (!jsontext::nestsDeeperThan(lineData, kMaxNesting)) message = json::parse(lineData, nullptr, false);
  if (!message.is_object()) {
    logLine("invalid JSON: " + (jsontext::isValidUTF8(lineData) ? std::string(lineData) : std::string("<bin>")));
    return;
  }
  const auto id = message.find("id");
  const auto method = message.find("method");
  const std::string methodName = method != message.end() && method->is_string() ? method->get<std::string>() : "";
  if (id == message.end()) {
    handleNotification(methodName);
    return;
  }
  const auto params = message.find("params");
  static const json noParams = json::object();
  const json& paramsObject = params != message.end() && params->is_object() ? *params : noParams;

  // Compute the outcome first and send it once, so that nothing can answer
  // a request twice.
  std::string result;
  std::exception_ptr failure;
  try {
    result = dispatch(methodName, paramsObject);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) send(*id, errorPayload(failure));
  else send(*id, result);
}

std::string MCPServer::dispatch(const std::string& method, const json& params) {
  if (method == "initialize") return initializeResult();
  if (method == "ping") return "{}";
  if (method == "tools/list") return toolsListResult();
  if (method == "tools/call") return callTool(params);
  if (method == "resources/list") return R"({"resources":[]})";
  if (method == "prompts/list") return R"({"prompts":[]})";
  throw MCPError::invalidParams("Unsupported method: " + method);
}

std::string MCPServer::callTool(const json& params) {
  const auto name = params.find("name");
  if (name == params.end() || !name->is_string()) throw MCPError::invalidParams("tools/call requires 'name'");
  const auto arguments = params.find("arguments");
  static const json noArguments = json::object();
  const json value = toolset_.invoke(name->get<std::string>(),
                                     arguments != params.end() && arguments->is_object() ? *arguments : noArguments);
  // The result's JSON text goes straight into the envelope as an escaped
  // string. The writer refuses what JSON cannot carry, so only a string
  // result needs its UTF-8 checked here.
  std::string envelope = R"({"content":[{"text":)";
  const size_t textStart = envelope.size();
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (jsontext::isValidUTF8(text)) jsontext::writeString(text, envelope);
    else jsontext::writeString("{}", envelope);
  } else if (!jsontext::writeAsString(value, envelope)) {
    envelope.resize(textStart);
    jsontext::writeString("{}", envelope);
  }
  envelope.append(R"(,"type":"text"}]})");
  return envelope;
}

void MCPServer::handleNotification(const std::string& method) {
  if (method == "notifications/initialized") {
    logLine("client initialized");
  } else if (method != "notifications/cancelled") {
    logLine("ignoring notification " + method);
  }
}

void MCPServer::send(const json& id, std::string_view resultText) {
  std::string response = R"({"id":)";
  // One allocation for the whole line, its closing brace and line feed.
  response.reserve(resultText.size() + 64);
  response.append(idText(id)).append(R"(,"jsonrpc":"2.0","result":)").append(resultText).push_back('}');
  outputQueue(std::move(response));
}

void MCPServer::send(const json& id, const MCPErrorPayload& error) {
  std::string response = R"({"error":{"code":)";
  response.append(std::to_string(error.code)).append(R"(,"message":)");
  jsontext::writeString(jsontext::sanitizeUTF8(error.message), response);
  response.append(R"(},"id":)").append(idText(id)).append(R"(,"jsonrpc":"2.0"})");
  outputQueue(std::move(response));
}

// The one writer of standard output: each response and its line feed go out
// in a single write(2), so responses never interleave and none is buffered.
// A client that has closed its end loses the response; the server goes on
// reading until its input ends.
void MCPServer::outputQueue(std::string response) {
  response.push_back('\n');
  writeAll(output_, response);
}
