// host_test.cpp: what must hold on every host the tool is built for: the same
// bytes written everywhere, the host's own line ends and path names, the
// pause, and a map replaced in one step. Run against the native build, and by
// scripts/cross-check.sh against the Windows exe under wine and the s390x
// build under qemu.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostmaps.h"
#include "mapbuilder.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

std::string ScratchDir() { return fs::canonical(MakeTempDir()).string(); }

std::string Backslashes(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

TEST(HostTest, EveryBuildWritesTheSameBytes) {
  for (const HostMap& map : CrossHostMaps()) {
    SCOPED_TRACE(map.name);
    std::string dir = ScratchDir();
    WriteFile(dir + "/m.bsp", map.input);
    RunResult r = RunTool({"-nopause", "m.bsp"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), map.expected);
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{"m.bsp"});
  }
}

// Console and log are text streams: CRLF on Windows, LF elsewhere, and the
// log holds the very bytes the console got.
TEST(HostTest, ConsoleAndLogGetTheHostsLineEnds) {
  std::string dir = ScratchDir();
  WriteFile(dir + "/m.bsp", BuildSampleMap());
  RunResult r = RunTool({"-logfile", "run", "m.bsp"}, dir, "\n");
  ASSERT_EQ(r.status, 0) << r.out;
  size_t lines = 0;
  for (char c : r.out) lines += c == '\n';
  ASSERT_GT(lines, 20u);
  std::string host_text;
  for (char c : r.out) host_text += c == '\n' && ToolIsWindowsExe() ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(r.raw, host_text);
  EXPECT_EQ(ReadFile(dir + "/run.log"), r.raw);
}

// Names from the command line become absolute and forward-slashed, relative
// ones joined to the current directory of the drive, however they were
// written; a map given as one full path, as dropping it on the exe gives it,
// is processed.
TEST(HostTest, NamesInEveryFormReachTheSameMap) {
  const std::string map = BuildSampleMap(1), culled = BuildMap(SampleMapLumps(1, true));
  struct Case {
    std::string arg;      // "$D" stands for the directory as the tool names it
    bool windows_only;
    std::string folder = "sub";  // the map's, in the directory
  };
  const Case cases[] = {
      {"sub/m", false},
      {"sub\\m.bsp", true},
      // Elsewhere a '\' is part of a folder's name.
      {"sub\\x/m", false, ToolIsWindowsExe() ? "sub/x" : "sub\\x"},
      {"$D/sub/m", false},
      {"$D\\sub\\m", true},  // drag and drop on Windows: "Z:\tmp\...\sub\m.bsp"
      {"Z:sub\\m", true},     // relative to the current directory of drive Z:
      {"\\" "$R\\sub\\m", true},  // rooted on the current drive
  };
  for (const Case& c : cases) {
    if (c.windows_only && !ToolIsWindowsExe()) continue;
    std::string dir = ScratchDir();
    std::string arg = c.arg;
    if (size_t at = arg.find("$D"); at != std::string::npos)
      arg.replace(at, 2, c.windows_only ? Backslashes(ToolDir(dir)) : ToolDir(dir));
    if (size_t at = arg.find("$R"); at != std::string::npos) arg.replace(at, 2, Backslashes(dir.substr(1)));
    SCOPED_TRACE("argument " + arg);
    fs::create_directories(dir + "/" + c.folder);
    WriteFile(dir + "/" + c.folder + "/m.bsp", map);
    RunResult r = RunTool({arg, "-nopause"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir + "/" + c.folder + "/m.bsp"), culled);
  }
}

// The names the tool forms, as its messages and the log's place show them.
TEST(HostTest, DriveLetterAndBackslashNamesBecomeAbsoluteForwardSlashed) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "drive letters belong to Windows";
  std::string dir = ScratchDir();
  std::string tool_dir = ToolDir(dir);
  ASSERT_EQ(tool_dir.substr(0, 3), "Z:/") << "wine maps / to drive Z:";
  const std::pair<std::string, std::string> cases[] = {
      {"nothere", tool_dir + "/nothere.bsp"},
      {"sub\\nothere", tool_dir + "/sub/nothere.bsp"},
      {Backslashes(tool_dir) + "\\x\\nothere.old", tool_dir + "/x/nothere.old"},
      {"C:sub\\map", "C:sub/map.bsp"},
      {"\\no\\such\\map", "/no/such/map.bsp"},
  };
  for (const auto& [arg, name] : cases) {
    SCOPED_TRACE("argument " + arg);
    RunResult r = RunTool({"-nopause", arg}, dir);
    EXPECT_EQ(r.status, 1);
    std::string message = "File '" + name + "' not found.\n";
    ASSERT_GE(r.out.size(), message.size());
    EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);
  }
  fs::create_directory(dir + "/logs");
  RunResult r = RunTool({"-nopause", "-logfile", "logs\\run"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ListDir(dir + "/logs"), std::vector<std::string>{"run.log"});
}

