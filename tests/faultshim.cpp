// faultshim.cpp: a preloadable library that makes one call of the tool's file
// routines fail, or a read or a gathered write come up short, so that the
// tests can check what a failing disk does to a load or a save.
//   FLATCULL_FAIL=NAME[:N],...  fail the Nth (default first) counted call of
//                               each NAME listed
//   FLATCULL_SHORT=NAME[:N]     make the Nth counted read or writev move only
//                               half of the bytes asked for (at least one)
//   FLATCULL_FAIL_LOG=PATH      append "NAME N" to PATH when either one fires
// NAME is one of open, fstat, read (the reading side), tmpfile (an unnamed
// new file: fails as a file system without them does), create (a named new
// file), fchmod, writev, fsync, syncfs, close, linkat, renameat (the writing
// side) and pwrite (writing over the map in place).
//   FLATCULL_SYNC_DELAY_MS=N    makes fsync, fdatasync and syncfs take N ms
//                               more, one at a time across threads: a disk
//                               whose flush is slow, where parallel flushes
//                               are not free Both settings count the same
// calls, so FLATCULL_SHORT=writev:1 with FLATCULL_FAIL=writev:2 fails the
// write that follows a short one.
// open counts only opens of a name ending in ".bsp" (the map), and fstat and
// read only calls on the descriptor that open returned; fchmod, writev and
// close count only calls on the descriptor of the new file. Each descriptor
// is forgotten once closed. fsync counts every call: the first syncs the new
// file, the second the map's folder after the rename. So
// console output, the log and a coverage build's data files neither shift the
// count nor fail. A failed call does nothing and returns -1 with errno set,
// except close, which still closes (as a real failing close does). Every
// other call goes to the real function.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int map_fd = -1;
int temp_fd = -1;

// Note: -1 is never either file, though both start as -1 (a failed open is
// still closed, with close(-1)).
bool IsMap(int fd) { return fd >= 0 && fd == map_fd; }
bool IsTemp(int fd) { return fd >= 0 && fd == temp_fd; }

template <typename Fn>
Fn Real(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (!fn) std::abort();
  return reinterpret_cast<Fn>(fn);
}

// Whether setting (FLATCULL_FAIL or FLATCULL_SHORT) names call number count
// of name.
bool Names(const char* setting, const char* name, int count) {
  const char* value = std::getenv(setting);
  size_t len = std::strlen(name);
  for (; value && *value; value = std::strchr(value, ',') ? std::strchr(value, ',') + 1 : nullptr) {
    if (std::strncmp(value, name, len) != 0 || (value[len] != '\0' && value[len] != ':' && value[len] != ','))
      continue;
    if ((value[len] == ':' ? std::atoi(value + len + 1) : 1) == count) return true;
  }
  return false;
}

void Log(const char* name, int count) {
  if (const char* log = std::getenv("FLATCULL_FAIL_LOG")) {
    // fopen's own open is internal to the C library: the shim does not see it.
    if (FILE* f = std::fopen(log, "a")) {
      std::fprintf(f, "%s %d\n", name, count);
      std::fclose(f);
    }
  }
}

enum class Fault { kNone, kFail, kShort };

// Counts a call of name and says what to do with it.
Fault Count(const char* name) {
  static const char* const kNames[] = {"open",  "fstat", "read",     "tmpfile", "create", "fchmod", "writev",
                                       "fsync", "close", "linkat", "renameat", "pwrite", "syncfs"};
  static int calls[sizeof kNames / sizeof kNames[0]];
  size_t index = 0;
  while (std::strcmp(kNames[index], name) != 0) ++index;
  int count = ++calls[index];
  Fault fault = Names("FLATCULL_FAIL", name, count)    ? Fault::kFail
                : Names("FLATCULL_SHORT", name, count) ? Fault::kShort
                                                       : Fault::kNone;
  if (fault != Fault::kNone) Log(name, count);
  return fault;
}

// A flush, slowed by FLATCULL_SYNC_DELAY_MS, one at a time.
template <typename Flush>
int SlowFlush(Flush flush) {
  static const int delay = std::getenv("FLATCULL_SYNC_DELAY_MS") ? std::atoi(std::getenv("FLATCULL_SYNC_DELAY_MS")) : 0;
  if (delay <= 0) return flush();
  static std::mutex one_at_a_time;
  std::lock_guard<std::mutex> hold(one_at_a_time);
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  return flush();
}

bool IsMapName(const char* path) {
  size_t len = std::strlen(path);
  return len >= 4 && std::strcmp(path + len - 4, ".bsp") == 0;
}

// The common part of the open family: real is the function intercepted.
template <typename Fn>
int OpenCounted(Fn real, const char* path, int flags, mode_t mode) {
  if (!IsMapName(path)) return real(path, flags, mode);
  if (Count("open") == Fault::kFail) {
    errno = EACCES;
    return -1;
  }
  int fd = real(path, flags, mode);
  if (fd >= 0) map_fd = fd;
  return fd;
}

