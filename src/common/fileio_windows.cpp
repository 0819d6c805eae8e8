// fileio_windows.cpp: the host's file calls on Windows.
// Every name reaches the system as UTF-16 in the \\?\ form (FileApiName).
// Win32 opens nothing relative to a folder handle, so a save's calls name
// their files by the folder's name and theirs. A new file is created
// exclusively, shared only for deletion (so that the console handler can
// remove it, and another run that tries to open it finds it in use). The
// target is replaced with ReplaceFileW, which keeps its security descriptor
// and streams; the new file is given its attributes and creation time
// first. A map's lock is a byte range past any map's end, as LockFileEx
// locks keep others from the bytes they cover.
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fileio_platform.h"
#include "common/system_windows.h"

namespace {

bool IsMissing(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH;
}

FileStatus Failure(DWORD code = GetLastError()) {
  return FileStatus::Failed(IsMissing(code) ? FileStatus::kMissing : FileStatus::kOther, static_cast<long>(code),
                            WindowsErrorText(code));
}


// Closes a handle on every path out.
struct Handle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  // Hands the handle over: it is no longer closed here.
  HANDLE Release() {
    HANDLE kept = handle;
    handle = INVALID_HANDLE_VALUE;
    return kept;
  }
};

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
}  // namespace

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


namespace {

HANDLE Win(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

std::string PathIn(const Folder& folder, const std::string& name) {
  return folder.path + (folder.path.ends_with('/') || folder.path.ends_with('\\') ? "" : "/") + name;
}

std::wstring NameIn(const Folder& folder, const std::string& name) { return FileApiName(PathIn(folder, name)); }

FileStatus Io(bool ok) { return ok ? FileStatus{} : Failure(); }

bool ReadAt(HANDLE file, int64_t offset, unsigned char* dest, DWORD length, DWORD& got) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  got = 0;
  return ReadFile(file, dest, length, &got, &at) || GetLastError() == ERROR_HANDLE_EOF;
}

bool WriteAt(HANDLE file, int64_t offset, const unsigned char* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    OVERLAPPED at{};
    const auto where = static_cast<uint64_t>(offset) + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD put = 0;
    const auto want = static_cast<DWORD>(std::min<size_t>(size - done, size_t{1} << 30));
    if (!WriteFile(file, bytes + done, want, &put, &at)) return false;
    if (put == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    done += put;
  }
  return true;
}

// The attributes a file may be given (read-only apart: such a target is
// refused, and a new target takes it from its mode).
constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// The replace moves the old map to a backup name that carries the map's
// name, removed once the new map is in place. Note: without one, a replace
// that has removed the old map and then cannot move the new file in leaves
// no map under its name (ERROR_UNABLE_TO_MOVE_REPLACEMENT), and wine's
// replace leaves a file of its own beside a map it cannot move (one held open
// elsewhere); with one, a failure leaves the old map in one of the two names,
// and it is put back. A file system whose replace cannot work (some network
// shares) gets a plain move.
FileStatus Replace(const Folder& folder, const std::string& from_name, const std::string& to_name) {
  const std::wstring from = NameIn(folder, from_name), to = NameIn(folder, to_name);
  const std::string backup_name = from_name + "-old";
  const std::wstring backup = NameIn(folder, backup_name);
  if (ReplaceFileW(to.c_str(), from.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    DeleteFileW(backup.c_str());
    return {};
  }
  const DWORD error = GetLastError();
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    if (MoveFileExW(backup.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
      return Failure(ERROR_UNABLE_TO_MOVE_REPLACEMENT);  // the map has its name again
    FileStatus kept = Failure(error);
    kept.text += "; the map is kept in " + PathIn(folder, backup_name);
    return kept;
  }
  if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER ||
      error == ERROR_CALL_NOT_IMPLEMENTED)
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? FileStatus{}
                                                                                                     : Failure();
  return Failure(error);
}

}  // namespace

// --- Reading

// Note: a folder opens too (backup semantics), so that it is refused as a
// folder rather than with the system's "access denied".
FileStatus OpenForReading(const std::string& path, FileHandle& file) {
  HANDLE handle = CreateFileW(FileApiName(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  file = reinterpret_cast<FileHandle>(handle);
  return handle == INVALID_HANDLE_VALUE ? Failure() : FileStatus{};
}

FileStatus CloseFile(FileHandle file) {
  if (file == kNoFile) return {};
  return CloseHandle(reinterpret_cast<HANDLE>(file)) ? FileStatus{} : Failure();
}

std::string AppendText(std::FILE* stream, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0) return "";
  return std::strerror(errno);
}

std::FILE* OpenTextForAppending(const std::string& path, std::string& reason) {
  std::FILE* stream = _wfopen(FileApiName(path).c_str(), L"at");
  if (!stream) {
    reason = std::strerror(errno);
    return nullptr;
  }
  if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != FILE_TYPE_DISK) {
    std::fclose(stream);
    reason = "not a regular file";
    return nullptr;
  }
  return stream;
}

FileStatus FactsOf(FileHandle file, HandleFacts& facts) {
  facts = {};
  if (GetFileType(Win(file)) != FILE_TYPE_DISK) return {};
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(Win(file), &info)) return Failure();
  facts.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  facts.regular = !facts.folder && !facts.link;
  facts.links = info.nNumberOfLinks;
  facts.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  if (!StampOfHandle(Win(file), facts.stamp)) return Failure();
  return {};
}

