// paths.h: turning a file name from the command line into the absolute,
// '/'-separated name with an extension that the tool opens and prints. What
// makes a name absolute and what separates folders is the host's rule:
// paths_posix.cpp and paths_windows.cpp each implement FullName, IsSeparator
// and BaseName; paths.cpp holds the rule they share.
#pragma once

#include <string>
#include <vector>

// The absolute, '/'-separated name of arg. POSIX: arg as it stands when it
// starts with '/', else the current folder, '/' and arg; '\' and ':' are
// ordinary characters of a name. Windows: arg when it starts with '/' or '\'
// or a drive letter and colon, else the current folder, '\' and arg; then
// every '\' becomes '/'. Nothing is cut, whatever the length. Raises a
// MapFailure (through FatalError) when the current folder cannot be fetched.
std::string FullName(const std::string& arg);

// Whether c separates folders in a name as the user writes it: '/', and on
// Windows '\' too.
bool IsSeparator(char c);

// The file's name within its folder, for a name that FullName gave: what
// follows the last '/', or on Windows, where there is none, what follows a
// drive's colon ("C:x.bsp" gives "x.bsp"). Empty when full ends in '/'.
std::string BaseName(const std::string& full);

// Appends extension (which carries its dot) unless the file name after the
// last separator (IsSeparator) already has a dot other than at the very start
// of the text.
void AddDefaultExtension(std::string& path, const char* extension);

// The maps a folder holds: the name of every regular file directly in
// folder (links to one followed, subfolders skipped) whose name ends in
// ".bsp" in any case, joined to folder with '/', in the host's order (POSIX:
// by bytes; Windows: ordinal, ignoring case). False, with the system's
// reason, when folder cannot be listed.
bool ListMaps(const std::string& folder, std::vector<std::string>& maps, std::string& reason);

// Whether name ends in ".bsp", in any case.
bool EndsInMapExtension(const std::string& name);

// Whether arg is a wildcard pattern that the host's runtime left as it was
// because it matched nothing (Windows: it has '*' or '?', which no name
// has). POSIX: never, as the shell expands patterns there.
bool IsUnmatchedPattern(const std::string& arg);

// One map an argument names, or why part of it names none.
struct NamedMap {
  std::string name;     // the map's full name; a folder's, when it failed
  std::string failure;  // why this part of the argument names no map, or ""
  std::string relative;  // with -r, the map's name within the folder given, '/'-separated
};

// The maps an argument names. A name that ends in a separator stands for
// the maps in that folder (ListMaps); otherwise, in this order: the name the
// extension rule gives, when it is a file; the name with ".bsp" added, when
// that is a file (so "fy_v1.2" finds "fy_v1.2.bsp"); the name as a folder;
// else the one (missing) map the extension rule gives. With recursive, a
// folder stands for the maps of its whole tree (ListMapTree). A part that
// names no map is an entry with its failure ("No file matches %s", "No map
// (*.bsp) in folder %s", or "Error opening folder %s: %s").
std::vector<NamedMap> MapsNamedBy(const std::string& arg, bool recursive);

// The maps of the tree under folder: every regular file whose name ends in
// ".bsp" in any case (links to one followed), in it and in all its
// subfolders, sorted as ListMaps sorts by the whole name within folder. A
// link to a folder is never followed (on Windows, no reparse point: a
// junction or a mount point is one), no folder is entered twice (device and
// inode) and no folder on another file system is entered. A subfolder that
// cannot be listed is one entry with its failure, and the walk goes on.
// False, with the system's reason, when folder itself cannot be listed.
bool ListMapTree(const std::string& folder, std::vector<NamedMap>& maps, std::string& reason);

// A name written as the tool prints it: no "/./", no "//" (but a leading
// "//" when keep_leading, a Windows network name) and no "/." at the end,
// which becomes "/".
std::string CleanName(const std::string& name, bool keep_leading);

// Creates folder as mkdir does (its parent must exist), with the mode that
// the umask leaves. False, with the system's reason, when it cannot.
bool MakeFolder(const std::string& folder, std::string& reason);

// Up to size bytes from the start of the regular file at path, opened without
// blocking; empty when it cannot be read or is no regular file.
std::string ReadFileStart(const std::string& path, size_t size);
