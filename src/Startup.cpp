#include "Startup.h"

#include "Diagnostics.h"
#include "MCPAgentStore.h"
#include "MCPServer.h"
#include "Version.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string lookup(const Environment& env, const char* name) {
  const auto it = env.find(name);
  return it == env.end() ? std::string() : it->second;
}

// A path as given, taken from the working directory when relative. No "~"
// or variable is expanded, and "." and ".." stay for the kernel to resolve:
// after a symbolic link, ".." leads to the parent of its target, which no
// lexical rewriting can know.
fs::path fileLocation(const std::string& path, const fs::path& workingDirectory) {
  const fs::path p(path);
  return p.is_absolute() ? p : workingDirectory / p;
}

std::optional<fs::path> homeDirectory(const Environment& env) {
  const std::string home = lookup(env, "HOME");
  if (!home.empty()) return fs::path(home);
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir) {
    return fs::path(entry->pw_dir);
  }
  return std::nullopt;
}

std::optional<fs::path> defaultAgentRoot(const Environment& env) {
#if defined(__APPLE__)
  const auto home = homeDirectory(env);
  if (!home) return std::nullopt;
  return *home / "Library" / "Application Support" / "Kovix" / "agents";
#else
  const fs::path dataHome(lookup(env, "XDG_DATA_HOME"));
  if (dataHome.is_absolute()) return dataHome / "Kovix" / "agents";
  const auto home = homeDirectory(env);
  if (!home) return std::nullopt;
  return *home / ".local" / "share" / "Kovix" / "agents";
#endif
}

// The directory that holds what `p` names, without resolving anything:
// "dir/" and "dir/." name dir itself, so its parent is taken; the parent of
// "x/.." is "x/../..", as the kernel would walk it.
fs::path withoutLastComponent(fs::path p) {
  for (;;) {
    if (p == p.root_path()) return p;  // the root is its own parent
    if (!p.has_filename()) {
      p = p.parent_path();  // a trailing "/"
    } else if (p.filename() == ".") {
      p = p.parent_path();
      if (p.empty()) return "..";
    } else if (p.filename() == "..") {
      return p / "..";
    } else {
      p = p.parent_path();
      return p.empty() ? fs::path(".") : p;
    }
  }
}

fs::path runningExecutable() {
  std::error_code ec;
#if defined(__APPLE__)
  // No /proc here: dyld knows the path the program was started by, which may
  // still go through symbolic links; resolve them as /proc/self/exe would.
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string buffer(size, '\0');
  if (size == 0 || _NSGetExecutablePath(buffer.data(), &size) != 0) return fs::path();
  fs::path self = fs::canonical(fs::path(buffer.c_str()), ec);
#else
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
#endif
  return ec ? fs::path() : self;
}

}  // namespace

Environment environmentSnapshot() {
  Environment env;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return env;
}

ConfigurationResult resolveConfiguration(const Environment& env, const char* argument0,
                                         const fs::path& workingDirectory, const fs::path& executablePath) {
  Configuration config;
  config.userId = lookup(env, "KOVIX_USER_ID");
  if (config.userId.empty()) return {std::nullopt, StartupStop{"KOVIX_USER_ID is required", 2}};
  config.dbPath = lookup(env, "KOVIX_DB_PATH");
  if (config.dbPath.empty()) return {std::nullopt, StartupStop{"KOVIX_DB_PATH is required", 2}};
  if (const std::string protocol = lookup(env, "KOVIX_PROTOCOL"); protocol == "negotiate") {
    config.negotiateProtocol = true;
  } else if (!protocol.empty()) {
    return {std::nullopt, StartupStop{"KOVIX_PROTOCOL must be unset, empty or 'negotiate'", 2}};
  }

  if (const std::string root = lookup(env, "KOVIX_AGENT_ROOT"); !root.empty()) {
    config.agentRoot = fileLocation(root, workingDirectory);
  } else if (auto fallback = defaultAgentRoot(env)) {
    config.agentRoot = std::move(*fallback);
  } else {
    return {std::nullopt,
            StartupStop{"cannot find a home directory for the default agents root; set KOVIX_AGENT_ROOT", 2}};
  }

  if (const std::string templatePath = lookup(env, "KOVIX_TEMPLATE_PATH"); !templatePath.empty()) {
    config.templateURL = fileLocation(templatePath, workingDirectory);
  } else {
    if (argument0 == nullptr || *argument0 == '\0') {
      return {std::nullopt,
              StartupStop{"argument 0 is missing, so the default template cannot be found; set KOVIX_TEMPLATE_PATH",
                          2}};
    }
    // Started through PATH, argument 0 names no directory: the template
    // still lies beside the program, wherever that is.
    const std::string_view arg(argument0);
    const fs::path program = arg.find('/') == std::string_view::npos && !executablePath.empty()
                                 ? executablePath
                                 : fileLocation(std::string(arg), workingDirectory);
    const fs::path executableDirectory = withoutLastComponent(program);
    const fs::path bundled = withoutLastComponent(executableDirectory) / "Resources" / "agent-claude-template.md";
    std::error_code ec;
    config.templateURL = fs::exists(bundled, ec) ? bundled : executableDirectory / "agent-claude-template.md";
  }
  return {std::move(config), std::nullopt};
}

