// fileio_posix.cpp: the host's file calls on Linux.
// A replacement works through a descriptor of the target's folder, so that a
// folder moved during a save still receives the new file and keeps no
// leftover. The new file is unnamed (O_TMPFILE) where the file system allows,
// so that even a killed process leaves nothing; a named one is recorded for
// the signal handler, the only state outside the objects.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/fileio_platform.h"

struct PendingReplacement {
  std::string target;    // the file to replace, links resolved
  std::string folder;    // its folder
  std::string name;      // its name in the folder
  int folder_fd = -1;
  int new_fd = -1;       // the new file, open for reading and writing
  bool unnamed = false;  // made with O_TMPFILE and not linked in yet
  std::string new_name;  // the new file's name in the folder; empty for none
  bool keep = false;     // the named new file stays for good
  int target_fd = -1;    // the target, opened to be written in place
};

namespace {

// The named new file as the signal handler removes it: the folder's
// descriptor and the name in it, set only while the name is complete.
volatile int signal_folder = -1;
const char* volatile signal_name = nullptr;

// Note: only async-signal-safe calls here.
void RemoveNewFileOnSignal(int signo) {
  const char* name = signal_name;
  if (name) unlinkat(signal_folder, name, 0);
  signal(signo, SIG_DFL);
  raise(signo);
}

// Takes every signal whose default action ends the process. Only a signal
// at its default action is taken over: one the process inherited ignored
// (under nohup, say) stays ignored, and a handler that a program embedding
// the tool set stays its own.
void ArmSignals() {
  static bool armed = false;
  if (armed) return;
  armed = true;
  const int kEnding[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
                         SIGUSR1, SIGSEGV, SIGUSR2,   SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF,
                         SIGIO,   SIGPWR,  SIGSTKFLT, SIGSYS};
  std::vector<int> signals(std::begin(kEnding), std::end(kEnding));
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) signals.push_back(signo);
  for (int signo : signals) {
    struct sigaction old {};
    if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(signo, RemoveNewFileOnSignal);
  }
}

void RecordForSignals(const PendingReplacement& pending) {
  signal_folder = pending.folder_fd;
  signal_name = pending.new_name.c_str();
}

void ForgetForSignals() { signal_name = nullptr; }

// Closes a descriptor on every path out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  stamp.ctime_sec = static_cast<int64_t>(st.st_ctim.tv_sec);
  stamp.ctime_nsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
  return stamp;
}

