// fileio.cpp: whole-file reading and safe replacement of a file.
// Owns the one pending replacement: the target's path, the temporary file
// beside it and its stream. While a temporary file is pending, an exit or a
// terminating signal removes it; once it has been renamed over the target
// nothing is pending.
#include "common/fileio.h"

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

struct PendingWrite {
  std::string target;  // the file being replaced, links followed
  std::string temp;    // the temporary file, empty when none is pending
  FILE* stream = nullptr;
};

PendingWrite pending;

// The temporary file's name as the signal handler sees it: set only while
// the name is complete and stable, so the handler can unlink it safely.
const char* volatile signal_temp_path = nullptr;

// Closes and removes a pending temporary file. Safe to run more than once.
void RemovePendingTemp() {
  signal_temp_path = nullptr;
  if (pending.stream) std::fclose(pending.stream);
  pending.stream = nullptr;
  if (!pending.temp.empty()) std::remove(pending.temp.c_str());
  pending.temp.clear();
}

#ifndef _WIN32
// Note: only async-signal-safe calls here.
void RemoveTempOnSignal(int signo) {
  const char* temp = signal_temp_path;
  if (temp) unlink(temp);
  signal(signo, SIG_DFL);
  raise(signo);
}
#endif

void ArmCleanup() {
  static bool armed = false;
  if (armed) return;
  armed = true;
  std::atexit(RemovePendingTemp);
#ifndef _WIN32
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) signal(signo, RemoveTempOnSignal);
#endif
}

// Removes the temporary file and ends the run, naming the target and the
// system's reason (taken before the clean-up can change errno).
[[noreturn]] void FailWrite(const char* reason) {
  std::string why = reason;
  std::string target = pending.target;
  RemovePendingTemp();
  FatalError("Error writing %s: %s", target.c_str(), why.c_str());
}

[[noreturn]] void FailWriteErrno() { FailWrite(std::strerror(errno)); }

#ifdef _WIN32

std::string ResolveLinks(const char* path) { return path; }


// Creates a new file named after the target, exclusively.
int CreateTempFile(const std::string& target, std::string& temp) {
  for (unsigned attempt = 0;; ++attempt) {
    temp = target + ".tmp" + std::to_string(_getpid()) + "_" + std::to_string(attempt);
    int fd = _open(temp.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST || attempt >= 100) return fd;
  }
}

FILE* StreamLikeTarget(int fd, const std::string&) { return _fdopen(fd, "wb"); }

int SyncFile(FILE* stream) { return _commit(_fileno(stream)); }

