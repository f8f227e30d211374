#include "Startup.h"

#include "Diagnostics.h"
#include "MCPAgentStore.h"
#include "MCPServer.h"

#include <climits>
#include <csignal>
#include <cstdlib>
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
// or variable is expanded.
fs::path fileLocation(const std::string& path, const fs::path& workingDirectory) {
  const fs::path p(path);
  return (p.is_absolute() ? p : workingDirectory / p).lexically_normal();
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

fs::path withoutLastComponent(fs::path p) {
  if (!p.has_filename()) p = p.parent_path();  // "dir/" names dir itself
  return p.parent_path();
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

int runMain(int argc, char** argv) {
  // A client that closes its end of our standard output must not kill us:
  // the failed write is dropped and the server goes on until its input ends.
  std::signal(SIGPIPE, SIG_IGN);

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
  logLine("ready (uid=" + config.userId + ")");

  MCPServer server(store);
  server.run();
  return 0;
}
