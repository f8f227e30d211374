#include "AgentWorkspace.h"

#include "Diagnostics.h"
#include "JSONText.h"
#include "ShortID.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {

constexpr const char* kSubdirectories[] = {"inputs", "outputs", "logs", "shared"};
constexpr std::string_view kTemporaryPrefix = ".CLAUDE.md.";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kIDAlphabet = "0123456789abcdefghijklmnopqrstuvwxyz";

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

// The briefing (or a text on the way to it) would be larger than the limit.
class BriefingTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

// Holds the render lock of one agent directory for its lifetime. The lock
// file exists only while someone renders; whoever waited on a file that its
// holder then removed finds out by comparing inodes and locks the new one.
class RenderLock {
 public:
  explicit RenderLock(const fs::path& directory) : path_(directory / ".CLAUDE.md.lock") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(AgentWorkspace::kLockWaitSeconds);
    for (;;) {
      // Read-only is enough for flock, and lets whoever may read the file lock it.
      fd_ = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd_ < 0) throwFileError("Could not lock", path_, errno);
      const int error = lockBefore(deadline);
      if (cannotLockHere(error)) return;
      if (error != 0) {
        ::close(fd_);
        if (error == EWOULDBLOCK) {
          throw std::runtime_error("Could not lock " + path_.string() + ": another process held it for " +
                                   std::to_string(AgentWorkspace::kLockWaitSeconds) + " s");
        }
        throwFileError("Could not lock", path_, error);
      }
      struct stat held {}, named {};
      if (::fstat(fd_, &held) == 0 && ::lstat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino) {
        return;
      }
      ::close(fd_);
    }
  }
  ~RenderLock() {
    // Removed while still held, so nobody can have locked the removed file
    // and believe they hold the lock.
    ::unlink(path_.c_str());
    ::close(fd_);
  }
  RenderLock(const RenderLock&) = delete;
  RenderLock& operator=(const RenderLock&) = delete;

 private:
  // A file system without advisory locks (some network mounts) renders as
  // it did before there was a lock, rather than not at all.
  static bool cannotLockHere(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS || error == EINVAL;
  }

  // 0 once locked; EWOULDBLOCK past the deadline; the error otherwise. Polls
  // rather than blocks so that a holder that never lets go (a stopped
  // process) costs a bounded wait, not the server.
  int lockBefore(std::chrono::steady_clock::time_point deadline) const {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return errno;
      if (std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

  fs::path path_;
  int fd_ = -1;
};

// A temporary file of a render that was killed before its rename: the
// prefix, ten identifier characters and the suffix.
bool isLeftoverTemporary(std::string_view name) {
  if (name.size() != kTemporaryPrefix.size() + 10 + kTemporarySuffix.size()) return false;
  if (name.substr(0, kTemporaryPrefix.size()) != kTemporaryPrefix) return false;
  if (name.substr(name.size() - kTemporarySuffix.size()) != kTemporarySuffix) return false;
  const std::string_view id = name.substr(kTemporaryPrefix.size(), 10);
  return id.find_first_not_of(kIDAlphabet) == std::string_view::npos;
}

// Only called under the render lock: every render of the agent holds it
// while its own temporary file exists, so any other one is left over.
// Best effort: what cannot be listed or removed stays for the next render.
void removeLeftoverTemporaries(const fs::path& directory) {
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (!isLeftoverTemporary(path.filename().native())) continue;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(path.c_str());
  }
}

