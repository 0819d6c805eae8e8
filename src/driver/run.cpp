// run.cpp: the command line and the run sequence: arguments, banner, the job
// on each named map in turn, the summary, the pause and the exit status.
// This is the one place that catches a map's failure and decides how the run
// goes on: the next map is processed, and the status records the failure.
#include "driver/run.h"

#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "bsp/load.h"
#include "bsp/save.h"
#include "common/console.h"
#include "common/fileio.h"
#include "common/system.h"
#include "driver/paths.h"
#include "optimize/compact.h"
#include "optimize/report.h"

#ifndef _WIN32
#include <signal.h>

#include <csignal>
#endif

#ifndef FLATCULL_BUILD_DATE
#define FLATCULL_BUILD_DATE __DATE__
#endif

namespace {

struct Options {
  bool pause = true;
  bool check = false;
  std::vector<std::string> maps;
  std::string log_name;  // the name -logfile gave, as the log opens it
};

// How the walk of the arguments ends.
enum class Walk { kRun, kHelp, kVersion, kFail };

void PrintUsage() {
  TeePrint("usage: flatcull [-nopause] [-check] [-logfile log_filename] [--] filename...\n\n");
  TeePrint("-nopause : skip keypress prompt on completion\n");
  TeePrint("-logfile : specify file log_filename to use for logging screen output\n");
  TeePrint("-check   : report what would change and write nothing (status 2 if a map would be rewritten)\n");
  TeePrint("-help    : show this usage\n");
  TeePrint("-version : show the version\n");
  TeePrint("--       : take every later argument as a file name\n");
}

void PrintBanner() {
  TeePrint("\n\nTessavar by Orlwen, v" FLATCULL_VERSION " (%s)\n", FLATCULL_BUILD_DATE);
  TeePrint("Based on code by Hollin Software\n");
}

// Whether arg is one of the names, ignoring the case of ASCII letters.
bool IsSwitch(const std::string& arg, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    size_t i = 0;
    for (; i < arg.size() && name[i]; ++i) {
      char c = arg[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != name[i]) break;
    }
    if (i == arg.size() && name[i] == '\0') return true;
  }
  return false;
}

std::string FileName(const std::string& arg, const char* extension) {
  std::string name = AbsolutePath(arg);
  ForwardSlashes(name);
  AddDefaultExtension(name, extension);
  return name;
}

void CloseLog() {
  if (LogFile) std::fclose(LogFile);
  UseLog(nullptr, "");
}

// Opens the log for appending, after closing an earlier one; a failed open
// leaves no log and gives the system's reason.
bool OpenLog(const std::string& log_name, std::string& reason) {
  CloseLog();
  UseLog(OpenTextForAppending(log_name, reason), log_name);
  return LogFile != nullptr;
}

// The first map that is the very file the log is open on, or null: a log
// appended to a map would damage it.
const std::string* MapThatIsTheLog(const Options& options) {
  if (!LogFile) return nullptr;
  for (const std::string& map : options.maps)
    if (IsSameFile(LogFile, map)) return &map;
  return nullptr;
}

// Walks every argument before any map is touched, so that a mistyped switch
// anywhere refuses the whole run. The first switch that ends the run decides
// how (help, version or a refusal, whose message goes to refusal, with the
// usage block to follow); the walk still goes on to the end, opening no
// further log, so that every map name is known for the log's check. Prints
// nothing.
Walk ParseArguments(const std::vector<std::string>& args, Options& options, std::string& refusal) {
  Walk walk = Walk::kRun;
  auto decide = [&](Walk how, const std::string& message = "") {
    if (walk != Walk::kRun) return;
    walk = how;
    refusal = message;
  };
  bool switches = true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!switches || arg.empty() || arg[0] != '-') {
      options.maps.push_back(FileName(arg, ".bsp"));
    } else if (arg == "--") {
      switches = false;
    } else if (IsSwitch(arg, {"-nopause"})) {
      options.pause = false;
    } else if (IsSwitch(arg, {"-check"})) {
      options.check = true;
    } else if (IsSwitch(arg, {"-logfile"})) {
      if (++i >= args.size()) {
        decide(Walk::kFail, "Please specify a log file to use.\n\n");
      } else if (walk == Walk::kRun) {
        options.log_name = FileName(args[i], ".log");
        std::string reason;
        if (!OpenLog(options.log_name, reason))
          decide(Walk::kFail, "Unable to open log file " + options.log_name + ": " + reason + "\n\n");
      }
    } else if (IsSwitch(arg, {"-help", "--help", "-h", "-?"})) {
      decide(Walk::kHelp);
    } else if (IsSwitch(arg, {"-version", "--version"})) {
      decide(Walk::kVersion);
    } else {
      decide(Walk::kFail, "Unknown switch '" + arg + "'.\n\n");
    }
  }
  return walk;
}

// What became of the maps of a run, for the summary and the status.
struct Tally {
  int changed = 0;  // rewritten, or with -check would be
  int compact = 0;
  int failed = 0;
  int64_t planes_before = 0, planes_after = 0;
  int64_t bytes_before = 0, bytes_after = 0;
};

