// testutil.cpp: process and scratch-file helpers for the tests (POSIX hosts),
// and reading the output of a tool built for another host.
#include "testutil.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::string>& TempDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

// The process that made the directories; a forked child (a death test) that
// exits must not remove them from under its parent.
pid_t owner_pid = 0;

void RemoveTempDirs() {
  if (getpid() != owner_pid) return;
  for (const auto& d : TempDirs()) {
    std::error_code ec;
    fs::permissions(d, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(d, ec);
  }
}

std::string ToolPath() {
  const char* exe = std::getenv("FLATCULL_TEST_EXE");
  return exe && *exe ? exe : FLATCULL_EXE;
}

// Text as the tool's host reads it back: for a Windows exe every line must
// end in CRLF, which becomes '\n'; a bare LF fails the test and is kept.
std::string HostText(const std::string& raw, const std::string& what) {
  if (!ToolIsWindowsExe()) return raw;
  std::string text;
  size_t bare = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) ++bare;
    text += raw[i];
  }
  if (bare) ADD_FAILURE() << what << " has " << bare << " line end(s) without CR, written by a Windows program";
  return text;
}

}  // namespace

std::string MakeTempDir() {
  static bool registered = false;
  if (!registered) {
    // Note: the list must exist before the handler is registered, so that it
    // is destroyed only after the handler has run.
    TempDirs();
    owner_pid = getpid();
    std::atexit(RemoveTempDirs);
    registered = true;
  }
  std::string templ = (fs::temp_directory_path() / "flatcull-test-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  TempDirs().push_back(templ);
  return templ;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

RunResult RunTool(const std::vector<std::string>& args, const std::string& cwd,
                  const std::string& stdin_text, const std::function<void()>& before_exec) {
  std::vector<std::string> argv_s = ToolCommand();
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  return RunCommand(argv_s, cwd, stdin_text, before_exec);
}

RunResult RunCommand(const std::vector<std::string>& argv_s, const std::string& cwd,
                     const std::string& stdin_text, const std::function<void()>& before_exec) {
  std::string scratch = MakeTempDir();
  std::string in_path = scratch + "/stdin";
  std::string out_path = scratch + "/stdout";
  WriteFile(in_path, stdin_text);
  std::vector<std::string> words = argv_s;

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    if (before_exec) before_exec();
    std::vector<char*> argv;
    for (auto& a : words) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.raw = ReadFile(out_path);
  r.out = HostText(r.raw, "standard output");
  return r;
}

std::vector<std::string> ToolCommand() {
  std::vector<std::string> command;
  if (const char* runner = std::getenv("FLATCULL_TEST_RUNNER"); runner && *runner) {
    std::istringstream words(runner);
    for (std::string w; words >> w;) command.push_back(w);
  }
  command.push_back(ToolPath());
  return command;
}

bool ToolIsWindowsExe() {
  std::string tool = ToolPath();
  if (tool.size() < 4) return false;
  std::string suffix = tool.substr(tool.size() - 4);
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".exe";
}

std::string ToolDir(const std::string& dir) { return ToolIsWindowsExe() ? "Z:" + dir : dir; }

std::string ReadText(const std::string& path) { return HostText(ReadFile(path), path); }

void WriteText(const std::string& path, const std::string& text) {
  if (!ToolIsWindowsExe()) return WriteFile(path, text);
  std::string host;
  for (char c : text) host += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteFile(path, host);
}

std::string Banner() {
  return "\n\nTessavar by Orlwen, v1.5 (" FLATCULL_BUILD_DATE ")\nBased on code by Hollin Software\n";
}

bool Preloadable() {
  const char* runner = std::getenv("FLATCULL_TEST_RUNNER");
  return !runner || !*runner;
}

void PreloadIntoTool(const std::string& libraries, const std::vector<std::pair<std::string, std::string>>& env) {
  setenv("LD_PRELOAD", libraries.c_str(), 1);
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  // A sanitizer build's runtime must come first among the libraries; the
  // preloaded ones only wrap libc calls and do not mind.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
}