mode_t ModeArg(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

template <typename Stat>
int FstatCounted(int (*real)(int, Stat*), int fd, Stat* st) {
  if (IsMap(fd) && Count("fstat") == Fault::kFail) {
    errno = EIO;
    return -1;
  }
  return real(fd, st);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  static auto real = Real<int (*)(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArg(flags, args);
  va_end(args);
  return OpenCounted(real, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  static auto real = Real<int (*)(const char*, int, ...)>("open64");
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArg(flags, args);
  va_end(args);
  return OpenCounted(real, path, flags, mode);
}

// What a fortified build calls for an open without a mode.
int __open_2(const char* path, int flags) {
  static auto real = Real<int (*)(const char*, int, ...)>("open");
  return OpenCounted(real, path, flags, 0);
}

int __open64_2(const char* path, int flags) {
  static auto real = Real<int (*)(const char*, int, ...)>("open64");
  return OpenCounted(real, path, flags, 0);
}

int fstat(int fd, struct stat* st) {
  static auto real = Real<int (*)(int, struct stat*)>("fstat");
  return FstatCounted(real, fd, st);
}

int fstat64(int fd, struct stat64* st) {
  static auto real = Real<int (*)(int, struct stat64*)>("fstat64");
  return FstatCounted(real, fd, st);
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  static auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  if (!IsMap(fd)) return real(fd, buf, count, offset);
  switch (Count("read")) {
    case Fault::kFail:
      errno = EIO;
      return -1;
    case Fault::kShort:
      return real(fd, buf, count > 1 ? count / 2 : count, offset);
    case Fault::kNone:
      break;
  }
  return real(fd, buf, count, offset);
}

// The new file: unnamed (O_TMPFILE) or created exclusively under a name.
int openat(int dir, const char* path, int flags, ...) {
  static auto real = Real<int (*)(int, const char*, int, ...)>("openat");
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArg(flags, args);
  va_end(args);
  bool unnamed = (flags & O_TMPFILE) == O_TMPFILE, named = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  // The map, opened in its folder to be read.
  if (!unnamed && !named && (flags & O_ACCMODE) == O_RDONLY)
    return OpenCounted([&](const char* p, int f, mode_t m) { return real(dir, p, f, m); }, path, flags, mode);
  if (!unnamed && !named) return real(dir, path, flags, mode);
  if (Count(unnamed ? "tmpfile" : "create") == Fault::kFail) {
    errno = unnamed ? EOPNOTSUPP : EACCES;
    return -1;
  }
  temp_fd = real(dir, path, flags, mode);
  return temp_fd;
}

int fchmod(int fd, mode_t mode) {
  static auto real = Real<int (*)(int, mode_t)>("fchmod");
  if (IsTemp(fd) && Count("fchmod") == Fault::kFail) {
    errno = EPERM;
    return -1;
  }
  return real(fd, mode);
}

// The map's own writes (in place); the new file's single writes pass.
ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (!IsTemp(fd) && Count("pwrite") == Fault::kFail) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, buf, count, offset);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  static auto real = Real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (!IsTemp(fd)) return real(fd, iov, iovcnt);
  switch (Count("writev")) {
    case Fault::kFail:
      errno = ENOSPC;
      return -1;
    case Fault::kShort: {
      // The same pieces cut at half their total, most likely inside a piece.
      size_t total = 0;
      for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
      size_t left = total > 1 ? total / 2 : total;
      std::vector<struct iovec> part;
      for (int i = 0; i < iovcnt && left > 0; ++i) {
        size_t take = iov[i].iov_len < left ? iov[i].iov_len : left;
        part.push_back({iov[i].iov_base, take});
        left -= take;
      }
      return real(fd, part.data(), static_cast<int>(part.size()));
    }
    case Fault::kNone:
      break;
  }
  return real(fd, iov, iovcnt);
}

int fsync(int fd) {
  static auto real = Real<int (*)(int)>("fsync");
  if (Count("fsync") == Fault::kFail) {
    errno = EIO;
    return -1;
  }
  return SlowFlush([&] { return real(fd); });
}

int fdatasync(int fd) {
  static auto real = Real<int (*)(int)>("fdatasync");
  return SlowFlush([&] { return real(fd); });
}

int syncfs(int fd) {
  static auto real = Real<int (*)(int)>("syncfs");
  if (Count("syncfs") == Fault::kFail) {
    errno = EIO;
    return -1;
  }
  return SlowFlush([&] { return real(fd); });
}

int close(int fd) {
  static auto real = Real<int (*)(int)>("close");
  if (IsMap(fd)) map_fd = -1;
  if (!IsTemp(fd)) return real(fd);
  temp_fd = -1;
  bool fail = Count("close") == Fault::kFail;
  int result = real(fd);
  if (!fail) return result;
  errno = EDQUOT;
  return -1;
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  static auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
  if (Count("linkat") == Fault::kFail) {
    errno = EMLINK;
    return -1;
  }
  return real(from_dir, from, to_dir, to, flags);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  static auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
  if (Count("renameat") == Fault::kFail) {
    errno = EXDEV;
    return -1;
  }
  return real(from_dir, from, to_dir, to);
}

}  // extern "C"
