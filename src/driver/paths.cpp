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

std::string CleanName(const std::string& name, bool keep_leading) {
  const size_t start = keep_leading && name.starts_with("//") ? 2 : 0;
  std::string clean = name.substr(0, start);
  for (size_t i = start; i < name.size(); ++i) {
    if (name[i] == '/' && clean.ends_with('/')) continue;
    // "/./" and a final "/." name the folder itself.
    if (name[i] == '.' && clean.ends_with('/') && (i + 1 == name.size() || name[i + 1] == '/')) continue;
    clean += name[i];
  }
  return clean;
}

namespace {

// The maps of the folder arg names, each with its name within it for -r.
std::vector<NamedMap> FolderMaps(const std::string& arg, bool recursive) {
  std::string name = FullName(arg), reason;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  std::vector<NamedMap> maps;
  std::vector<std::string> names;
  bool listed = recursive ? ListMapTree(name, maps, reason) : ListMaps(name, names, reason);
  for (const std::string& map : names) maps.push_back({map, "", ""});
  if (!listed) return {{name, "Error opening folder " + name + ": " + reason, ""}};
  if (maps.empty()) return {{name, "No map (*.bsp) in folder " + name, ""}};
  return maps;
}

}  // namespace

std::vector<NamedMap> MapsNamedBy(const std::string& arg, bool recursive) {
  if (IsUnmatchedPattern(arg)) return {{FullName(arg), "No file matches " + arg, ""}};
  std::string map = FullName(arg);
  AddDefaultExtension(map, ".bsp");
  if (!arg.empty() && IsSeparator(arg.back())) return FolderMaps(arg, recursive);
  if (IsFile(map)) return {{map, "", ""}};
  if (const std::string with = FullName(arg) + ".bsp"; IsFile(with)) return {{with, "", ""}};
  if (IsFolder(FullName(arg))) return FolderMaps(arg, recursive);
  return {{map, "", ""}};
}
