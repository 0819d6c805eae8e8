// paths_posix.cpp: POSIX names. Only '/' separates folders and only a leading
// '/' makes a name absolute; every other byte, '\' and ':' too, belongs to a
// name. Names are std::string, so no length limit applies and nothing is cut.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
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

// Note: in the root folder the name starts "//"; it is left so, as it names
// the same file.
std::string FullName(const std::string& arg) {
  if (arg.starts_with('/')) return arg;
  return CurrentFolder() + '/' + arg;
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
