// winhelper.cpp (Windows only): a save interrupted by a console event, for
// the WindowsTest suite, which runs this under wine.
//   winhelper MAP EVENT[,EVENT...]|none
// Takes the console events as the tool does, starts a save of MAP, writes
// "pending" and waits for a file "go" beside it. Then calls the console handler with each EVENT
// in turn as the system would. Once it would let the process end, tries to
// finish the save on a thread of its own and ends: 0 when the save was held,
// 5 when it went on. When every event was only noted, finishes the save and
// ends with 6 (7 if none was noted). With none it writes "noted" once a
// first interrupt is, and ends with 3 if no second one ended it.
//   winhelper -attributes FILE [N]   sets FILE's attributes to N; prints them
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "save/transaction.h"
#include "common/signals.h"

// The console handler that ArmSignals installs (signals_windows.cpp).
BOOL WINAPI OnConsoleEvent(DWORD event);

// Waits until the test puts a file "go" in the current folder, and removes
// it. Note: not a key, which wine's console may drop while it switches the
// terminal's mode.
void AwaitGo() {
  HANDLE change = FindFirstChangeNotificationW(L".", FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  while (GetFileAttributesW(L"go") == INVALID_FILE_ATTRIBUTES) {
    WaitForSingleObject(change, INFINITE);
    FindNextChangeNotification(change);
  }
  FindCloseChangeNotification(change);
  DeleteFileW(L"go");
}

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "-attributes") {
    if (argc > 3) SetFileAttributesA(argv[2], std::stoul(argv[3]));
    return std::printf("%lu", GetFileAttributesA(argv[2])) < 0;
  }
  if (argc != 3) return 2;
  ArmSignals();
  ReplacementFile out(argv[1], 0644);
  out.Write({{"partial", 7}});
  std::printf("pending\n");
  std::fflush(stdout);
  if (std::string(argv[2]) == "none") {
    // A console drops keys typed while it delivers an event: the test types
    // the second Ctrl-C once the first is noted, while the read goes on.
    std::thread([] {
      while (!PendingInterrupt()) Sleep(10);
      std::printf("noted\n");
      std::fflush(stdout);
    }).detach();
    std::getchar();
    return 3;
  }
  AwaitGo();
  bool ending = false;
  for (size_t at = 0; !ending && at < std::strlen(argv[2]); at = std::strcspn(argv[2] + at, ",") + at + 1)
    ending = !OnConsoleEvent(std::stoul(argv[2] + at));
  if (!ending) {
    out.Commit();
    return PendingInterrupt() ? 6 : 7;
  }
  std::atomic<bool> saved = false;
  std::thread([&] {
    try {
      out.Commit();
    } catch (const FileFailure&) {
    }
    saved = true;
  }).detach();
  Sleep(1000);
  // Note: ends without unwinding, as the default handler would.
  ExitProcess(saved ? 5 : 0);
}
