// testutil.h: running the built tool as a user would, and scratch files.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct RunResult {
  int status = -1;   // exit status, or 128 + signal number
  std::string out;   // standard output as text: host line ends read as '\n'
  std::string raw;   // standard output byte for byte
};

// Runs the tool with args in directory cwd, standard input read from a file
// holding stdin_text. The tool is the build's flatcull, or $FLATCULL_TEST_EXE;
// when $FLATCULL_TEST_RUNNER is set (for instance "wine" or "qemu-s390x"), it
// is run through that program.
// before_exec, when given, runs in the child just before the tool starts (to
// set resource limits or drop privileges, say); on failure it should _exit.
RunResult RunTool(const std::vector<std::string>& args, const std::string& cwd,
                  const std::string& stdin_text = "",
                  const std::function<void()>& before_exec = nullptr);

// A fresh, empty directory that is removed with its content at process exit.
std::string MakeTempDir();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Names of the entries of directory dir, sorted.
std::vector<std::string> ListDir(const std::string& dir);

// The command that runs the tool: the runner's words, then the tool.
std::vector<std::string> ToolCommand();

// Whether the tool under test is a Windows exe (run through wine): its text
// streams end lines with CRLF and its current directory has a drive letter.
bool ToolIsWindowsExe();

// Directory dir (an absolute POSIX name) as the tool names it: unchanged, or
// on wine's drive Z:, which maps the root, "Z:" + dir.
std::string ToolDir(const std::string& dir);

// A text file the tool wrote (a log), read as the tool's host reads text:
// CRLF becomes '\n' for a Windows exe. A line end the host would not write
// there (a bare LF) fails the current test.
std::string ReadText(const std::string& path);

// Writes text as the tool's host writes a text file: '\n' becomes CRLF for a
// Windows exe.
void WriteText(const std::string& path, const std::string& text);

// Runs any command as RunTool runs the tool; out is read as the tool's text.
RunResult RunCommand(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::string& stdin_text = "",
                     const std::function<void()>& before_exec = nullptr);

// The banner the tool prints first, dated as the build dates it
// (FLATCULL_BUILD_DATE, which CMake gives the tool and the tests alike).
std::string Banner();

// Whether a library preloaded into the tool reaches it: not when the tool
// runs through FLATCULL_TEST_RUNNER (an emulator would get the library).
bool Preloadable();

// For RunTool's before_exec: preloads libraries (names joined with ':') into
// the tool, and sets each of env's variables.
void PreloadIntoTool(const std::string& libraries, const std::vector<std::pair<std::string, std::string>>& env);
