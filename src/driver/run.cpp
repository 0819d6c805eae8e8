// run.cpp: the command line and the run sequence: arguments, banner, the job
// on each named map in turn, the summary, the pause and the exit status.
// This is the one place that catches a map's failure and decides how the run
// goes on: the next map is processed, and the status records the failure;
// an interrupt ends the batch after the map in progress. The driver says
// what the user asked; the save decides how (bsp/save.h).
#include "driver/run.h"

#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bsp/load.h"
#include "bsp/save.h"
#include "common/console.h"
#include "common/fileio.h"
#include "common/signals.h"
#include "common/system.h"
#include "driver/paths.h"
#include "optimize/compact.h"
#include "optimize/report.h"

namespace {

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
  std::string name = FullName(arg);
  AddDefaultExtension(name, extension);
  return name;
}

void CloseLog() {
  if (LogFile) std::fclose(LogFile);
  UseLog(nullptr, "");
}

// The value of a switch that takes one: after '=' in the same word, or the
// next word. Null when there is none.
const std::string* SwitchValue(const std::vector<std::string>& args, size_t& i, const std::string& inline_value,
                               bool has_inline) {
  if (has_inline) return &inline_value;
  return ++i < args.size() ? &args[i] : nullptr;
}

}  // namespace

// Walks every argument before any map is touched, so that a mistyped switch
// anywhere refuses the whole run. The first switch that ends the run decides
// how (help, version or a refusal); the walk still goes on to the end, so
// that every map name is known. Opens, creates and prints nothing.
Parsed ParseArguments(const std::vector<std::string>& args) {
  Parsed parsed;
  Options& options = parsed.options;
  auto decide = [&](Walk how, const std::string& message = "") {
    if (parsed.walk != Walk::kRun) return;
    parsed.walk = how;
    parsed.refusal = message;
  };
  bool switches = true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!switches || arg.empty() || arg[0] != '-') {
      options.given.push_back(arg);
      options.maps.push_back(FileName(arg, ".bsp"));
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals), value = equals == std::string::npos ? "" : arg.substr(equals + 1);
    const bool has_value = equals != std::string::npos;
    if (arg == "--") {
      switches = false;
    } else if (IsSwitch(arg, {"-nopause", "--nopause"})) {
      options.pause = false;
    } else if (IsSwitch(arg, {"-check", "--check"})) {
      options.check = true;
    } else if (IsSwitch(arg, {"-quiet", "--quiet"})) {
      options.quiet = true;
    } else if (IsSwitch(name, {"-out", "--out"})) {
      if (const std::string* dir = SwitchValue(args, i, value, has_value))
        options.out_dir = FileName(*dir, "");
      else
        decide(Walk::kFail, "Please specify a folder to write the maps to.\n\n");
    } else if (IsSwitch(name, {"-logfile", "--logfile"})) {
      if (const std::string* log = SwitchValue(args, i, value, has_value))
        options.log_name = FileName(*log, ".log");
      else
        decide(Walk::kFail, "Please specify a log file to use.\n\n");
    } else if (IsSwitch(arg, {"-help", "--help", "-h", "-?"})) {
      decide(Walk::kHelp);
    } else if (IsSwitch(arg, {"-version", "--version"})) {
      decide(Walk::kVersion);
    } else {
      decide(Walk::kFail, "Unknown switch '" + arg + "'.\n\n");
    }
  }
  return parsed;
}

namespace {

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
  bool journal_only = false;  // -check found a journal to finish, and read no further
};

// Loads, reports and compacts one map, then saves it as planned when that
// changes its bytes or its target is not the map itself; with -check, only
// checks that it could be. With -quiet, prints nothing. A map with a journal
// of a save that was cut off gets that save finished first; with -check it
// is only reported, and counted as would be rewritten.
Outcome ProcessMap(const std::string& map_name, const SavePlan& plan, const Options& options) {
  std::unique_ptr<MapFile> file = OpenMapFile(map_name, !options.check && plan.own_file);
  for (const std::string& note : file->notes) TeePrint("%s", note.c_str());
  const std::string journal = JournalPathOf(file->file.path);
  if (file->cut_off && options.check) {
    TeePrint("%s has a journal of a save that was cut off, %s: a run without -check finishes it\n", map_name.c_str(),
             journal.c_str());
    return Outcome{{}, 0, 0, true, true};
  }
  Map map = LoadMapFile(*file, map_name);
  if (file->cut_off && plan.own_file) {
    FinishCutOff(*file, {map.file.get(), static_cast<size_t>(map.file_size)});
    TeePrint("Finished the save of %s that was cut off, from its journal %s\n", map_name.c_str(), journal.c_str());
  }
  if (!options.quiet) ReportLumpUsage(map);
  PlaneCounts counts = CompactPlanes(map);
  if (!options.quiet) {
    TeePrint("\nPlanes in map: %i\n", counts.before);
    TeePrint("Planes actually used: %i\n", counts.after);
  }
  std::unique_ptr<MapLayout> layout = LayOutMap(map);
  const bool changes = SaveWouldChangeFile(map, *layout);
  if (changes || !plan.own_file) SaveBSPFile(map, *layout, plan, options.check, file.get());
  const Outcome done{counts, map.file_size, layout->size, changes, false};
  if (options.quiet) return done;
  if (options.check)
    TeePrint(changes ? "\nCheck: the map would be rewritten.\n" : "\nCheck: the map is already compact.\n");
  else if (plan.own_file)
    TeePrint(changes ? "\nOptimized!\n" : "\nOptimized! The map was already compact, so its file is left untouched.\n");
  else if (changes)
    TeePrint("\nOptimized! Written to %s\n", plan.target.c_str());
  else
    TeePrint("\nOptimized! The map was already compact, so it is copied as it is to %s\n", plan.target.c_str());
  return done;
}