// Loads, reports and compacts one map, then saves it when that changes its
// bytes (never with -check). stamp receives the file's stamp once it is read.
void ProcessMap(const std::string& map_name, bool check, Tally& tally, FileStamp& stamp) {
  Map map = LoadBSPFile(map_name, &stamp);
  ReportLumpUsage(map);
  PlaneCounts counts = CompactPlanes(map);
  TeePrint("\nPlanes in map: %i\n", counts.before);
  TeePrint("Planes actually used: %i\n", counts.after);
  std::unique_ptr<MapLayout> layout = LayOutMap(map);
  bool changes = SaveWouldChangeFile(map, *layout, counts.renumbered);
  if (changes) CheckWritable(map_name);
  if (check) {
    TeePrint(changes ? "\nCheck: the map would be rewritten.\n" : "\nCheck: the map is already compact.\n");
  } else if (!changes) {
    TeePrint("\nOptimized! The map was already compact, so its file is left untouched.\n");
  } else {
    SaveBSPFile(map, *layout, map_name, &stamp);
    TeePrint("\nOptimized!\n");
  }
  (changes ? tally.changed : tally.compact) += 1;
  tally.planes_before += counts.before;
  tally.planes_after += counts.after;
  tally.bytes_before += map.file_size;
  tally.bytes_after += layout->size;
}

// Processes one map. A failure anywhere ends this map with its message, and
// leaves its file as it was; so does running out of memory, which frees the
// map's memory on the way out, so that the next map has it again.
void RunJob(const std::string& map_name, bool check, Tally& tally) {
  try {
    FileStamp stamp;
    try {
      ProcessMap(map_name, check, tally, stamp);
    } catch (const std::bad_alloc&) {
      if (stamp.size > 0)
        FatalError("Error processing %s: not enough memory for a map of %lld bytes", map_name.c_str(),
                   static_cast<long long>(stamp.size));
      FatalError("Error processing %s: not enough memory", map_name.c_str());
    }
  } catch (const FileNotFound&) {
    TeePrint("File '%s' not found.", map_name.c_str());
    tally.failed += 1;
  } catch (const MapFailure& failure) {
    ReportFailure(failure);
    tally.failed += 1;
  }
}

void PrintSummary(const Tally& t, bool check) {
  TeePrint("\n%d maps: %d %s, %d already compact, %d failed. Planes: %lld before, %lld after. "
           "Bytes: %lld before, %lld after.\n",
           t.changed + t.compact + t.failed, t.changed, check ? "would be rewritten" : "rewritten", t.compact,
           t.failed, static_cast<long long>(t.planes_before), static_cast<long long>(t.planes_after),
           static_cast<long long>(t.bytes_before), static_cast<long long>(t.bytes_after));
}

// Runs every map in turn; with several, each map's name comes before its
// table and a summary after the last. Returns the run's status.
int RunMaps(const Options& options) {
  Tally tally;
  const size_t count = options.maps.size();
  for (size_t i = 0; i < count; ++i) {
    if (count > 1) TeePrint("\n==== Map %zu of %zu: %s\n", i + 1, count, options.maps[i].c_str());
    RunJob(options.maps[i], options.check, tally);
  }
  if (count > 1) PrintSummary(tally, options.check);
  if (tally.failed > 0) return 1;
  return options.check && tally.changed > 0 ? 2 : 0;
}

// Waits for a key, only where someone can press one: a script that forgot
// -nopause neither hangs nor has its input swallowed.
void Pause() {
  if (!InputIsTerminal()) return;
  TeePrint("\nPress a key to continue.\n");
  WaitForKey();
}

// Walks the arguments; a current directory that cannot be fetched ends the
// run like any other failure. A log that is one of the maps is refused before
// anything is written to it, and closed.
Walk ParseGuarded(int argc, char** argv, Options& options) {
  Walk walk = Walk::kFail;
  std::string refusal;
  std::optional<MapFailure> failure;
  try {
    walk = ParseArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), options, refusal);
  } catch (const MapFailure& raised) {
    failure = raised;
  }
  if (const std::string* map = MapThatIsTheLog(options)) {
    CloseLog();
    walk = Walk::kFail;
    refusal = "Unable to open log file " + options.log_name + ": it is the map " + *map + "\n\n";
    failure.reset();
  }
  if (failure) {
    ReportFailure(*failure);
  } else if (walk == Walk::kFail) {
    TeePrint("%s", refusal.c_str());
    PrintUsage();
  }
  return walk;
}

}  // namespace

int RunFlatcull(int argc, char** argv) {
#ifndef _WIN32
  // A write past a file-size limit then fails like any other write, and the
  // save cleans up after itself, instead of the process being killed.
  std::signal(SIGXFSZ, SIG_IGN);
  // A standard output whose reader has gone (a pager quit early, say) then
  // fails the console's writes with EPIPE, which ends the printing alone,
  // never a save half done. As with the save's signals, only the default
  // action is replaced.
  struct sigaction pipe_action {};
  if (sigaction(SIGPIPE, nullptr, &pipe_action) == 0 && pipe_action.sa_handler == SIG_DFL)
    std::signal(SIGPIPE, SIG_IGN);
#endif
  Options options;
  Walk walk = ParseGuarded(argc, argv, options);
  int status = 0;
  if (walk == Walk::kFail) {
    status = 1;
  } else if (walk == Walk::kVersion) {
    TeePrint("flatcull %s\n", FLATCULL_FULL_VERSION);
  } else if (walk == Walk::kHelp) {
    PrintBanner();
    PrintUsage();
  } else {
    PrintBanner();
    if (options.maps.empty()) {
      TeePrint("Please specify a file to optimize or drag and drop a file onto the program.\n\n");
      PrintUsage();
    } else {
      status = RunMaps(options);
    }
    if (options.pause) Pause();
  }
  if (LogWriteFailed()) status = 1;
  CloseLog();
  return status;
}
