// system_windows.cpp: the host system on Windows: the console, the system's
// words for a failure, and the UTF-16 names and text its calls take.
#include <conio.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "common/system_windows.h"

namespace {

// The console behind a C stream, or null when the stream goes elsewhere (a
// file, a pipe, nowhere).
HANDLE ConsoleOf(std::FILE* stream) {
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
  return handle;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Writes UTF-8 text to stream as the console shows it (UTF-16, '\n' as CRLF)
// when stream is a console, and returns true; returns false, writing
// nothing, when it is not one.
bool WriteToConsole(std::FILE* stream, const std::string& text) {
  HANDLE console = ConsoleOf(stream);
  if (!console) return false;
  // Anything the stream still holds goes out first.
  std::fflush(stream);
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  std::wstring wide = WideFromUtf8(lines);
  for (size_t done = 0; done < wide.size();) {
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(wide.size() - done), &written, nullptr) ||
        written == 0)
      break;
    done += written;
  }
  return true;
}

}  // namespace

// Note: not _isatty, which holds for any character device (NUL too).
bool ConsoleIsInteractive() { return ConsoleOf(stdin) != nullptr && ConsoleOf(stdout) != nullptr; }

// A console returns a key as it is pressed; _getch gives a function or arrow
// key as two codes, and both are taken so that neither is left behind.
void WaitForKey(const std::function<void()>& show_prompt) {
  show_prompt();
  if (!ConsoleOf(stdin)) {
    std::getchar();
    return;
  }
  int key = _getch();
  if (key == 0 || key == 0xE0) _getch();
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  int size = static_cast<int>(text.size());
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty()) return {};
  int size = static_cast<int>(text.size());
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

std::wstring FileApiName(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  // Note: the full name may be longer than the given one (a relative name),
  // so the size is asked for first.
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return wide;
  full.resize(length);
  if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return full;
}

std::string WindowsErrorText(unsigned long code) {
  std::string number = "Windows error " + std::to_string(code);
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", buffer ? length : 0);
  if (buffer) LocalFree(buffer);
  // The system's text ends its sentence with a line end, and some with a
  // space or two after the period.
  size_t end = text.find_last_not_of(L" \t\r\n");
  text.resize(end == std::wstring::npos ? 0 : end + 1);
  if (text.empty()) return number;
  return Utf8FromWide(text) + " (" + number + ")";
}

// Note: a file or pipe gets the UTF-8 bytes, as the log does.
bool WriteToStandardOutput(const std::string& text) {
  if (WriteToConsole(stdout, text)) return true;
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) return true;
  return errno != EPIPE;
}
