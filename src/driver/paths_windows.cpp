// paths_windows.cpp: Windows names. '/' and '\' both separate folders; a
// leading separator or a drive letter and colon makes a name absolute. The
// names the tool forms use '/' alone. Names are std::string, so no length
// limit applies and nothing is cut.
#include <direct.h>
#include <windows.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/console.h"
#include "common/system_windows.h"
#include "driver/paths.h"

namespace {

// The current folder, however long, fetched as UTF-16 so that any name
// survives, and kept as UTF-8; a folder that cannot be fetched ends the run
// rather than leave a stale or empty name.
std::string CurrentFolder() {
  std::vector<wchar_t> buffer(256);
  while (!_wgetcwd(buffer.data(), static_cast<int>(buffer.size()))) {
    if (errno != ERANGE) FatalError("Unable to get the current directory: %s", std::strerror(errno));
    buffer.resize(buffer.size() * 2);
  }
  return Utf8FromWide(buffer.data());
}

}  // namespace

// Note: "C:x" is relative to drive C:'s current folder, which the system
// finds when the file is opened; it stays as it is here.
std::string FullName(const std::string& arg) {
  bool absolute = (!arg.empty() && IsSeparator(arg[0])) || (arg.size() >= 2 && arg[1] == ':');
  std::string name = absolute ? arg : CurrentFolder() + '\\' + arg;
  for (char& c : name)
    if (c == '\\') c = '/';
  return CleanName(name, true);
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string BaseName(const std::string& full) {
  size_t slash = full.rfind('/');
  // Without a slash, an absolute name is a drive's ("C:start.bsp").
  size_t start = slash != std::string::npos ? slash + 1 : full.size() > 1 && full[1] == ':' ? 2 : 0;
  return full.substr(start);
}

bool ListMaps(const std::string& folder, std::vector<std::string>& maps, std::string& reason) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(FileApiName(folder + "/*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    reason = WindowsErrorText(GetLastError());
    return false;
  }
  std::vector<std::wstring> names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsInMapExtension(Utf8FromWide(found.cFileName)))
      names.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
  });
  const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
  for (const std::wstring& name : names) maps.push_back(prefix + Utf8FromWide(name));
  return true;
}

// Note: the C runtime expands a pattern that matches (see main_windows.cpp)
// and leaves one that matches nothing as it is; no file name has '*' or '?'.
bool IsUnmatchedPattern(const std::string& arg) { return arg.find_first_of("*?") != std::string::npos; }

namespace {

// The folder rule's order on Windows: ordinal, without regard to case.
bool OrdinalLess(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_LESS_THAN;
}

// A map of the tree by its wide name within the root, for the sort.
struct TreeEntry {
  std::wstring relative;
  NamedMap map;
};

// Adds the maps under folder (its name within the tree's root: within) and
// walks each subfolder. Note: a folder that is a reparse point (a link, a
// junction, a mount point) is never entered, and only those can lead back
// up the tree or onto another volume, so no folder is seen twice.
void WalkTree(const std::string& folder, const std::wstring& within, std::vector<TreeEntry>& entries) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(FileApiName(folder + "/*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const std::string why = "Error opening folder " + folder + ": " + WindowsErrorText(GetLastError());
    entries.push_back({within, {folder, why, Utf8FromWide(within)}});
    return;
  }
  std::vector<std::wstring> folders;
  do {
    const std::wstring name = found.cFileName;
    const std::string path = folder + "/" + Utf8FromWide(name);
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) folders.push_back(name);
    } else if (EndsInMapExtension(Utf8FromWide(name))) {
      entries.push_back({within + name, {path, "", Utf8FromWide(within + name)}});
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::wstring& name : folders)
    WalkTree(folder + "/" + Utf8FromWide(name), within + name + L"/", entries);
}

}  // namespace

bool ListMapTree(const std::string& folder, std::vector<NamedMap>& maps, std::string& reason) {
  const std::string root = folder.ends_with('/') ? folder.substr(0, folder.size() - 1) : folder;
  std::vector<TreeEntry> entries;
  WalkTree(root, L"", entries);
  if (entries.size() == 1 && entries[0].relative.empty() && !entries[0].map.failure.empty()) {
    reason = entries[0].map.failure.substr(("Error opening folder " + root + ": ").size());
    return false;
  }
  std::sort(entries.begin(), entries.end(),
            [](const TreeEntry& a, const TreeEntry& b) { return OrdinalLess(a.relative, b.relative); });
  for (TreeEntry& entry : entries) maps.push_back(std::move(entry.map));
  return true;
}

bool MakeFolder(const std::string& folder, std::string& reason) {
  if (CreateDirectoryW(FileApiName(folder).c_str(), nullptr)) return true;
  reason = WindowsErrorText(GetLastError());
  return false;
}

std::string ReadFileStart(const std::string& path, size_t size) {
  HANDLE file = CreateFileW(FileApiName(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string bytes(size, '\0');
  DWORD got = 0;
  const bool read = GetFileType(file) == FILE_TYPE_DISK &&
                    ReadFile(file, bytes.data(), static_cast<DWORD>(size), &got, nullptr);
  CloseHandle(file);
  return bytes.substr(0, read ? got : 0);
}
