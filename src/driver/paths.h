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

// The maps an argument names: a name that ends in a separator, or that
// names a folder when the name the extension rule gives is no file, stands
// for the maps in that folder (ListMaps); any other name for the one map it
// names with the default extension. failure gets why the argument names no
// map ("No file matches %s", "No map (*.bsp) in folder %s", or the folder's
// listing failing), which leaves maps empty.
std::vector<std::string> MapsNamedBy(const std::string& arg, std::string& failure);
