// fileio_posix.cpp: the host's file calls on Linux.
// Every call that names a file names it in a folder open as a descriptor,
// never following a link in the name. A new file is unnamed (O_TMPFILE)
// where the file system allows, so that even a killed process leaves
// nothing. Locks are flock's, which follow the open file, whatever name
// opened it.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/vfs.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fileio_platform.h"

namespace {

FileStatus Failure(int error = errno) {
  return FileStatus::Failed(error == ENOENT || error == ENOTDIR ? FileStatus::kMissing : FileStatus::kOther, error,
                            std::strerror(error));
}

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

}  // namespace

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

namespace {

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
bool CopyIdentity(int from, int to, const struct stat& want, bool best_effort) {
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

FileStatus Io(bool ok) { return ok ? FileStatus{} : Failure(); }

HandleFacts FactsFrom(const struct stat& st) {
  HandleFacts facts;
  facts.regular = S_ISREG(st.st_mode);
  facts.folder = S_ISDIR(st.st_mode);
  facts.link = S_ISLNK(st.st_mode);
  facts.stamp = StampOf(st);
  facts.links = static_cast<uint64_t>(st.st_nlink);
  facts.mode = static_cast<unsigned>(st.st_mode & 07777);
  facts.owner = st.st_uid;
  facts.group = st.st_gid;
  return facts;
}

// The groups of user, for the journal's owner check.
std::vector<gid_t> GroupsOf(uid_t user) {
  std::vector<char> buffer(16384);
  struct passwd entry {}, *found = nullptr;
  if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return {};
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return {found->pw_gid};
  }
  groups.resize(static_cast<size_t>(count));
  return groups;
}

// An access ACL's entries (system.posix_acl_access: a 4-byte version, then
// 8-byte entries of tag, permissions and id, little-endian).
struct AclEntry {
  uint16_t tag, perm;
  uint32_t id;
};
constexpr uint16_t kAclUser = 2, kAclGroupObj = 4, kAclGroup = 8, kAclMask = 0x10, kAclOther = 0x20;
constexpr uint16_t kAclWrite = 2;

std::vector<AclEntry> AclOf(int fd) {
  std::string value;
  std::vector<AclEntry> entries;
  if (!ReadAttribute(fd, "system.posix_acl_access", value)) return entries;
  auto at = [&](size_t i, int bytes) {
    uint32_t v = 0;
    for (int b = bytes; b-- > 0;) v = v << 8 | static_cast<unsigned char>(value[i + static_cast<size_t>(b)]);
    return v;
  };
  for (size_t i = 4; i + 8 <= value.size(); i += 8)
    entries.push_back({static_cast<uint16_t>(at(i, 2)), static_cast<uint16_t>(at(i + 2, 2)), at(i + 4, 4)});
  return entries;
}

// Whether user may write a file of these facts and ACL, as the kernel decides
// it for that user.
bool UserMayWrite(uid_t user, const HandleFacts& facts, const std::vector<AclEntry>& acl) {
  if (user == facts.owner) return (facts.mode & 0200) != 0;
  uint16_t mask = kAclWrite;
  for (const AclEntry& e : acl)
    if (e.tag == kAclMask) mask = e.perm;
  for (const AclEntry& e : acl)
    if (e.tag == kAclUser && e.id == user) return (e.perm & mask & kAclWrite) != 0;
  const std::vector<gid_t> groups = GroupsOf(user);
  auto in = [&](gid_t g) { return std::find(groups.begin(), groups.end(), g) != groups.end(); };
  bool group_class = false, group_write = false;
  if (in(facts.group)) group_class = true, group_write = (facts.mode & 0020) != 0;
  for (const AclEntry& e : acl)
    if (e.tag == kAclGroup && in(e.id)) group_class = true, group_write |= (e.perm & mask & kAclWrite) != 0;
  if (group_class) return group_write;
  return (facts.mode & 0002) != 0;
}

}  // namespace

// --- Reading

// Note: O_NONBLOCK, so that a FIFO is refused instead of waited on.
FileStatus OpenForReading(const std::string& path, FileHandle& file) {
  file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  return file < 0 ? Failure() : FileStatus{};
}

