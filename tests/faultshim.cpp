// faultshim.cpp: a preloadable library that makes one call of the tool's file
// routines fail, so that the tests can check what a failing disk does to a
// save or a load.
//   FLATCULL_FAIL=NAME[:N]   fail the Nth (default first) counted call of NAME
//   FLATCULL_FAIL_LOG=PATH   append "NAME N" to PATH when the failure fires
// NAME is one of fopen, fstat, fread (the reading side), mkstemp, fchmod,
// fdopen, fwrite, fseek, fflush, fsync, fclose, rename (the writing side).
// fchmod and fdopen count only calls on the descriptor mkstemp returned, and
// fwrite, fseek, fflush and fclose only calls on the stream fdopen made of it
// (the temporary file), and fread only calls on the stream fopen last made
// (the map), so that console output and a coverage build's own data files
// neither shift the count nor fail. A failed call does nothing and returns
// the failure value with errno set, except fclose, which still closes (as a
// real failing close does). Every other call goes to the real function.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int temp_fd = -1;
FILE* temp_stream = nullptr;
FILE* read_stream = nullptr;

template <typename Fn>
Fn Real(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (!fn) std::abort();
  return reinterpret_cast<Fn>(fn);
}

// Counts a call of name and returns true when it is the one to fail.
bool ShouldFail(const char* name) {
  static int calls[16];
  static const char* const kNames[] = {"fopen",  "fstat",  "fread", "mkstemp", "fchmod", "fdopen",
                                       "fwrite", "fseek",  "fflush", "fsync",  "fclose", "rename"};
  const char* fault = std::getenv("FLATCULL_FAIL");
  if (!fault) return false;
  size_t len = std::strlen(name);
  if (std::strncmp(fault, name, len) != 0 || (fault[len] != '\0' && fault[len] != ':')) return false;
  int wanted = fault[len] == ':' ? std::atoi(fault + len + 1) : 1;
  int index = 0;
  while (std::strcmp(kNames[index], name) != 0) ++index;
  if (++calls[index] != wanted) return false;
  if (const char* log = std::getenv("FLATCULL_FAIL_LOG")) {
    // Written with the real calls: the counted ones must not see this.
    static auto real_fopen = Real<FILE* (*)(const char*, const char*)>("fopen");
    static auto real_fclose = Real<int (*)(FILE*)>("fclose");
    if (FILE* f = real_fopen(log, "a")) {
      std::fprintf(f, "%s %d\n", name, wanted);
      real_fclose(f);
    }
  }
  return true;
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) {
  static auto real = Real<FILE* (*)(const char*, const char*)>("fopen");
  if (ShouldFail("fopen")) {
    errno = EACCES;
    return nullptr;
  }
  read_stream = real(path, mode);
  return read_stream;
}

int fstat(int fd, struct stat* st) {
  static auto real = Real<int (*)(int, struct stat*)>("fstat");
  if (ShouldFail("fstat")) {
    errno = EIO;
    return -1;
  }
  return real(fd, st);
}

size_t fread(void* buf, size_t size, size_t count, FILE* stream) {
  static auto real = Real<size_t (*)(void*, size_t, size_t, FILE*)>("fread");
  if (stream == read_stream && ShouldFail("fread")) {
    errno = EIO;
    return 0;
  }
  return real(buf, size, count, stream);
}

int mkstemp(char* templ) {
  static auto real = Real<int (*)(char*)>("mkstemp");
  if (ShouldFail("mkstemp")) {
    errno = EACCES;
    return -1;
  }
  temp_fd = real(templ);
  return temp_fd;
}

int fchmod(int fd, mode_t mode) {
  static auto real = Real<int (*)(int, mode_t)>("fchmod");
  if (fd == temp_fd && ShouldFail("fchmod")) {
    errno = EPERM;
    return -1;
  }
  return real(fd, mode);
}

FILE* fdopen(int fd, const char* mode) {
  static auto real = Real<FILE* (*)(int, const char*)>("fdopen");
  if (fd != temp_fd) return real(fd, mode);
  if (ShouldFail("fdopen")) {
    errno = ENOMEM;
    return nullptr;
  }
  temp_stream = real(fd, mode);
  return temp_stream;
}

size_t fwrite(const void* buf, size_t size, size_t count, FILE* stream) {
  static auto real = Real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
  if (stream == temp_stream && ShouldFail("fwrite")) {
    errno = ENOSPC;
    return 0;
  }
  return real(buf, size, count, stream);
}

int fseek(FILE* stream, long offset, int whence) {
  static auto real = Real<int (*)(FILE*, long, int)>("fseek");
  if (stream == temp_stream && ShouldFail("fseek")) {
    errno = ESPIPE;
    return -1;
  }
  return real(stream, offset, whence);
}

int fflush(FILE* stream) {
  static auto real = Real<int (*)(FILE*)>("fflush");
  if (stream == temp_stream && stream && ShouldFail("fflush")) {
    errno = ENOSPC;
    return EOF;
  }
  return real(stream);
}

int fsync(int fd) {
  static auto real = Real<int (*)(int)>("fsync");
  if (ShouldFail("fsync")) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

int fclose(FILE* stream) {
  static auto real = Real<int (*)(FILE*)>("fclose");
  bool fail = stream == temp_stream && stream && ShouldFail("fclose");
  if (stream == read_stream) read_stream = nullptr;
  if (stream == temp_stream) {
    temp_stream = nullptr;
    temp_fd = -1;
  }
  int result = real(stream);
  if (!fail) return result;
  errno = EDQUOT;
  return EOF;
}

int rename(const char* from, const char* to) {
  static auto real = Real<int (*)(const char*, const char*)>("rename");
  if (ShouldFail("rename")) {
    errno = EXDEV;
    return -1;
  }
  return real(from, to);
}

}  // extern "C"
