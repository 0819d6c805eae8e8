// paths.cpp: absolute, forward-slashed file names with a default extension.
// Names are std::string, so no length limit applies and nothing is cut.
#include "driver/paths.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/console.h"

#ifdef _WIN32
#include <direct.h>

#include "common/system_windows.h"
#else
#include <unistd.h>
#endif

namespace {

// The current directory, however long; a directory that cannot be fetched
// ends the run rather than leave a stale or empty name. On Windows it is
// fetched as UTF-16, so that any name survives, and kept as UTF-8.
#ifdef _WIN32
std::string CurrentDirectory() {
  std::vector<wchar_t> buffer(256);
  while (!_wgetcwd(buffer.data(), static_cast<int>(buffer.size()))) {
    if (errno != ERANGE) FatalError("Unable to get the current directory: %s", std::strerror(errno));
    buffer.resize(buffer.size() * 2);
  }
  return Utf8FromWide(buffer.data());
}
#else
std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (!getcwd(buffer.data(), static_cast<int>(buffer.size()))) {
    if (errno != ERANGE) FatalError("Unable to get the current directory: %s", std::strerror(errno));
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}
#endif

}  // namespace

std::string AbsolutePath(const std::string& path) {
  bool absolute = (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() >= 2 && path[1] == ':');
  if (absolute) return path;
  return CurrentDirectory() + '\\' + path;
}

void ForwardSlashes(std::string& path) {
  for (char& c : path)
    if (c == '\\') c = '/';
}

void AddDefaultExtension(std::string& path, const char* extension) {
  // Walk back from the end: a slash, or the very first character, ends the
  // file name without finding an extension.
  for (size_t i = path.size(); i-- > 1;) {
    char c = path[i];
    if (c == '/' || c == '\\') break;
    if (c == '.') return;
  }
  path += extension;
}