// --- Looking at a file by its name

FileFacts LookAtFile(const std::string& path, bool follow_links) {
  FileFacts facts;
  facts.path = follow_links ? ResolveLinks(path) : path;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  Handle file{CreateFileW(FileApiName(path).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                          nullptr)};
  HandleFacts h;
  if (file.handle == INVALID_HANDLE_VALUE || !FactsOf(reinterpret_cast<FileHandle>(file.handle), h).ok())
    return facts;
  facts.exists = true;
  facts.folder = h.folder;
  facts.link = !follow_links && h.link;
  facts.regular = h.regular && GetFileType(file.handle) == FILE_TYPE_DISK;
  facts.device = h.stamp.device;
  facts.inode = h.stamp.inode;
  facts.size = h.stamp.size;
  facts.mode = h.mode;
  return facts;
}

namespace {

// Whether the folder's access list denies this user adding a file to it.
// Note: false when that cannot be told; the save then says what fails.
bool DeniesNewFiles(const std::string& folder) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetNamedSecurityInfoW(FileApiName(folder).c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, &security) != ERROR_SUCCESS)
    return false;
  HANDLE token = nullptr;
  BOOL allowed = TRUE;
  if (ImpersonateSelf(SecurityImpersonation)) {
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
      GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
      PRIVILEGE_SET privileges;
      DWORD size = sizeof privileges, granted = 0;
      if (!AccessCheck(security, token, FILE_ADD_FILE, &mapping, &privileges, &size, &granted, &allowed)) allowed = TRUE;
      CloseHandle(token);
    }
    RevertToSelf();
  }
  LocalFree(security);
  return !allowed;
}

}  // namespace

