// fileio.cpp: whole-file reading and safe replacement of a file.
// The only state outside the objects is the signal handler's record of the
// pending temporary file: set while a ReplacementFile owns one, cleared
// before it is renamed or removed. On Windows the console handler keeps its
// own record, the name as its file call takes it.
#include "common/fileio.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include "common/system.h"
#else
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace {

// The temporary file's name as the signal handler sees it: set only while
// the name is complete and stable, so the handler can remove it safely.
const char* volatile signal_temp_path = nullptr;

// Closes a descriptor on every path out of a read.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd < 0) return;
#ifdef _WIN32
    _close(fd);
#else
    close(fd);
#endif
  }
};

#ifdef _WIN32

using FileStat = struct _stat64;
int OpenForReading(const std::string& path) { return _wopen(FileApiName(path).c_str(), _O_RDONLY | _O_BINARY); }
int StatOf(int fd, FileStat& st) { return _fstat64(fd, &st); }
bool IsDirectory(const FileStat& st) { return (st.st_mode & _S_IFMT) == _S_IFDIR; }
bool IsRegular(const FileStat& st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
long long ReadSome(int fd, unsigned char* dest, size_t length) {
  return _read(fd, dest, static_cast<unsigned>(std::min<size_t>(length, 1u << 30)));
}

#else

using FileStat = struct stat;
// Note: O_NONBLOCK, so that a FIFO is refused instead of waited on.
int OpenForReading(const std::string& path) { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }
int StatOf(int fd, FileStat& st) { return fstat(fd, &st); }
bool IsDirectory(const FileStat& st) { return S_ISDIR(st.st_mode); }
bool IsRegular(const FileStat& st) { return S_ISREG(st.st_mode); }
long long ReadSome(int fd, unsigned char* dest, size_t length) { return read(fd, dest, length); }

#endif

#ifdef _WIN32

// Note: the C runtime's stat has no inode, and its device differs between
// stat and fstat, so the stamp comes from the file's handle: volume, file
// index, size, last write time (100 ns units) and the number of links.
bool StampOfHandle(HANDLE file, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  stamp.device = info.dwVolumeSerialNumber;
  stamp.inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  stamp.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  stamp.mtime_sec =
      static_cast<int64_t>(uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 | info.ftLastWriteTime.dwLowDateTime);
  stamp.mtime_nsec = 0;
  stamp.links = info.nNumberOfLinks;
  return true;
}

bool StampOfDescriptor(int fd, FileStamp& stamp) {
  return StampOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), stamp);
}

bool StampByName(const std::string& path, FileStamp& stamp) {
  HANDLE file = CreateFileW(FileApiName(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = StampOfHandle(file, stamp);
  CloseHandle(file);
  return ok;
}

#else

FileStamp StampOf(const FileStat& st) {
  FileStamp stamp;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.links = static_cast<uint64_t>(st.st_nlink);
  stamp.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return stamp;
}

bool StampByName(const std::string& path, FileStamp& stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  stamp = StampOf(st);
  return true;
}

#endif

// Refuses anything but a regular file smaller than 2 GiB.
FileStamp CheckedStamp(const std::string& path, int fd) {
  FileStat st;
  if (StatOf(fd, st) != 0) FatalError("Error reading %s: %s", path.c_str(), std::strerror(errno));
  if (IsDirectory(st)) FatalError("Error opening %s: %s", path.c_str(), std::strerror(EISDIR));
  if (!IsRegular(st)) FatalError("Error opening %s: not a regular file", path.c_str());
  if (st.st_size > INT32_MAX)
    FatalError("%s is too large (%lld bytes): a map file must be smaller than 2 GiB", path.c_str(),
               static_cast<long long>(st.st_size));
#ifdef _WIN32
  FileStamp stamp;
  if (!StampOfDescriptor(fd, stamp))
    FatalError("Error reading %s: %s", path.c_str(), WindowsErrorText(GetLastError()).c_str());
  return stamp;
#else
  return StampOf(st);
#endif
}

}  // namespace

FileBytes ReadWholeFile(const std::string& path) {
  Descriptor file{OpenForReading(path)};
  if (file.fd < 0) throw FileNotFound(path);
  FileBytes bytes;
  bytes.stamp = CheckedStamp(path, file.fd);
  bytes.size = static_cast<int32_t>(bytes.stamp.size);
  bytes.data = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(bytes.size));
  for (size_t done = 0; done < static_cast<size_t>(bytes.size);) {
    long long got = ReadSome(file.fd, bytes.data.get() + done, static_cast<size_t>(bytes.size) - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) FatalError("File read failure");
    done += static_cast<size_t>(got);
  }
  return bytes;
}