namespace {

void onStopSignal(int signal) { MCPServer::requestStop(signal); }

// The signals with which clients end their servers let the request in hand
// finish: they only ask the server to stop, and the server wakes from its
// wait for input through its own pipe. SA_RESTART, so that a blocking call
// in the middle of a request (a lock wait, a write to a pipe) is resumed
// rather than failed.
void stopOnSignals() {
  MCPServer::prepareStopRequests();
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : MCPServer::kStopSignals) sigaction(signal, &action, nullptr);
}

constexpr char kHelp[] =
    "Usage: kovix-mcp-server [--help | --version]\n"
    "\n"
    "Serves the Model Context Protocol (JSON-RPC 2.0, one message per line) on\n"
    "standard input and output, for one user's Kovix agents, tasks and manual runs\n"
    "in the scheduler's SQLite database. An MCP client starts it; it runs until its\n"
    "standard input ends. Diagnostics go to standard error. Other arguments are\n"
    "ignored.\n"
    "\n"
    "Environment:\n"
    "  KOVIX_USER_ID        required: the user whose records are read and written\n"
    "  KOVIX_DB_PATH        required: the database file, made with its tables when\n"
    "                       missing (its directory must exist)\n"
#if defined(__APPLE__)
    "  KOVIX_AGENT_ROOT     the agents' working directories (default:\n"
    "                       ~/Library/Application Support/Kovix/agents)\n"
#else
    "  KOVIX_AGENT_ROOT     the agents' working directories (default:\n"
    "                       $XDG_DATA_HOME/Kovix/agents or ~/.local/share/Kovix/agents)\n"
#endif
    "  KOVIX_TEMPLATE_PATH  the CLAUDE.md template (default: one beside the program,\n"
    "                       else the built-in one)\n"
    "  KOVIX_PROTOCOL       'negotiate': speak the protocol revision the client asks\n"
    "                       for (default: 2024-11-05 only)\n"
    "\n"
    "Exit status: 0 when standard input ended; 2 when the configuration is\n"
    "incomplete or wrong; 3 when the database cannot be opened.\n"
    "\n"
    "Manual: man kovix-mcp-server (in the sources: man -l doc/kovix-mcp-server.1)\n";

// --help and --version answer on standard output and stop, before anything
// else is looked at. The first of them among the arguments counts; any
// other argument is ignored, as it always was.
std::optional<std::string_view> informationRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    if (std::strcmp(argv[i], "--help") == 0) return std::string_view(kHelp);
    if (std::strcmp(argv[i], "--version") == 0) return std::string_view("kovix-mcp-server " KOVIX_VERSION "\n");
  }
  return std::nullopt;
}

}  // namespace

int runMain(int argc, char** argv) {
  if (const auto text = informationRequested(argc, argv)) return writeAll(1, *text) ? 0 : 1;

  // A client that closes its end of our standard output must not kill us:
  // the failed write is dropped and the server goes on until its input ends.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor may a file-size limit (ulimit -f): a write past it then fails with
  // EFBIG, and the call that made it answers with that error.
  std::signal(SIGXFSZ, SIG_IGN);

  const Environment env = environmentSnapshot();
  std::error_code ec;
  const fs::path workingDirectory = fs::current_path(ec);
  const auto result =
      resolveConfiguration(env, argc > 0 ? argv[0] : nullptr, ec ? fs::path("/") : workingDirectory,
                           runningExecutable());
  if (result.stop) {
    logLine(result.stop->message);
    return result.stop->status;
  }
  const Configuration& config = *result.configuration;

  auto store = std::make_shared<MCPAgentStore>(config.dbPath, config.userId, config.agentRoot, config.templateURL);
  try {
    store->openAndMigrate();
  } catch (const MCPStoreError& error) {
    logLine("failed to open db: " + error.debugForm());
    return 3;
  }
  // Before the ready line: a client may send a signal as soon as it sees it.
  stopOnSignals();
  logLine("ready (uid=" + config.userId + ")");

  MCPServer server(store, 0, 1, config.negotiateProtocol ? MCPVersionPolicy::negotiate : MCPVersionPolicy::fixed);
  server.run();
  return 0;
}
