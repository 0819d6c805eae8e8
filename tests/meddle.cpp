// meddle.cpp: a preloadable library that stands in for another program
// changing the map while the tool works on it. At the tool's first fsync
// (the temporary file is complete; the rename has not happened),
// FLATCULL_MEDDLE=append:PATH appends a byte to PATH, and replace:PATH puts a
// new file in its place.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Meddle() {
  const char* how = std::getenv("FLATCULL_MEDDLE");
  if (!how) return;
  std::string action = how, path = action.substr(action.find(':') + 1);
  if (action.rfind("append:", 0) == 0) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    if (fd >= 0 && write(fd, "x", 1) == 1) close(fd);
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
  static bool done = false;
  if (!done) {
    done = true;
    Meddle();
  }
  return real(fd);
}
