// run.cpp: the command line and the run sequence: arguments, banner, the job
// on each named map in turn, the summary, the pause and the exit status.
// This is the one place that catches a map's failure and decides how the run
// goes on: the next map is processed, and the status records the failure.
// Only the output folder's and the map's metadata are looked at here, through
// std::filesystem; every file is read and written through fileio.h.
#include "driver/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
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
  bool quiet = false;
  std::vector<std::string> maps;
  std::string log_name;  // the name -logfile gave, as the log opens it
  std::string out_dir;   // the folder -out gave; empty: each map is saved over itself
};

// How the walk of the arguments ends.
enum class Walk { kRun, kHelp, kVersion, kFail };

void PrintUsage() {
  TeePrint("usage: flatcull [-nopause] [-check] [-quiet] [-out DIR] [-logfile log_filename] [--] filename...\n\n");
  TeePrint("-nopause : skip keypress prompt on completion\n");
  TeePrint("-logfile : specify file log_filename to use for logging screen output\n");
  TeePrint("-check   : report what would change and write nothing (status 2 if a map would be rewritten)\n");
  TeePrint("-quiet   : print one line per map, and no banner or table\n");
  TeePrint("-out     : write each map into the folder DIR under its own file name, leaving the map as it is\n");
  TeePrint("-help    : show this usage\n");
  TeePrint("-version : show the version\n");
  TeePrint("--       : take every later argument as a file name\n");
  TeePrint("\nEach switch may also start with --. A map name without an extension gets .bsp, a log name .log.\n");
  TeePrint("Exit status: 0 when every map was saved or already compact,\n");
  TeePrint("             1 when a map failed or the run was refused,\n");
  TeePrint("             2 with -check when a map would be rewritten and none failed.\n");
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

// A UTF-8 name as std::filesystem takes it on every host.
std::filesystem::path NativePath(const std::string& name) { return std::u8string(name.begin(), name.end()); }

// Why maps cannot be written into folder, or "" when they can: it must be a
// folder that the user may write (see CheckWritable).
std::string FolderRefusal(const std::string& folder) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(NativePath(folder), error);
  if (status.type() == std::filesystem::file_type::not_found) return std::strerror(ENOENT);
  if (error) return error.message();
  if (!std::filesystem::is_directory(status)) return "not a folder";
  try {
    CheckWritable(folder);
  } catch (const MapFailure&) {
    return "it is read-only";
  }
  return "";
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
    } else if (IsSwitch(arg, {"-nopause", "--nopause"})) {
      options.pause = false;
    } else if (IsSwitch(arg, {"-check", "--check"})) {
      options.check = true;
    } else if (IsSwitch(arg, {"-quiet", "--quiet"})) {
      options.quiet = true;
    } else if (IsSwitch(arg, {"-out", "--out"})) {
      if (++i >= args.size()) {
        decide(Walk::kFail, "Please specify a folder to write the maps to.\n\n");
      } else {
        options.out_dir = AbsolutePath(args[i]);
        ForwardSlashes(options.out_dir);
        std::string reason = walk == Walk::kRun ? FolderRefusal(options.out_dir) : "";
        if (!reason.empty())
          decide(Walk::kFail, "Unable to write to folder " + options.out_dir + ": " + reason + "\n\n");
      }
    } else if (IsSwitch(arg, {"-logfile", "--logfile"})) {
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
  std::vector<std::pair<std::string, std::string>> failed;  // each map that failed, and why
  int64_t planes_before = 0, planes_after = 0;
  int64_t bytes_before = 0, bytes_after = 0;
};

// What became of a map that did not fail.
struct Outcome {
  PlaneCounts counts;
  int64_t bytes_before = 0, bytes_after = 0;
  bool changes = false;  // compaction changed its bytes
};

// Where a map is saved: under its file name in -out's folder, or without
// -out over itself.
std::string TargetOf(const std::string& map_name, const std::string& out_dir) {
  if (out_dir.empty()) return map_name;
  size_t slash = map_name.rfind('/');
  // Without a slash, an absolute name is a drive's ("C:start.bsp").
  size_t start = slash != std::string::npos ? slash + 1 : map_name.size() > 1 && map_name[1] == ':' ? 2 : 0;
  return out_dir + (out_dir.ends_with('/') ? "" : "/") + map_name.substr(start);
}

// The map's permission bits, which its copy in -out's folder gets when it is
// new; none (the usual bits) when they cannot be read.
std::optional<unsigned> ModeOf(const std::string& name) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(NativePath(name), error);
  if (error) return std::nullopt;
  return static_cast<unsigned>(status.permissions() & std::filesystem::perms::all);
}

// Loads, reports and compacts one map, then saves it to target when that
// changes its bytes or target is not the map itself (never with -check).
// stamp receives the file's stamp once it is read. With -quiet, prints
// nothing.
Outcome ProcessMap(const std::string& map_name, const std::string& target, const Options& options,
                   FileStamp& stamp) {
  Map map = LoadBSPFile(map_name, &stamp);
  if (!options.quiet) ReportLumpUsage(map);
  PlaneCounts counts = CompactPlanes(map);
  if (!options.quiet) {
    TeePrint("\nPlanes in map: %i\n", counts.before);
    TeePrint("Planes actually used: %i\n", counts.after);
  }
  std::unique_ptr<MapLayout> layout = LayOutMap(map);
  const bool changes = SaveWouldChangeFile(map, *layout), in_place = target == map_name;
  // The save refuses a read-only target itself; -check says what it would.
  if (options.check && (changes || !in_place)) CheckWritable(target);
  if (!options.check && (changes || !in_place))
    SaveBSPFile(map, *layout, target, in_place ? &stamp : nullptr, in_place ? std::nullopt : ModeOf(map_name));
  const Outcome done{counts, map.file_size, layout->size, changes};
  if (options.quiet) return done;
  if (options.check)
    TeePrint(changes ? "\nCheck: the map would be rewritten.\n" : "\nCheck: the map is already compact.\n");
  else if (in_place)
    TeePrint(changes ? "\nOptimized!\n" : "\nOptimized! The map was already compact, so its file is left untouched.\n");
  else if (changes)
    TeePrint("\nOptimized! Written to %s\n", target.c_str());
  else
    TeePrint("\nOptimized! The map was already compact, so it is copied as it is to %s\n", target.c_str());
  return done;
}

