// fileio_windows.cpp: the host's file calls on Windows.
// Every name reaches the system as UTF-16 in the \\?\ form (FileApiName).
// The target is replaced with ReplaceFileW, which keeps its security
// descriptor, streams and creation time; the new file is given its
// attributes and creation time first. The only state outside the objects is
// the console handler's record of the pending new file, the name as its file
// call takes it, and the reason for the last failed call.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fileio_platform.h"
#include "common/system_windows.h"

struct PendingReplacement {
  std::string target;     // the file to replace, links resolved
  std::string folder;     // its folder, with no trailing slash
  int new_fd = -1;        // the new file, open for reading and writing
  std::string new_path;   // the new file's name
  bool keep = false;      // the new file stays for good
  HANDLE target_file = INVALID_HANDLE_VALUE;  // the target, to be written in place
};

// The console handler: removes the pending new file, keeps the save from
// replacing the target with it, and returns false so that the system's
// default handler ends the process. Not static: the Windows test helper calls
// it for the events wine cannot send.
int __stdcall OnConsoleEvent(unsigned long event);

namespace {

// The pending new file as the console handler removes it: empty when none
// is. The handler runs on a thread of its own, so the name is guarded; once
// the handler has removed the file it keeps the guard, so that the save
// cannot go on to use the file while the process ends. hold_lock, taken
// first, keeps the handler waiting while a target is written in place.
SRWLOCK pending_lock = SRWLOCK_INIT;
SRWLOCK hold_lock = SRWLOCK_INIT;
std::wstring pending_new;
DWORD last_error = 0;
std::string last_note;  // said once after the next reason: where a map is kept

void SetPending(std::wstring name) {
  AcquireSRWLockExclusive(&pending_lock);
  pending_new.swap(name);
  ReleaseSRWLockExclusive(&pending_lock);
}

void ArmConsoleHandler() {
  static bool armed = false;
  if (armed) return;
  armed = true;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int64_t TimeOf(const FILETIME& time) {
  return static_cast<int64_t>(uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime);
}

// Note: the C runtime's stat has no inode, and its device differs between
// stat and fstat, so the stamp comes from the file's handle: volume, file
// index, size, last write and change times (100 ns units). Where the system
// cannot tell the change time, the stamp goes without it (0) and the save
// goes on with the rest.
bool StampOfHandle(HANDLE file, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  stamp.device = info.dwVolumeSerialNumber;
  stamp.inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  stamp.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  stamp.mtime_sec = TimeOf(info.ftLastWriteTime);
  FILE_BASIC_INFO basic;
  bool told = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
  stamp.ctime_sec = told ? basic.ChangeTime.QuadPart : 0;
  return true;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A handle that asks for no access, only to look at the file.
HANDLE OpenToLookAt(const std::string& path) {
  return CreateFileW(FileApiName(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A name as the tool writes it: a \\?\ or \\?\UNC\ name from the system
// back in its plain form, with forward slashes.
std::string PlainName(const std::wstring& name) {
  std::wstring plain = name;
  if (plain.rfind(L"\\\\?\\UNC\\", 0) == 0)
    plain = L"\\\\" + plain.substr(8);
  else if (plain.rfind(L"\\\\?\\", 0) == 0)
    plain = plain.substr(4);
  std::string utf8 = Utf8FromWide(plain);
  std::replace(utf8.begin(), utf8.end(), '\\', '/');
  return utf8;
}

// The name the system gives the file or folder at path once every link on
// the way is followed (\\?\ form); empty when it cannot tell.
std::wstring FinalName(const std::string& path) {
  HANDLE file = OpenToLookAt(path);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::wstring name(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), 0);
  if (length >= name.size()) {
    name.resize(length);
    length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), 0);
  }
  CloseHandle(file);
  name.resize(length < name.size() ? length : 0);
  return name;
}

// A symbolic link is followed, so that the new file sits beside the real
// file and the replace changes that file rather than the link. Any other
// name stays as given, links among its folders too, as on POSIX.
// Note: wine shows a Unix symbolic link as a plain file, not as a reparse
// point, so a link is told by the file's final name: it is not the name in
// its folder's final name.
std::string ResolveLinks(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::wstring file = FinalName(path), in_folder = FinalName(folder);
  if (file.empty() || in_folder.empty()) return path;
  if (in_folder.back() != L'\\') in_folder += L'\\';
  in_folder += WideFromUtf8(path.substr(slash + 1));
  bool same = CompareStringOrdinal(file.c_str(), -1, in_folder.c_str(), -1, TRUE) == CSTR_EQUAL;
  return same ? path : PlainName(file);
}

bool Failed() {
  last_error = GetLastError();
  return false;
}

}  // namespace

int __stdcall OnConsoleEvent(unsigned long) {
  AcquireSRWLockExclusive(&hold_lock);
  AcquireSRWLockExclusive(&pending_lock);
  if (!pending_new.empty()) DeleteFileW(pending_new.c_str());
  // Note: the locks stay taken: the process is ending (see pending_lock).
  return FALSE;
}

// A failed C runtime call leaves errno; a failed system call its own code.
std::string LastErrorText() {
  std::string text = (last_error ? WindowsErrorText(last_error) : std::strerror(errno)) + last_note;
  last_note.clear();
  return text;
}

FileHandle OpenForReading(const std::string& path) {
  last_error = 0;
  return _wopen(FileApiName(path).c_str(), _O_RDONLY | _O_BINARY);
}

bool InfoOf(FileHandle file, FileInfo& info) {
  struct _stat64 st;
  last_error = 0;
  if (_fstat64(static_cast<int>(file), &st) != 0) return false;
  info.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
  info.directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
  if (!info.regular) return true;
  return StampOfHandle(HandleOf(static_cast<int>(file)), info.stamp) || Failed();
}

long long ReadSome(FileHandle file, unsigned char* dest, size_t length) {
  return _read(static_cast<int>(file), dest, static_cast<unsigned>(std::min<size_t>(length, 1u << 30)));
}

void CloseFile(FileHandle file) { _close(static_cast<int>(file)); }

bool IsReadOnly(const std::string& path) {
  return _waccess(FileApiName(path).c_str(), 2) != 0 && errno == EACCES;
}

std::FILE* OpenTextForAppending(const std::string& path, std::string& reason) {
  std::FILE* stream = _wfopen(FileApiName(path).c_str(), L"at");
  if (!stream) {
    reason = std::strerror(errno);
    return nullptr;
  }
  if (GetFileType(HandleOf(_fileno(stream))) != FILE_TYPE_DISK) {
    std::fclose(stream);
    reason = "not a regular file";
    return nullptr;
  }
  return stream;
}

bool IsSameFile(std::FILE* stream, const std::string& path) {
  HANDLE other = OpenToLookAt(path);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(HandleOf(_fileno(stream)), &a) && GetFileInformationByHandle(other, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
              a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

// The console handler's record goes last, so that an event before then
// still finds the new file to remove.
void PendingDeleter::operator()(PendingReplacement* p) const {
  if (p->new_fd >= 0) _close(p->new_fd);
  if (p->target_file != INVALID_HANDLE_VALUE) CloseHandle(p->target_file);
  if (!p->new_path.empty() && !p->keep) DeleteFileW(FileApiName(p->new_path).c_str());
  if (!p->new_path.empty()) SetPending({});
  delete p;
}

std::unique_ptr<PendingReplacement, PendingDeleter> OpenTarget(const std::string& path) {
  std::unique_ptr<PendingReplacement, PendingDeleter> p(new PendingReplacement);
  p->target = ResolveLinks(path);
  size_t slash = p->target.find_last_of("/\\");
  p->folder = slash == std::string::npos ? "." : p->target.substr(0, slash == 0 ? 1 : slash);
  return p;
}

const std::string& TargetPath(const PendingReplacement& pending) { return pending.target; }
std::string TargetFolder(const PendingReplacement& pending) { return pending.folder; }

// Creates the new file exclusively, so that others may delete it while it
// is open: the console handler removes it while this process still holds it.
bool CreateNewFile(PendingReplacement& p) {
  ArmConsoleHandler();
  last_error = 0;
  std::string dir = p.folder == "." ? "" : p.folder + "/";
  for (unsigned attempt = 0;; ++attempt) {
    std::string path = dir + "flatcull." + std::to_string(_getpid()) + "_" + std::to_string(attempt);
    std::wstring name = FileApiName(path);
    // A map's backup left by an earlier replace (ReplaceTarget) keeps its
    // name: the replace would write over it.
    int fd = -1;
    errno = EEXIST;
    if (GetFileAttributesW((name + L".old").c_str()) == INVALID_FILE_ATTRIBUTES)
      fd = _wopen(name.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno != EEXIST || attempt >= 100) return false;
      continue;
    }
    // Note: the C library opens without delete sharing; a second handle
    // with it replaces the first. Without one the save still works, and only
    // a console event cannot remove the file while it is open.
    HANDLE shared = ReOpenFile(HandleOf(fd), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (shared != INVALID_HANDLE_VALUE) {
      int shared_fd = _open_osfhandle(reinterpret_cast<intptr_t>(shared), _O_BINARY);
      if (shared_fd >= 0) {
        _close(fd);
        fd = shared_fd;
      } else {
        CloseHandle(shared);
      }
    }
    p.new_fd = fd;
    p.new_path = path;
    SetPending(std::move(name));
    return true;
  }
}

// The replace keeps the target's security descriptor, streams and creation
// time; the attributes (read-only apart: such a target is refused) and the
// creation time are given here too, as wine's replace keeps neither and the
// move that stands in for a replace keeps nothing. Other hard links would
// keep the old file. A Windows file has no mode bits to give.
bool GiveIdentity(PendingReplacement& p, bool& carried, std::optional<unsigned> /*new_mode*/) {
  last_error = 0;
  HANDLE target = OpenToLookAt(p.target);
  if (target == INVALID_HANDLE_VALUE) {
    carried = true;
    return GetLastError() == ERROR_FILE_NOT_FOUND || Failed();
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(target, &info);
  CloseHandle(target);
  if (!known) return Failed();
  carried = info.nNumberOfLinks == 1;
  const DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
  FILE_BASIC_INFO basic{};  // a time of 0 is left as it is
  basic.CreationTime.QuadPart = TimeOf(info.ftCreationTime);
  basic.FileAttributes = info.dwFileAttributes & kSettable;
  if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(HandleOf(p.new_fd), FileBasicInfo, &basic, sizeof basic) || Failed();
}

bool WritePieces(PendingReplacement& p, const std::vector<ByteRange>& pieces) {
  last_error = 0;
  for (const ByteRange& piece : pieces) {
    const auto* bytes = static_cast<const unsigned char*>(piece.data);
    for (size_t done = 0; done < piece.size;) {
      int n = _write(p.new_fd, bytes + done, static_cast<unsigned>(std::min<size_t>(piece.size - done, 1u << 30)));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
  }
  return true;
}

bool SyncNewFile(PendingReplacement& p) {
  last_error = 0;
  return _commit(p.new_fd) == 0;
}

bool CloseNewFile(PendingReplacement& p) {
  last_error = 0;
  int fd = p.new_fd;
  p.new_fd = -1;
  return _close(fd) == 0;
}

bool StampOfTarget(const PendingReplacement& p, FileStamp& stamp) {
  HANDLE file = OpenToLookAt(p.target);
  if (file == INVALID_HANDLE_VALUE) return Failed();
  bool ok = StampOfHandle(file, stamp) || Failed();
  CloseHandle(file);
  return ok;
}

bool NameNewFile(PendingReplacement&) { return true; }

std::string NewFilePath(const PendingReplacement& p) { return p.new_path; }

// The replace moves the old map to a backup name, removed once the new map
// is in place. Note: without one, a replace that has removed the old map and
// then cannot move the new file in leaves no map under its name
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT), and wine's replace leaves a file of its
// own beside a map it cannot move (one held open elsewhere); with one, a
// failure leaves the old map in one of the two names, and it is put back.
// The replace, the backup's removal and the end of the pending record are
// one step for the console handler. A file system whose replace cannot work
// (some network shares), or a target that is gone, gets a plain move.
bool ReplaceTarget(PendingReplacement& p) {
  std::wstring from = FileApiName(p.new_path), to = FileApiName(p.target), backup = from + L".old";
  AcquireSRWLockExclusive(&pending_lock);
  bool replaced =
      ReplaceFileW(to.c_str(), from.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
  DWORD error = replaced ? 0 : GetLastError();
  if (replaced) {
    DeleteFileW(backup.c_str());
  } else if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    if (MoveFileExW(backup.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
      error = ERROR_UNABLE_TO_MOVE_REPLACEMENT;  // the map has its name again
    else
      last_note = "; the map is kept in " + PlainName(backup);
  } else if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER ||
             error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_FILE_NOT_FOUND) {
    replaced = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    error = GetLastError();
  }
  if (replaced) {
    pending_new.clear();
    p.new_path.clear();
  }
  ReleaseSRWLockExclusive(&pending_lock);
  last_error = error;
  return replaced;
}

bool OpenTargetForWriting(PendingReplacement& p, FileStamp& stamp) {
  p.target_file = CreateFileW(FileApiName(p.target).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (p.target_file == INVALID_HANDLE_VALUE) return Failed();
  return StampOfHandle(p.target_file, stamp) || Failed();
}

bool OverwriteTarget(PendingReplacement& p, int64_t size) {
  last_error = 0;
  if (_lseeki64(p.new_fd, 0, SEEK_SET) != 0) return false;
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min<int64_t>(size, int64_t{1} << 20)));
  for (int64_t done = 0; done < size;) {
    int got = _read(p.new_fd, buffer.data(), static_cast<unsigned>(std::min(size - done, int64_t(buffer.size()))));
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    DWORD put = 0;
    if (!WriteFile(p.target_file, buffer.data(), static_cast<DWORD>(got), &put, nullptr) || put != DWORD(got))
      return Failed();
    done += got;
  }
  return (SetEndOfFile(p.target_file) && FlushFileBuffers(p.target_file)) || Failed();
}

bool RemoveNewFile(PendingReplacement& p) {
  SetPending({});
  bool removed = DeleteFileW(FileApiName(p.new_path).c_str());
  p.new_path.clear();
  return removed;
}

void KeepNewFile(PendingReplacement& p) {
  SetPending({});
  p.keep = true;
}

void HoldSignals(bool hold) {
  if (hold)
    AcquireSRWLockExclusive(&hold_lock);
  else
    ReleaseSRWLockExclusive(&hold_lock);
}
