// common_test.cpp: message output to the console and the log, failures,
// whole-file reading and the replacement of a file.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/fileio.h"
#include "save/transaction.h"
#include "mapbuilder.h"
#include "refusal.h"
#include "testutil.h"

namespace {

std::string Drain(FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) text.append(buf, n);
  return text;
}

// What body prints to the console and, with a log open, to the log.
std::pair<std::string, std::string> Printed(const std::function<void()>& body) {
  LogFile = std::tmpfile();
  if (!LogFile) throw std::runtime_error("tmpfile failed");
  testing::internal::CaptureStdout();
  body();
  std::string out = testing::internal::GetCapturedStdout();
  std::string log = Drain(LogFile);
  std::fclose(LogFile);
  LogFile = nullptr;
  return {out, log};
}

TEST(ConsoleTest, TeePrintWritesSameBytesToConsoleAndLog) {
  static const std::string x(2000, 'x');
  struct Case {
    const char* name;
    std::function<void()> print;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", [] { TeePrint("\nOptimized!\n"); }, "\nOptimized!\n"},
      {"integer", [] { TeePrint("Planes in map: %i\n", 42); }, "Planes in map: 42\n"},
      {"percent from format", [] { TeePrint("%5.1f%%\n", 12.34); }, " 12.3%\n"},
      {"percent from value", [] { TeePrint("%s", "100%d %s %%"); }, "100%d %s %%"},
      {"empty", [] { TeePrint("%s", ""); }, ""},
      {"1023 kept", [] { TeePrint("%s", x.substr(0, 1023).c_str()); }, x.substr(0, 1023)},
      {"1024 whole", [] { TeePrint("%s", x.substr(0, 1024).c_str()); }, x.substr(0, 1024)},
      {"2003 whole", [] { TeePrint("ab%s\n", x.c_str()); }, "ab" + x + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Printed(c.print), std::make_pair(c.expected, c.expected));
  }
}

TEST(ConsoleTest, TeePrintWithoutLogWritesConsoleOnly) {
  LogFile = nullptr;
  testing::internal::CaptureStdout();
  TeePrint("File '%s' not found.", "/m/a.bsp");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "File '/m/a.bsp' not found.");
}

// Each message is on the console before anything else happens, so output
// that a later crash or hang follows is not lost.
TEST(ConsoleDeathTest, TeePrintFlushesStandardOutput) {
  std::string out = MakeTempDir() + "/out";
  EXPECT_EXIT(
      {
        if (!std::freopen(out.c_str(), "w", stdout)) std::_Exit(99);
        TeePrint("kept %d", 1);
        std::_Exit(3);
      },
      testing::ExitedWithCode(3), "");
  EXPECT_EQ(ReadFile(out), "kept 1");
}

TEST(ConsoleTest, FatalErrorThrowsTheFormattedMessageAndPrintsNothing) {
  static const std::string y(2000, 'y');
  const struct {
    std::function<void()> raise;
    std::string message;
  } cases[] = {
      {[] { FatalError("%s is version %i, not %i", "/m/a.bsp", 29, 30); }, "/m/a.bsp is version 29, not 30"},
      {[] { FatalError("Error opening %s: %s", "C:/100%d/a.bsp", "%s"); }, "Error opening C:/100%d/a.bsp: %s"},
      {[] { FatalError("%s", y.substr(0, 1023).c_str()); }, y.substr(0, 1023)},
      {[] { FatalError("ab%s", y.c_str()); }, "ab" + y},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 40));
    std::string message = "(nothing raised)";
    auto printed = Printed([&] {
      try {
        c.raise();
      } catch (const MapFailure& failure) {
        message = failure.what();
      }
    });
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(printed, std::make_pair(std::string(), std::string()));
  }
}

TEST(ConsoleTest, ReportFailurePrintsTheBannerAndMessageToConsoleAndLog) {
  const std::pair<std::string, std::string> cases[] = {
      {"File read failure", "\n************ ERROR ************\nFile read failure\n"},
      {"100%d %s", "\n************ ERROR ************\n100%d %s\n"},
      {"", "\n************ ERROR ************\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(Printed([&] { ReportFailure(c.first); }), std::make_pair(c.second, c.second));
  }
}

TEST(FileIoTest, ReadWholeFileReturnsTheFilesBytes) {
  std::string dir = MakeTempDir();
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 256);
  const std::string contents[] = {"", "a", std::string("\0\x01\xff\0", 4), big};
  for (const std::string& bytes : contents) {
    SCOPED_TRACE("length " + std::to_string(bytes.size()));
    std::string path = dir + "/f" + std::to_string(bytes.size());
    WriteFile(path, bytes);
    FileBytes file = ReadWholeFile(path);
    ASSERT_EQ(file.size, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data.get()), bytes.size()), bytes);
  }
}