// Follows symbolic links, so that the new file sits beside the real file and
// the rename replaces that file rather than the link.
std::string ResolveLinks(const std::string& path) {
  std::string resolved = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st;
    if (lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string link(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = readlink(resolved.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) break;
    link.resize(static_cast<size_t>(n));
    size_t slash = resolved.rfind('/');
    if (link[0] == '/' || slash == std::string::npos)
      resolved = link;
    else
      resolved.replace(slash + 1, std::string::npos, link);
  }
  return resolved;
}

// A name for the new file: short and fixed in form, so that it fits
// wherever the map's own name does, however long that is.
std::string FreshName() {
  static std::minstd_rand random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = "flatcull.";
  for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
}

// An unnamed file can be linked in only through /proc (or with a
// capability that a user lacks).
bool UnnamedFilesCanBeNamed() {
  static const bool can = access("/proc/self/fd", X_OK) == 0;
  return can;
}

// Creates a new file under a fresh name, exclusively.
bool CreateNamedFile(PendingReplacement& p) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = FreshName();
    p.new_fd = openat(p.folder_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (p.new_fd >= 0) {
      p.new_name = name;
      RecordForSignals(p);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// The flags the file system keeps (chattr's): the new file gets the target's.
// Note: done while the new file is empty, as some flags take only then.
bool CopyFlags(int from, int to) {
  int want = 0, have = 0;
  if (ioctl(from, FS_IOC_GETFLAGS, &want) != 0) return true;  // the file system keeps none
  if (ioctl(to, FS_IOC_GETFLAGS, &have) != 0) return false;
  return want == have || ioctl(to, FS_IOC_SETFLAGS, &want) == 0;
}

// The owner and group. A member of the target's group may give the new file
// that group even when it cannot give it the owner.
bool CopyOwner(int to, const struct stat& want) {
  struct stat have;
  if (fstat(to, &have) != 0) return false;
  if (have.st_uid == want.st_uid && have.st_gid == want.st_gid) return true;
  if (fchown(to, want.st_uid, want.st_gid) == 0) return true;
  [[maybe_unused]] int ignored = fchown(to, static_cast<uid_t>(-1), want.st_gid);
  return false;
}

// The names of a file's extended attributes (those this user may see).
bool ListAttributes(int fd, std::vector<std::string>& names) {
  std::string list;
  for (;;) {
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return false;
    list.resize(static_cast<size_t>(size));
    size = flistxattr(fd, list.data(), list.size());
    if (size >= 0) {
      list.resize(static_cast<size_t>(size));
      break;
    }
    if (errno != ERANGE) return false;
  }
  for (size_t at = 0; at < list.size(); at += names.back().size() + 1) names.emplace_back(list.c_str() + at);
  return true;
}

bool ReadAttribute(int fd, const std::string& name, std::string& value) {
  for (;;) {
    ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    size = fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (size >= 0) {
      value.resize(static_cast<size_t>(size));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// Makes the new file's extended attributes those of the target: POSIX ACLs
// (system.posix_acl_access) included, so that an ACL the new file inherited
// from the folder's default ACL gives way to the target's own.
bool CopyAttributes(int from, int to) {
  std::vector<std::string> want, have;
  if (!ListAttributes(from, want)) return errno == ENOTSUP;  // the file system keeps none
  if (!ListAttributes(to, have)) return false;
  for (const std::string& name : want) {
    std::string value, present;
    if (!ReadAttribute(from, name, value)) return false;
    bool same = std::find(have.begin(), have.end(), name) != have.end() && ReadAttribute(to, name, present) &&
                present == value;
    if (!same && fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  for (const std::string& name : have)
    if (std::find(want.begin(), want.end(), name) == want.end() && fremovexattr(to, name.c_str()) != 0) return false;
  return true;
}

mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

std::string LastErrorText() { return std::strerror(errno); }

// Note: O_NONBLOCK, so that a FIFO is refused instead of waited on.
FileHandle OpenForReading(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

bool InfoOf(FileHandle file, FileInfo& info) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.stamp = StampOf(st);
  return true;
}

long long ReadSome(FileHandle file, unsigned char* dest, size_t length) {
  for (;;) {
    ssize_t got = read(static_cast<int>(file), dest, length);
    if (got >= 0 || errno != EINTR) return got;
  }
}

void CloseFile(FileHandle file) { close(static_cast<int>(file)); }

// Note: no write bit at all refuses root too, who could otherwise replace the
// file through its writable folder and get round its own protection.
bool IsReadOnly(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if ((st.st_mode & 0222) == 0) return true;
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS);
}

// A FIFO or a device is refused, never opened: the open could wait, or the
// log's text reach a reader it was not meant for.
std::FILE* OpenTextForAppending(const std::string& path, std::string& reason) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
    return nullptr;
  }
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    reason = std::strerror(errno);
    return nullptr;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
    close(fd);
    return nullptr;
  }
  std::FILE* stream = fdopen(fd, "a");
  if (!stream) {
    reason = std::strerror(errno);
    close(fd);
  }
  return stream;
}

bool IsSameFile(std::FILE* stream, const std::string& path) {
  struct stat a, b;
  return fstat(fileno(stream), &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void PendingDeleter::operator()(PendingReplacement* p) const {
  if (!p->new_name.empty()) ForgetForSignals();
  if (p->new_fd >= 0) close(p->new_fd);
  if (p->target_fd >= 0) close(p->target_fd);
  if (!p->new_name.empty() && !p->keep) unlinkat(p->folder_fd, p->new_name.c_str(), 0);
  if (p->folder_fd >= 0) close(p->folder_fd);
  delete p;
}

std::unique_ptr<PendingReplacement, PendingDeleter> OpenTarget(const std::string& path) {
  std::unique_ptr<PendingReplacement, PendingDeleter> p(new PendingReplacement);
  p->target = ResolveLinks(path);
  size_t slash = p->target.rfind('/');
  p->folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p->target.substr(0, slash);
  p->name = slash == std::string::npos ? p->target : p->target.substr(slash + 1);
  return p;
}

const std::string& TargetPath(const PendingReplacement& pending) { return pending.target; }
std::string TargetFolder(const PendingReplacement& pending) { return pending.folder; }

bool CreateNewFile(PendingReplacement& p) {
  ArmSignals();
  p.folder_fd = open(p.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (p.folder_fd < 0) return false;
  if (UnnamedFilesCanBeNamed()) {
    p.new_fd = openat(p.folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (p.new_fd >= 0) {
      p.unnamed = true;
      return true;
    }
    // Not supported by this file system or kernel: a named file instead.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  }
  return CreateNamedFile(p);
}

bool GiveIdentity(PendingReplacement& p, bool& carried, std::optional<unsigned> new_mode) {
  struct stat st;
  if (fstatat(p.folder_fd, p.name.c_str(), &st, 0) != 0) {
    if (errno != ENOENT) return false;
    carried = true;
    return fchmod(p.new_fd, new_mode ? static_cast<mode_t>(*new_mode & 07777) : 0666 & ~CurrentUmask()) == 0;
  }
  // Other hard links would keep the old file: only writing in place changes
  // what they see.
  Descriptor source{openat(p.folder_fd, p.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  carried = st.st_nlink == 1 && source.fd >= 0 && CopyFlags(source.fd, p.new_fd) && CopyOwner(p.new_fd, st) &&
            CopyAttributes(source.fd, p.new_fd);
  // Note: last, as a change of owner clears the set-user-ID and set-group-ID
  // bits, and the mode also sets the ACL's mask.
  return fchmod(p.new_fd, st.st_mode & 07777) == 0;
}

// One gathered write for the whole file where the system takes it.
bool WritePieces(PendingReplacement& p, const std::vector<ByteRange>& pieces) {
  std::vector<iovec> iov;
  for (const ByteRange& piece : pieces)
    if (piece.size) iov.push_back({const_cast<void*>(piece.data), piece.size});
  for (size_t first = 0; first < iov.size();) {
    int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = writev(p.new_fd, iov.data() + first, count);
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

bool SyncNewFile(PendingReplacement& p) { return fsync(p.new_fd) == 0; }

bool CloseNewFile(PendingReplacement& p) {
  int fd = p.new_fd;
  p.new_fd = -1;
  return close(fd) == 0;
}

bool StampOfTarget(const PendingReplacement& p, FileStamp& stamp) {
  struct stat st;
  if (fstatat(p.folder_fd, p.name.c_str(), &st, 0) != 0) return false;
  stamp = StampOf(st);
  return true;
}

bool NameNewFile(PendingReplacement& p) {
  if (!p.unnamed) return true;
  std::string proc = "/proc/self/fd/" + std::to_string(p.new_fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = FreshName();
    if (linkat(AT_FDCWD, proc.c_str(), p.folder_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      p.unnamed = false;
      p.new_name = name;
      RecordForSignals(p);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

std::string NewFilePath(const PendingReplacement& p) {
  return p.folder == "/" ? "/" + p.new_name : p.folder + "/" + p.new_name;
}

// Note: the folder is synced after the rename, when the map has already been
// replaced, so a failure there is not reported as a failed save.
bool ReplaceTarget(PendingReplacement& p) {
  if (renameat(p.folder_fd, p.new_name.c_str(), p.folder_fd, p.name.c_str()) != 0) return false;
  ForgetForSignals();
  p.new_name.clear();
  fsync(p.folder_fd);
  return true;
}

bool OpenTargetForWriting(PendingReplacement& p, FileStamp& stamp) {
  fsync(p.folder_fd);  // the copy's name first, before the target is touched
  p.target_fd = openat(p.folder_fd, p.name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (p.target_fd < 0 || fstat(p.target_fd, &st) != 0) return false;
  stamp = StampOf(st);
  return true;
}

bool OverwriteTarget(PendingReplacement& p, int64_t size) {
  std::vector<unsigned char> buffer(std::min<int64_t>(size, int64_t{1} << 20));
  for (int64_t done = 0; done < size;) {
    size_t want = static_cast<size_t>(std::min<int64_t>(size - done, static_cast<int64_t>(buffer.size())));
    ssize_t got = pread(p.new_fd, buffer.data(), want, done);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) errno = EIO;  // the copy is shorter than what was written
    if (got <= 0) return false;
    for (ssize_t put = 0; put < got;) {
      ssize_t n = pwrite(p.target_fd, buffer.data() + put, static_cast<size_t>(got - put), done + put);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) errno = EIO;
      if (n <= 0) return false;
      put += n;
    }
    done += got;
  }
  return ftruncate(p.target_fd, size) == 0 && fsync(p.target_fd) == 0;
}

bool RemoveNewFile(PendingReplacement& p) {
  ForgetForSignals();
  bool removed = unlinkat(p.folder_fd, p.new_name.c_str(), 0) == 0;
  p.new_name.clear();
  fsync(p.folder_fd);
  return removed;
}

void KeepNewFile(PendingReplacement& p) {
  ForgetForSignals();
  p.keep = true;
}

void HoldSignals(bool hold) {
  static sigset_t before;
  if (hold) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
  } else {
    sigprocmask(SIG_SETMASK, &before, nullptr);
  }
}