// Replaces `target` with `contents` so that a reader sees the old file or the
// new one, never part of either, and so that a crash leaves one of the two:
// the bytes reach the disk under a temporary name before the rename, and the
// rename reaches the disk before we report success. The new file gets the
// permission bits of the old one (a briefing made private stays private).
void replaceFileDurably(const fs::path& target, std::string_view contents) {
  const fs::path directory = target.parent_path();
  std::optional<mode_t> keptMode;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) keptMode = old.st_mode & 0777;

  const fs::path temporary =
      directory / (std::string(kTemporaryPrefix) + makeShortID() + std::string(kTemporarySuffix));
  // Created with the kept bits already (less the umask), so that the text is
  // never readable more widely than the file it replaces.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, keptMode.value_or(0666));
  if (fd < 0) throwFileError("Could not write", target, errno);
  int error = 0;
  if (!writeAll(fd, contents)) error = errno;
  if (error == 0 && keptMode) {
    struct stat now {};
    if (::fstat(fd, &now) != 0 || ((now.st_mode & 0777) != *keptMode && ::fchmod(fd, *keptMode) != 0)) error = errno;
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
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

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// The sizes of the texts that the replacements make one after the other,
// found without making them: the template streams through one matcher per
// placeholder, each passing on what it lets through and the value it puts in
// place of a match. What a value does downstream depends only on the states
// of the matchers it passes, so it is worked out once per state and then
// counted as often as it occurs: a value that repeats another placeholder a
// thousand times costs a thousand look-ups, not a thousand copies.
class ReplacementSizer {
 public:
  static constexpr int kStages = 4;
  using Sizes = std::array<uint64_t, kStages + 1>;

  ReplacementSizer(const std::array<std::string_view, kStages>& placeholders,
                   const std::array<std::string_view, kStages>& values)
      : placeholders_(placeholders), values_(values) {}

  // [0] the template's size, [k] the size after the k-th replacement.
  Sizes measure(std::string_view templateText) {
    feedText(0, templateText);
    // The end of the text: what a matcher still holds was no match.
    for (int stage = 0; stage < kStages; ++stage) {
      const int held = state_[stage];
      state_[stage] = 0;
      for (int i = 0; i < held; ++i) feed(stage + 1, static_cast<unsigned char>(placeholders_[stage][i]));
    }
    return size_;
  }

 private:
  struct Passage {
    std::array<uint8_t, kStages> states;
    Sizes added;
  };

  // `text` enters matcher `stage`. While no matcher from there on holds
  // anything, a byte that begins none of their placeholders goes straight
  // through, so plain text is counted a run at a time.
  void feedText(int stage, std::string_view text) {
    std::string starts;
    for (int s = stage; s < kStages; ++s) starts.push_back(placeholders_[s][0]);
    while (!text.empty()) {
      bool idle = true;
      for (int s = stage; s < kStages; ++s) idle = idle && state_[s] == 0;
      if (idle) {
        const size_t plain = std::min(text.find_first_of(starts), text.size());
        for (int s = stage; s <= kStages; ++s) size_[s] = saturatingAdd(size_[s], plain);
        text.remove_prefix(plain);
        if (text.empty()) break;
      }
      feed(stage, static_cast<unsigned char>(text.front()));
      text.remove_prefix(1);
    }
  }

  // Byte `c` enters matcher `stage`; stage kStages is the finished text.
  void feed(int stage, unsigned char c) {
    size_[stage] = saturatingAdd(size_[stage], 1);
    if (stage == kStages) return;
    const std::string_view placeholder = placeholders_[stage];
    const int held = state_[stage];
    if (static_cast<unsigned char>(placeholder[held]) == c) {
      if (held + 1 < static_cast<int>(placeholder.size())) {
        state_[stage] = static_cast<uint8_t>(held + 1);
      } else {
        state_[stage] = 0;
        feedValue(stage + 1);
      }
      return;
    }
    // No longer a match: keep the longest end of what was held plus `c` that
    // could still begin one, and pass on the bytes before it.
    int kept = held;
    for (; kept > 0; --kept) {
      // Does placeholder[0, kept) end the text placeholder[0, held) + c?
      if (static_cast<unsigned char>(placeholder[kept - 1]) == c &&
          placeholder.substr(0, kept - 1) == placeholder.substr(held + 1 - kept, kept - 1)) {
        break;
      }
    }
    state_[stage] = static_cast<uint8_t>(kept);
    const int passed = held + 1 - kept;
    for (int i = 0; i < passed; ++i) {
      feed(stage + 1, i < held ? static_cast<unsigned char>(placeholder[i]) : c);
    }
  }

  // The value of placeholder stage-1 enters matcher `stage`.
  void feedValue(int stage) {
    const std::string_view value = values_[stage - 1];
    if (stage == kStages) {
      size_[stage] = saturatingAdd(size_[stage], value.size());
      return;
    }
    uint32_t key = static_cast<uint32_t>(stage);
    for (int s = stage; s < kStages; ++s) key = key << 8 | state_[s];
    if (const auto found = memo_.find(key); found != memo_.end()) {
      for (int s = stage; s < kStages; ++s) state_[s] = found->second.states[s];
      for (int s = stage; s <= kStages; ++s) size_[s] = saturatingAdd(size_[s], found->second.added[s]);
      return;
    }
    const Sizes before = size_;
    size_.fill(0);
    feedText(stage, value);
    Passage passage{state_, size_};
    for (int s = 0; s <= kStages; ++s) size_[s] = saturatingAdd(before[s], passage.added[s]);
    memo_.emplace(key, passage);
  }

  std::array<std::string_view, kStages> placeholders_;
  std::array<std::string_view, kStages> values_;
  std::array<uint8_t, kStages> state_{};
  Sizes size_{};
  std::unordered_map<uint32_t, Passage> memo_;
};

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

const std::array<std::string_view, 4>& AgentWorkspace::placeholders() {
  static const std::array<std::string_view, 4> names = {"{{AGENT_NAME}}", "{{AGENT_DESCRIPTION}}", "{{TASK_LIST}}",
                                                        "{{WORKING_SUBDIR}}"};
  return names;
}

std::string AgentWorkspace::fillTemplate(std::string_view templateText, const std::array<std::string_view, 4>& values,
                                         uint64_t expansion) {
  uint64_t limit = saturatingAdd(templateText.size(), expansion);
  for (const std::string_view value : values) limit = saturatingAdd(limit, value.size());
  const ReplacementSizer::Sizes sizes = ReplacementSizer(placeholders(), values).measure(templateText);
  const uint64_t largest = *std::max_element(sizes.begin() + 1, sizes.end());
  if (largest > limit) {
    const auto bytes = [](uint64_t n) {
      return n == std::numeric_limits<uint64_t>::max() ? "more than " + std::to_string(n - 1) + " bytes"
                                                       : std::to_string(n) + " bytes";
    };
    std::string message = "the briefing would be " + bytes(sizes.back());
    if (largest != sizes.back()) message += " and its placeholders would expand to " + bytes(largest) + " on the way";
    throw BriefingTooLarge(message + ", over its limit of " + std::to_string(limit) +
                           " bytes (the template and the values it is made of, plus " + std::to_string(expansion) +
                           ")");
  }
  // Every text on the way fits the limit: replace as plainly as it reads.
  std::string text(templateText);
  for (size_t i = 0; i < values.size(); ++i) replaceAll(text, placeholders()[i], values[i]);
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

  return fillTemplate(*text, {name, description ? std::string_view(*description) : "(no description)", taskList,
                              workingSubdir});
}

void AgentWorkspace::render(const std::string& agentId, const std::string& name,
                            const std::optional<std::string>& description, const TaskReader& readTasks) {
  const fs::path directory = agentDirectory(agentId);
  // A render killed part-way, or an agent whose first render never ran,
  // leaves the workspace short: every render makes it whole again.
  makeDirectories(directory);
  for (const char* sub : kSubdirectories) makeDirectories(directory / sub);
  const RenderLock lock(directory);
  removeLeftoverTemporaries(directory);
  // Read under the lock: a render that waited for another one then sees
  // every task that the other saw, and any committed since.
  const std::vector<BriefingTask> tasks = readTasks();
  const fs::path target = directory / "CLAUDE.md";
  std::string rendered;
  try {
    rendered = renderText(name, description, tasks);
  } catch (const BriefingTooLarge& e) {
    throw std::runtime_error("Could not write " + target.string() + ": " + e.what());
  }
  replaceFileDurably(target, rendered);
}