// The end of a -quiet line: what was done with the map.
std::string QuietResult(const Outcome& done, const std::string& map_name, const std::string& target,
                        bool check) {
  if (check) return done.changes ? "would be rewritten" : "already compact";
  if (target == map_name) return done.changes ? "rewritten" : "already compact";
  return (done.changes ? "rewritten to " : "already compact, copied to ") + target;
}

// What the map came to, added to the tally, and with -quiet its line.
void Count(const Outcome& done, const std::string& map_name, const SavePlan& plan, const Options& options,
           Tally& tally) {
  (done.changes ? tally.changed : tally.compact) += 1;
  tally.planes_before += done.counts.before;
  tally.planes_after += done.counts.after;
  tally.bytes_before += done.bytes_before;
  tally.bytes_after += done.bytes_after;
  if (options.quiet && done.journal_only)
    TeePrint("%s: %s\n", map_name.c_str(), QuietResult(done, map_name, plan.target, true).c_str());
  else if (options.quiet)
    TeePrint("%s: planes %i -> %i, bytes %lld -> %lld, %s\n", map_name.c_str(), done.counts.before, done.counts.after,
             static_cast<long long>(done.bytes_before), static_cast<long long>(done.bytes_after),
             QuietResult(done, map_name, plan.target, options.check).c_str());
}

// Processes one map, saved as planned, and tallies it; named_none, when
// given, is why its argument named no map, which fails it. A failure anywhere
// ends this map with its message, and leaves its file as it was; so does
// running out of memory, which frees the map's memory on the way out, so
// that the next map has it again. With -quiet the map gets one line, its
// failure's included.
void RunJob(const std::string& map_name, const std::string& named_none, const SavePlan& plan, const Options& options,
            Tally& tally) {
  std::string failure;
  bool missing = false;
  try {
    if (!named_none.empty()) throw MapFailure(named_none);
    Count(ProcessMap(map_name, plan, options), map_name, plan, options, tally);
    return;
  } catch (const FileNotFound&) {
    failure = "File '" + map_name + "' not found.";
    missing = true;
  } catch (const std::bad_alloc&) {
    const FileFacts facts = LookAtFile(map_name, true);
    failure = "Error processing " + map_name + ": not enough memory" +
              (facts.size > 0 ? " for a map of " + std::to_string(facts.size) + " bytes" : "");
  } catch (const std::exception& raised) {  // a MapFailure or a FileFailure
    failure = raised.what();
  }
  if (!options.quiet && missing) TeePrint("%s\n", failure.c_str());
  if (!options.quiet && !missing) ReportFailure(failure);
  if (options.quiet) TeePrint("%s: failed: %s\n", map_name.c_str(), failure.c_str());
  tally.failed.emplace_back(map_name, failure);
}

// The counts, then each map that failed and why. When maps failed, the
// totals say they are of the maps handled.
void PrintSummary(const Tally& t, bool check) {
  const size_t handled = static_cast<size_t>(t.changed) + static_cast<size_t>(t.compact);
  TeePrint("\n%zu maps: %d %s, %d already compact, %zu failed. Planes: %lld before, %lld after. "
           "Bytes: %lld before, %lld after",
           handled + t.failed.size(), t.changed, check ? "would be rewritten" : "rewritten", t.compact,
           t.failed.size(), static_cast<long long>(t.planes_before), static_cast<long long>(t.planes_after),
           static_cast<long long>(t.bytes_before), static_cast<long long>(t.bytes_after));
  if (t.failed.empty())
    TeePrint(".\n");
  else
    TeePrint(", in the %zu maps handled.\n", handled);
  for (const auto& [name, why] : t.failed) TeePrint("Failed: %s: %s\n", name.c_str(), why.c_str());
}

