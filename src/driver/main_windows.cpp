// main_windows.cpp: the program entry on Windows. The arguments arrive as
// UTF-16 (wmain), so that every name survives, and go on as UTF-8 like every
// other string of the program.
#include <string>
#include <vector>

#include "common/system_windows.h"
#include "driver/run.h"

// cmd.exe hands a wildcard on as it stands: the C runtime expands it, so that
// "flatcull maps\*.bsp" names every map of the folder, as a POSIX shell does.
extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t** wide_argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(Utf8FromWide(wide_argv[i]));
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return RunFlatcull(argc, argv.data());
}