// The end of a -quiet line: what was done with the map.
std::string QuietResult(const Outcome& done, const std::string& map_name, const std::string& target,
                        bool check) {
  if (check) return done.changes ? "would be rewritten" : "already compact";
  if (target == map_name) return done.changes ? "rewritten" : "already compact";
  return (done.changes ? "rewritten to " : "already compact, copied to ") + target;
}

// Processes one map, saved to target, and tallies it; earlier, when given,
// is a map before it in the run that -out writes to the same file. A failure
// anywhere ends this map with its message, and leaves its file as it was; so
// does running out of memory, which frees the map's memory on the way out, so
// that the next map has it again. With -quiet the map gets one line, its
// failure's included.
void RunJob(const std::string& map_name, const std::string& target, const std::string* earlier,
            const Options& options, Tally& tally) {
  std::string failure;
  try {
    if (earlier)
      FatalError("%s has the same file name as %s, earlier in this run: only the first is written to %s",
                 map_name.c_str(), earlier->c_str(), target.c_str());
    FileStamp stamp;
    try {
      const Outcome done = ProcessMap(map_name, target, options, stamp);
      (done.changes ? tally.changed : tally.compact) += 1;
      tally.planes_before += done.counts.before;
      tally.planes_after += done.counts.after;
      tally.bytes_before += done.bytes_before;
      tally.bytes_after += done.bytes_after;
      if (options.quiet)
        TeePrint("%s: planes %i -> %i, bytes %lld -> %lld, %s\n", map_name.c_str(), done.counts.before,
                 done.counts.after, static_cast<long long>(done.bytes_before),
                 static_cast<long long>(done.bytes_after), QuietResult(done, map_name, target, options.check).c_str());
      return;
    } catch (const std::bad_alloc&) {
      if (stamp.size > 0)
        FatalError("Error processing %s: not enough memory for a map of %lld bytes", map_name.c_str(),
                   static_cast<long long>(stamp.size));
      FatalError("Error processing %s: not enough memory", map_name.c_str());
    }
  } catch (const FileNotFound&) {
    failure = "File '" + map_name + "' not found.";
    if (!options.quiet) TeePrint("%s\n", failure.c_str());
  } catch (const MapFailure& raised) {
    failure = raised.what();
    if (!options.quiet) ReportFailure(raised);
  }
  if (options.quiet) TeePrint("%s: failed: %s\n", map_name.c_str(), failure.c_str());
  tally.failed.emplace_back(map_name, failure);
}

// The counts, then each map that failed and why.
void PrintSummary(const Tally& t, bool check) {
  TeePrint("\n%zu maps: %d %s, %d already compact, %zu failed. Planes: %lld before, %lld after. "
           "Bytes: %lld before, %lld after.\n",
           static_cast<size_t>(t.changed + t.compact) + t.failed.size(), t.changed,
           check ? "would be rewritten" : "rewritten", t.compact, t.failed.size(),
           static_cast<long long>(t.planes_before), static_cast<long long>(t.planes_after),
           static_cast<long long>(t.bytes_before), static_cast<long long>(t.bytes_after));
  for (const auto& [name, why] : t.failed) TeePrint("Failed: %s: %s\n", name.c_str(), why.c_str());
}

// A name with its ASCII letters in lower case: two maps whose file names
// differ only so would still be one file in a Windows folder.
std::string LowerCase(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// Runs every map in turn; with several, each map's name comes before its
// table (not with -quiet) and a summary after the last. Returns the run's
// status.
int RunMaps(const Options& options) {
  Tally tally;
  std::map<std::string, size_t> written;  // -out's files, by LowerCase, and the first map of each
  const size_t count = options.maps.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& map = options.maps[i];
    if (count > 1 && !options.quiet) TeePrint("\n==== Map %zu of %zu: %s\n", i + 1, count, map.c_str());
    std::string target = TargetOf(map, options.out_dir);
    const std::string* earlier = nullptr;
    if (!options.out_dir.empty()) {
      auto [first, fresh] = written.try_emplace(LowerCase(target), i);
      if (!fresh) earlier = &options.maps[first->second];
      // -out naming the map's own file saves it over itself, as without -out.
      std::error_code error;
      if (std::filesystem::equivalent(NativePath(target), NativePath(map), error)) target = map;
    }
    RunJob(map, target, earlier, options, tally);
  }
  if (count > 1) PrintSummary(tally, options.check);
  if (!tally.failed.empty()) return 1;
  return options.check && tally.changed > 0 ? 2 : 0;
}

// Waits for a key, only where someone sees the prompt and can press one: a
// script that forgot -nopause neither hangs nor has its input swallowed, and
// a run whose output goes to a file neither waits unseen nor puts the prompt
// in the file.
void Pause() {
  if (!ConsoleIsInteractive()) return;
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
    if (!options.quiet) PrintBanner();
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