// Starts the tool, in a process group of its own, with in_fd as its standard
// input and its output going to out_fd, or else to a file at out_path.
struct Child {
  pid_t pid;
  std::string out_path;
};

Child StartWithInput(const std::vector<std::string>& args, const std::string& cwd, int in_fd, int out_fd = -1) {
  std::vector<std::string> argv_s = ToolCommand();
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::string out_path = MakeTempDir() + "/stdout";
  pid_t pid = fork();
  if (pid == 0) {
    int out = out_fd >= 0 ? out_fd : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    signal(SIGINT, SIG_DFL);  // whatever the test runner's is
    signal(SIGTSTP, SIG_DFL);
    // Its parent, this test, is in the same session: the group is not
    // orphaned, so a SIGTSTP stops it as it would under a shell.
    setpgid(0, 0);
    if (out < 0 || dup2(in_fd, 0) < 0 || dup2(out, 1) < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return {pid, out_path};
}

// Waits for the child to end: its exit status, or 128 plus the signal's
// number when a signal ended it. (A tool that never ends is ended by the
// test's time limit, tests/CMakeLists.txt.)
int WaitFor(pid_t pid) {
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) != pid) return -1;
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Reads what the tool shows on the terminal at master into shown, until
// shown ends with text or every end of the terminal has been closed.
void ReadUntil(int master, const std::string& text, std::string& shown) {
  char buffer[4096];
  while (!shown.ends_with(text)) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) return;
    shown.append(buffer, static_cast<size_t>(n));
  }
}

// A pseudo-terminal: its master, and the terminal end opened for the tool.
std::pair<int, int> OpenTerminal() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {-1, -1};
  return {master, open(ptsname(master), O_RDWR | O_NOCTTY)};
}

// Unless input and output are both a terminal there is no prompt and no
// wait, and the input is left for whoever reads it next (a script's list of
// maps, say). Regression: with the output in a file and the input at a
// terminal, the tool waited unseen and put its prompt in the file.
TEST(HostTest, NoPauseUnlessInputAndOutputAreATerminal) {
  for (bool input_is_terminal : {false, true}) {
    if (input_is_terminal && ToolIsWindowsExe()) continue;  // wine makes a console of a terminal
    SCOPED_TRACE(input_is_terminal ? "input at a terminal, output in a file" : "input and output in files");
    std::string dir = ScratchDir();
    WriteFile(dir + "/m.bsp", BuildSampleMap(1));
    WriteFile(dir + "/list", "next.bsp\n");
    auto [master, terminal] = OpenTerminal();
    int in = input_is_terminal ? terminal : open((dir + "/list").c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    Child child = StartWithInput({"m.bsp"}, dir, in);
    EXPECT_EQ(WaitFor(child.pid), 0);
    std::string shown = ReadFile(child.out_path);
    // The Windows console's line ends are CRLF in a file.
    EXPECT_TRUE(shown.ends_with(ToolIsWindowsExe() ? "\r\nOptimized!\r\n" : "\nOptimized!\n")) << shown;
    if (!input_is_terminal) {
      EXPECT_EQ(lseek(in, 0, SEEK_CUR), 0) << "the tool read its standard input";
      close(in);
    }
    close(terminal);
    close(master);
  }
}

// At a terminal the prompt is shown and the tool waits for one key, without
// Enter, or ends on a signal as it would otherwise (the save's handler armed
// or not); either way the terminal is left in the mode it had.
TEST(HostTest, PauseWaitsForAKeyAtATerminal) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "a console takes one key: WindowsTest.ConsoleShowsNonAsciiNamesAndOneKeyEndsThePause";
  const struct {
    const char* map;  // processed before the pause, or null
    int signo;        // sent to the waiting tool instead of the key 'x'
    int status;
  } cases[] = {{nullptr, 0, 0}, {nullptr, SIGINT, 128 + SIGINT}, {"m.bsp", SIGINT, 128 + SIGINT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.map ? "after a save, " : "") + (c.signo ? "SIGINT" : "key"));
    auto [master, terminal] = OpenTerminal();
    ASSERT_GE(terminal, 0);
    termios before{}, mode{};
    ASSERT_EQ(tcgetattr(terminal, &before), 0);
    std::string dir = ScratchDir();
    if (c.map) WriteFile(dir + "/" + c.map, BuildSampleMap(1));
    Child child =
        StartWithInput(c.map ? std::vector<std::string>{c.map} : std::vector<std::string>{}, dir, terminal, terminal);
    std::string shown;
    ReadUntil(master, "Press a key to continue.\r\n", shown);
    // The prompt comes once one key will do.
    EXPECT_TRUE(shown.ends_with("\r\nPress a key to continue.\r\n")) << shown;
    EXPECT_EQ(tcgetattr(terminal, &mode), 0);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), 0u) << "the terminal is still in line mode";
    if (c.signo)
      kill(child.pid, c.signo);
    else
      EXPECT_EQ(write(master, "x", 1), 1);
    EXPECT_EQ(WaitFor(child.pid), c.status);
    ASSERT_EQ(tcgetattr(terminal, &mode), 0);
    EXPECT_TRUE(mode.c_iflag == before.c_iflag && mode.c_oflag == before.c_oflag && mode.c_cflag == before.c_cflag &&
                mode.c_lflag == before.c_lflag && std::memcmp(mode.c_cc, before.c_cc, sizeof mode.c_cc) == 0)
        << "the terminal's mode is not the one it had";
    // A tool that ended without waiting left the key unread. Note: a read
    // that finds nothing first takes in what the terminal has been sent.
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    mode.c_cc[VMIN] = mode.c_cc[VTIME] = 0;
    char key = 0;
    if (!c.signo) {
      EXPECT_TRUE(tcsetattr(terminal, TCSANOW, &mode) == 0 && read(terminal, &key, 1) == 0) << key;
    }
    close(terminal);
    close(master);
  }
}

