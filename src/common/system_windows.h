// system_windows.h: what the Windows files (*_windows.cpp) share beyond
// system.h: the UTF-16 names and text that Windows calls take, and the
// system's words for a failure. Implemented by system_windows.cpp.
#pragma once

#include <string>

#include "common/system.h"

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
