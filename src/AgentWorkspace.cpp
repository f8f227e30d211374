#include "AgentWorkspace.h"

#include "Diagnostics.h"
#include "ShortID.h"
#include "UTF8.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kSubdirectories[] = {"inputs", "outputs", "logs", "shared"};
constexpr std::string_view kTemporaryPrefix = ".CLAUDE.md.";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kIDAlphabet = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr const char* kTarget = "CLAUDE.md";
// Earlier versions locked renders with this file, made and removed by each.
constexpr std::string_view kOldLockFile = ".CLAUDE.md.lock";

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

#if defined(__APPLE__)
const timespec& modifiedTime(const struct stat& info) { return info.st_mtimespec; }
const timespec& changedTime(const struct stat& info) { return info.st_ctimespec; }
#else
const timespec& modifiedTime(const struct stat& info) { return info.st_mtim; }
const timespec& changedTime(const struct stat& info) { return info.st_ctim; }
#endif

// The briefing (or a text on the way to it) would be larger than the limit.
class BriefingTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

// An agent directory, open for as long as a render works in it: the render
// lock is held on this descriptor, the files in it are reached through it
// without walking the path again, and it is what gets flushed after the
// rename.
class AgentDirectory {
 public:
  // Opens the directory, making it (and its missing parents) when it is
  // missing.
  explicit AgentDirectory(fs::path path) : path_(std::move(path)) {
    fd_ = open();
    if (fd_ < 0) {
      // Missing, or something in the way: making it says which, in the words
      // it always used.
      makeDirectories(path_);
      fd_ = open();
      if (fd_ < 0) throwFileError("Could not lock", path_, errno);
    }
  }
  ~AgentDirectory() { ::close(fd_); }  // also lets go of the lock
  AgentDirectory(const AgentDirectory&) = delete;
  AgentDirectory& operator=(const AgentDirectory&) = delete;

  int fd() const { return fd_; }
  const fs::path& path() const { return path_; }

  // Takes the render lock, waiting at most kLockWaitSeconds for another
  // process that holds it. A file system without advisory locks (some
  // network mounts) renders as it did before there was a lock, rather than
  // not at all: false then.
  bool lock() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(AgentWorkspace::kLockWaitSeconds);
    const int error = lockBefore(deadline);
    if (error == 0) return true;
    if (cannotLockHere(error)) return false;
    if (error == EWOULDBLOCK) {
      throw std::runtime_error("Could not lock " + path_.string() + ": another process held it for " +
                               std::to_string(AgentWorkspace::kLockWaitSeconds) + " s");
    }
    throwFileError("Could not lock", path_, error);
  }

  // Calls `visit(name, type)` for each entry (type as in dirent's d_type,
  // DT_UNKNOWN when the file system does not say). Best effort: an entry
  // that cannot be listed is not visited.
  template <class Visit>
  void forEachEntry(Visit visit) const {
#ifdef __linux__
    // Straight from the descriptor we hold: no second open of the directory.
    // A few entries make an agent directory; the buffer is small so that a
    // small stack (ulimit -s) has room for it.
    alignas(8) char buffer[2048];
    for (;;) {
      const ssize_t n = ::getdents64(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
        visit(std::string_view(entry->d_name), static_cast<unsigned char>(entry->d_type));
        at += entry->d_reclen;
      }
    }
#else
    const int copy = ::dup(fd_);
    if (copy < 0) return;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
      ::close(copy);
      return;
    }
    ::rewinddir(dir);
    while (const struct dirent* entry = ::readdir(dir)) {
      visit(std::string_view(entry->d_name), static_cast<unsigned char>(entry->d_type));
    }
    ::closedir(dir);
