// measure.cpp: runs a command and prints its wall time and peak resident
// memory, finer than /usr/bin/time's hundredths of a second.
//   measure -- COMMAND ARGS...          one run
//   measure -l LIST -- COMMAND ARGS...  one run per line of LIST, in order,
//                                       with "{}" in ARGS replaced by the line
// Prints "SECONDS MAXRSS_KIB": the summed wall time of the runs and the
// largest peak resident set of any one of them (from wait4). Each run has
// standard input and output on /dev/null. Exits 1 if a run fails, so that a
// benchmark never reports the time of a refused map.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Sample {
  double seconds = 0;
  long maxrss_kib = 0;
};

// Runs argv once; returns its time and peak memory or ends the process.
Sample RunOnce(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("measure: fork");
    std::exit(1);
  }
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    execv(argv[0], argv.data());
    std::perror("measure: exec");
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) {
    std::perror("measure: wait4");
    std::exit(1);
  }
  auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measure: %s failed (status %d)\n", args[0].c_str(), status);
    std::exit(1);
  }
  return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss};
}

std::vector<std::string> Substitute(const std::vector<std::string>& args, const std::string& file) {
  std::vector<std::string> out = args;
  for (std::string& arg : out)
    if (arg == "{}") arg = file;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string list;
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "-l") == 0) {
    list = argv[i + 1];
    i += 2;
  }
  if (i >= argc || std::strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
    std::fprintf(stderr, "usage: measure [-l LIST] -- COMMAND ARGS...\n");
    return 2;
  }
  std::vector<std::string> args(argv + i + 1, argv + argc);
  Sample total;
  std::vector<std::string> files;
  if (list.empty()) {
    total = RunOnce(args);
  } else {
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) files.push_back(line);
    for (const std::string& file : files) {
      Sample one = RunOnce(Substitute(args, file));
      total.seconds += one.seconds;
      if (one.maxrss_kib > total.maxrss_kib) total.maxrss_kib = one.maxrss_kib;
    }
  }
  std::printf("%.6f %ld\n", total.seconds, total.maxrss_kib);
  return 0;
}
