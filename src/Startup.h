#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

// Start-up: everything the process learns from its environment, and the
// orderly stops when it cannot start.

struct Configuration {
  std::string userId;
  std::string dbPath;
  std::filesystem::path agentRoot;
  std::filesystem::path templateURL;
  // KOVIX_PROTOCOL=negotiate: settle the protocol revision with the client
  // instead of speaking 2024-11-05 only.
  bool negotiateProtocol = false;
};

// What stops start-up: the line for standard error (without the
// "kovix-mcp-server: " prefix) and the exit status.
struct StartupStop {
  std::string message;
  int status;
};

using Environment = std::map<std::string, std::string>;

// The process environment as a snapshot.
Environment environmentSnapshot();

// The configuration from an environment snapshot, argument 0 and the working
// directory, or why start-up must stop. `executablePath` is the running
// program's real location, used when argument 0 carries no directory (the
// program was found through PATH). Touches nothing but reads whether the
// template exists beside the program.
struct ConfigurationResult {
  std::optional<Configuration> configuration;
  std::optional<StartupStop> stop;
};
ConfigurationResult resolveConfiguration(const Environment& env, const char* argument0,
                                         const std::filesystem::path& workingDirectory,
                                         const std::filesystem::path& executablePath);

// The whole program: returns the process's exit status.
int runMain(int argc, char** argv);
