#include "MCPServer.h"

#include "Diagnostics.h"
#include "JSONText.h"
#include "MCPAgentStore.h"
#include "MCPError.h"
#include "UTF8.h"
#include "Version.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

using nlohmann::json;

namespace {

// Deeper input is refused as invalid as it is read. Reading, echoing and
// freeing a message take no stack per level of nesting, so the limit holds
// on any stack.
constexpr int kMaxNesting = 512;
constexpr size_t kReadChunk = 64 * 1024;

// What one line may cost, as a share of the memory the process may use. A
// parsed line takes up to about thirty times its length (an array of empty
// objects is the worst case), its handling a few times more; the line itself
// is held once in the buffer.
constexpr size_t kLineCostFactor = 64;

// The first stop signal received; 0 while none.
volatile std::sig_atomic_t gStopSignal = 0;
// A byte goes into this pipe with every stop request, so that a wait for
// input that began just after the flag was looked at still wakes at once.
int gStopPipe[2] = {-1, -1};
// How long a response may still take to drain once a stop is asked for.
constexpr auto kStopGrace = std::chrono::seconds(3);

size_t pageSize() {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<size_t>(size) : 4096;
}

// Pages of address space and of data the process uses now.
void currentUse(size_t& addressSpace, size_t& data) {
  addressSpace = data = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    unsigned long size = 0, resident = 0, shared = 0, text = 0, lib = 0, dataPages = 0;
    if (std::fscanf(statm, "%lu %lu %lu %lu %lu %lu", &size, &resident, &shared, &text, &lib, &dataPages) == 6) {
      addressSpace = size * pageSize();
      data = dataPages * pageSize();
    }
    std::fclose(statm);
  }
}

// The longest line worth taking: a share of what the process may still
// allocate under its address-space and data limits, or of the machine's
// memory when neither is set.
size_t lineByteBound() {
  size_t addressSpace, data;
  currentUse(addressSpace, data);
  size_t room = SIZE_MAX;
  for (const auto& [resource, used] : {std::pair{RLIMIT_AS, addressSpace}, std::pair{RLIMIT_DATA, data}}) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) continue;
    const size_t cap = static_cast<size_t>(limit.rlim_cur);
    room = std::min(room, cap > used ? cap - used : 0);
  }
  if (room == SIZE_MAX) {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    room = pages > 0 ? static_cast<size_t>(pages) * pageSize() : size_t{1} << 32;
  }
  return std::max<size_t>(room / kLineCostFactor, kReadChunk);
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
  }
  return "a signal";
}


std::string compactText(const json& value) {
  std::string text;
  if (!jsontext::write(value, text)) throw MCPError::internalError("result cannot be written as JSON");
  return text;
}

// What a client should know before it uses the tools, sent with initialize
// from 2025-03-26 on.
constexpr const char* kInstructions =
    "Kovix runs this user's scheduled work. Agents are named roles; tasks belong to an agent and run a Markdown "
    "prompt with an AI tool on a cron schedule; runs are executions of a task, and run_now queues one. Call "
    "list_agents before proposing agent names so you don't duplicate one. Pass agent and task ids exactly as "
    "returned. Give frequency as a cron expression. Call register_dependency only after all the tasks it names "
    "exist.";

// The `_meta` members that carry a request's revision, and the client, in
// 2026-07-28.
constexpr const char* kProtocolVersionKey = "io.modelcontextprotocol/protocolVersion";
constexpr const char* kClientCapabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
constexpr const char* kClientInfoKey = "io.modelcontextprotocol/clientInfo";
constexpr const char* kServerInfoKey = "io.modelcontextprotocol/serverInfo";

// How long a client may keep a list or the discovery result before asking
// again. Both are fixed for the life of this binary; an hour bounds how long
// a cache the client keeps on disk outlives an upgrade.
constexpr int kCacheTtlMs = 60 * 60 * 1000;

// A result as 2026-07-28 sends it: marked complete, and a list or the
// discovery result with how long, and for whom, it may be cached. The
// catalogue is the same for every user, but the discovery result carries
// the instructions, and nothing here is worth a shared cache's risk.
json stateless(json result, bool cacheable) {
  result["resultType"] = "complete";
  if (cacheable) {
    result["ttlMs"] = kCacheTtlMs;
    result["cacheScope"] = "private";
  }
  return result;
}

