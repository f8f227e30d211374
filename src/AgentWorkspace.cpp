#include "AgentWorkspace.h"

#include "Diagnostics.h"
#include "JSONText.h"
#include "ShortID.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// True when `id` names one directory entry below the agents root and nothing
// else: a row written by another process must not steer writes elsewhere.
bool isSafePathComponent(const std::string& id) {
  return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos &&
         id.find('\0') == std::string::npos;
}

[[noreturn]] void throwFileError(const std::string& what, const fs::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(error));
}

void makeDirectories(const fs::path& directory) {
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) throwFileError("Could not create directory", directory, ec.value());
}

// Replaces `target` with `contents` so that a reader sees the old file or the
// new one, never part of either, and so that a crash leaves one of the two:
// the bytes reach the disk under a temporary name before the rename, and the
// rename reaches the disk before we report success.
void replaceFileDurably(const fs::path& target, std::string_view contents) {
  const fs::path directory = target.parent_path();
  const fs::path temporary = directory / ("." + target.filename().string() + "." + makeShortID() + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throwFileError("Could not write", target, errno);
  int error = 0;
  if (!writeAll(fd, contents) || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    throwFileError("Could not write", target, error);
  }
  // The rename is durable once the directory that records it is.
  const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd >= 0) {
    ::fsync(directoryFd);
    ::close(directoryFd);
  }
}

// The contents of a regular file, or nothing when it cannot be read. Anything
// else at the path (a directory, a pipe, a terminal) counts as unreadable, so
// that a template path can never make the server wait for input.
std::optional<std::string> readWholeFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string contents;
  contents.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return contents;
}

void replaceAll(std::string& text, std::string_view placeholder, std::string_view replacement) {
  std::string result;
  size_t from = 0;
  size_t at = text.find(placeholder);
  if (at == std::string::npos) return;
  result.reserve(text.size() + replacement.size());
  while (at != std::string::npos) {
    result.append(text, from, at - from).append(replacement);
    from = at + placeholder.size();
    at = text.find(placeholder, from);
  }
  result.append(text, from, std::string::npos);
  text = std::move(result);
}

}  // namespace

AgentWorkspace::AgentWorkspace(fs::path agentRoot, fs::path templateURL)
    : agentRoot_(std::move(agentRoot)), templateURL_(std::move(templateURL)) {}

const std::string& AgentWorkspace::defaultTemplate() {
  static const std::string text =
      "# {{AGENT_NAME}}\n"
      "\n"
      "You are the AI executing a scheduled task for the **{{AGENT_NAME}}** in Kovix.\n"
      "\n"
      "## Agent description\n"
      "{{AGENT_DESCRIPTION}}\n"
      "\n"
      "## Other tasks under this Agent\n"
      "{{TASK_LIST}}";
  return text;
}

fs::path AgentWorkspace::agentDirectory(const std::string& agentId) const {
  if (!isSafePathComponent(agentId)) {
    throw std::runtime_error("Agent id is not a safe directory name: " + jsontext::sanitizeUTF8(agentId));
  }
  return agentRoot_ / agentId;
}

void AgentWorkspace::provision(const std::string& agentId, const std::string& name,
                               const std::optional<std::string>& description, const TaskReader& readTasks) {
  const fs::path directory = agentDirectory(agentId);
  makeDirectories(directory);
  for (const char* sub : {"inputs", "outputs", "logs", "shared"}) makeDirectories(directory / sub);
  render(agentId, name, description, readTasks);
}

std::string AgentWorkspace::renderText(const std::string& name, const std::optional<std::string>& description,
                                       const std::vector<BriefingTask>& tasks) const {
  std::optional<std::string> text = readWholeFile(templateURL_);
  if (!text || !jsontext::isValidUTF8(*text)) text = defaultTemplate();

  std::string taskList;
  for (const auto& task : tasks) {
    if (!taskList.empty()) taskList.push_back('\n');
    taskList.append("- **").append(task.name).append("** \xE2\x80\x94 ").append(task.frequency).append(" (");
    for (size_t i = 0; i < task.aiTools.size(); ++i) taskList.append(i ? ", " : "").append(task.aiTools[i]);
    taskList.push_back(')');
  }
  if (tasks.empty()) taskList = "- (no other tasks yet)";
  const std::string& workingSubdir = tasks.empty() ? std::string("shared") : tasks.front().workingSubdir;

  replaceAll(*text, "{{AGENT_NAME}}", name);
  replaceAll(*text, "{{AGENT_DESCRIPTION}}", description ? *description : "(no description)");
  replaceAll(*text, "{{TASK_LIST}}", taskList);
  replaceAll(*text, "{{WORKING_SUBDIR}}", workingSubdir);
  return std::move(*text);
}

void AgentWorkspace::render(const std::string& agentId, const std::string& name,
                            const std::optional<std::string>& description, const TaskReader& readTasks) {
  const fs::path directory = agentDirectory(agentId);
  const std::vector<BriefingTask> tasks = readTasks();
  const std::string rendered = renderText(name, description, tasks);
  makeDirectories(directory);
  replaceFileDurably(directory / "CLAUDE.md", rendered);
}
