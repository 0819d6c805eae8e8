// run.cpp: the command line and the run sequence: arguments, banner, the one
// job on the named map, the pause and the exit status.
#include "driver/run.h"

#include <cstdio>
#include <string>

#include "bsp/load.h"
#include "bsp/save.h"
#include "common/console.h"
#include "common/fileio.h"
#include "common/system.h"
#include "driver/paths.h"
#include "optimize/compact.h"
#include "optimize/report.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace {

struct Options {
  bool pause = true;
  bool have_map = false;
  std::string map_name;
};

void PrintUsage() {
  TeePrint("usage: flatcull [-nopause] [-logfile log_filename] filename\n\n");
  TeePrint("-nopause : skip keypress prompt on completion\n");
  TeePrint("-logfile : specify file log_filename to use for logging screen output\n");
}

// The switches are matched in full, ignoring the case of ASCII letters.
bool IsSwitch(const char* arg, const char* name) {
  for (; *arg && *name; ++arg, ++name) {
    char c = *arg;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *name) return false;
  }
  return *arg == '\0' && *name == '\0';
}

std::string FileName(const char* arg, const char* extension) {
  std::string name = AbsolutePath(arg);
  ForwardSlashes(name);
  AddDefaultExtension(name, extension);
  return name;
}

// Ends the walk when the log named after -logfile cannot be had: the user
// asked for a log, so going on without one would lose output they expect.
bool FailLog(const char* message) {
  TeePrint("%s", message);
  PrintUsage();
  return false;
}

// Fills options from the arguments; false when the run must end (status 1).
bool ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], "-nopause")) {
      options.pause = false;
    } else if (IsSwitch(argv[i], "-logfile")) {
      if (++i >= argc) return FailLog("Please specify a log file to use.\n\n");
      std::string log_name = FileName(argv[i], ".log");
      // A failed open leaves no log: an earlier one is closed and unused.
      if (LogFile) std::fclose(LogFile);
      LogFile = OpenTextForAppending(log_name);
      if (!LogFile) return FailLog("Unable to open log file.\n\n");
    } else if (!options.have_map) {
      options.map_name = FileName(argv[i], ".bsp");
      options.have_map = true;
    }
  }
  return true;
}

#ifndef FLATCULL_BUILD_DATE
#define FLATCULL_BUILD_DATE __DATE__
#endif

void PrintBanner() {
  TeePrint("\n\nTessavar by Orlwen, v" FLATCULL_VERSION " (%s)\n", FLATCULL_BUILD_DATE);
  TeePrint("Based on code by Hollin Software\n");
}

// Waits for a key (a line at a POSIX terminal), or end of input.
void Pause() {
  TeePrint("\nPress a key to continue.\n");
  WaitForKey();
}

void CloseLog() {
  if (LogFile) std::fclose(LogFile);
  LogFile = nullptr;
}

// How a map's job ended: saved (0), not found (1), or refused (a failure
// with its banner, which ends the run without the pause).
enum class JobEnd { kSaved, kNotFound, kFailed };

// Loads, reports, compacts and saves one map; a failure anywhere ends this
// map with its message, and the map's file as it was.
JobEnd RunJob(const std::string& map_name) {
  try {
    Map map = LoadBSPFile(map_name);
    ReportLumpUsage(map);
    PlaneCounts counts = CompactPlanes(map);
    TeePrint("\nPlanes in map: %i\n", counts.before);
    TeePrint("Planes actually used: %i\n", counts.after);
    SaveBSPFile(map, map_name);
    TeePrint("\nOptimized!\n");
    return JobEnd::kSaved;
  } catch (const FileNotFound&) {
    TeePrint("File '%s' not found.", map_name.c_str());
    return JobEnd::kNotFound;
  } catch (const MapFailure& failure) {
    ReportFailure(failure);
    return JobEnd::kFailed;
  }
}

}  // namespace

int RunFlatcull(int argc, char** argv) {
#ifndef _WIN32
  // A write past a file-size limit then fails like any other write, and the
  // save cleans up after itself, instead of the process being killed.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  Options options;
  try {
    if (!ParseArguments(argc, argv, options)) {
      CloseLog();
      return 1;
    }
  } catch (const MapFailure& failure) {
    ReportFailure(failure);
    CloseLog();
    return 1;
  }
  PrintBanner();
  JobEnd end = JobEnd::kSaved;
  if (!options.have_map) {
    TeePrint("Please specify a file to optimize or drag and drop a file onto the program.\n\n");
    PrintUsage();
  } else {
    end = RunJob(options.map_name);
  }
  if (options.pause && end != JobEnd::kFailed) Pause();
  CloseLog();
  return end == JobEnd::kSaved ? 0 : 1;
}