// Runs every map in turn; with several, each map's name comes before its
// table (not with -quiet) and a summary after the last. An interrupt ends
// the batch once the map in progress is done, and the summary says how many
// were left. Returns the run's status.
int RunMaps(const Options& options, const std::vector<SavePlan>& plans) {
  Tally tally;
  const size_t count = options.maps.size();
  size_t done = 0;
  for (; done < count && !PendingInterrupt(); ++done) {
    const std::string& map = options.maps[done];
    if (count > 1 && !options.quiet) TeePrint("\n==== Map %zu of %zu: %s\n", done + 1, count, map.c_str());
    RunJob(map, options.failures[done], plans[done], options, tally);
  }
  const bool interrupted = PendingInterrupt() != 0;
  if (count > 1 || interrupted) PrintSummary(tally, options.check);
  if (interrupted) TeePrint("Interrupted: %zu of %zu maps were not processed.\n", count - done, count);
  if (!tally.failed.empty()) return 1;
  return options.check && tally.changed > 0 ? 2 : 0;
}

// Waits for a key, only where someone sees the prompt and can press one: a
// script that forgot -nopause neither hangs nor has its input swallowed, and
// a run whose output goes to a file neither waits unseen nor puts the prompt
// in the file.
void Pause() {
  if (!ConsoleIsInteractive()) return;
  WaitForKey([] { TeePrint("\nPress a key to continue.\n"); });
}

// Replaces each folder among the maps with the maps it holds, and an
// argument that names none with a failure of its own.
void ApplyFolderRule(Options& options) {
  options.maps.clear();
  for (const std::string& given : options.given) {
    std::string failure;
    std::vector<std::string> named = MapsNamedBy(given, failure);
    if (!failure.empty()) named = {FullName(given)};
    options.maps.insert(options.maps.end(), named.begin(), named.end());
    options.failures.resize(options.maps.size());
    options.failures.back() = failure;
  }
}

// Walks the arguments and checks what the run as a whole needs before any
// map is touched: the -out folder, the outputs against each other and the
// maps, the log against them all; only then is the log opened. Prints a
// refusal (with the usage block), and returns how the walk ends.
Walk Prepare(int argc, char** argv, Options& options, std::vector<SavePlan>& plans) {
  Parsed parsed;
  try {
    parsed = ParseArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const MapFailure& raised) {  // the current folder cannot be fetched
    ReportFailure(raised.what());
    return Walk::kFail;
  }
  options = parsed.options;
  try {
    ApplyFolderRule(options);
  } catch (const MapFailure& raised) {
    ReportFailure(raised.what());
    return Walk::kFail;
  }
  std::string refusal = parsed.refusal, log_refusal;
  if (parsed.walk == Walk::kRun && !options.out_dir.empty()) {
    const FileFacts out = LookAtFile(options.out_dir, true);
    // Note: a folder with no write bit is refused for root too, as a map is.
    std::string why = out.exists && !out.folder           ? "not a folder"
                      : out.exists && (out.mode & 0222) == 0 ? "it is read-only"
                                                             : FolderRefusal(options.out_dir);
    if (!why.empty()) refusal = "Unable to write to folder " + options.out_dir + ": " + why + "\n\n";
  }
  plans = PlanSaves(options.maps, options.out_dir, options.log_name, log_refusal);
  std::string reason;
  if (!options.log_name.empty() && log_refusal.empty()) {
    UseLog(OpenTextForAppending(options.log_name, reason), options.log_name);
    if (!LogFile) log_refusal = reason;
  }
  // A log that cannot be used refuses the run whatever else does.
  if (!log_refusal.empty()) refusal = "Unable to open log file " + options.log_name + ": " + log_refusal + "\n\n";
  if (refusal.empty()) return parsed.walk;
  TeePrint("%s", refusal.c_str());
  PrintUsage();
  return Walk::kFail;
}

}  // namespace

int RunFlatcull(int argc, char** argv) {
  ArmSignals();
  Options options;
  std::vector<SavePlan> plans;
  Walk walk = Prepare(argc, argv, options, plans);
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
      status = RunMaps(options, plans);
    }
    const bool interrupted = PendingInterrupt() != 0;
    DisarmSignals();
    if (options.pause && !interrupted) Pause();
  }
  if (LogWriteFailed()) status = 1;
  CloseLog();
  if (int pending = PendingInterrupt()) EndByInterrupt(pending);
  DisarmSignals();
  return status;
}