std::string FolderRefusal(const std::string& folder) {
  const DWORD attributes = GetFileAttributesW(FileApiName(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return IsMissing(GetLastError()) ? std::strerror(ENOENT) : WindowsErrorText(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::strerror(ENOTDIR);
  return DeniesNewFiles(folder) ? WindowsErrorText(ERROR_ACCESS_DENIED) : "";
}

// --- A save's folder and files

FileStatus OpenFolder(const std::string& path, Folder& folder) {
  folder.path = path;
  folder.handle = -1;
  Handle handle{OpenToLookAt(path.empty() ? "." : path)};
  HandleFacts facts;
  if (handle.handle == INVALID_HANDLE_VALUE) return Failure();
  if (FileStatus status = FactsOf(reinterpret_cast<FileHandle>(handle.handle), facts); !status.ok()) return status;
  if (!facts.folder) return Failure(ERROR_DIRECTORY);
  folder.device = facts.stamp.device;
  folder.inode = facts.stamp.inode;
  return {};
}

void CloseFolder(Folder&) {}

FileStatus FactsAt(const Folder& folder, const std::string& name, HandleFacts& facts) {
  Handle file{CreateFileW(NameIn(folder, name).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) return Failure();
  return FactsOf(reinterpret_cast<FileHandle>(file.handle), facts);
}

FileStatus ListFolder(const Folder& folder, std::vector<std::string>& names) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileExW(NameIn(folder, "*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return Failure();
  do names.push_back(Utf8FromWide(entry.cFileName));
  while (FindNextFileW(search, &entry));
  FindClose(search);
  return {};
}

// Note: a folder opens too for reading (backup semantics), so that it is
// refused as a folder rather than with the system's "access denied"; reading
// shares deletion, so that the replace can move the file away.
FileStatus OpenAt(const Folder& folder, const std::string& name, bool write, FileHandle& file) {
  HANDLE handle = CreateFileW(NameIn(folder, name).c_str(), write ? GENERIC_WRITE | FILE_READ_ATTRIBUTES : GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | (write ? 0 : FILE_FLAG_BACKUP_SEMANTICS), nullptr);
  file = reinterpret_cast<FileHandle>(handle);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILENAME_EXCED_RANGE)
    return FileStatus::Failed(FileStatus::kMissing, ERROR_FILENAME_EXCED_RANGE, WindowsErrorText(ERROR_FILENAME_EXCED_RANGE));
  return Io(handle != INVALID_HANDLE_VALUE);
}

// Note: Windows has no unnamed files; the new file is shared for deletion
// alone, so that the console handler may remove it while it is open.
FileStatus CreateAt(const Folder& folder, const std::string& name, bool, FileHandle& file, bool& unnamed) {
  unnamed = false;
  HANDLE handle = CreateFileW(NameIn(folder, name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  file = reinterpret_cast<FileHandle>(handle);
  return Io(handle != INVALID_HANDLE_VALUE);
}

// Note: Windows gives a file a new name by moving it, while it is open (it is
// shared for deletion); the old name goes.
FileStatus LinkAt(const Folder& folder, FileHandle, bool, const std::string& from, const std::string& to) {
  return Io(MoveFileExW(NameIn(folder, from).c_str(), NameIn(folder, to).c_str(), MOVEFILE_WRITE_THROUGH));
}

FileStatus RenameAt(const Folder& folder, const std::string& from, const std::string& to) {
  return Replace(folder, from, to);
}

FileStatus UnlinkAt(const Folder& folder, const std::string& name) {
  return Io(DeleteFileW(NameIn(folder, name).c_str()));
}

std::string SignalNameOf(const Folder& folder, const std::string& name) { return PathIn(folder, name); }

std::string NameKey(const std::string& name) {
  std::string key = name;
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

// --- Data

FileStatus ReadAt(FileHandle file, int64_t offset, unsigned char* dest, size_t length, size_t& got) {
  DWORD n = 0;
  const bool ok = ReadAt(Win(file), offset, dest, static_cast<DWORD>(std::min<size_t>(length, size_t{1} << 30)), n);
  got = n;
  return Io(ok);
}

FileStatus WriteAt(FileHandle file, int64_t offset, const std::vector<ByteRange>& pieces) {
  for (const ByteRange& piece : pieces) {
    if (!WriteAt(Win(file), offset, static_cast<const unsigned char*>(piece.data), piece.size)) return Failure();
    offset += static_cast<int64_t>(piece.size);
  }
  return {};
}

FileStatus Truncate(FileHandle file, int64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = size;
  return Io(SetFilePointerEx(Win(file), end, nullptr, FILE_BEGIN) && SetEndOfFile(Win(file)));
}

FileStatus SyncFile(FileHandle file) { return Io(FlushFileBuffers(Win(file))); }

// Note: a name's change is made durable by MOVEFILE_WRITE_THROUGH and the
// replace; Windows syncs no folder.
FileStatus SyncFolder(const Folder&) { return {}; }

// Note: Windows flushes per file (FlushFileBuffers); a volume's flush needs
// administrator rights.
bool SyncsFileSystem(const Folder&) { return false; }

FileStatus SyncFileSystem(const Folder&) { return Failure(ERROR_NOT_SUPPORTED); }

FileStatus LockFile(FileHandle file) {
  OVERLAPPED at{};
  at.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(Win(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return {};
  const DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION
             ? FileStatus::Failed(FileStatus::kHeld, static_cast<long>(error), WindowsErrorText(error))
             : Failure(error);
}

// --- Who may do what

// Note: a rename keeps what a Windows file has (the replace carries its
// security and streams, the save its attributes), but not its other hard
// links, which the caller tells by links.
WriteFacts WriteFactsOf(const Folder& folder, const std::string& name, FileHandle, const HandleFacts& facts) {
  WriteFacts w;
  if ((facts.mode & 0222) == 0) {
    w.read_only = "";
  } else {
    // Whether this user may write it: an open for writing that writes
    // nothing. A file held open elsewhere is no refusal here; the replace tells.
    Handle writer{CreateFileW(NameIn(folder, name).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (writer.handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION)
      w.denied = WindowsErrorText(GetLastError());
  }
  w.folder_denied = FolderRefusal(folder.path);
  return w;
}

// Gives the new file the target's attributes and creation time, as wine's
// replace keeps neither and the move that stands in for a replace keeps
// nothing; the replace itself keeps the security descriptor and streams.
// A new target gets the read-only attribute when new_mode has no write bit.
FileStatus GiveIdentity(FileHandle from, const HandleFacts&, FileHandle to, bool, unsigned new_mode) {
  FILE_BASIC_INFO basic{};  // a time of 0 is left as it is
  if (from != kNoFile) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(Win(from), &info)) return Failure();
    basic.CreationTime.QuadPart = TimeOf(info.ftCreationTime);
    basic.FileAttributes = info.dwFileAttributes & kSettable;
  } else if ((new_mode & 0222) == 0) {
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
  }
  if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return Io(SetFileInformationByHandle(Win(to), FileBasicInfo, &basic, sizeof basic));
}

Privileges PrivilegesOf(FileHandle, const HandleFacts&) { return {}; }

FileStatus RestorePrivileges(FileHandle, const Privileges&) { return {}; }

// A reader the map denies is denied its journal too: the journal gets the
// map's own access list, inherited entries included, as its only one.
// Giving it the map's owner would need SeRestorePrivilege.
FileStatus MakePrivate(FileHandle journal, FileHandle map, const HandleFacts&) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  DWORD error = GetSecurityInfo(Win(map), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                nullptr, &security);
  if (error != ERROR_SUCCESS) return {};  // a file system without security (FAT)
  error = SetSecurityInfo(Win(journal), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, list, nullptr);
  LocalFree(security);
  return error == ERROR_SUCCESS ? FileStatus{} : Failure(error);
}

namespace {

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// Whether sid is this process's user.
bool IsMe(PSID sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(TOKEN_USER) unsigned char buffer[256];
  DWORD size = 0;
  const bool me = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                  EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
  CloseHandle(token);
  return me;
}

bool IsTrustedOwner(PSID sid, PSID map_owner) {
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsMe(sid) ||
         (map_owner && EqualSid(sid, map_owner));
}

}  // namespace

// Note: where the file system keeps no security (FAT), nothing can be told,
// and the journal is taken as the map is.
std::string WhyNotTrusted(FileHandle journal, const HandleFacts&, FileHandle map, const HandleFacts&) {
  PSID owner = nullptr, map_owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr, map_security = nullptr;
  if (GetSecurityInfo(Win(journal), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &security) != ERROR_SUCCESS)
    return "";
  GetSecurityInfo(Win(map), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &map_owner, nullptr, nullptr, nullptr,
                  &map_security);
  const bool trusted = !owner || IsTrustedOwner(owner, map_owner);
  LocalFree(security);
  if (map_security) LocalFree(map_security);
  return trusted ? "" : "its owner may not write the map";
}

bool IsMine(const HandleFacts&) { return true; }
