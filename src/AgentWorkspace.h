#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The agents' working directories under the agents root: each agent's
// directory with its four sub-directories, and its CLAUDE.md briefing rendered
// from the template. Knows files, not the database: the store hands it the
// agent's name, description and a way to read its tasks.
//
// Errors: std::runtime_error naming the path and the system's reason.
class AgentWorkspace {
 public:
  // One task as the briefing lists it.
  struct BriefingTask {
    std::string name;
    std::string frequency;
    std::vector<std::string> aiTools;
    std::string workingSubdir;
  };
  // The agent's tasks in briefing order. What it throws, render throws,
  // before anything is written.
  using TaskReader = std::function<std::vector<BriefingTask>()>;

  // Touches nothing.
  AgentWorkspace(std::filesystem::path agentRoot, std::filesystem::path templateURL);

  const std::filesystem::path& agentRoot() const { return agentRoot_; }
  const std::filesystem::path& templateURL() const { return templateURL_; }

  // Makes the agent directory and "inputs", "outputs", "logs", "shared" in it,
  // in that order, each with its missing parents, then renders CLAUDE.md.
  // Throws at the first directory that cannot be made; the ones before it
  // stay and no CLAUDE.md is written.
  void provision(const std::string& agentId, const std::string& name, const std::optional<std::string>& description,
                 const TaskReader& readTasks);

  // Renders CLAUDE.md from the template file (or the built-in template when
  // the file cannot be read or is not UTF-8) and the tasks that `readTasks`
  // yields, and replaces the file atomically and durably. Makes the agent
  // directory when missing. Throws a file-system error, leaving an earlier
  // CLAUDE.md as it was.
  void render(const std::string& agentId, const std::string& name, const std::optional<std::string>& description,
              const TaskReader& readTasks);

  // The briefing's text for these values, as render writes it.
  std::string renderText(const std::string& name, const std::optional<std::string>& description,
                         const std::vector<BriefingTask>& tasks) const;

  // The template used when the template file cannot be read.
  static const std::string& defaultTemplate();

 private:
  std::filesystem::path agentDirectory(const std::string& agentId) const;

  std::filesystem::path agentRoot_;
  std::filesystem::path templateURL_;
};
