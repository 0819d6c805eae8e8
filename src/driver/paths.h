// paths.h: turning a file name from the command line into the absolute,
// forward-slashed name with an extension that the tool opens. The rules are
// the same on every host: a leading '/' or '\', or a drive letter and colon,
// make a name absolute.
#pragma once

#include <string>

// Returns path unchanged when it is absolute, else the current directory, a
// '\' and path. Raises a MapFailure (through FatalError) when the current
// directory cannot be fetched.
std::string AbsolutePath(const std::string& path);

// Replaces every '\' in path with '/'.
void ForwardSlashes(std::string& path);

// Appends extension (which carries its dot) unless the file name after the
// last slash already has a dot other than at the very start of the text.
void AddDefaultExtension(std::string& path, const char* extension);
