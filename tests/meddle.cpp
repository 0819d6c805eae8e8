// meddle.cpp: a preloadable library that stands in for another program
// changing the map while the tool works on it. At the tool's first fsync or
// syncfs (the temporary file is complete; the rename has not happened),
// FLATCULL_MEDDLE=append:PATH appends a byte to PATH, replace:PATH puts a
// new file in its place, rewrite:PATH changes its last byte in place and puts
// its modification time back (as cp -p would leave it). At its first write
// of a new file, signal:N sends the tool signal N.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Meddle() {
  const char* how = std::getenv("FLATCULL_MEDDLE");
  static bool done = false;
  if (!how || done) return;
  done = true;
  std::string action = how, path = action.substr(action.find(':') + 1);
  if (action.rfind("append:", 0) == 0) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    if (fd >= 0 && write(fd, "x", 1) == 1) close(fd);
  } else if (action.rfind("rewrite:", 0) == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct stat st;
    char last;
    if (fd >= 0 && fstat(fd, &st) == 0 && pread(fd, &last, 1, st.st_size - 1) == 1) {
      last = static_cast<char>(~last);
      const timespec times[2] = {st.st_atim, st.st_mtim};
      if (pwrite(fd, &last, 1, st.st_size - 1) == 1) futimens(fd, times);
    }
    if (fd >= 0) close(fd);
  } else if (action.rfind("replace:", 0) == 0) {
    std::string other = path + ".other";
    if (FILE* f = std::fopen(other.c_str(), "wb")) {
      std::fputs("another program's map", f);
      std::fclose(f);
      std::rename(other.c_str(), path.c_str());
    }
  }
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  Meddle();
  return real(fd);
}

extern "C" int syncfs(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "syncfs"));
  Meddle();
  return real(fd);
}

extern "C" ssize_t writev(int fd, const struct iovec* iov, int count) {
  static auto real = reinterpret_cast<ssize_t (*)(int, const struct iovec*, int)>(dlsym(RTLD_NEXT, "writev"));
  static bool signalled = false;
  const char* how = std::getenv("FLATCULL_MEDDLE");
  if (how && !signalled && std::string(how).rfind("signal:", 0) == 0) {
    signalled = true;
    raise(std::atoi(how + 7));
  }
  return real(fd, iov, count);
}
