// unicode_test.cpp: names in any script and of any length, the system's
// words for a failed replace, the console, and the clean-up on a console
// event. scripts/cross-check.sh runs these against the Windows exe under
// wine (with a UTF-8 locale, in which wine reads Unix names); the native run
// takes the cases that hold on every host.
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapbuilder.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

const char* const kFolders[] = {"Дмитрий", "地图", "mapy_źdźbło/haritalar_ğüşıöç"};

std::string ScratchDir() { return fs::canonical(MakeTempDir()).string(); }

// Whether the file holds exactly these bytes; a mismatch is told by size,
// not printed.
::testing::AssertionResult Holds(const std::string& path, const std::string& bytes) {
  std::string found = ReadFile(path);
  if (found == bytes) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << " holds " << found.size() << " bytes, not " << bytes.size();
}

// The command that runs a Windows test helper built beside the exe
// (FLATCULL_WINDOWS_TEST_TOOLS).
std::vector<std::string> HelperCommand(const std::string& name) {
  std::vector<std::string> command = ToolCommand();
  command.back() = fs::path(command.back()).parent_path().string() + "/" + name;
  return command;
}

// The map, run on from inside its folder or from the folder above: the tool
// finds it, the console and the log name it in UTF-8, and it is compacted.
TEST(WindowsTest, MapAndLogInNonAsciiFoldersAreFoundNamedAndCompacted) {
  const std::string culled = BuildMap(SampleMapLumps(3, true));
  for (const char* folder : kFolders) {
    for (bool inside : {true, false}) {
      SCOPED_TRACE(std::string(folder) + (inside ? ", run inside it" : ", named from above"));
      std::string root = ScratchDir(), dir = root + "/" + folder;
      fs::create_directories(dir);
      WriteFile(dir + "/m.bsp", BuildSampleMap());
      std::string cwd = inside ? dir : root, prefix = inside ? "" : ToolDir(dir) + "/";
      RunResult saved = RunTool({"-nopause", "-logfile", prefix + "run", prefix + "m"}, cwd);
      EXPECT_EQ(saved.status, 0) << saved.out;
      EXPECT_TRUE(Holds(dir + "/m.bsp", culled));
      RunResult missing = RunTool({"-nopause", "-logfile", prefix + "run", prefix + "gone"}, cwd);
      EXPECT_EQ(missing.status, 1);
      std::string message = "File '" + ToolDir(dir) + "/gone.bsp' not found.\n";
      EXPECT_TRUE(missing.out.ends_with(message)) << missing.raw;
      ASSERT_EQ(ListDir(dir), (Names{"m.bsp", "run.log"}));
      EXPECT_EQ(ReadFile(dir + "/run.log"), saved.raw + missing.raw);
    }
  }
}

// Over 260 characters (UTF-16 units, as Windows counts), named in full or
// from a folder above: saved, logged, and no temporary file left behind.
TEST(WindowsTest, MapWhoseFullNameIsOver260CharactersIsSaved) {
  std::string tail = std::string(100, 'a') + "/" + std::string(100, 'b') + "/";
  for (int i = 0; i < 40; ++i) tail += "地图";
  for (bool absolute : {true, false}) {
    SCOPED_TRACE(absolute ? "full name" : "relative name");
    std::string root = ScratchDir(), dir = root + "/" + tail;
    fs::create_directories(dir);
    WriteFile(dir + "/m.bsp", BuildSampleMap());
    size_t units = 0;
    for (char c : ToolDir(dir) + "/m.bsp") units += (c & 0xC0) != 0x80;
    ASSERT_GT(units, 260u);
    std::string name = (absolute ? ToolDir(dir) : tail) + "/m.bsp";
    RunResult r = RunTool({"-nopause", "-logfile", name + ".log", name}, root);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Holds(dir + "/m.bsp", BuildMap(SampleMapLumps(3, true))));
    EXPECT_EQ(ListDir(dir), (Names{"m.bsp", "m.bsp.log"}));
  }
}