// Regression: after Ctrl-Z and fg at the pause the key was echoed and Enter
// was needed. During the stop the terminal has its mode back (as the shell
// finds it, the shell leaves it); on continue the one-key mode returns, so
// one key without Enter ends the wait.
TEST(HostTest, OneKeyModeComesBackAfterAStopAtThePause) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "Windows has no job control";
  auto [master, terminal] = OpenTerminal();
  ASSERT_GE(terminal, 0);
  termios before{}, mode{};
  ASSERT_EQ(tcgetattr(master, &before), 0);
  Child child = StartWithInput({}, ScratchDir(), terminal, terminal);
  close(terminal);  // the tool's end of the terminal closes with it
  std::string shown;
  ReadUntil(master, "Press a key to continue.\r\n", shown);
  ASSERT_TRUE(shown.ends_with("Press a key to continue.\r\n")) << shown;
  kill(child.pid, SIGTSTP);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child.pid, &wstatus, WUNTRACED), child.pid);
  ASSERT_TRUE(WIFSTOPPED(wstatus));
  ASSERT_EQ(tcgetattr(master, &mode), 0);
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), ICANON | ECHO) << "stopped with the terminal in one-key mode";
  ASSERT_EQ(tcsetattr(master, TCSANOW, &before), 0);  // as the shell does
  kill(child.pid, SIGCONT);
  EXPECT_EQ(write(master, "x", 1), 1);
  EXPECT_EQ(WaitFor(child.pid), 0) << "one key did not end the wait after fg";
  ASSERT_EQ(tcgetattr(master, &mode), 0);
  EXPECT_EQ(mode.c_lflag, before.c_lflag) << "the terminal's mode is not the one it had";
  close(master);
}

// A map with a second name (hard link) is written in place, after a durable
// copy, so that both names see the new map; the copy is gone afterwards.
TEST(HostTest, HardLinkedMapIsWrittenInPlace) {
  std::string dir = ScratchDir();
  std::string map = BuildSampleMap();
  WriteFile(dir + "/m.bsp", map);
  fs::create_hard_link(dir + "/m.bsp", dir + "/old.bsp");
  RunResult r = RunTool({"-nopause", "m.bsp"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ReadFile(dir + "/old.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"m.bsp", "old.bsp"}));
}

// On Windows a map open in another program (sharing reading and writing, not
// deletion, as an editor or the game opens it) cannot be replaced: the save
// fails and the map stays as it was, with no temporary file left.
TEST(HostTest, MapHeldOpenElsewhereIsKeptWhenTheReplaceFails) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "POSIX renames over an open file";
  std::vector<std::string> command = ToolCommand();
  std::string exe = command.back();
  std::string holder = fs::path(exe).parent_path().string() + "/holdopen.exe";
  ASSERT_TRUE(FileExists(holder)) << "build with -DFLATCULL_WINDOWS_TEST_TOOLS=ON";
  std::string dir = ScratchDir();
  std::string map = BuildSampleMap();
  WriteFile(dir + "/m.bsp", map);
  command.back() = holder;
  for (std::string arg : {std::string("m.bsp"), "Z:" + Backslashes(fs::absolute(exe).string()), std::string("-nopause"),
                          std::string("m.bsp")})
    command.push_back(arg);
  RunResult r = RunCommand(command, dir);
  EXPECT_EQ(r.status, 1) << r.out;
  std::string failure = "\n************ ERROR ************\nError writing " + ToolDir(dir) + "/m.bsp: ";
  EXPECT_NE(r.out.find(failure), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), map);
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{"m.bsp"});
}

}  // namespace
