// fileio_posix.cpp: the host's file calls on Linux.
// A save works through a descriptor of the target's folder, so that a
// folder moved during a save still receives the new file. The new file is
// unnamed (O_TMPFILE) where the file system allows, so that even a killed
// process leaves nothing; a named one carries the target's name and is
// recorded for the signal handler (signals.h). Every file a save creates is
// locked (flock) while the save lives, so that another run tells a live save
// from a leftover.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/fileio_platform.h"
#include "common/signals.h"

struct PendingSave {
  std::string target;      // the file to replace, links resolved
  std::string name;        // its name in the folder
  bool follow = true;      // the target's own name may be a link
  int folder_fd = -1;
  int file_fd = -1;        // the new file (later the journal), or a journal found
  bool unnamed = false;    // made with O_TMPFILE and not linked in yet
  std::string new_name;    // the new file's name in the folder; empty for none
};

namespace {

const char kJournalSuffix[] = ".flatcull-journal";

FileStatus Failure(int error = errno) {
  return FileStatus::Failed(error == ENOENT || error == ENOTDIR ? FileStatus::kMissing : FileStatus::kOther, error,
                            std::strerror(error));
}

FileStatus Failure(const char* text) { return FileStatus::Failed(FileStatus::kOther, 0, text); }

// Closes a descriptor on every path out.
struct Descriptor {
  int fd = -1;
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

// An unnamed file can be linked in only through /proc (or with a
// capability that a user lacks).
bool UnnamedFilesCanBeNamed() {
  static const bool can = access("/proc/self/fd", X_OK) == 0;
  return can;
}

// Gives the new file a name, from the one it has or, unnamed, from /proc;
// the signal handler knows the name for as long as the file has it. Never
// replaces a file of that name.
bool LinkNewFile(PendingSave& p, const std::string& name) {
  bool linked = p.unnamed ? linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(p.file_fd)).c_str(), p.folder_fd,
                                   name.c_str(), AT_SYMLINK_FOLLOW) == 0
                          : linkat(p.folder_fd, p.new_name.c_str(), p.folder_fd, name.c_str(), 0) == 0;
  return linked;
}

