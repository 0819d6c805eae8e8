// fileio_windows.cpp: the host's file calls on Windows.
// Every name reaches the system as UTF-16 in the \\?\ form (FileApiName).
// A save works by names in the target's folder. Its new file is named
// NAME.flatcull-XXXXXX beside the target, created exclusively, shared only
// for deletion (so that the console handler can remove it, and another run
// that tries to open it finds it in use) and locked while the save lives.
// The target is replaced with ReplaceFileW, which keeps its security
// descriptor and streams; the new file is given its attributes and creation
// time first. An in-place write keeps its journal, NAME.flatcull-journal,
// open and locked in the same way until the save ends.
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/fileio_platform.h"
#include "common/signals.h"
#include "common/system_windows.h"

struct PendingSave {
  std::string target;      // the file to replace, links resolved
  std::string folder;      // its folder as given, with its last separator; "" for the current one
  std::string name;        // its name in the folder
  HANDLE file = INVALID_HANDLE_VALUE;  // the new file (later the journal), or a journal found
  std::string new_name;    // the new file's name in the folder; empty for none
  std::string new_path;    // its full name, as the console handler removes it
};

namespace {

const char kJournalSuffix[] = ".flatcull-journal";

bool IsMissing(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH;
}

FileStatus Failure(DWORD code = GetLastError()) {
  return FileStatus::Failed(IsMissing(code) ? FileStatus::kMissing : FileStatus::kOther, static_cast<long>(code),
                            WindowsErrorText(code));
}

FileStatus Failure(const char* text) { return FileStatus::Failed(FileStatus::kOther, 0, text); }

FileStatus Busy() { return FileStatus::Failed(FileStatus::kBusy, 0, ""); }

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


std::wstring NameOf(const PendingSave& p, const std::string& name) { return FileApiName(p.folder + name); }

// Locks the whole of a file for this handle alone; false when another holds it.
bool LockWhole(HANDLE file) {
  OVERLAPPED at{};
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at);
}

// Marks a file open through handle to be removed as the handle closes.
bool RemoveOnClose(HANDLE file) {
  FILE_DISPOSITION_INFO remove{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
}

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

// Cuts or extends a file to size and makes it durable.
bool EndWrite(HANDLE file, int64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = size;
  return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file) && FlushFileBuffers(file);
}

// Copies size bytes at from_offset of from over to, from its start.
bool CopyBytes(HANDLE from, int64_t from_offset, HANDLE to, int64_t size, std::vector<unsigned char>& buffer) {
  for (int64_t done = 0; done < size;) {
    const auto want = static_cast<DWORD>(std::min<int64_t>(size - done, static_cast<int64_t>(buffer.size())));
    DWORD got = 0;
    if (!ReadAt(from, from_offset + done, buffer.data(), want, got)) return false;
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);  // shorter than it was written
      return false;
    }
    if (!WriteAt(to, done, buffer.data(), got)) return false;
    done += got;
  }
  return true;
}

// The attributes a file may be given (read-only apart: such a target is
// refused, and a new target takes it from its mode).
constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// Gives the new file the target's attributes and creation time, as wine's
// replace keeps neither and the move that stands in for a replace keeps
// nothing; the replace itself keeps the security descriptor and streams.
// A new target gets the read-only attribute when new_mode has no write bit.
// A Windows file has no mode bits to give.
FileStatus GiveIdentity(PendingSave& p, const ReplaceHow& how) {
  FILE_BASIC_INFO basic{};  // a time of 0 is left as it is
  Handle target{OpenToLookAt(p.target)};
  if (target.handle != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(target.handle, &info)) return Failure();
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      return Failure("not a regular file");
    basic.CreationTime.QuadPart = TimeOf(info.ftCreationTime);
    basic.FileAttributes = info.dwFileAttributes & kSettable;
  } else if (IsMissing(GetLastError())) {
    if (how.new_mode && (*how.new_mode & 0222) == 0) basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
  } else {
    return Failure();
  }
  if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(p.file, FileBasicInfo, &basic, sizeof basic) ? FileStatus{} : Failure();
}

// Whether the target still has the stamp it had when it was read.
bool StillAsRead(const PendingSave& p, const FileStamp& expected) {
  Handle target{OpenToLookAt(p.target)};
  FileStamp now;
  return target.handle != INVALID_HANDLE_VALUE && StampOfHandle(target.handle, now) && now == expected;
}