// A map held open without delete sharing cannot be replaced; the message
// gives the system's words, then the number.
TEST(WindowsTest, FailedReplaceCarriesTheSystemsText) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "POSIX renames over an open file";
  std::string exe = "Z:" + fs::absolute(ToolCommand().back()).string();
  std::vector<std::string> command = HelperCommand("holdopen.exe");
  ASSERT_TRUE(FileExists(command.back())) << "build with -DFLATCULL_WINDOWS_TEST_TOOLS=ON";
  std::string dir = ScratchDir(), map = BuildSampleMap();
  WriteFile(dir + "/m.bsp", map);
  for (const std::string& arg : Names{"m.bsp", exe, "-nopause", "-logfile", "run", "m.bsp"}) command.push_back(arg);
  RunResult r = RunCommand(command, dir);
  EXPECT_EQ(r.status, 1);
  std::smatch reason;
  std::string line = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  ASSERT_TRUE(std::regex_match(line, reason, std::regex("Error writing (.*): (.+) \\(Windows error [0-9]+\\)\n")))
      << r.out;
  EXPECT_EQ(reason[1], ToolDir(dir) + "/m.bsp");
  EXPECT_FALSE(reason[2].str().starts_with("Windows error")) << line;
  EXPECT_TRUE(Holds(dir + "/m.bsp", map));
  EXPECT_EQ(ReadFile(dir + "/run.log"), r.raw);
  EXPECT_EQ(ListDir(dir), (Names{"m.bsp", "run.log"}));
}

// Only the bytes change: a hidden and system map saved through a symbolic
// link keeps its attributes and the link; a read-only one is refused.
TEST(WindowsTest, SaveThroughALinkChangesOnlyTheMapsBytes) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "Windows attributes";
  for (unsigned attributes : {6u, 1u}) {
    std::string dir = ScratchDir(), map = BuildSampleMap();
    WriteFile(dir + "/m.bsp", map);
    fs::create_symlink("m.bsp", dir + "/l.bsp");
    std::vector<std::string> helper = HelperCommand("winhelper.exe");
    helper.insert(helper.end(), {"-attributes", "m.bsp", std::to_string(attributes)});
    RunCommand(helper, dir);
    RunResult r = RunTool({"-nopause", "l.bsp"}, dir);
    bool read_only = attributes == 1;
    // Messages name the real file, the link resolved.
    std::string end = read_only ? "Error writing " + ToolDir(dir) + "/m.bsp: the file is read-only"
                                     " (-out DIR writes the map to another folder)" : "Optimized!";
    EXPECT_TRUE(r.status == (read_only ? 1 : 0) && r.out.ends_with("\n" + end + "\n")) << r.out;
    EXPECT_TRUE(Holds(dir + "/m.bsp", read_only ? map : BuildMap(SampleMapLumps(3, true))));
    helper.pop_back();
    EXPECT_EQ(std::stoul(RunCommand(helper, dir).out) & attributes, attributes);
    EXPECT_EQ(fs::read_symlink(dir + "/l.bsp"), "m.bsp");
  }
}

// A program run at a terminal, of which wine makes its console.
struct Terminal {
  pid_t pid = -1;
  int fd = -1;
  std::string raw;     // what the program wrote so far
  std::string screen;  // that text as shown, control sequences dropped

  Terminal(std::vector<std::string> argv, const std::string& cwd) {
    winsize size{50, 200, 0, 0};  // wide enough that no name wraps
    pid = forkpty(&fd, nullptr, nullptr, &size);
    if (pid != 0) return;
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (chdir(cwd.c_str()) == 0) execvp(args[0], args.data());
    _exit(127);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  ~Terminal() { close(fd); }

  // Whether text is shown before the program closes the terminal; reads
  // until then. A cursor step right reads as spaces, the console's line ends
  // as '\n'.
  bool Shows(const std::string& text) {
    char buffer[4096];
    while (Screen().find(text) == std::string::npos) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) return false;
      raw.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // The text written so far as shown, control sequences dropped.
  const std::string& Screen() {
    screen.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw.compare(i, 2, "\x1b[") == 0) {
        size_t end = raw.find_first_of("ABCDEFGHJKLMPSTXfhlmnsu", i + 2);
        if (end != std::string::npos && raw[end] == 'C')
          screen.append(static_cast<size_t>(std::atoi(raw.c_str() + i + 2)), ' ');
        i = end == std::string::npos ? raw.size() : end;
      } else if (raw[i] != '\r') {
        screen += raw[i];
      }
    }
    return screen;
  }

  // Types keys. Note: wine's console takes the terminal out of line mode as
  // it starts, before the program shows anything; and a key typed earlier
  // would still be read once that mode is off.
  bool Type(const std::string& keys) { return write(fd, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size()); }

  // The program's exit status once it ends. (One that never ends is ended by
  // the test's time limit, tests/CMakeLists.txt.)
  int Finish() {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) != pid) return -1;
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
};

