#include "AgentWorkspace.h"
#include "Harness.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace fs = std::filesystem;
using V = std::vector<std::string>;
using Values = std::array<std::string_view, 4>;

namespace {

const std::array<std::string, 4> kPlaceholders = {"{{AGENT_NAME}}", "{{AGENT_DESCRIPTION}}", "{{TASK_LIST}}",
                                                  "{{WORKING_SUBDIR}}"};

// The replacements done the slow, obvious way, byte by byte: every text on
// the way, the template first and the briefing last.
std::vector<std::string> plainStages(const std::string& templateText, const Values& values) {
  std::vector<std::string> stages{templateText};
  for (size_t k = 0; k < 4; ++k) {
    const std::string& text = stages.back();
    const std::string& p = kPlaceholders[k];
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
      bool match = i + p.size() <= text.size();
      for (size_t j = 0; match && j < p.size(); ++j) match = text[i + j] == p[j];
      if (match) {
        out.append(values[k].data(), values[k].size());
        i += p.size();
      } else {
        out.push_back(text[i++]);
      }
    }
    stages.push_back(out);
  }
  return stages;
}

std::string lengthFailure(const std::string& templateText, const Values& values, uint64_t expansion) {
  try {
    AgentWorkspace::fillTemplate(templateText, values, expansion);
  } catch (const std::length_error& e) {
    return e.what();
  }
  return "no error";
}

std::string briefing(const std::string& name, const std::string& description, const std::string& tasks) {
  return "# " + name + "\n\nYou are the AI executing a scheduled task for the **" + name +
         "** in Kovix.\n\n## Agent description\n" + description + "\n\n## Other tasks under this Agent\n" + tasks;
}

V entries(const fs::path& directory) {
  V names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string() + (entry.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class WorkspaceTest : public ::testing::Test {
 protected:
  struct Task {
    std::string name, frequency;
    V aiTools;
    std::string workingSubdir;
  };
  static AgentWorkspace::TaskList listOf(const std::vector<Task>& list) {
    AgentWorkspace::TaskList built;
    for (const auto& t : list) built.add(t.name, t.frequency, t.aiTools, t.workingSubdir);
    return built;
  }
  AgentWorkspace::TaskReader tasks(const std::vector<Task>& list) {
    return [built = listOf(list)]() -> const AgentWorkspace::TaskList& { return built; };
  }
  std::string claude(const std::string& agent) { return readFile(root / agent / "CLAUDE.md"); }

  TempDir dir;
  fs::path root = dir / "agents";
  AgentWorkspace workspace{root, dir / "no-template.md"};
};

}  // namespace

// Random templates and values built from pieces of the placeholders, so that
// matches begin in one value and end in the text around it, braces pile up,
// and values hold later (and earlier) placeholders. The result must be the
// plain replacement's, and the size named on refusal its exact size.
TEST(AgentWorkspaceFill, MatchesPlainReplacementAndKnowsItsSizesExactly) {
  const V pieces = {"{",          "}",           "{{",           "}}",        "{{{",        "x",
                    "\xE2\x80\x94", "{{AGENT_",    "NAME}}",       "{{AGENT_DE", "SCRIPTION}}", "{{TASK_",
                    "LIST}}",     "{{WORKING_",  "SUBDIR}}",     "{{TASK_LIST}", kPlaceholders[0], kPlaceholders[1],
                    kPlaceholders[2], kPlaceholders[3], kPlaceholders[1] + kPlaceholders[2] + kPlaceholders[3]};
  std::mt19937 rng(20261207);
  auto text = [&](int most) {
    std::string s;
    for (int n = std::uniform_int_distribution<int>(0, most)(rng); n > 0; --n)
      s += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
    return s;
  };
  int refusals = 0, crossings = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string templateText = text(10);
    const std::array<std::string, 4> owned = {text(6), text(6), text(6), text(3)};
    const Values values = {owned[0], owned[1], owned[2], owned[3]};
    const auto stages = plainStages(templateText, values);
    ASSERT_EQ(AgentWorkspace::fillTemplate(templateText, values), stages.back())
        << "template: " << templateText << " values: " << owned[0] << " | " << owned[1] << " | " << owned[2]
        << " | " << owned[3];
    uint64_t parts = templateText.size();
    for (const auto& v : values) parts += v.size();
    uint64_t largest = 0;
    for (size_t k = 1; k < stages.size(); ++k) largest = std::max<uint64_t>(largest, stages[k].size());
    const auto count = [](const std::string& in, const std::string& p) {
      size_t n = 0;
      for (size_t at = in.find(p); at != std::string::npos; at = in.find(p, at + p.size())) ++n;
      return n;
    };
    // A description placeholder that neither the template nor the name holds whole.
    crossings += count(stages[1], kPlaceholders[1]) > count(templateText, kPlaceholders[1]) +
                                                          count(templateText, kPlaceholders[0]) *
                                                              count(owned[0], kPlaceholders[1]);
    if (largest <= parts) continue;
    // Exactly at the limit it is built; one byte less and it is refused at
    // the first text over the limit, named with its exact size.
    ASSERT_EQ(AgentWorkspace::fillTemplate(templateText, values, largest - parts), stages.back());
    const std::string message = lengthFailure(templateText, values, largest - parts - 1);
    size_t over = 1;
    while (stages[over].size() < largest) ++over;
    const std::string named = over + 1 == stages.size() ? "the briefing would be " : "would expand to ";
    ASSERT_NE(message.find(named + std::to_string(largest) + " bytes"), std::string::npos) << message;
    ASSERT_NE(message.find("limit of " + std::to_string(largest - 1) + " bytes"), std::string::npos) << message;
    ++refusals;
  }
  EXPECT_GT(refusals, 500);
  EXPECT_GT(crossings, 10);  // matches that straddle a value's edge were tried
}