#endif
  }

 private:
  int open() const {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    // A directory we may write in but not list: reached by a descriptor
    // that can do neither flock nor a listing, so its renders run unlocked
    // and leave leftovers, but they run, as they always did.
    if (fd < 0 && errno == EACCES) return ::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    return fd;
  }

  // EBADF and EINVAL: a file system that emulates flock with locks that
  // need a descriptor open for writing, which a directory's cannot be.
  static bool cannotLockHere(int error) {
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS || error == EINVAL ||
           error == EBADF;
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

// True when the file has not been written for so long that no live render
// can own it: a render keeps its temporary file only for the moments between
// creating and renaming it.
bool oldEnoughToBeLeftOver(const struct stat& info) {
  constexpr time_t kLeftoverAgeSeconds = 3600;
  return modifiedTime(info).tv_sec < ::time(nullptr) - kLeftoverAgeSeconds;
}

// One listing of the directory serves two ends. Temporary files left over by
// killed renders, and the lock file of earlier versions, are removed, best
// effort: under the render lock every one of them is left over, since each
// render holds the lock while its own exists; without it (`locked` false,
// on a file system without advisory locks) another render may be writing
// one right now, so only those unchanged for an hour go. Then whichever
// sub-directory the listing does not show as a directory is made, in order,
// best effort too: the briefing does not need them, so one that cannot be
// made (a file of the user's in the way, a full disk) is left to the next
// render, and whatever is in its place stays as it is.
void tidyAndComplete(const AgentDirectory& directory, bool locked) {
  std::array<bool, std::size(kSubdirectories)> present{};
  std::vector<std::string> leftovers;
  directory.forEachEntry([&](std::string_view name, unsigned char type) {
    if (isLeftoverTemporary(name) || name == kOldLockFile) {
      if (type == DT_REG || type == DT_UNKNOWN) leftovers.emplace_back(name);
      return;
    }
    for (size_t i = 0; i < present.size(); ++i) {
      if (name == kSubdirectories[i]) present[i] = type == DT_DIR;
    }
  });
  for (const auto& name : leftovers) {
    struct stat info {};
    if (::fstatat(directory.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        (locked || oldEnoughToBeLeftOver(info))) {
      ::unlinkat(directory.fd(), name.c_str(), 0);
    }
  }
  // What the listing did not show as a directory (missing, a link, a type
  // it did not know, something else in the way) goes the long way, which
  // follows links.
  for (size_t i = 0; i < present.size(); ++i) {
    if (present[i]) continue;
    std::error_code ec;
    fs::create_directories(directory.path() / kSubdirectories[i], ec);
  }
}

// Replaces the directory's CLAUDE.md with `contents` so that a reader sees
// the old file or the new one, never part of either, and so that a crash
// leaves one of the two: the bytes reach the disk under a temporary name
// before the rename, and the rename reaches the disk before we report
// success. The new file gets the permission bits of the old one (a briefing
// made private stays private).
void replaceFileDurably(const AgentDirectory& directory, std::string_view contents) {
  const int dir = directory.fd();
  const fs::path target = directory.path() / kTarget;
  std::optional<mode_t> keptMode;
  struct stat old {};
  if (::fstatat(dir, kTarget, &old, 0) == 0 && S_ISREG(old.st_mode)) keptMode = old.st_mode & 0777;

  const std::string temporary = std::string(kTemporaryPrefix) + makeShortID() + std::string(kTemporarySuffix);
  // Created with the kept bits already (less the umask), so that the text is
  // never readable more widely than the file it replaces.
  const int fd = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, keptMode.value_or(0666));
  if (fd < 0) throwFileError("Could not write", target, errno);
  int error = 0;
  if (!writeAll(fd, contents)) error = errno;
  if (error == 0 && keptMode) {
    struct stat now {};
    if (::fstat(fd, &now) != 0 || ((now.st_mode & 0777) != *keptMode && ::fchmod(fd, *keptMode) != 0)) error = errno;
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::renameat(dir, temporary.c_str(), dir, kTarget) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(dir, temporary.c_str(), 0);
    throwFileError("Could not write", target, error);
  }
  // The rename is durable once the directory that records it is.
  ::fsync(dir);
}

// The contents of a regular file, or nothing when it cannot be read. Anything
// else at the path (a directory, a pipe, a terminal) counts as unreadable, so
// that a template path can never make the server wait for input.
// `info` is what the opened file was when its reading began.
std::optional<std::string> readWholeFile(const fs::path& path, struct stat& info) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  // Read straight into the text, with a byte to spare so that the end of a
  // file that kept its size is seen without growing it; no buffer on the
  // stack, which may be small (ulimit -s).
  std::string contents(static_cast<size_t>(info.st_size) + 1, '\0');
  size_t used = 0;
  for (;;) {
    if (used == contents.size()) contents.resize(contents.size() * 2);
    const ssize_t n = ::read(fd, contents.data() + used, contents.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  contents.resize(used);
  return contents;
}

// How often `placeholder` occurs in `text`. A placeholder begins with "{{"
// and ends with "}}", so two occurrences never overlap: each one found is
// one that a left-to-right replacement replaces.
uint64_t occurrences(std::string_view text, std::string_view placeholder) {
  uint64_t count = 0;
  for (size_t at = text.find(placeholder); at != std::string_view::npos; at = text.find(placeholder, at)) {
    ++count;
    at += placeholder.size();
  }
  return count;
}

// `text` with every occurrence of `placeholder` replaced by `value`, built
// at `size`, the size it was worked out to have.
std::string replaceAll(std::string_view text, std::string_view placeholder, std::string_view value, size_t size) {
  std::string result;
  result.reserve(size);
  size_t from = 0;
  for (size_t at = text.find(placeholder); at != std::string_view::npos; at = text.find(placeholder, from)) {
    result.append(text, from, at - from).append(value);
    from = at + placeholder.size();
  }
  result.append(text, from, std::string_view::npos);
  return result;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
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

const std::array<std::string_view, 4>& AgentWorkspace::placeholders() {
  static const std::array<std::string_view, 4> names = {"{{AGENT_NAME}}", "{{AGENT_DESCRIPTION}}", "{{TASK_LIST}}",
                                                        "{{WORKING_SUBDIR}}"};
  return names;
}

std::string AgentWorkspace::fillTemplate(std::string_view templateText, const std::array<std::string_view, 4>& values,
                                         uint64_t expansion) {
  uint64_t limit = saturatingAdd(templateText.size(), expansion);
  for (const std::string_view value : values) limit = saturatingAdd(limit, value.size());
  std::string text(templateText);
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string_view placeholder = placeholders()[i], value = values[i];
    const uint64_t count = occurrences(text, placeholder);
    if (count == 0) continue;
    // Worked out before the text is built, so that no text on the way to
    // the briefing is ever larger than the limit.
    const uint64_t size =
        saturatingAdd(text.size() - count * placeholder.size(), saturatingMultiply(count, value.size()));
    if (size > limit) {
      const auto bytes = [](uint64_t n) {
        return n == std::numeric_limits<uint64_t>::max() ? "more than " + std::to_string(n - 1) + " bytes"
                                                         : std::to_string(n) + " bytes";
      };
      const std::string what = i + 1 == values.size()
                                   ? "the briefing would be " + bytes(size)
                                   : "the briefing's placeholders would expand to " + bytes(size) + " on the way";
      throw BriefingTooLarge(what + ", over its limit of " + std::to_string(limit) +
                             " bytes (the template and the values it is made of, plus " + std::to_string(expansion) +
                             ")");
    }
    text = replaceAll(text, placeholder, value, static_cast<size_t>(size));
  }
  return text;
}

fs::path AgentWorkspace::agentDirectory(const std::string& agentId) const {
  if (!isSafePathComponent(agentId)) {
    throw std::runtime_error("Agent id is not a safe directory name: " + utf8::sanitize(agentId));
  }
  return agentRoot_ / agentId;
}

void AgentWorkspace::provision(const std::string& agentId, const std::string& name,
                               const std::optional<std::string>& description, const TaskReader& readTasks) {
  render(agentId, name, description, readTasks);
}

const std::string& AgentWorkspace::templateText() const {
  TemplateFile& known = template_;
  const auto nanoseconds = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  const auto same = [&](const struct stat& info) {
    return known.device == static_cast<uint64_t>(info.st_dev) && known.inode == static_cast<uint64_t>(info.st_ino) &&
           known.size == static_cast<uint64_t>(info.st_size) && known.modifiedNs == nanoseconds(modifiedTime(info)) &&
           known.changedNs == nanoseconds(changedTime(info));
  };
  struct stat info {};
  if (::stat(templateURL_.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    known = {};
    return defaultTemplate();
  }
  if (known.settled && same(info)) return known.text;
  std::optional<std::string> text = readWholeFile(templateURL_, info);
  if (!text) {
    known = {};
    return defaultTemplate();
  }
  known.text = utf8::isValid(*text) ? std::move(*text) : defaultTemplate();
  known.device = static_cast<uint64_t>(info.st_dev);
  known.inode = static_cast<uint64_t>(info.st_ino);
  known.size = static_cast<uint64_t>(info.st_size);
  known.modifiedNs = nanoseconds(modifiedTime(info));
  known.changedNs = nanoseconds(changedTime(info));
  // A file's times advance in ticks of the kernel's clock, so a change made
  // in the tick of the one before can leave them as they were. Times well
  // in the past when the file was read cannot be left unchanged by a later
  // change: only then are they trusted to tell one.
  timespec clock{};
  ::clock_gettime(CLOCK_REALTIME, &clock);
  const int64_t settledBefore = nanoseconds(clock) - int64_t{2} * 1000000000;
  known.settled = known.modifiedNs < settledBefore && known.changedNs < settledBefore;
  return known.text;
}

void AgentWorkspace::TaskList::insert(size_t index, std::string_view name, std::string_view frequency,
                                      const std::vector<std::string>& aiTools, std::string_view workingSubdir) {
  const auto writeLine = [&](std::string& out) {
    out.append("- **").append(name).append("** \xE2\x80\x94 ").append(frequency).append(" (");
    for (size_t i = 0; i < aiTools.size(); ++i) out.append(i ? ", " : "").append(aiTools[i]);
    out.push_back(')');
  };
  if (index == 0) firstWorkingSubdir_ = workingSubdir;
  if (index >= starts_.size()) {
    if (!starts_.empty()) text_.push_back('\n');
    starts_.push_back(text_.size());
    writeLine(text_);
    return;
  }
  std::string line;
  writeLine(line);
  line.push_back('\n');
  const size_t at = starts_[index];
  text_.insert(at, line);
  starts_.insert(starts_.begin() + static_cast<std::ptrdiff_t>(index), at);
  for (size_t i = index + 1; i < starts_.size(); ++i) starts_[i] += line.size();
}

std::string AgentWorkspace::renderText(const std::string& name, const std::optional<std::string>& description,
                                       const TaskList& tasks) const {
  const bool none = tasks.size() == 0;
  return fillTemplate(templateText(), {name, description ? std::string_view(*description) : "(no description)",
                                       none ? "- (no other tasks yet)" : tasks.text(),
                                       none ? "shared" : tasks.firstWorkingSubdir()});
}

void AgentWorkspace::render(const std::string& agentId, const std::string& name,
                            const std::optional<std::string>& description, const TaskReader& readTasks) {
  // A render killed part-way, or an agent whose first render never ran,
  // leaves the workspace short: every render makes it whole again.
  const AgentDirectory directory(agentDirectory(agentId));
  const bool locked = directory.lock();
  tidyAndComplete(directory, locked);
  // Read under the lock: a render that waited for another one then sees
  // every task that the other saw, and any committed since.
  const TaskList& tasks = readTasks();
  std::string rendered;
  try {
    rendered = renderText(name, description, tasks);
  } catch (const BriefingTooLarge& e) {
    throw std::runtime_error("Could not write " + (directory.path() / kTarget).string() + ": " + e.what());
  }
  replaceFileDurably(directory, rendered);
}