namespace {

#ifdef _WIN32

std::string ResolveLinks(const std::string& path) { return path; }

// The pending temporary file as the console handler removes it: its name for
// the file calls, empty when none is pending. The handler runs on a thread of
// its own, so the name is guarded; once the handler has removed the file it
// keeps the guard, so that the save cannot go on to rename the file while
// the process ends.
SRWLOCK pending_lock = SRWLOCK_INIT;
std::wstring pending_temp;

void SetPending(std::wstring name) {
  AcquireSRWLockExclusive(&pending_lock);
  pending_temp.swap(name);
  ReleaseSRWLockExclusive(&pending_lock);
}

// Creates a new file beside the target, exclusively, that others may delete
// while it is open: the console handler removes it while this process still
// writes to it.
int CreateTempFile(const std::string& dir, std::string& temp) {
  for (unsigned attempt = 0;; ++attempt) {
    temp = dir + "flatcull." + std::to_string(_getpid()) + "_" + std::to_string(attempt);
    std::wstring name = FileApiName(temp);
    int fd = _wopen(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno != EEXIST || attempt >= 100) return fd;
      continue;
    }
    // Note: the C library opens without delete sharing; a second handle
    // with it replaces the first. Without one the save still works, and only
    // a console event cannot remove the file while it is open.
    auto opened = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    HANDLE shared = ReOpenFile(opened, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (shared != INVALID_HANDLE_VALUE) {
      int shared_fd = _open_osfhandle(reinterpret_cast<intptr_t>(shared), 0);
      if (shared_fd >= 0) {
        _close(fd);
        fd = shared_fd;
      } else {
        CloseHandle(shared);
      }
    }
    SetPending(std::move(name));
    return fd;
  }
}

bool WriteAll(int fd, const std::vector<ByteRange>& pieces) {
  for (const ByteRange& piece : pieces) {
    const auto* bytes = static_cast<const unsigned char*>(piece.data);
    for (size_t done = 0; done < piece.size;) {
      int n = _write(fd, bytes + done, static_cast<unsigned>(std::min<size_t>(piece.size - done, 1u << 30)));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
  }
  return true;
}

int SyncFile(int fd) { return _commit(fd); }
int CloseFile(int fd) { return _close(fd); }

// A plain rename cannot replace an existing file on Windows. The move and
// the end of the pending record are one step for the console handler.
bool ReplaceTarget(const std::string& temp, const std::string& target) {
  std::wstring from = FileApiName(temp), to = FileApiName(target);
  AcquireSRWLockExclusive(&pending_lock);
  bool moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  DWORD error = GetLastError();
  if (moved) pending_temp.clear();
  ReleaseSRWLockExclusive(&pending_lock);
  SetLastError(error);
  return moved;
}

std::string ReplaceError() { return WindowsErrorText(GetLastError()); }

void RemoveTemp(const std::string& temp) {
  SetPending({});
  DeleteFileW(FileApiName(temp).c_str());
}

void SyncDirectory(const std::string&) {}

void ArmSignals() {
  static bool armed = false;
  if (armed) return;
  armed = true;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool ReadOnly(const std::string& target) { return _waccess(FileApiName(target).c_str(), 2) != 0 && errno == EACCES; }

#else

// Follows symbolic links, so that the temporary file sits beside the real
// file and the rename replaces that file rather than the link.
std::string ResolveLinks(const std::string& path) {
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

// Note: the name is short and fixed, so that it fits wherever the map's own
// name does, however long that is.
int CreateTempFile(const std::string& dir, std::string& temp) {
  temp = dir + "flatcull.XXXXXX";
  return mkstemp(temp.data());
}

// The replacement keeps the target's permission bits and, where the process
// may set them (run as root on someone's map, say), its owner and group; a
// new file gets the usual permission bits.
bool MatchTarget(int fd, const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) != 0) {
    mode_t mask = umask(0);
    umask(mask);
    st.st_mode = 0666 & ~mask;
  } else if (st.st_uid != geteuid() || st.st_gid != getegid()) {
    // Note: best effort; an unprivileged user keeps the map as their own.
    [[maybe_unused]] int ignored = fchown(fd, st.st_uid, st.st_gid);
  }
  return fchmod(fd, st.st_mode & 07777) == 0;
}

// One gathered write for the whole file where the system takes it.
bool WriteAll(int fd, const std::vector<ByteRange>& pieces) {
  std::vector<iovec> iov;
  for (const ByteRange& piece : pieces)
    if (piece.size) iov.push_back({const_cast<void*>(piece.data), piece.size});
  for (size_t first = 0; first < iov.size();) {
    int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = writev(fd, iov.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // no progress on a non-empty write
    if (n <= 0) return false;
    // Step over what was written: whole pieces, then part of one.
    for (auto left = static_cast<size_t>(n); left > 0;) {
      size_t step = std::min(left, iov[first].iov_len);
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
      left -= step;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return true;
}

int SyncFile(int fd) { return fsync(fd); }
int CloseFile(int fd) { return close(fd); }

bool ReplaceTarget(const std::string& temp, const std::string& target) {
  return std::rename(temp.c_str(), target.c_str()) == 0;
}

std::string ReplaceError() { return std::strerror(errno); }

void RemoveTemp(const std::string& temp) { std::remove(temp.c_str()); }

// Makes the rename itself durable. Note: the map has already been replaced
// when this runs, so a failure here is not reported as a failed save.
void SyncDirectory(const std::string& dir) {
  int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Whether the file's own permission bits (for the effective user) or a
// read-only file system deny writing it: replacing it through its writable
// folder would get round that protection.
bool ReadOnly(const std::string& target) {
  return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS);
}

// Note: only async-signal-safe calls here.
void RemoveTempOnSignal(int signo) {
  const char* temp = signal_temp_path;
  if (temp) unlink(temp);
  signal(signo, SIG_DFL);
  raise(signo);
}

// Only a signal at its default action is taken over: one the process
// inherited ignored (under nohup, say) stays ignored, and a handler that a
// program embedding the tool set stays its own.
void ArmSignals() {
  static bool armed = false;
  if (armed) return;
  armed = true;
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(signo, RemoveTempOnSignal);
  }
}

#endif

// The directory part of path, with its trailing slash; empty for none.
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

#ifdef _WIN32

int __stdcall OnConsoleEvent(unsigned long) {
  AcquireSRWLockExclusive(&pending_lock);
  if (!pending_temp.empty()) DeleteFileW(pending_temp.c_str());
  // Note: the lock stays taken: the process is ending (see pending_lock).
  return FALSE;
}

std::FILE* OpenTextForAppending(const std::string& path) { return _wfopen(FileApiName(path).c_str(), L"at"); }

#else

std::FILE* OpenTextForAppending(const std::string& path) { return std::fopen(path.c_str(), "at"); }

#endif

ReplacementFile::ReplacementFile(const std::string& path, const FileStamp* expected)
    : target_(ResolveLinks(path)), check_stamp_(expected != nullptr), expected_(expected ? *expected : FileStamp{}) {
  if (ReadOnly(target_)) FatalError("Error writing %s: the file is read-only", path.c_str());
  ArmSignals();
  std::string dir = DirectoryOf(target_);
  std::string temp;
  fd_ = CreateTempFile(dir, temp);
  if (fd_ < 0) {
    std::string folder = dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir.empty() ? "." : dir;
    FatalError("Error writing %s: cannot create a file in %s: %s", path.c_str(), folder.c_str(),
               std::strerror(errno));
  }
  temp_ = temp;
  signal_temp_path = temp_.c_str();
#ifndef _WIN32
  if (!MatchTarget(fd_, target_)) Fail(std::strerror(errno));
#endif
}

ReplacementFile::~ReplacementFile() { Discard(); }

void ReplacementFile::Discard() {
  signal_temp_path = nullptr;
  if (fd_ >= 0) CloseFile(fd_);
  fd_ = -1;
  if (!temp_.empty()) RemoveTemp(temp_);
  temp_.clear();
}

// Removes the temporary file before the failure unwinds, so that the message
// comes after the clean-up, with the reason taken before it.
void ReplacementFile::Fail(const std::string& reason) {
  Discard();
  FatalError("Error writing %s: %s", target_.c_str(), reason.c_str());
}

void ReplacementFile::Write(const std::vector<ByteRange>& pieces) {
  if (!WriteAll(fd_, pieces)) Fail(std::strerror(errno));
}

void ReplacementFile::Commit() {
  if (SyncFile(fd_) != 0) Fail(std::strerror(errno));
  int fd = fd_;
  fd_ = -1;
  if (CloseFile(fd) != 0) Fail(std::strerror(errno));
  // Note: as late as can be; a change between this check and the rename
  // cannot be seen without a lock that other programs do not take.
  FileStamp now;
  if (check_stamp_ && (!StampByName(target_, now) || !now.SameFile(expected_)))
    Fail("another program changed or replaced it since it was read; its file is kept");
  if (!ReplaceTarget(temp_, target_)) Fail(ReplaceError());
  signal_temp_path = nullptr;
  temp_.clear();
  SyncDirectory(DirectoryOf(target_));
}