// The flags the file system keeps (chattr's), but for those that forbid
// writing: a target that has one is refused as read-only before the save.
// Note: done while the new file is empty, as some (No_COW) take only then.
void CopyFlags(int from, int to) {
  int want = 0;
  if (ioctl(from, FS_IOC_GETFLAGS, &want) != 0) return;  // the file system keeps none
  want &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
  int have = 0;
  if (ioctl(to, FS_IOC_GETFLAGS, &have) == 0 && have != want) ioctl(to, FS_IOC_SETFLAGS, &want);
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

bool ReadAttribute(int fd, const char* name, std::string& value) {
  for (;;) {
    ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    size = fgetxattr(fd, name, value.data(), value.size());
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
    if (!ReadAttribute(from, name.c_str(), value)) return false;
    bool same = std::find(have.begin(), have.end(), name) != have.end() && ReadAttribute(to, name.c_str(), present) &&
                present == value;
    if (!same && fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  for (const std::string& name : have)
    if (std::find(want.begin(), want.end(), name) == want.end() && fremovexattr(to, name.c_str()) != 0) return false;
  return true;
}

// Sets the mode; a file system that keeps no modes (FAT through FUSE, say)
// is no failure when the file already has it.
bool SetMode(int fd, mode_t mode) {
  if (fchmod(fd, mode) == 0) return true;
  struct stat st;
  return (errno == ENOSYS || errno == EPERM || errno == ENOTSUP) && fstat(fd, &st) == 0 &&
         (st.st_mode & 07777) == mode;
}

// The target's identity, given to the new file after its last byte (a write
// would clear set-ID bits and a capability): owner and group, then extended
// attributes and ACLs, then the mode with its set-ID bits (a change of owner
// clears them, and the mode also sets the ACL's mask).
// An output keeps what this user can give it: the group without the owner,
// the attributes it may set.
bool GiveIdentity(int from, int to, const struct stat& want, bool best_effort) {
  if (fchown(to, want.st_uid, want.st_gid) != 0) {
    struct stat have;
    const bool has = fstat(to, &have) == 0 && have.st_uid == want.st_uid && have.st_gid == want.st_gid;
    if (!has && !best_effort) return false;
    if (!has) {
      [[maybe_unused]] int group_only = fchown(to, static_cast<uid_t>(-1), want.st_gid);
    }
  }
  return (CopyAttributes(from, to) || best_effort) && SetMode(to, want.st_mode & 07777);
}

mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Whether this user is in group.
bool InGroup(gid_t group) {
  if (group == getegid()) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  int count = getgroups(static_cast<int>(groups.size()), groups.data());
  return count >= 0 && std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

// The flag that forbids writing a file (or a folder), or null.
const char* ForbiddingFlag(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return nullptr;
  if (flags & FS_IMMUTABLE_FL) return "immutable";
  if (flags & FS_APPEND_FL) return "append-only";
  return nullptr;
}

bool OnReadOnlyMount(int fd) {
  struct statvfs fs;
  return fstatvfs(fd, &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0;
}

// Copies size bytes at from_offset of from over to, from its start.
bool CopyBytes(int from, int64_t from_offset, int to, int64_t size, std::vector<unsigned char>& buffer) {
  for (int64_t done = 0; done < size;) {
    size_t want = static_cast<size_t>(std::min<int64_t>(size - done, static_cast<int64_t>(buffer.size())));
    ssize_t got = pread(from, buffer.data(), want, from_offset + done);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) errno = EIO;  // shorter than it was written
    if (got <= 0) return false;
    for (ssize_t put = 0; put < got;) {
      ssize_t n = pwrite(to, buffer.data() + put, static_cast<size_t>(got - put), done + put);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) errno = EIO;
      if (n <= 0) return false;
      put += n;
    }
    done += got;
  }
  return true;
}

bool WriteAll(int to, std::span<const unsigned char> bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = pwrite(to, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Ends an in-place write: the length, then what the write cleared (the
// set-ID bits, the capability), then the sync.
bool EndWrite(int fd, int64_t size, const struct stat& before, const std::string& capability) {
  if (ftruncate(fd, size) != 0) return false;
  struct stat now;
  if (fstat(fd, &now) != 0) return false;
  if ((now.st_mode & 07777) != (before.st_mode & 07777) && !SetMode(fd, before.st_mode & 07777)) return false;
  if (!capability.empty() &&
      fsetxattr(fd, "security.capability", capability.data(), capability.size(), 0) != 0)
    return false;
  return fsync(fd) == 0;
}

}  // namespace

// --- Reading

// Note: O_NONBLOCK, so that a FIFO is refused instead of waited on.
FileStatus OpenForReading(const std::string& path, FileHandle& file) {
  file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  return file < 0 ? Failure() : FileStatus{};
}

FileStatus InfoOf(FileHandle file, FileInfo& info) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return Failure();
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.stamp = StampOf(st);
  return {};
}

FileStatus ReadSome(FileHandle file, unsigned char* dest, size_t length, size_t& got) {
  for (;;) {
    ssize_t n = read(static_cast<int>(file), dest, length);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return {};
    }
    if (errno != EINTR) return Failure();
  }
}

void CloseFile(FileHandle file) { close(static_cast<int>(file)); }

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

std::string AppendText(std::FILE* stream, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0) return "";
  return std::strerror(errno);
}

// --- What a save needs to know

// Note: no write bit at all refuses root too, who could otherwise replace the
// file through its writable folder and get round its own protection.
FileFacts LookAtFile(const std::string& path, bool follow_links) {
  FileFacts facts;
  facts.path = follow_links ? ResolveLinks(path) : path;
  struct stat st;
  if ((follow_links ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) facts.denied = std::strerror(errno);
    return facts;
  }
  facts.exists = true;
  facts.regular = S_ISREG(st.st_mode);
  facts.folder = S_ISDIR(st.st_mode);
  facts.link = S_ISLNK(st.st_mode);
  facts.device = static_cast<uint64_t>(st.st_dev);
  facts.inode = static_cast<uint64_t>(st.st_ino);
  facts.links = static_cast<uint64_t>(st.st_nlink);
  facts.size = static_cast<int64_t>(st.st_size);
  facts.mode = static_cast<unsigned>(st.st_mode & 07777);
  if (!facts.regular && !facts.folder) return facts;
  Descriptor fd{openat(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  const char* flag = fd.fd >= 0 ? ForbiddingFlag(fd.fd) : nullptr;
  if ((st.st_mode & 0222) == 0)
    facts.read_only = "";
  else if (flag)
    facts.read_only = std::string(" (") + flag + ")";
  else if (fd.fd >= 0 && OnReadOnlyMount(fd.fd))
    facts.read_only = " (read-only file system)";
  else if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
    facts.denied = std::strerror(errno);
  const uid_t me = geteuid();
  facts.rename_keeps = me == 0 || (st.st_uid == me && InGroup(st.st_gid));
  const bool capability = fd.fd >= 0 && fgetxattr(fd.fd, "security.capability", nullptr, 0) >= 0;
  facts.special_bits = (st.st_mode & (S_ISUID | S_ISGID)) != 0 || capability;
  facts.special_kept = me == 0 || (st.st_uid == me && !capability);
  return facts;
}

std::string FolderRefusal(const std::string& folder) {
  Descriptor fd{open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC)};
  if (fd.fd < 0) return std::strerror(errno);
  if (const char* flag = ForbiddingFlag(fd.fd)) return std::string("the folder is ") + flag;
  if (faccessat(fd.fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return std::strerror(errno);
  return "";
}

// --- Saving

void PendingSaveDeleter::operator()(PendingSave* p) const {
  if (!p->new_name.empty()) {
    RecordNewFile(-1, nullptr);
    unlinkat(p->folder_fd, p->new_name.c_str(), 0);
  }
  if (p->file_fd >= 0) close(p->file_fd);
  if (p->folder_fd >= 0) close(p->folder_fd);
  delete p;
}

FileStatus OpenSave(const std::string& path, bool follow_links, std::unique_ptr<PendingSave, PendingSaveDeleter>& save) {
  save.reset(new PendingSave);
  save->target = follow_links ? ResolveLinks(path) : path;
  save->name = NameInFolder(save->target);
  save->follow = follow_links;
  save->folder_fd = open(FolderOf(save->target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return save->folder_fd < 0 ? Failure() : FileStatus{};
}

const std::string& SavedPath(const PendingSave& save) { return save.target; }

FileStatus RemoveLeftovers(PendingSave& p) {
  DIR* dir = fdopendir(dup(p.folder_fd));
  if (!dir) return Failure();
  const std::string prefix = NewFilePrefix(p.name);
  bool removed = false;
  while (const dirent* entry = readdir(dir)) {
    if (!IsNewFileOf(entry->d_name, prefix)) continue;
    // Note: a live save holds its file locked, and a link is nobody's file.
    Descriptor fd{openat(p.folder_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (fd.fd >= 0 && flock(fd.fd, LOCK_EX | LOCK_NB) == 0 && unlinkat(p.folder_fd, entry->d_name, 0) == 0)
      removed = true;
  }
  closedir(dir);
  if (removed) fsync(p.folder_fd);
  return {};
}

FileStatus OpenJournal(PendingSave& p, std::vector<unsigned char>& bytes, bool& found) {
  found = false;
  Descriptor fd{openat(p.folder_fd, (p.name + kJournalSuffix).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  // A name too long to carry the suffix never had a journal.
  if (fd.fd < 0) return errno == ENOENT || errno == ENAMETOOLONG ? FileStatus{} : Failure();
  if (flock(fd.fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? FileStatus::Failed(FileStatus::kBusy, errno, std::strerror(errno)) : Failure();
  struct stat st;
  if (fstat(fd.fd, &st) != 0) return Failure();
  if (!S_ISREG(st.st_mode)) return Failure("not a regular file");
  if (st.st_nlink == 0) return {};  // removed by the run that held it
  try {
    bytes.resize(static_cast<size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    return Failure(ENOMEM);
  }
  for (size_t done = 0; done < bytes.size();) {
    size_t got = 0;
    if (FileStatus status = ReadSome(fd.fd, bytes.data() + done, bytes.size() - done, got); !status.ok())
      return status;
    if (got == 0) {
      bytes.resize(done);
      break;
    }
    done += got;
  }
  found = true;
  p.file_fd = fd.fd;
  fd.fd = -1;
  return {};
}

FileStatus CreateNewFile(PendingSave& p) {
  if (UnnamedFilesCanBeNamed()) {
    p.file_fd = openat(p.folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    p.unnamed = p.file_fd >= 0;
    // Not supported by this file system or kernel: a named file instead.
    if (p.file_fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Failure();
  }
  for (int attempt = 0; p.file_fd < 0 && attempt < 100; ++attempt) {
    SignalHold hold;
    p.new_name = FreshName(p.name);
    RecordNewFile(p.folder_fd, p.new_name.c_str());
    p.file_fd = openat(p.folder_fd, p.new_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (p.file_fd >= 0) break;
    const int error = errno;
    RecordNewFile(-1, nullptr);
    p.new_name.clear();
    if (error != EEXIST) return Failure(error);
  }
  if (p.file_fd < 0) return Failure(EEXIST);
  flock(p.file_fd, LOCK_EX | LOCK_NB);
  Descriptor target{openat(p.folder_fd, p.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
  if (target.fd >= 0) CopyFlags(target.fd, p.file_fd);
  return {};
}

// One gathered write for the whole file where the system takes it.
FileStatus WriteNewFile(PendingSave& p, const std::vector<ByteRange>& pieces) {
  std::vector<iovec> iov;
  for (const ByteRange& piece : pieces)
    if (piece.size) iov.push_back({const_cast<void*>(piece.data), piece.size});
  for (size_t first = 0; first < iov.size();) {
    int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = writev(p.file_fd, iov.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // no progress on a non-empty write
    if (n <= 0) return Failure();
    // Step over what was written: whole pieces, then part of one.
    for (auto left = static_cast<size_t>(n); left > 0;) {
      size_t step = std::min(left, iov[first].iov_len);
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
      left -= step;
      if (iov[first].iov_len == 0) ++first;
    }
  }
  return {};
}

// Note: the stamp is checked right before the rename; a change between the
// two cannot be seen without a lock that other programs do not take.
FileStatus ReplaceByRename(PendingSave& p, const ReplaceHow& how) {
  struct stat st;
  if (fstatat(p.folder_fd, p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode)) return Failure("not a regular file");
    Descriptor source{openat(p.folder_fd, p.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)};
    if (source.fd < 0) return Failure();
    if (!GiveIdentity(source.fd, p.file_fd, st, how.output)) return Failure();
  } else if (errno == ENOENT) {
    if (!SetMode(p.file_fd, how.new_mode ? static_cast<mode_t>(*how.new_mode & 07777) : 0666 & ~CurrentUmask()))
      return Failure();
  } else {
    return Failure();
  }
  if (fsync(p.file_fd) != 0) return Failure();
  if (p.unnamed) {
    std::string name = FreshName(p.name);
    {
      SignalHold hold;
      if (!LinkNewFile(p, name)) return Failure();
      p.unnamed = false;
      p.new_name = name;
      RecordNewFile(p.folder_fd, p.new_name.c_str());
    }
  }
  // A failed close can report a write that did not reach the disk.
  const int fd = p.file_fd;
  p.file_fd = -1;
  if (close(fd) != 0) return Failure();
  if (how.expected) {
    struct stat now;
    if (fstatat(p.folder_fd, p.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !(StampOf(now) == *how.expected))
      return FileStatus::Failed(FileStatus::kBusy, 0, "");
  }
  {
    SignalHold hold;
    if (renameat(p.folder_fd, p.new_name.c_str(), p.folder_fd, p.name.c_str()) != 0) return Failure();
    RecordNewFile(-1, nullptr);
    p.new_name.clear();
  }
  // Note: the folder is synced after the rename, when the target has already
  // been replaced, so a failure there is not reported as a failed save.
  fsync(p.folder_fd);
  return {};
}

FileStatus MakeJournal(PendingSave& p) {
  Descriptor target{openat(p.folder_fd, p.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
  std::string acl;
  if (!SetMode(p.file_fd, 0600)) return Failure();
  if (target.fd >= 0 && ReadAttribute(target.fd, "system.posix_acl_access", acl))
    fsetxattr(p.file_fd, "system.posix_acl_access", acl.data(), acl.size(), 0);
  if (fsync(p.file_fd) != 0) return Failure();
  const std::string journal = p.name + kJournalSuffix;
  {
    SignalHold hold;
    if (!LinkNewFile(p, journal)) return Failure();
    // The journal is the save's safety net from here on: no signal removes it.
    RecordNewFile(-1, nullptr);
    p.unnamed = false;
    if (!p.new_name.empty()) unlinkat(p.folder_fd, p.new_name.c_str(), 0);
    p.new_name.clear();
  }
  if (fsync(p.folder_fd) != 0) return Failure();
  return {};
}

FileStatus OverwriteTarget(PendingSave& p, const FileStamp* expected, int64_t offset, int64_t size,
                           std::span<const unsigned char> old, bool& restored) {
  restored = false;
  Descriptor target{openat(p.folder_fd, p.name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)};
  struct stat st;
  if (target.fd < 0 || fstat(target.fd, &st) != 0) return Failure();
  if (expected && !(StampOf(st) == *expected)) return FileStatus::Failed(FileStatus::kBusy, 0, "");
  std::string capability;
  ReadAttribute(target.fd, "security.capability", capability);
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(size, 1), int64_t{1} << 20)));
  } catch (const std::bad_alloc&) {
    return Failure(ENOMEM);
  }
  SignalHold hold;
  if (CopyBytes(p.file_fd, offset, target.fd, size, buffer) && EndWrite(target.fd, size, st, capability)) return {};
  FileStatus failed = Failure();
  restored = !old.empty() && WriteAll(target.fd, old) &&
             EndWrite(target.fd, static_cast<int64_t>(old.size()), st, capability);
  return failed;
}

FileStatus RemoveJournal(PendingSave& p) {
  if (unlinkat(p.folder_fd, (p.name + kJournalSuffix).c_str(), 0) != 0) return Failure();
  return fsync(p.folder_fd) == 0 ? FileStatus{} : Failure();
}