// At a console the names show as they are, and one key, without Enter,
// ends the pause.
TEST(WindowsTest, ConsoleShowsNonAsciiNamesAndOneKeyEndsThePause) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "the POSIX terminal's key: HostTest.PauseWaitsForAKeyAtATerminal";
  for (const char* folder : kFolders) {
    SCOPED_TRACE(folder);
    std::string dir = ScratchDir() + "/" + folder;
    fs::create_directories(dir);
    std::vector<std::string> command = ToolCommand();
    command.push_back("gone");
    Terminal tool(command, dir);
    ASSERT_GT(tool.pid, 0);
    EXPECT_TRUE(tool.Shows("Press a key to continue.")) << tool.screen;
    EXPECT_NE(tool.screen.find("File '" + ToolDir(dir) + "/gone.bsp' not found.\n"), std::string::npos) << tool.screen;
    EXPECT_TRUE(tool.Type("x"));
    EXPECT_EQ(tool.Finish(), 1);
  }
}

// A first interrupt during a save (Ctrl-C, Ctrl-Break, closing the window)
// is only noted and the save finishes; a second one, or any other event,
// removes the temporary file and ends the process with the map as it was.
// Ctrl-C is typed at the console; the other events cannot be sent under
// wine, so the helper calls the handler as the system does, and shows that
// the save cannot then go on.
TEST(WindowsTest, ConsoleEventDuringASaveLetsItFinishOrRemovesTheTemporaryFile) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "Windows console events";
  const struct {
    const char* what;
    const char* events;
    int status;  // -2: the system's own, as the default handler ends it
    bool saved;
  } cases[] = {{"Ctrl-C twice", "none", -2, false},
               {"Ctrl-Break", "1", 6, true},
               {"closing the window", "2", 6, true},
               {"Ctrl-Break, then Ctrl-C", "1,0", 0, false},
               {"logoff", "5", 0, false},
               {"shutdown", "6", 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string dir = ScratchDir(), map = BuildSampleMap();
    WriteFile(dir + "/m.bsp", map);
    std::vector<std::string> command = HelperCommand("winhelper.exe");
    ASSERT_TRUE(FileExists(command.back())) << "build with -DFLATCULL_WINDOWS_TEST_TOOLS=ON";
    command.insert(command.end(), {"m.bsp", c.events});
    Terminal helper(command, dir);
    ASSERT_GT(helper.pid, 0);
    EXPECT_TRUE(helper.Shows("pending\n")) << helper.screen;
    Names pending = ListDir(dir);
    ASSERT_EQ(pending.size(), 2u) << "no temporary file beside the map";
    EXPECT_TRUE(std::regex_match(pending[1], std::regex("m\\.bsp\\.flatcull-unsaved-[0-9a-f]{16}"))) << pending[1];
    if (c.status == -2) {
      EXPECT_TRUE(helper.Type("\x03") && helper.Shows("noted\n") && helper.Type("\x03")) << helper.screen;
    } else {
      WriteFile(dir + "/go", "");
    }
    int status = helper.Finish();
    // 3 is the helper's status when no event ended it, -1 Finish's when
    // nothing did.
    if (c.status == -2)
      EXPECT_TRUE(status != 3 && status != -1) << status;
    else
      EXPECT_EQ(status, c.status);
    EXPECT_TRUE(Holds(dir + "/m.bsp", c.saved ? "partial" : map));
    EXPECT_EQ(ListDir(dir), Names{"m.bsp"});
  }
}

}  // namespace
