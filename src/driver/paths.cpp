// paths.cpp: the default extension, the same on every host up to which
// characters separate folders (IsSeparator, the host's).
#include "driver/paths.h"

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