FileStatus CloseFile(FileHandle file) {
  if (file == kNoFile) return {};
  return Io(close(static_cast<int>(file)) == 0);
}

FileStatus FactsOf(FileHandle file, HandleFacts& facts) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return Failure();
  facts = FactsFrom(st);
  return {};
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

std::string AppendText(std::FILE* stream, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0) return "";
  return std::strerror(errno);
}

// --- Looking at a file by its name

FileFacts LookAtFile(const std::string& path, bool follow_links) {
  FileFacts facts;
  facts.path = follow_links ? ResolveLinks(path) : path;
  struct stat st;
  if ((follow_links ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return facts;
  facts.exists = true;
  facts.regular = S_ISREG(st.st_mode);
  facts.folder = S_ISDIR(st.st_mode);
  facts.link = S_ISLNK(st.st_mode);
  facts.device = static_cast<uint64_t>(st.st_dev);
  facts.inode = static_cast<uint64_t>(st.st_ino);
  facts.size = static_cast<int64_t>(st.st_size);
  facts.mode = static_cast<unsigned>(st.st_mode & 07777);
  return facts;
}

namespace {

std::string FolderDenial(int fd) {
  if (const char* flag = ForbiddingFlag(fd)) return std::string("the folder is ") + flag;
  if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) return std::strerror(errno);
  return "";
}

}  // namespace

std::string FolderRefusal(const std::string& folder) {
  Descriptor fd{open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC)};
  if (fd.fd < 0) return std::strerror(errno);
  return FolderDenial(fd.fd);
}

// --- A save's folder and files

FileStatus OpenFolder(const std::string& path, Folder& folder) {
  folder.path = path;
  folder.handle = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (folder.handle < 0 || fstat(static_cast<int>(folder.handle), &st) != 0) return Failure();
  folder.device = static_cast<uint64_t>(st.st_dev);
  folder.inode = static_cast<uint64_t>(st.st_ino);
  return {};
}

void CloseFolder(Folder& folder) {
  if (folder.handle >= 0) close(static_cast<int>(folder.handle));
  folder.handle = -1;
}

namespace {

int Fd(const Folder& folder) { return static_cast<int>(folder.handle); }

}  // namespace