// What ReadWholeFile makes of path: "not found: " and what() for a
// FileNotFound, the message of any other failure, or the size read. Runs in a
// child process, so that a read that waits (as the open of a FIFO without a
// writer would) hangs only the child, which the test's time limit then ends
// (tests/CMakeLists.txt).
std::string ReadOutcome(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    std::string outcome;
    try {
      outcome = "read " + std::to_string(ReadWholeFile(path).size) + " bytes";
    } catch (const FileNotFound& failure) {
      outcome = std::string("not found: ") + failure.what();
    } catch (const FileTooLarge& failure) {
      outcome = failure.what();
    } catch (const FileFailure& failure) {
      outcome = failure.what();
    }
    std::_Exit(write(fds[1], outcome.data(), outcome.size()) == static_cast<ssize_t>(outcome.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string outcome;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) outcome.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFSIGNALED(wstatus) ? "killed by signal " + std::to_string(WTERMSIG(wstatus)) : outcome;
}

TEST(FileIoTest, ReadWholeFileRefusesAllButARegularFileBelow2GiB) {
  std::string dir = MakeTempDir();
  std::string big = dir + "/big.bsp", missing = big + "/100%d.bsp", fifo = dir + "/fifo.bsp";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(big, "");
  std::filesystem::resize_file(big, uintmax_t{1} << 31);  // sparse: no data is written
  const std::pair<std::string, std::string> cases[] = {
      {missing, "not found: " + missing},  // through a file: ENOTDIR, as good as ENOENT
      {dir, "Error opening " + dir + ": " + std::strerror(EISDIR)},
      {fifo, "Error opening " + fifo + ": not a regular file"},
      {"/dev/null", "Error opening /dev/null: not a regular file"},
      {big, big + " is too large (2147483648 bytes): a map file must be smaller than 2 GiB"},
  };
  for (const auto& [path, outcome] : cases) EXPECT_EQ(ReadOutcome(path), outcome);
}

// Under nohup the tool inherits SIGHUP ignored, and a SIGHUP sent while its
// temporary file is pending must not end it. The sender waits for the file
// to appear; the tool then waits in its pause for a key from a pipe that the
// sender closes only after sending, so the signal reaches the tool before it
// can end.
TEST(ReplacementFileTest, InheritedIgnoredSighupStaysIgnoredThroughASave) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "Windows has no SIGHUP";
  std::string dir = std::filesystem::canonical(MakeTempDir()).string();
  WriteFile(dir + "/m.bsp", BuildSampleMap());
  RunResult r = RunTool({"-logfile", "run", "m.bsp"}, dir, "", [dir] {
    std::signal(SIGHUP, SIG_IGN);
    // The tool's input and output are a terminal, so that it waits in its
    // pause until the watcher has sent the signal and then presses a key;
    // the log shows what it printed.
    int watch = inotify_init1(IN_CLOEXEC), master = posix_openpt(O_RDWR | O_NOCTTY);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_CREATE) < 0 || master < 0 || grantpt(master) != 0 ||
        unlockpt(master) != 0)
      _exit(126);
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    pid_t tool = getpid();
    if (terminal < 0) _exit(126);
    if (fork() == 0) {
      // Watches the folder and the tool: should the tool end without making
      // its file, the watcher ends too.
      int tool_ended = static_cast<int>(syscall(SYS_pidfd_open, tool, 0));
      if (tool_ended < 0) _exit(1);
      pollfd events_or_end[] = {{watch, POLLIN, 0}, {tool_ended, POLLIN, 0}};
      alignas(inotify_event) char events[4096];
      while (poll(events_or_end, 2, -1) > 0 && !(events_or_end[1].revents & POLLIN)) {
        ssize_t n = read(watch, events, sizeof events);
        if (n <= 0) _exit(1);
        for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
          if (std::strstr(reinterpret_cast<inotify_event*>(p)->name, ".flatcull-")) {
            if (kill(tool, SIGHUP) != 0 || write(master, "\n", 1) != 1) _exit(1);
            // The terminal must outlive the tool's look at it.
            poll(&events_or_end[1], 1, -1);
            _exit(0);
          }
      }
      _exit(1);
    }
    if (dup2(terminal, 0) < 0 || dup2(terminal, 1) < 0) _exit(126);
    close(terminal);
    close(master);
    close(watch);
  });
  EXPECT_EQ(r.status, 0);
  const std::string end = "\nOptimized!\n\nPress a key to continue.\n";
  std::string log = ReadFile(dir + "/run.log");
  EXPECT_EQ(log.substr(log.size() - std::min(log.size(), end.size())), end) << log;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"m.bsp", "run.log"}));
}

// With SIGHUP at its default, the signal ends the process as it would have,
// with no new file left behind; the target keeps its bytes.
TEST(ReplacementFileTest, SighupDuringASaveLeavesNoNewFile) {
  struct sigaction now {};
  sigaction(SIGHUP, nullptr, &now);
  if (now.sa_handler == SIG_IGN) GTEST_SKIP() << "this process ignores SIGHUP, and so must a save in it";
  std::string dir = MakeTempDir(), target = dir + "/m.bsp";
  WriteFile(target, "old");
  pid_t pid = fork();
  if (pid == 0) {
    ReplacementFile out(target, 0644);
    out.Write({{"new", 3}});
    std::raise(SIGHUP);
    std::_Exit(0);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGHUP) << "wait status " << wstatus;
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{"m.bsp"});
  EXPECT_EQ(ReadFile(target), "old");
}

}  // namespace