// A result that never changes, written once for each protocol revision.
using PerVersion = std::array<std::string, kMCPProtocolVersions.size()>;

template <typename Build>
PerVersion writePerVersion(Build build) {
  PerVersion texts;
  for (const auto v : kMCPProtocolVersions) texts[static_cast<size_t>(v)] = compactText(build(v));
  return texts;
}

const std::string& initializeResult(MCPProtocolVersion version) {
  static const PerVersion texts = writePerVersion([](MCPProtocolVersion v) {
    json result{
        {"protocolVersion", protocolVersionName(v)},
        {"capabilities", {{"tools", {{"listChanged", false}}}}},
        {"serverInfo", {{"name", "kovix-mcp-server"}, {"version", KOVIX_VERSION}}},
    };
    if (v >= MCPProtocolVersion::v2025_03_26) result["instructions"] = kInstructions;
    return result;
  });
  return texts[static_cast<size_t>(version)];
}

// The same for the result of a list method, which 2026-07-28 lets the
// client cache.
template <typename Build>
PerVersion writeListPerVersion(Build build) {
  return writePerVersion([&](MCPProtocolVersion v) {
    json result = build(v);
    return v >= MCPProtocolVersion::v2026_07_28 ? stateless(std::move(result), true) : result;
  });
}

const std::string& toolsListResult(MCPProtocolVersion version) {
  static const PerVersion texts =
      writeListPerVersion([](MCPProtocolVersion v) { return json{{"tools", MCPToolSet::toolDescriptors(v)}}; });
  return texts[static_cast<size_t>(version)];
}

const std::string& resourcesListResult(MCPProtocolVersion version) {
  static const PerVersion texts =
      writeListPerVersion([](MCPProtocolVersion) { return json{{"resources", json::array()}}; });
  return texts[static_cast<size_t>(version)];
}

const std::string& promptsListResult(MCPProtocolVersion version) {
  static const PerVersion texts =
      writeListPerVersion([](MCPProtocolVersion) { return json{{"prompts", json::array()}}; });
  return texts[static_cast<size_t>(version)];
}

// What a client learns before its first request of 2026-07-28, in place of
// initialize.
const std::string& discoverResult() {
  static const std::string text = compactText(stateless(
      json{
          {"supportedVersions", {protocolVersionName(MCPProtocolVersion::v2026_07_28)}},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"instructions", kInstructions},
          {"_meta", {{kServerInfoKey, {{"name", "kovix-mcp-server"}, {"version", KOVIX_VERSION}}}}},
      },
      true));
  return text;
}

// The tool-result envelope around a result's text, which travels in it as
// one JSON string. `writeText` appends that string; the envelope is the same
// whichever way the text gets there. From 2025-06-18 on a success also
// carries the result object itself (`structured`, its JSON text); a
// failure's text is a message, not a result object.
template <class WriteText>
void writeToolEnvelope(WriteText writeText, bool isError, MCPProtocolVersion revision, std::string_view structured,
                       std::string& out) {
  out.append(R"({"content":[{"text":)");
  writeText(out);
  out.append(R"(,"type":"text"}])");
  if (isError) out.append(R"(,"isError":true)");
  if (revision >= MCPProtocolVersion::v2026_07_28) out.append(R"(,"resultType":"complete")");
  if (!structured.empty()) out.append(R"(,"structuredContent":)").append(structured);
  out.push_back('}');
}

// The envelope around a text already in hand: a failure's message, or a
// result's JSON text that also goes out as the structured result.
void writeToolEnvelope(std::string_view text, bool isError, MCPProtocolVersion revision, std::string& out) {
  const bool structured = !isError && revision >= MCPProtocolVersion::v2025_06_18;
  writeToolEnvelope([&](std::string& to) { jsontext::writeString(text, to); }, isError, revision,
                    structured ? text : std::string_view(), out);
}

// The id as it goes into a response. A value that cannot be written as JSON
// (nothing the parser produces) is sent as its text instead.
std::string idText(const json& id) {
  std::string text;
  if (jsontext::write(id, text)) return text;
  text.clear();
  jsontext::writeString(utf8::sanitize(id.dump(-1, ' ', false, json::error_handler_t::replace)), text);
  return text;
}

}  // namespace

