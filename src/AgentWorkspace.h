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
// advisory lock (flock) on the agent directory itself while it reads the tasks
// and replaces the file, so the file written last lists every task committed
// before it was read.
//
// Errors: std::runtime_error naming the path and the system's reason.
class AgentWorkspace {
 public:
  // An agent's tasks as its briefing lists them: one line per task, in
  // briefing order, kept as the very text the briefing shows, so that adding
  // a task to a long list costs one line, not the whole list again.
  class TaskList {
   public:
    // Puts the task's line at `index` (0 to size(); size() adds it last).
    void insert(size_t index, std::string_view name, std::string_view frequency,
                const std::vector<std::string>& aiTools, std::string_view workingSubdir);
    void add(std::string_view name, std::string_view frequency, const std::vector<std::string>& aiTools,
             std::string_view workingSubdir) {
      insert(size(), name, frequency, aiTools, workingSubdir);
    }
    size_t size() const { return starts_.size(); }
    // The lines joined by line feeds; empty when there are no tasks.
    std::string_view text() const { return text_; }
    // The first task's working sub-directory; empty when there are no tasks.
    std::string_view firstWorkingSubdir() const { return firstWorkingSubdir_; }

   private:
    std::string text_;
    std::vector<size_t> starts_;  // where each line begins in text_
    std::string firstWorkingSubdir_;
  };
  // The agent's tasks. What it throws, render throws, before anything is
  // written. The list it returns need only live until render returns.
  using TaskReader = std::function<const TaskList&()>;

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

  // Makes the agent's workspace for a new agent: the same as render.
  void provision(const std::string& agentId, const std::string& name, const std::optional<std::string>& description,
                 const TaskReader& readTasks);

  // Makes the agent directory with its missing parents when it is missing;
  // then, under the agent's render lock, makes whichever of "inputs",
  // "outputs", "logs", "shared" in it is missing, in that order and best
  // effort (one that cannot be made, say for a file in its place, is left
  // as it is and the render goes on), removes temporary files that killed
  // renders left behind (and the lock file that earlier versions made),
  // reads the tasks, renders CLAUDE.md from the template file (or the
  // built-in template when the file cannot be read or is not UTF-8) and
  // replaces the file atomically and durably, keeping the permission bits of
  // the file it replaces. Where the file system has no advisory locks the
  // render runs unlocked and removes only temporary files unchanged for an
  // hour, since another render may be writing a newer one.
  //
  // Throws when the agent directory cannot be made, when the lock cannot be
  // had within kLockWaitSeconds, when the briefing would exceed its limit
  // (see fillTemplate; the message names both sizes), or when the file
  // cannot be written; in each case an earlier CLAUDE.md stays as it was.
  void render(const std::string& agentId, const std::string& name, const std::optional<std::string>& description,
              const TaskReader& readTasks);

  // The briefing's text for these values, as render writes it. Throws
  // std::length_error when it would exceed its limit (see fillTemplate).
  std::string renderText(const std::string& name, const std::optional<std::string>& description,
                         const TaskList& tasks) const;

  // The four placeholders in the order they are replaced: "{{AGENT_NAME}}",
  // "{{AGENT_DESCRIPTION}}", "{{TASK_LIST}}", "{{WORKING_SUBDIR}}".
  static const std::array<std::string_view, 4>& placeholders();

  // `templateText` with every occurrence of each placeholder replaced by the
  // value at its index, one placeholder after the other, each search running
  // over the text the earlier replacements made. Each text's size is worked
  // out before it is built. The limit is the size of the template and of the
  // four values together plus `expansion`: throws std::length_error naming
  // the size and the limit at the first text that would exceed it (the
  // briefing itself, or a text on the way to it).
  static std::string fillTemplate(std::string_view templateText, const std::array<std::string_view, 4>& values,
                                  uint64_t expansion = kMaxExpansionBytes);

  // The template used when the template file cannot be read.
  static const std::string& defaultTemplate();

 private:
  std::filesystem::path agentDirectory(const std::string& agentId) const;
  // The template's text, or the built-in one. A file that has not changed
  // since it was last read (same file, size and change times, and those
  // times well in the past when it was read) is not read again.
  const std::string& templateText() const;

  std::filesystem::path agentRoot_;
  std::filesystem::path templateURL_;

  // The template file as last read: what identifies it, and its text.
  struct TemplateFile {
    bool settled = false;  // read, and then unchanged for long enough to trust its times
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modifiedNs = 0, changedNs = 0;
    std::string text;
  };
  mutable TemplateFile template_;
};
