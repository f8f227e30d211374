#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The agents' working directories under the agents root: each agent's
// directory with its four sub-directories, and its CLAUDE.md briefing rendered
// from the template. Knows files, not the database: the store hands it the
// agent's name, description and a way to read its tasks.
//
// Renders of one agent take turns, also across processes: each holds an
// advisory lock on ".CLAUDE.md.lock" in the agent directory (made for the
// render and removed after it) while it reads the tasks and replaces the file,
// so the file written last lists every task committed before it was read.
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

  // How many bytes the placeholders may add to a briefing beyond the
  // template and the values put into it (16 MiB): far beyond any real
  // briefing, since a value normally appears once or twice. It bounds the
  // memory of one render, because a placeholder inside an inserted value is
  // replaced too and a short request could otherwise ask for gigabytes. The
  // bound holds for every text on the way to the briefing.
  static constexpr uint64_t kMaxExpansionBytes = uint64_t{16} << 20;

  // How long a render waits for another process's render of the same agent.
  static constexpr int kLockWaitSeconds = 15;

  // Touches nothing.
  AgentWorkspace(std::filesystem::path agentRoot, std::filesystem::path templateURL);

  const std::filesystem::path& agentRoot() const { return agentRoot_; }
  const std::filesystem::path& templateURL() const { return templateURL_; }

  // Makes the agent's workspace for a new agent: the same as render.
  void provision(const std::string& agentId, const std::string& name, const std::optional<std::string>& description,
                 const TaskReader& readTasks);

  // Makes whatever is missing of the agent directory and "inputs",
  // "outputs", "logs", "shared" in it, in that order, each with its missing
  // parents; then, under the agent's render lock, removes temporary files
  // that killed renders left behind, reads the tasks, renders CLAUDE.md from
  // the template file (or the built-in template when the file cannot be read
  // or is not UTF-8) and replaces the file atomically and durably, keeping
  // the permission bits of the file it replaces.
  //
  // Throws at the first directory that cannot be made (the ones before it
  // stay), when the lock cannot be had within kLockWaitSeconds, when the
  // briefing would exceed its limit (see fillTemplate; the message names
  // both sizes),
  // or when the file cannot be written; in each case an earlier CLAUDE.md
  // stays as it was.
  void render(const std::string& agentId, const std::string& name, const std::optional<std::string>& description,
              const TaskReader& readTasks);

  // The briefing's text for these values, as render writes it. Throws
  // std::length_error when it would exceed its limit (see fillTemplate).
  std::string renderText(const std::string& name, const std::optional<std::string>& description,
                         const std::vector<BriefingTask>& tasks) const;

  // The four placeholders in the order they are replaced: "{{AGENT_NAME}}",
  // "{{AGENT_DESCRIPTION}}", "{{TASK_LIST}}", "{{WORKING_SUBDIR}}".
  static const std::array<std::string_view, 4>& placeholders();

  // `templateText` with every occurrence of each placeholder replaced by the
  // value at its index, one placeholder after the other, each search running
  // over the text the earlier replacements made. The sizes are worked out
  // before anything is built. The limit is the size of the template and of
  // the four values together plus `expansion`: throws std::length_error
  // naming the briefing's size and the limit when the briefing, or any text
  // on the way to it, would exceed it.
  static std::string fillTemplate(std::string_view templateText, const std::array<std::string_view, 4>& values,
                                  uint64_t expansion = kMaxExpansionBytes);

  // The template used when the template file cannot be read.
  static const std::string& defaultTemplate();

 private:
  std::filesystem::path agentDirectory(const std::string& agentId) const;

  std::filesystem::path agentRoot_;
  std::filesystem::path templateURL_;
};
