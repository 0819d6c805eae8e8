// winhelper.cpp (Windows only): a save interrupted by a console event, for
// the WindowsTest suite, which runs this under wine.
//   winhelper MAP EVENT|none
// Starts a save of MAP, writes "pending" and reads a line. Then calls the
// console handler with EVENT as the system would, tries to finish the save
// on a thread of its own and ends: 0 when the save was held, 4 when the
// handler would not let the process end, 5 when the save went on. With none
// it ends with 3: no console event ended it.
//   winhelper -attributes FILE [N]   sets FILE's attributes to N; prints them
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "common/fileio.h"

// The console handler that a ReplacementFile arms (fileio_windows.cpp).
int __stdcall OnConsoleEvent(unsigned long event);

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "-attributes") {
    if (argc > 3) SetFileAttributesA(argv[2], std::stoul(argv[3]));
    return std::printf("%lu", GetFileAttributesA(argv[2])) < 0;
  }
  if (argc != 3) return 2;
  ReplacementFile out(argv[1], nullptr);
  out.Write({{"partial", 7}});
  std::printf("pending\n");
  std::fflush(stdout);
  std::getchar();
  if (std::string(argv[2]) == "none") return 3;
  if (OnConsoleEvent(std::stoul(argv[2]))) return 4;
  std::atomic<bool> saved = false;
  std::thread([&] {
    try {
      out.Commit();
    } catch (const MapFailure&) {
    }
    saved = true;
  }).detach();
  Sleep(1000);
  // Note: ends without unwinding, as the default handler would.
  ExitProcess(saved ? 5 : 0);
}