// A plain rename cannot replace an existing file on Windows.
bool ReplaceTarget() {
  return MoveFileExA(pending.temp.c_str(), pending.target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string ReplaceError() { return "Windows error " + std::to_string(GetLastError()); }

void SyncDirectory(const std::string&) {}

#else

// Follows symbolic links, so that the temporary file sits beside the real
// file and the rename replaces that file rather than the link.
std::string ResolveLinks(const char* path) {
  std::string resolved = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st;
    if (lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string link(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = readlink(resolved.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) break;
    link.resize(static_cast<size_t>(n));
    size_t slash = resolved.rfind('/');
    if (link[0] == '/' || slash == std::string::npos)
      resolved = link;
    else
      resolved.replace(slash + 1, std::string::npos, link);
  }
  return resolved;
}

int CreateTempFile(const std::string& target, std::string& temp) {
  temp = target + ".XXXXXX";
  return mkstemp(temp.data());
}

// The replacement keeps the target's permission bits and, where the process
// may set them (run as root on someone's map, say), its owner and group; a
// new file gets the usual permission bits.
FILE* StreamLikeTarget(int fd, const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) != 0) {
    mode_t mask = umask(0);
    umask(mask);
    st.st_mode = 0666 & ~mask;
  } else if (st.st_uid != geteuid() || st.st_gid != getegid()) {
    // Note: best effort; an unprivileged user keeps the map as their own.
    [[maybe_unused]] int ignored = fchown(fd, st.st_uid, st.st_gid);
  }
  if (fchmod(fd, st.st_mode & 07777) != 0) return nullptr;
  return fdopen(fd, "wb");
}

int SyncFile(FILE* stream) { return fsync(fileno(stream)); }

bool ReplaceTarget() { return std::rename(pending.temp.c_str(), pending.target.c_str()) == 0; }

std::string ReplaceError() { return std::strerror(errno); }

// Makes the rename itself durable. Note: the map has already been replaced
// when this runs, so a failure here is not reported as a failed save.
void SyncDirectory(const std::string& target) {
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

#endif

}  // namespace

FileReader OpenForReading(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (!file) FatalError("Error opening %s: %s", path, std::strerror(errno));
#ifdef _WIN32
  struct _stat64 st;
  if (_fstat64(_fileno(file), &st) != 0) FatalError("Error reading %s: %s", path, std::strerror(errno));
  bool directory = (st.st_mode & _S_IFMT) == _S_IFDIR, regular = (st.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat st;
  if (fstat(fileno(file), &st) != 0) FatalError("Error reading %s: %s", path, std::strerror(errno));
  bool directory = S_ISDIR(st.st_mode), regular = S_ISREG(st.st_mode);
#endif
  if (directory) FatalError("Error opening %s: %s", path, std::strerror(EISDIR));
  if (!regular) FatalError("Error opening %s: not a regular file", path);
  if (st.st_size > INT32_MAX)
    FatalError("%s is too large (%lld bytes): a map file must be smaller than 2 GiB", path,
               static_cast<long long>(st.st_size));
  FileReader reader;
  reader.stream = file;
  reader.length = static_cast<int32_t>(st.st_size);
  return reader;
}

void ReadExact(FileReader& file, int32_t offset, void* dest, size_t length) {
  if (length == 0) return;
  // Reads in file order need no seek, which keeps stdio's buffer between
  // small neighbouring pieces.
  if (offset != file.position && std::fseek(file.stream, offset, SEEK_SET) != 0) FatalError("File read failure");
  file.position = offset;
  if (std::fread(dest, 1, length, file.stream) != length) FatalError("File read failure");
  file.position += static_cast<int32_t>(length);
}

void CloseReader(FileReader& file) {
  if (file.stream) std::fclose(file.stream);
  file.stream = nullptr;
}

FileImage ReadWholeFile(const char* path) {
  FileReader file = OpenForReading(path);
  FileImage image;
  image.length = file.length;
  image.data.reset(new (std::nothrow) unsigned char[static_cast<size_t>(image.length) + 1]);
  if (!image.data) FatalError("Not enough memory to read %s (%d bytes)", path, image.length);
  size_t length = static_cast<size_t>(image.length);
  ReadExact(file, 0, image.data.get(), length);
  image.data[length] = 0;
  CloseReader(file);
  return image;
}

FILE* OpenForWriting(const char* path) {
  ArmCleanup();
  pending.target = ResolveLinks(path);
  std::string temp;
  int fd = CreateTempFile(pending.target, temp);
  if (fd < 0) FatalError("Error opening %s: %s", temp.c_str(), std::strerror(errno));
  pending.temp = temp;
  signal_temp_path = pending.temp.c_str();
  pending.stream = StreamLikeTarget(fd, pending.target);
  if (!pending.stream) {
    int saved = errno;
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
    errno = saved;
    FailWriteErrno();
  }
  return pending.stream;
}

void WriteExact(FILE* stream, const void* data, size_t length) {
  if (length != 0 && std::fwrite(data, 1, length, stream) != length) FailWriteErrno();
}

void SeekTo(FILE* stream, long offset) {
  if (std::fseek(stream, offset, SEEK_SET) != 0) FailWriteErrno();
}

void CommitWrite(FILE* stream) {
  if (std::fflush(stream) != 0 || SyncFile(stream) != 0) FailWriteErrno();
  pending.stream = nullptr;
  if (std::fclose(stream) != 0) FailWriteErrno();
  if (!ReplaceTarget()) FailWrite(ReplaceError().c_str());
  signal_temp_path = nullptr;
  pending.temp.clear();
  SyncDirectory(pending.target);
}