// Sizes that could never be built: terabytes from a request of under two
// megabytes, refused with the exact size.
TEST(AgentWorkspaceFill, SizesWhatCouldNeverBeBuilt) {
  std::string name, description;
  for (int i = 0; i < 50000; ++i) name += kPlaceholders[1];
  for (int i = 0; i < 50000; ++i) description += kPlaceholders[2];
  const std::string taskList(1000, 't');
  const std::string& templateText = AgentWorkspace::defaultTemplate();
  // The text with every description in place, which the task lists would
  // then take to terabytes, is already over the limit: nothing is built.
  const uint64_t size = templateText.size() - 2 * kPlaceholders[0].size() - kPlaceholders[1].size() +
                        (2ull * 50000 + 1) * description.size();
  const std::string message = lengthFailure(templateText, {name, description, taskList, "shared"},
                                            AgentWorkspace::kMaxExpansionBytes);
  EXPECT_NE(message.find("placeholders would expand to " + std::to_string(size) + " bytes on the way"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("plus 16777216"), std::string::npos) << message;

  // Shrinking at the end does not hide a huge text on the way.
  std::string subdirs;
  for (int i = 0; i < 2000; ++i) subdirs += kPlaceholders[3];
  const std::string twice = std::string(2000, 'x') + kPlaceholders[0] + kPlaceholders[0];
  const std::string onTheWay = lengthFailure(twice, {subdirs, "", "", ""}, 0);
  EXPECT_NE(onTheWay.find("placeholders would expand to 74000 bytes on the way"), std::string::npos) << onTheWay;
}

TEST_F(WorkspaceTest, RenderMakesTheWorkspaceWholeAndRemovesOnlyLeftovers) {
  workspace.provision("ag_1", "One", std::nullopt, tasks({}));
  EXPECT_EQ(entries(root / "ag_1"), (V{"CLAUDE.md", "inputs/", "logs/", "outputs/", "shared/"}));

  // What killed renders leave, and things that only look like it.
  fs::remove(root / "ag_1" / "inputs");
  fs::remove(root / "ag_1" / "shared");
  writeFile(root / "ag_1" / "outputs" / "result.txt", "kept");
  const V leftovers = {".CLAUDE.md.0123456789.tmp", ".CLAUDE.md.abcdefghij.tmp"};
  const V lookalikes = {".CLAUDE.md.ABCDEFGHIJ.tmp", ".CLAUDE.md.abc.tmp", ".CLAUDE.md.0123456789.tmp~",
                        "CLAUDE.md.0123456789.tmp", ".CLAUDE.md.01234567890.tmp", "notes.tmp"};
  for (const auto& name : leftovers) writeFile(root / "ag_1" / name, "partial");
  for (const auto& name : lookalikes) writeFile(root / "ag_1" / name, "mine");
  fs::create_directory(root / "ag_1" / ".CLAUDE.md.zzzzzzzzzz.tmp");
  fs::create_symlink("CLAUDE.md", root / "ag_1" / ".CLAUDE.md.yyyyyyyyyy.tmp");
  // A lock file left by a render killed while holding it is no obstacle.
  writeFile(root / "ag_1" / ".CLAUDE.md.lock", "");

  workspace.render("ag_1", "One", "d", tasks({{"t", "@daily", {"codex"}, "shared"}}));
  V expected = {".CLAUDE.md.yyyyyyyyyy.tmp", ".CLAUDE.md.zzzzzzzzzz.tmp/", "CLAUDE.md", "inputs/", "logs/",
                "outputs/", "shared/"};
  expected.insert(expected.end(), lookalikes.begin(), lookalikes.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(root / "ag_1"), expected);
  EXPECT_EQ(readFile(root / "ag_1" / "outputs" / "result.txt"), "kept");
  EXPECT_EQ(claude("ag_1"), briefing("One", "d", "- **t** \u2014 @daily (codex)"));

  EXPECT_FALSE(fs::exists(root / "ag_1" / ".CLAUDE.md.lock"));

  // A sub-directory that cannot be made is no reason to fail: the briefing
  // is written, the user's file in its place is left alone, and the
  // directories after it are still made.
  fs::remove(root / "ag_1" / "logs");
  fs::remove(root / "ag_1" / "shared");
  writeFile(root / "ag_1" / "logs", "in the way");
  workspace.render("ag_1", "Changed", {}, tasks({}));
  EXPECT_EQ(claude("ag_1"), briefing("Changed", "(no description)", "- (no other tasks yet)"));
  EXPECT_EQ(readFile(root / "ag_1" / "logs"), "in the way");
  EXPECT_TRUE(fs::is_directory(root / "ag_1" / "shared"));
  // The agent directory itself is another matter: without it there is no briefing.
  writeFile(root / "ag_2", "in the way");
  EXPECT_THROW(workspace.render("ag_2", "Two", {}, tasks({})), std::runtime_error);
  EXPECT_EQ(readFile(root / "ag_2"), "in the way");
}

TEST_F(WorkspaceTest, PermissionBitsOfTheEarlierFileAreKept) {
  const mode_t oldMask = ::umask(022);
  workspace.provision("ag_p", "P", {}, tasks({}));
  EXPECT_EQ(modeOf(root / "ag_p" / "CLAUDE.md"), 0644u);
  for (const mode_t mode : {0600u, 0640u, 0664u, 0400u}) {
    ASSERT_EQ(::chmod((root / "ag_p" / "CLAUDE.md").c_str(), mode), 0);
    workspace.render("ag_p", "P" + std::to_string(mode), {}, tasks({}));
    EXPECT_EQ(modeOf(root / "ag_p" / "CLAUDE.md"), mode);
    EXPECT_EQ(claude("ag_p"), briefing("P" + std::to_string(mode), "(no description)", "- (no other tasks yet)"));
  }
  ::umask(oldMask);
}

// Another render (here: anyone holding the lock on the agent directory)
// keeps this one from reading the tasks until it lets go, also when a lock
// file of an earlier version lies in the directory.
TEST_F(WorkspaceTest, TasksAreReadOnlyOnceTheLockIsHad) {
  workspace.provision("ag_l", "L", {}, tasks({}));
  const fs::path oldLockPath = root / "ag_l" / ".CLAUDE.md.lock";
  for (const bool oldLockFile : {false, true}) {
    if (oldLockFile) writeFile(oldLockPath, "");
    const int fd = ::open((root / "ag_l").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::atomic<bool> held{true};
    std::atomic<int> reads{0}, readsWhileHeld{0};
    const AgentWorkspace::TaskList late = listOf({{"late", "@daily", {}, "shared"}});
    std::thread other([&] {
      workspace.render("ag_l", "L", {}, [&]() -> const AgentWorkspace::TaskList& {
        ++reads;
        if (held) ++readsWhileHeld;
        return late;
      });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    held = false;
    ::close(fd);
    other.join();
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(readsWhileHeld, 0) << "the tasks were read while another render held the lock";
    EXPECT_EQ(claude("ag_l"), briefing("L", "(no description)", "- **late** \u2014 @daily ()"));
    EXPECT_FALSE(fs::exists(oldLockPath));
  }
}

// A list grown one task at a time at any place reads as the same list built
// in order, and so does the briefing's working sub-directory.
TEST(AgentWorkspaceTaskList, InsertingAnywhereMatchesBuildingInOrder) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::array<std::string, 3>> inOrder;  // name, tools' first, working sub-directory
    AgentWorkspace::TaskList grown;
    for (int n = std::uniform_int_distribution<int>(1, 12)(rng); n > 0; --n) {
      const std::array<std::string, 3> task = {"t" + std::to_string(rng() % 1000) + std::string(rng() % 3, '\n'),
                                               rng() % 2 ? "codex" : "", "d" + std::to_string(rng() % 5)};
      const size_t at = std::uniform_int_distribution<size_t>(0, inOrder.size())(rng);
      inOrder.insert(inOrder.begin() + static_cast<std::ptrdiff_t>(at), task);
      grown.insert(at, task[0], "@daily", task[1].empty() ? V{} : V{task[1], "x"}, task[2]);
    }
    AgentWorkspace::TaskList built;
    for (const auto& task : inOrder) built.add(task[0], "@daily", task[1].empty() ? V{} : V{task[1], "x"}, task[2]);
    ASSERT_EQ(grown.text(), built.text());
    ASSERT_EQ(grown.firstWorkingSubdir(), inOrder.front()[2]);
    ASSERT_EQ(grown.size(), inOrder.size());
  }
}

// A template left alone long enough is not read again until it changes; a
// change in place that keeps its size and inode is seen all the same, and
// so is its removal.
TEST_F(WorkspaceTest, TemplateIsReadAgainOnceItChanges) {
  const fs::path templatePath = dir / "template.md";
  AgentWorkspace withTemplate{root, templatePath};
  writeFile(templatePath, "A {{AGENT_NAME}}");
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // past the time its times are trusted after
  withTemplate.render("ag_t", "x", {}, tasks({}));
  EXPECT_EQ(claude("ag_t"), "A x");
  withTemplate.render("ag_t", "y", {}, tasks({}));
  EXPECT_EQ(claude("ag_t"), "A y");
  struct stat before {}, after {};
  ASSERT_EQ(::stat(templatePath.c_str(), &before), 0);
  writeFile(templatePath, "B {{AGENT_NAME}}");
  ASSERT_EQ(::stat(templatePath.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  withTemplate.render("ag_t", "z", {}, tasks({}));
  EXPECT_EQ(claude("ag_t"), "B z");
  fs::remove(templatePath);
  withTemplate.render("ag_t", "w", {}, tasks({}));
  EXPECT_EQ(claude("ag_t"), briefing("w", "(no description)", "- (no other tasks yet)"));
}

TEST_F(WorkspaceTest, OversizeRenderIsRefusedAndWritesNothing) {
  std::string description;
  for (int i = 0; i < 20000; ++i) description += "{{TASK_LIST}}";
  workspace.provision("ag_o", "O", description, tasks({}));
  const std::string before = claude("ag_o");
  const std::string longName(1000, 'n');
  try {
    workspace.render("ag_o", "O", description, tasks({{longName, "@daily", {"claude"}, "shared"}}));
    ADD_FAILURE() << "an oversize briefing was written";
  } catch (const std::runtime_error& e) {
    const std::string line = "- **" + longName + "** \u2014 @daily (claude)";
    const std::string size = std::to_string(briefing("O", "", "").size() + 20000 * line.size() + line.size());
    const std::string message = e.what();
    EXPECT_EQ(message.rfind("Could not write " + (root / "ag_o" / "CLAUDE.md").string() + ": ", 0), 0u) << message;
    EXPECT_NE(message.find("placeholders would expand to " + size + " bytes on the way, over its limit of "),
              std::string::npos)
        << message;
  }
  EXPECT_EQ(claude("ag_o"), before);
  EXPECT_EQ(entries(root / "ag_o"), (V{"CLAUDE.md", "inputs/", "logs/", "outputs/", "shared/"}));
}

// An agent directory that its owner may write in but not list (mode 0300)
// cannot be opened for reading: the render goes on without the lock and the
// look for leftovers, as renders did before there was a lock. Root opens any
// directory, so the render runs in a child that is another user then.
TEST_F(WorkspaceTest, AgentDirectoryThatCannotBeListedIsStillRendered) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 1;
    try {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
      char pattern[] = "/tmp/kovix-unlisted-XXXXXX";
      if (!::mkdtemp(pattern)) ::_exit(3);
      const fs::path home = pattern, agent = home / "agents" / "ag_w";
      AgentWorkspace mine(home / "agents", home / "no-template.md");
      mine.provision("ag_w", "W", {}, tasks({}));
      if (::chmod(agent.c_str(), 0300) != 0 || ::opendir(agent.c_str()) != nullptr) ::_exit(4);
      mine.render("ag_w", "Written", {}, tasks({{"t", "f", {"claude"}, "shared"}}));
      ::chmod(agent.c_str(), 0700);
      status = readFile(agent / "CLAUDE.md") == briefing("Written", "(no description)", "- **t** \u2014 f (claude)") &&
                       entries(agent) == V{"CLAUDE.md", "inputs/", "logs/", "outputs/", "shared/"}
                   ? 0
                   : 5;
      fs::remove_all(home);
    } catch (...) {
      status = 6;
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no other user, 3: no temporary directory, 4: the directory stayed "
                                       "listable, 5: the briefing or the workspace is wrong, 6: the render threw";
}
