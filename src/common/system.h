// system.h: what the tool needs of the host system beyond standard C++: the
// terminal, and on Windows the system's words for a failure and the names and
// text that its file and console calls take as UTF-16. (An errno value's
// text is strerror's, on every host.) Implemented by system_posix.cpp or
// system_windows.cpp, whichever the build picks.
#pragma once

#include <string>

#ifdef _WIN32
#include <cstdio>
#endif

// Whether standard input and standard output are both a terminal (a console
// on Windows), so that a person sees a prompt and can answer it. Never fails.
bool ConsoleIsInteractive();

// Waits until the user presses any one key, without Enter, at a terminal or
// a console; returns at once at the end of input. A POSIX terminal is left in
// the mode it had, also when a signal ends the process during the wait; a
// stop (Ctrl-Z) gives the terminal its mode back for the time of the stop,
// and the one-key mode returns when the process is continued. Every signal
// action it replaced is given back before it returns.
void WaitForKey();

#ifdef _WIN32

// The program keeps every name and message as UTF-8; Windows takes UTF-16.
// Bytes that are not UTF-8 become U+FFFD, and so do unpaired surrogates.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

// The name to give a file call for path (UTF-8, either slash): made absolute
// and normalised by the system, then in the \\?\ form (\\?\UNC\ for a
// \\server\share name), which is not held to 260 characters. A name already
// in a device form (\\?\, \\.\) is given as the system normalises it.
std::wstring FileApiName(const std::string& path);

// The system's text for a Windows error code, with the number as an addition:
// "Access is denied. (Windows error 5)"; only "Windows error N" when the
// system has no text for it.
std::string WindowsErrorText(unsigned long code);

// Writes UTF-8 text to stream as the console shows it (UTF-16, '\n' as CRLF)
// when stream is a console, and returns true; returns false, writing
// nothing, when it is not one.
bool WriteToConsole(std::FILE* stream, const std::string& text);

#endif