MCPErrorPayload errorPayload(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const MCPError& e) {
    switch (e.kind) {
      case MCPError::Kind::invalidParams: return {-32602, e.message, {}};
      case MCPError::Kind::unknownTool: return {-32601, "Unknown tool: " + e.message, {}};
      case MCPError::Kind::internalError: return {-32603, e.message, {}};
      case MCPError::Kind::methodNotFound: return {-32601, "Method not found: " + e.message, {}};
      case MCPError::Kind::unsupportedProtocolVersion: {
        std::string data = R"({"requested":)";
        jsontext::writeString(utf8::sanitize(e.message), data);
        data.append(R"(,"supported":[")")
            .append(protocolVersionName(MCPProtocolVersion::v2026_07_28))
            .append(R"("]})");
        return {-32022, "Unsupported protocol version: " + e.message, std::move(data)};
      }
    }
    return {-32603, e.message, {}};
  } catch (const std::bad_alloc&) {
    return {-32603, "out of memory while handling the request", {}};
  } catch (const std::exception& e) {
    return {-32603, e.what(), {}};
  } catch (...) {
    return {-32603, "internal error", {}};
  }
}

MCPServer::MCPServer(std::shared_ptr<MCPAgentStore> store, int input, int output, MCPVersionPolicy policy)
    : store_(std::move(store)),
      toolset_(store_),
      input_(input),
      output_(output),
      framer_(lineByteBound()),
      policy_(policy) {}