FileStatus FactsAt(const Folder& folder, const std::string& name, HandleFacts& facts) {
  struct stat st;
  if (fstatat(Fd(folder), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Failure();
  facts = FactsFrom(st);
  return {};
}

FileStatus ListFolder(const Folder& folder, std::vector<std::string>& names) {
  DIR* dir = fdopendir(dup(Fd(folder)));
  if (!dir) return Failure();
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  return {};
}

// Note: O_NONBLOCK, so that a FIFO is refused instead of waited on; a name
// too long for the file system is no file.
FileStatus OpenAt(const Folder& folder, const std::string& name, bool write, FileHandle& file) {
  int fd = openat(Fd(folder), name.c_str(), (write ? O_WRONLY : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  file = fd;
  if (fd < 0 && errno == ENAMETOOLONG) return FileStatus::Failed(FileStatus::kMissing, errno, std::strerror(errno));
  return fd < 0 ? Failure() : FileStatus{};
}

// An unnamed file can be linked in only through /proc (or with a
// capability that a user lacks).
FileStatus CreateAt(const Folder& folder, const std::string& name, bool allow_unnamed, FileHandle& file,
                    bool& unnamed) {
  unnamed = false;
  if (allow_unnamed && access("/proc/self/fd", X_OK) == 0) {
    file = openat(Fd(folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file >= 0) return unnamed = true, FileStatus{};
    // Not supported by this file system or kernel: a named file instead.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Failure();
  }
  file = openat(Fd(folder), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  return Io(file >= 0);
}

FileStatus LinkAt(const Folder& folder, FileHandle file, bool unnamed, const std::string& from, const std::string& to) {
  if (unnamed)
    return Io(linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(file)).c_str(), Fd(folder), to.c_str(),
                     AT_SYMLINK_FOLLOW) == 0);
  return Io(linkat(Fd(folder), from.c_str(), Fd(folder), to.c_str(), 0) == 0);
}

FileStatus RenameAt(const Folder& folder, const std::string& from, const std::string& to) {
  return Io(renameat(Fd(folder), from.c_str(), Fd(folder), to.c_str()) == 0);
}

FileStatus UnlinkAt(const Folder& folder, const std::string& name) {
  return Io(unlinkat(Fd(folder), name.c_str(), 0) == 0);
}

std::string SignalNameOf(const Folder&, const std::string& name) { return name; }

std::string NameKey(const std::string& name) { return name; }

// --- Data

FileStatus ReadAt(FileHandle file, int64_t offset, unsigned char* dest, size_t length, size_t& got) {
  for (;;) {
    ssize_t n = pread(static_cast<int>(file), dest, length, offset);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return {};
    }
    if (errno != EINTR) return Failure();
  }
}

// One piece goes by pwrite; several, as one gathered write where the system
// takes it, from a seek to offset (the position is this handle's alone).
FileStatus WriteAt(FileHandle file, int64_t offset, const std::vector<ByteRange>& pieces) {
  const int fd = static_cast<int>(file);
  std::vector<iovec> iov;
  for (const ByteRange& piece : pieces)
    if (piece.size) iov.push_back({const_cast<void*>(piece.data), piece.size});
  if (iov.size() > 1 && lseek(fd, offset, SEEK_SET) != offset) return Failure();
  for (size_t first = 0; first < iov.size();) {
    int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    ssize_t n = iov.size() == 1 ? pwrite(fd, iov[0].iov_base, iov[0].iov_len, offset) : writev(fd, iov.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // no progress on a non-empty write
    if (n <= 0) return Failure();
    offset += n;
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

FileStatus Truncate(FileHandle file, int64_t size) { return Io(ftruncate(static_cast<int>(file), size) == 0); }

FileStatus SyncFile(FileHandle file) { return Io(fsync(static_cast<int>(file)) == 0); }

FileStatus SyncFolder(const Folder& folder) { return Io(fsync(Fd(folder)) == 0); }

// Note: syncfs reports write-back errors from Linux 5.8 on, and only local
// file systems make data durable through it as fsync does (not FUSE, not
// network file systems).
bool SyncsFileSystem(const Folder& folder) {
  static const bool kernel = [] {
    struct utsname name;
    if (uname(&name) != 0) return false;
    char* end = nullptr;
    const long major = std::strtol(name.release, &end, 10);
    const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
    return major > 5 || (major == 5 && minor >= 8);
  }();
  static const long kLocal[] = {0xEF53 /* ext2/3/4 */, 0x58465342 /* XFS */, 0x9123683E /* btrfs */,
                                0x01021994 /* tmpfs */, 0xF2F52010 /* F2FS */, 0x2FC12FC1 /* ZFS */};
  struct statfs fs;
  return kernel && fstatfs(Fd(folder), &fs) == 0 &&
         std::find(std::begin(kLocal), std::end(kLocal), static_cast<long>(fs.f_type)) != std::end(kLocal);
}

FileStatus SyncFileSystem(const Folder& folder) { return Io(syncfs(Fd(folder)) == 0); }

FileStatus LockFile(FileHandle file) {
  if (flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0) return {};
  return errno == EWOULDBLOCK ? FileStatus::Failed(FileStatus::kHeld, errno, std::strerror(errno)) : Failure();
}

// --- Who may do what

// Note: no write bit at all refuses root too, who could otherwise replace the
// file through its writable folder and get round its own protection.
WriteFacts WriteFactsOf(const Folder& folder, const std::string& name, FileHandle file, const HandleFacts& facts) {
  WriteFacts w;
  const int fd = static_cast<int>(file);
  const char* flag = ForbiddingFlag(fd);
  if ((facts.mode & 0222) == 0)
    w.read_only = "";
  else if (flag)
    w.read_only = std::string(" (") + flag + ")";
  else if (OnReadOnlyMount(fd))
    w.read_only = " (read-only file system)";
  else if (faccessat(Fd(folder), name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
    w.denied = std::strerror(errno);
  w.folder_denied = FolderDenial(Fd(folder));
  const uid_t me = geteuid();
  w.rename_keeps = me == 0 || (facts.owner == me && InGroup(facts.group));
  const bool capability = fgetxattr(fd, "security.capability", nullptr, 0) >= 0;
  w.special_bits = (facts.mode & (S_ISUID | S_ISGID)) != 0 || capability;
  // Note: a set-group-ID bit survives a change of mode only for a member of
  // the file's group.
  w.special_kept = me == 0 || (facts.owner == me && !capability && (!(facts.mode & S_ISGID) || InGroup(facts.group)));
  return w;
}

FileStatus GiveIdentity(FileHandle from, const HandleFacts& want, FileHandle to, bool best_effort, unsigned new_mode) {
  const int fd = static_cast<int>(to);
  if (from == kNoFile) return Io(SetMode(fd, static_cast<mode_t>(new_mode & 07777)));
  CopyFlags(static_cast<int>(from), fd);
  struct stat st {};
  st.st_uid = want.owner;
  st.st_gid = want.group;
  st.st_mode = want.mode;
  return Io(CopyIdentity(static_cast<int>(from), fd, st, best_effort));
}

Privileges PrivilegesOf(FileHandle file, const HandleFacts& facts) {
  Privileges p;
  p.mode = facts.mode;
  ReadAttribute(static_cast<int>(file), "security.capability", p.capability);
  return p;
}

// Note: a write clears the set-ID bits and the capability.
FileStatus RestorePrivileges(FileHandle file, const Privileges& p) {
  const int fd = static_cast<int>(file);
  struct stat now;
  if (fstat(fd, &now) != 0) return Failure();
  if ((now.st_mode & 07777) != p.mode && !SetMode(fd, p.mode)) return Failure();
  if (!p.capability.empty() && fsetxattr(fd, "security.capability", p.capability.data(), p.capability.size(), 0) != 0)
    return Failure();
  return {};
}

// The journal takes the map's access ACL with every write permission but its
// owner's taken out, and the map's read bits: a reader the map denies is
// denied its journal too.
FileStatus MakePrivate(FileHandle journal, FileHandle map, const HandleFacts& map_facts) {
  const int fd = static_cast<int>(journal);
  if (geteuid() == 0 && fchown(fd, map_facts.owner, map_facts.group) != 0) return Failure();
  if (!SetMode(fd, 0600 | (map_facts.mode & 0044))) return Failure();
  std::string acl;
  if (ReadAttribute(static_cast<int>(map), "system.posix_acl_access", acl)) {
    for (size_t i = 4; i + 8 <= acl.size(); i += 8)
      if (static_cast<unsigned char>(acl[i]) != 1) acl[i + 2] = static_cast<char>(acl[i + 2] & ~kAclWrite);
    if (fsetxattr(fd, "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 && errno != ENOTSUP) return Failure();
  }
  return {};
}

std::string WhyNotTrusted(FileHandle journal, const HandleFacts& journal_facts, FileHandle map,
                          const HandleFacts& map_facts) {
  const std::vector<AclEntry> acl = AclOf(static_cast<int>(journal));
  bool others_write = (journal_facts.mode & 0022) != 0;
  for (const AclEntry& e : acl)
    if ((e.tag == kAclUser || e.tag == kAclGroupObj || e.tag == kAclGroup || e.tag == kAclOther) &&
        (e.perm & kAclWrite))
      others_write = true;
  if (others_write) return "users other than its owner may write it";
  const uid_t owner = journal_facts.owner;
  if (owner == 0 || owner == geteuid() || owner == map_facts.owner ||
      UserMayWrite(owner, map_facts, AclOf(static_cast<int>(map))))
    return "";
  return "its owner (user " + std::to_string(owner) + ") may not write the map";
}

bool IsMine(const HandleFacts& facts) { return facts.owner == geteuid(); }
