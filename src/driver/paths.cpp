// paths.cpp: the default extension and the folder rule, the same on every
// host up to which characters separate folders (IsSeparator) and how a
// folder is listed (ListMaps), the host's.
#include "driver/paths.h"

#include "common/fileio.h"

void AddDefaultExtension(std::string& path, const char* extension) {
  // Walk back from the end: a separator, or the very first character, ends
  // the file name without finding an extension.
  for (size_t i = path.size(); i-- > 1;) {
    char c = path[i];
    if (IsSeparator(c)) break;
    if (c == '.') return;
  }
  path += extension;
}

bool EndsInMapExtension(const std::string& name) {
  if (name.size() < 4) return false;
  std::string end = name.substr(name.size() - 4);
  for (char& c : end)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return end == ".bsp";
}

namespace {

bool IsFolder(const std::string& name) { return LookAtFile(name, true).folder; }

bool IsFile(const std::string& name) {
  const FileFacts facts = LookAtFile(name, true);
  return facts.exists && !facts.folder;
}

}  // namespace

std::vector<std::string> MapsNamedBy(const std::string& arg, std::string& failure) {
  if (IsUnmatchedPattern(arg)) {
    failure = "No file matches " + arg;
    return {};
  }
  std::string map = FullName(arg);
  AddDefaultExtension(map, ".bsp");
  const bool folder = (!arg.empty() && IsSeparator(arg.back())) || (!IsFile(map) && IsFolder(FullName(arg)));
  if (!folder) return {map};
  std::string name = FullName(arg), reason;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  std::vector<std::string> maps;
  if (!ListMaps(name, maps, reason))
    failure = "Error opening folder " + name + ": " + reason;
  else if (maps.empty())
    failure = "No map (*.bsp) in folder " + name;
  return maps;
}
