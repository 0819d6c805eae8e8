// testutil.h: running the built tool as a user would, and scratch files.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;   // exit status, or 128 + signal number
  std::string out;   // everything written to standard output
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