void MCPServer::prepareStopRequests() {
  if (gStopPipe[0] >= 0) return;
  // pipe2 would do this in one call, but not every system has it.
  if (::pipe(gStopPipe) != 0) {
    gStopPipe[0] = gStopPipe[1] = -1;
    return;
  }
  for (const int fd : gStopPipe) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

void MCPServer::requestStop(int signal) noexcept {
  const int savedErrno = errno;
  if (gStopSignal == 0) gStopSignal = signal;
  if (gStopPipe[1] >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(gStopPipe[1], "", 1);
  }
  errno = savedErrno;
}

// Waits until the input can be read. Returns false when a stop was asked
// for, before or while we waited.
bool MCPServer::waitForInput() {
  pollfd fds[2] = {{input_, POLLIN, 0}, {gStopPipe[0], POLLIN, 0}};
  for (;;) {
    if (gStopSignal != 0) return false;
    if (::poll(fds, 2, -1) < 0 && errno == EINTR) continue;
    if (gStopSignal != 0) return false;
    return true;  // readable, at its end, or in error: read() tells which
  }
}

void MCPServer::run() {
  std::string chunk(kReadChunk, '\0');
  bool stopping = false;
  while (!stopping && waitForInput()) {
    const ssize_t n = ::read(input_, chunk.data(), chunk.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;  // end of input; a read error ends it the same way
    const std::string_view bytes(chunk.data(), static_cast<size_t>(n));
    try {
      framer_.append(bytes);
    } catch (const std::bad_alloc&) {
      const size_t held = framer_.pendingBytes();
      framer_.dropPartialLine();
      logLine("out of memory for a line of more than " + std::to_string(held) + " bytes; it is discarded");
      framer_.append(bytes);
    }
    std::string_view line;
    for (LineFramer::Next next; !stopping && (next = framer_.nextLine(line)) != LineFramer::Next::none;) {
      if (next == LineFramer::Next::tooLong) {
        logLine("line longer than " + std::to_string(framer_.maxLineBytes()) +
                " bytes discarded (too large for the memory the server may use)");
      } else if (gStopSignal != 0) {
        stopping = true;  // the lines behind the one in hand are not handled
      } else if (!line.empty()) {
        try {
          handle(line);
        } catch (const std::bad_alloc&) {
          logLine("out of memory while handling a line; it is dropped");
        }
      }
    }
    framer_.compact();
  }
  if (gStopSignal != 0) logLine(std::string(signalName(gStopSignal)) + " received; exiting");
  else logLine("stdin closed; exiting");
}

void MCPServer::handle(std::string_view lineData) {
  json message;
  try {
    if (auto parsed = jsontext::read(lineData, kMaxNesting)) message = std::move(*parsed);
  } catch (const std::bad_alloc&) {
    message = json();  // a line we have no memory to read is not a message we can answer
  }
  if (!message.is_object()) {
    logLine("invalid JSON: ", utf8::isValid(lineData) ? lineData : std::string_view("<bin>"));
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

  // Compute the response first and send it once, so that nothing can
  // answer a request twice. A result too large to build is that request's
  // failure; nothing has been written then.
  std::string response = R"({"id":)";
  std::exception_ptr failure;
  try {
    response.append(idText(*id)).append(R"(,"jsonrpc":"2.0","result":)");
    dispatch(methodName, paramsObject, response);
    response.push_back('}');
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    response = std::string();
    response = errorResponse(*id, errorPayload(failure));
  }
  outputQueue(std::move(response));
}

void MCPServer::dispatch(const std::string& method, const json& params, std::string& out) {
  // The handshake and the discovery of revisions are what a client uses to
  // find its revision, so neither depends on the one it claims.
  if (method == "initialize") return initialize(params, out);
  if (policy_ == MCPVersionPolicy::negotiate && method == "server/discover") return void(out.append(discoverResult()));
  const MCPProtocolVersion revision = requestRevision(params);
  const bool stateless = revision >= MCPProtocolVersion::v2026_07_28;
  if (method == "ping" && !stateless) return void(out.append("{}"));
  if (method == "tools/list") return void(out.append(toolsListResult(revision)));
  if (method == "tools/call") return callTool(params, revision, out);
  if (method == "resources/list") return void(out.append(resourcesListResult(revision)));
  if (method == "prompts/list") return void(out.append(promptsListResult(revision)));
  // Older revisions have always answered an unknown method this way, and
  // clients of them may rely on it; 2026-07-28 starts with the standard code.
  if (stateless) throw MCPError::methodNotFound(method);
  throw MCPError::invalidParams("Unsupported method: " + method);
}

void MCPServer::initialize(const json& params, std::string& out) {
  if (policy_ == MCPVersionPolicy::negotiate) {
    // A client that asks for a revision initialize cannot settle (2026-07-28
    // has no handshake) gets the newest it can, and decides for itself
    // whether it can go on.
    const auto asked = params.find("protocolVersion");
    const auto known = asked != params.end() && asked->is_string()
                           ? protocolVersionNamed(asked->get_ref<const std::string&>())
                           : std::nullopt;
    version_ = known && *known <= kNewestHandshakeVersion ? *known : kNewestHandshakeVersion;
  }
  initialized_ = true;
  out.append(initializeResult(version_));
}

// A request names 2026-07-28 by its `_meta` envelope, which must then also
// say what the client can do. A client that has spoken 2026-07-28 and never
// initialized has no other revision to fall back on, so its requests without
// the envelope are refused rather than answered as 2024-11-05.
MCPProtocolVersion MCPServer::requestRevision(const json& params) {
  if (policy_ != MCPVersionPolicy::negotiate) return version_;
  static const json noMeta = json::object();
  const auto found = params.find("_meta");
  const json& meta = found != params.end() && found->is_object() ? *found : noMeta;
  const auto claim = meta.find(kProtocolVersionKey);
  if (claim == meta.end()) {
    if (!initialized_ && spokeStateless_) {
      throw MCPError::invalidParams(
          std::string("Missing _meta envelope: every request of protocol revision 2026-07-28 carries ") +
          kProtocolVersionKey + " and " + kClientCapabilitiesKey + " in params._meta");
    }
    return version_;
  }
  if (!claim->is_string()) {
    throw MCPError::invalidParams(std::string("Invalid _meta envelope: ") + kProtocolVersionKey + " must be a string");
  }
  const auto& claimed = claim->get_ref<const std::string&>();
  if (protocolVersionNamed(claimed) != MCPProtocolVersion::v2026_07_28) {
    throw MCPError::unsupportedProtocolVersion(claimed);
  }
  const auto capabilities = meta.find(kClientCapabilitiesKey);
  if (capabilities == meta.end()) {
    throw MCPError::invalidParams(std::string("Incomplete _meta envelope: ") + kClientCapabilitiesKey +
                                  " is required");
  }
  if (!capabilities->is_object()) {
    throw MCPError::invalidParams(std::string("Invalid _meta envelope: ") + kClientCapabilitiesKey +
                                  " must be an object");
  }
  if (const auto info = meta.find(kClientInfoKey); info != meta.end() && !info->is_object()) {
    throw MCPError::invalidParams(std::string("Invalid _meta envelope: ") + kClientInfoKey + " must be an object");
  }
  spokeStateless_ = true;
  return MCPProtocolVersion::v2026_07_28;
}

void MCPServer::callTool(const json& params, MCPProtocolVersion revision, std::string& out) {
  const auto name = params.find("name");
  if (name == params.end() || !name->is_string()) throw MCPError::invalidParams("tools/call requires 'name'");
  const auto arguments = params.find("arguments");
  static const json noArguments = json::object();
  // From 2025-03-26 on a tool's failure is its result, marked isError, with
  // the message its JSON-RPC error would carry: some hosts drop an error's
  // message, and the model could not fix its arguments. An unknown tool is a
  // mistake about the catalogue, not a tool's failure, and stays an error.
  const bool failuresAsResults = revision >= MCPProtocolVersion::v2025_03_26;
  const std::string& toolName = name->get_ref<const std::string&>();
  const json& toolArguments = arguments != params.end() && arguments->is_object() ? *arguments : noArguments;
  const size_t start = out.size();
  try {
    if (revision >= MCPProtocolVersion::v2025_06_18) {
      // The text is also the structured result, so it is made as JSON text
      // first and then escaped into the string.
      std::string text;
      toolset_.invoke(toolName, toolArguments, text);
      return writeToolEnvelope(text, false, revision, out);
    }
    // The text is made where it travels, already escaped, in one pass.
    writeToolEnvelope(
        [&](std::string& to) {
          to.push_back('"');
          toolset_.invoke(toolName, toolArguments, to, jsontext::Form::inString);
          to.push_back('"');
        },
        false, revision, {}, out);
  } catch (const MCPError& e) {
    out.resize(start);
    if (!failuresAsResults || e.kind == MCPError::Kind::unknownTool) throw;
    writeToolEnvelope(utf8::sanitize(errorPayload(std::current_exception()).message), true, revision, out);
  } catch (...) {
    out.resize(start);
    if (!failuresAsResults) throw;
    writeToolEnvelope(utf8::sanitize(errorPayload(std::current_exception()).message), true, revision, out);
  }
}

void MCPServer::handleNotification(const std::string& method) {
  if (method == "notifications/initialized") {
    logLine("client initialized");
  } else if (method != "notifications/cancelled") {
    logLine("ignoring notification ", method);
  }
}

std::string MCPServer::errorResponse(const json& id, const MCPErrorPayload& error) {
  std::string response = R"({"error":{"code":)";
  response.append(std::to_string(error.code));
  if (!error.data.empty()) response.append(R"(,"data":)").append(error.data);
  response.append(R"(,"message":)");
  jsontext::writeString(utf8::sanitize(error.message), response);
  response.append(R"(},"id":)").append(idText(id)).append(R"(,"jsonrpc":"2.0"})");
  return response;
}

namespace {

// Waits until the output can take bytes, or a stop is asked for. Once one
// is, a client that does not read what is left of the response gets
// kStopGrace from then, and the rest is dropped: a client that stopped
// reading must not keep a stopped server alive.
bool roomForResponse(int fd) {
  static std::optional<std::chrono::steady_clock::time_point> drainBy;
  if (gStopSignal == 0) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {gStopPipe[0], POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR && gStopSignal == 0) {
    }
    if (gStopSignal == 0) return true;  // room, or an error that the write reports
  }
  if (!drainBy) drainBy = std::chrono::steady_clock::now() + kStopGrace;
  for (pollfd output{fd, POLLOUT, 0};;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*drainBy - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int ready = ::poll(&output, 1, static_cast<int>(left.count()));
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
  }
}

}  // namespace

// The one writer of standard output: each response and its line feed go out
// in a single write(2) when the output has room, so responses never
// interleave and none is buffered. A client that has closed its end loses
// the response; the server goes on reading until its input ends. A stop
// signal ends a write that waits for the client to read (see
// roomForResponse).
void MCPServer::outputQueue(std::string response) {
  response.push_back('\n');
  writeAll(output_, response, roomForResponse);
}