// The replace moves the old map to a backup name that carries the map's
// name, removed once the new map is in place. Note: without one, a replace
// that has removed the old map and then cannot move the new file in leaves
// no map under its name (ERROR_UNABLE_TO_MOVE_REPLACEMENT), and wine's
// replace leaves a file of its own beside a map it cannot move (one held open
// elsewhere); with one, a failure leaves the old map in one of the two names,
// and it is put back. A file system whose replace cannot work (some network
// shares) gets a plain move.
FileStatus Replace(PendingSave& p) {
  const std::wstring from = NameOf(p, p.new_name), to = FileApiName(p.target);
  const std::string backup_name = FreshName(p.name);
  const std::wstring backup = NameOf(p, backup_name);
  if (ReplaceFileW(to.c_str(), from.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    DeleteFileW(backup.c_str());
    return {};
  }
  const DWORD error = GetLastError();
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    if (MoveFileExW(backup.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
      return Failure(ERROR_UNABLE_TO_MOVE_REPLACEMENT);  // the map has its name again
    FileStatus kept = Failure(error);
    kept.text += "; the map is kept in " + p.folder + backup_name;
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

FileStatus InfoOf(FileHandle file, FileInfo& info) {
  auto handle = reinterpret_cast<HANDLE>(file);
  info = {};
  if (GetFileType(handle) != FILE_TYPE_DISK) return {};
  BY_HANDLE_FILE_INFORMATION about;
  if (!GetFileInformationByHandle(handle, &about)) return Failure();
  info.directory = (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.regular = !info.directory;
  if (info.regular && !StampOfHandle(handle, info.stamp)) return Failure();
  return {};
}

FileStatus ReadSome(FileHandle file, unsigned char* dest, size_t length, size_t& got) {
  DWORD n = 0;
  got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(file), dest, static_cast<DWORD>(std::min<size_t>(length, size_t{1} << 30)),
                &n, nullptr))
    return GetLastError() == ERROR_HANDLE_EOF ? FileStatus{} : Failure();
  got = n;
  return {};
}

void CloseFile(FileHandle file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

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

// --- What a save needs to know

// Note: a rename keeps what a Windows file has (the replace carries its
// security and streams, the save its attributes), but not its other hard
// links, which the caller tells by links.
FileFacts LookAtFile(const std::string& path, bool follow_links) {
  FileFacts facts;
  facts.path = follow_links ? ResolveLinks(path) : path;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  Handle file{CreateFileW(FileApiName(path).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                          nullptr)};
  BY_HANDLE_FILE_INFORMATION info;
  if (file.handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file.handle, &info)) {
    if (!IsMissing(GetLastError())) facts.denied = WindowsErrorText(GetLastError());
    return facts;
  }
  facts.exists = true;
  facts.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.link = !follow_links && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  facts.regular = !facts.folder && !facts.link && GetFileType(file.handle) == FILE_TYPE_DISK;
  facts.device = info.dwVolumeSerialNumber;
  facts.inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  facts.links = info.nNumberOfLinks;
  facts.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  const bool read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  facts.mode = read_only ? 0444 : 0666;
  if (!facts.regular) return facts;
  if (read_only) {
    facts.read_only = "";
    return facts;
  }
  // Whether this user may write it: an open for writing that writes nothing.
  // A file held open elsewhere is no refusal here; the replace tells.
  Handle writer{CreateFileW(FileApiName(path).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (writer.handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION)
    facts.denied = WindowsErrorText(GetLastError());
  return facts;
}

// Note: Windows has no folder permission that this could read; the creation
// of the new file tells.
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

// --- Saving

// The new file goes before the console handler's record of it, so that an
// event before then still finds it to remove.
void PendingSaveDeleter::operator()(PendingSave* p) const {
  if (!p->new_name.empty()) {
    const bool removed = p->file != INVALID_HANDLE_VALUE && RemoveOnClose(p->file);
    if (p->file != INVALID_HANDLE_VALUE) CloseHandle(p->file);
    p->file = INVALID_HANDLE_VALUE;
    if (!removed) DeleteFileW(NameOf(*p, p->new_name).c_str());
    RecordNewFile(-1, nullptr);
  }
  if (p->file != INVALID_HANDLE_VALUE) CloseHandle(p->file);
  delete p;
}

FileStatus OpenSave(const std::string& path, bool follow_links, std::unique_ptr<PendingSave, PendingSaveDeleter>& save) {
  save.reset(new PendingSave);
  save->target = follow_links ? ResolveLinks(path) : path;
  const size_t slash = save->target.find_last_of("/\\");
  save->folder = slash == std::string::npos ? "" : save->target.substr(0, slash + 1);
  save->name = save->target.substr(slash == std::string::npos ? 0 : slash + 1);
  const DWORD attributes = GetFileAttributesW(FileApiName(save->folder.empty() ? "." : save->folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failure();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileStatus{} : Failure(ERROR_DIRECTORY);
}

const std::string& SavedPath(const PendingSave& save) { return save.target; }

// Note: nothing is removed while the target is missing: a replace cut off
// between its two moves leaves the map under a backup name of this form.
FileStatus RemoveLeftovers(PendingSave& p) {
  if (GetFileAttributesW(FileApiName(p.target).c_str()) == INVALID_FILE_ATTRIBUTES) return {};
  std::wstring pattern = FileApiName(p.folder.empty() ? "." : p.folder);
  if (pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return Failure();
  const std::string prefix = NewFilePrefix(p.name);
  do {
    const std::string name = Utf8FromWide(entry.cFileName);
    if (!IsNewFileOf(name, prefix) ||
        (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      continue;
    // A live save holds its file open without sharing reading or writing,
    // so that this open, which shares nothing, fails.
    HANDLE file = CreateFileW(NameOf(p, name).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return {};
}

FileStatus OpenJournal(PendingSave& p, std::vector<unsigned char>& bytes, bool& found) {
  found = false;
  Handle file{CreateFileW(NameOf(p, p.name + kJournalSuffix).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A name too long to carry the suffix never had a journal.
    if (IsMissing(error) || error == ERROR_FILENAME_EXCED_RANGE) return {};
    return error == ERROR_SHARING_VIOLATION ? FileStatus::Failed(FileStatus::kBusy, static_cast<long>(error),
                                                                 WindowsErrorText(error))
                                            : Failure(error);
  }
  if (!LockWhole(file.handle)) {
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION ? FileStatus::Failed(FileStatus::kBusy, static_cast<long>(error),
                                                              WindowsErrorText(error))
                                         : Failure(error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.handle, &info)) return Failure();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return Failure("not a regular file");
  const uint64_t size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return Failure(ERROR_NOT_ENOUGH_MEMORY);
  }
  for (size_t done = 0; done < bytes.size();) {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, size_t{1} << 30));
    if (!ReadAt(file.handle, static_cast<int64_t>(done), bytes.data() + done, want, got)) return Failure();
    if (got == 0) {
      bytes.resize(done);
      break;
    }
    done += got;
  }
  found = true;
  p.file = file.Release();
  return {};
}

// Note: the new file is shared for deletion alone, so that the console
// handler may remove it while it is open.
FileStatus CreateNewFile(PendingSave& p) {
  for (int attempt = 0; p.file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    SignalHold hold;
    p.new_name = FreshName(p.name);
    p.new_path = p.folder + p.new_name;
    RecordNewFile(-1, p.new_path.c_str());
    p.file = CreateFileW(FileApiName(p.new_path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (p.file != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    RecordNewFile(-1, nullptr);
    p.new_name.clear();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return Failure(error);
  }
  if (p.file == INVALID_HANDLE_VALUE) return Failure(ERROR_FILE_EXISTS);
  LockWhole(p.file);
  return {};
}

FileStatus WriteNewFile(PendingSave& p, const std::vector<ByteRange>& pieces) {
  for (const ByteRange& piece : pieces) {
    const auto* bytes = static_cast<const unsigned char*>(piece.data);
    for (size_t done = 0; done < piece.size;) {
      DWORD put = 0;
      const auto want = static_cast<DWORD>(std::min<size_t>(piece.size - done, size_t{1} << 30));
      if (!WriteFile(p.file, bytes + done, want, &put, nullptr)) return Failure();
      if (put == 0) return Failure(ERROR_WRITE_FAULT);
      done += put;
    }
  }
  return {};
}

// Note: the stamp is checked right before the replace; a change between the
// two cannot be seen without a lock that other programs do not take.
FileStatus ReplaceByRename(PendingSave& p, const ReplaceHow& how) {
  if (FileStatus status = GiveIdentity(p, how); !status.ok()) return status;
  if (!FlushFileBuffers(p.file)) return Failure();
  // The replace opens the new file itself, which the handle would deny.
  const HANDLE file = p.file;
  p.file = INVALID_HANDLE_VALUE;
  if (!CloseHandle(file)) return Failure();
  if (how.expected && !StillAsRead(p, *how.expected)) return Busy();
  SignalHold hold;
  const bool exists = GetFileAttributesW(FileApiName(p.target).c_str()) != INVALID_FILE_ATTRIBUTES;
  // A new target never replaces a file that appeared meanwhile.
  FileStatus status = exists ? Replace(p)
                      : MoveFileExW(NameOf(p, p.new_name).c_str(), FileApiName(p.target).c_str(), MOVEFILE_WRITE_THROUGH)
                          ? FileStatus{}
                          : Failure();
  if (!status.ok()) return status;
  RecordNewFile(-1, nullptr);
  p.new_name.clear();
  return {};
}

// Note: the move renames the file while it is open (it is shared for
// deletion), so that the lock stays.
// A reader the map denies is denied its journal too: the journal gets the
// map's own access list, inherited entries included, as its only one, or,
// when that cannot be read, one that lets only its owner in.
DWORD GiveMapsAccessList(const PendingSave& p) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  DWORD error = GetNamedSecurityInfoW(FileApiName(p.target).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &list, nullptr, &security);
  BOOL present = FALSE, defaulted = FALSE;
  if (error != ERROR_SUCCESS &&
      (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1, &security,
                                                             nullptr) ||
       !GetSecurityDescriptorDacl(security, &present, &list, &defaulted)))
    return GetLastError();
  std::wstring name = NameOf(p, p.new_name);
  error = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                list, nullptr);
  LocalFree(security);
  return error;
}

FileStatus MakeJournal(PendingSave& p) {
  if (DWORD error = GiveMapsAccessList(p); error != ERROR_SUCCESS) return Failure(error);
  if (!FlushFileBuffers(p.file)) return Failure();
  SignalHold hold;
  if (!MoveFileExW(NameOf(p, p.new_name).c_str(), NameOf(p, p.name + kJournalSuffix).c_str(), MOVEFILE_WRITE_THROUGH))
    return Failure();
  // The journal is the save's safety net from here on: no event removes it.
  RecordNewFile(-1, nullptr);
  p.new_name.clear();
  return {};
}

FileStatus OverwriteTarget(PendingSave& p, const FileStamp* expected, int64_t offset, int64_t size,
                           std::span<const unsigned char> old, bool& restored) {
  restored = false;
  Handle target{CreateFileW(FileApiName(p.target).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr)};
  if (target.handle == INVALID_HANDLE_VALUE) return Failure();
  FileStamp stamp;
  if (!StampOfHandle(target.handle, stamp)) return Failure();
  if (expected && !(stamp == *expected)) return Busy();
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(size, 1), int64_t{1} << 20)));
  } catch (const std::bad_alloc&) {
    return Failure(ERROR_NOT_ENOUGH_MEMORY);
  }
  SignalHold hold;
  if (CopyBytes(p.file, offset, target.handle, size, buffer) && EndWrite(target.handle, size)) return {};
  FileStatus failed = Failure();
  restored = !old.empty() && WriteAt(target.handle, 0, old.data(), old.size()) &&
             EndWrite(target.handle, static_cast<int64_t>(old.size()));
  return failed;
}

// Note: removed by name while its handle still holds the lock, so that no
// other run can take the journal between the close and the removal; not
// through the handle, as wine would remove the name it was opened under,
// before the move that made it the journal.
FileStatus RemoveJournal(PendingSave& p) {
  FileStatus status = DeleteFileW(NameOf(p, p.name + kJournalSuffix).c_str()) ? FileStatus{} : Failure();
  if (p.file != INVALID_HANDLE_VALUE) CloseHandle(p.file);
  p.file = INVALID_HANDLE_VALUE;
  return status;
}
