// paths_posix.cpp: POSIX names. Only '/' separates folders and only a leading
// '/' makes a name absolute; every other byte, '\' and ':' too, belongs to a
// name. Names are std::string, so no length limit applies and nothing is cut.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "common/console.h"
#include "driver/paths.h"

namespace {

// The current folder, however long; a folder that cannot be fetched ends
// the run rather than leave a stale or empty name.
std::string CurrentFolder() {
  std::vector<char> buffer(256);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) FatalError("Unable to get the current directory: %s", std::strerror(errno));
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

// Note: a leading "//" is cleaned too: on Linux it names the root.
std::string FullName(const std::string& arg) {
  return CleanName(arg.starts_with('/') ? arg : CurrentFolder() + '/' + arg, false);
}

bool IsSeparator(char c) { return c == '/'; }

std::string BaseName(const std::string& full) { return full.substr(full.rfind('/') + 1); }

bool ListMaps(const std::string& folder, std::vector<std::string>& maps, std::string& reason) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    reason = std::strerror(errno);
    return false;
  }
  const std::string prefix = folder == "/" ? "/" : folder + "/";
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() < 4 || !EndsInMapExtension(name)) continue;
    struct stat st;
    if (stat((prefix + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) maps.push_back(prefix + name);
  }
  closedir(dir);
  std::sort(maps.begin(), maps.end());
  return true;
}

bool IsUnmatchedPattern(const std::string&) { return false; }

namespace {

// Adds the maps under folder (its name within the tree's root: within) to
// maps, and walks each subfolder on the root's device not yet seen.
void WalkTree(const std::string& folder, const std::string& within, dev_t device,
              std::set<std::pair<dev_t, ino_t>>& seen, std::vector<NamedMap>& maps) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    maps.push_back({folder, "Error opening folder " + folder + ": " + std::strerror(errno), within});
    return;
  }
  std::vector<std::string> folders;
  const std::string prefix = folder + '/';
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name, path = prefix + name;
    struct stat st;
    if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0) continue;
    // A link counts by what it leads to, but is never walked into.
    if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (S_ISDIR(st.st_mode) && st.st_dev == device && seen.insert({st.st_dev, st.st_ino}).second)
      folders.push_back(name);
    else if (S_ISREG(st.st_mode) && EndsInMapExtension(name))
      maps.push_back({path, "", within + name});
  }
  closedir(dir);
  for (const std::string& name : folders) WalkTree(prefix + name, within + name + '/', device, seen, maps);
}

}  // namespace

bool ListMapTree(const std::string& folder, std::vector<NamedMap>& maps, std::string& reason) {
  struct stat st;
  DIR* dir = stat(folder.c_str(), &st) == 0 ? opendir(folder.c_str()) : nullptr;
  if (!dir) {
    reason = std::strerror(errno);
    return false;
  }
  closedir(dir);
  std::set<std::pair<dev_t, ino_t>> seen = {{st.st_dev, st.st_ino}};
  WalkTree(folder == "/" ? "" : folder, "", st.st_dev, seen, maps);
  std::sort(maps.begin(), maps.end(), [](const NamedMap& a, const NamedMap& b) { return a.relative < b.relative; });
  return true;
}

bool MakeFolder(const std::string& folder, std::string& reason) {
  if (mkdir(folder.c_str(), 0777) == 0) return true;
  reason = std::strerror(errno);
  return false;
}

std::string ReadFileStart(const std::string& path, size_t size) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  std::string bytes(size, '\0');
  ssize_t got = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, bytes.data(), size) : -1;
  close(fd);
  return bytes.substr(0, got > 0 ? static_cast<size_t>(got) : 0);
}
