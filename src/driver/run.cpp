// run.cpp: the command line and the run sequence: arguments, banner, the job
// on each named map in turn, the summary, the pause and the exit status.
// This is the one place that catches a map's failure and decides how the run
// goes on: the next map is processed, and the status records the failure;
// an interrupt ends the batch after the map in progress. The driver says
// what the user asked; the save decides how (bsp/save.h).
#include "driver/run.h"

#include <cstdio>
#include <exception>
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
#include "driver/results.h"
#include "optimize/compact.h"
#include "optimize/report.h"

namespace {

void PrintUsage() {
  TeePrint("usage: flatcull [-nopause] [-check] [-quiet] [-json] [-shrink-only] [-r] [-out DIR] [-logfile log_filename] [--] filename...\n\n");
  TeePrint("-nopause : skip keypress prompt on completion\n");
  TeePrint("-logfile : specify file log_filename to use for logging screen output\n");
  TeePrint("-check   : report what would change and write nothing (status 2 if a map would be rewritten)\n");
  TeePrint("-quiet   : print one line per map, and no banner or table\n");
  TeePrint("-out     : write each map into the folder DIR under its own file name, leaving the map as it is\n");
  TeePrint("-json    : print one JSON object per map and one for the summary (implies -quiet and -nopause)\n");
  TeePrint("-shrink-only : leave a map as it is unless it loses planes\n");
  TeePrint("-r       : a folder stands for the maps in it and in all its subfolders\n");
  TeePrint("-help    : show this usage\n");
  TeePrint("-version : show the version\n");
  TeePrint("--       : take every later argument as a file name\n");
  TeePrint("\nEach switch may also start with --. A map name without an extension gets .bsp, a log name .log.\n");
  TeePrint("A name that names no file is taken with .bsp added when that names one. A folder, or a name\n");
  TeePrint("that ends in a separator, stands for the maps (*.bsp) directly in it, in name order; with -r,\n");
  TeePrint("for the maps of its whole tree.\n");
  TeePrint("Exit status: 0 when every map was saved or already compact,\n");
  TeePrint("             1 when a map failed or the run was refused,\n");
  TeePrint("             2 with -check when a map would be rewritten and none failed.\n");
}

// The help leaves out the banner's two leading blank lines.
void PrintBanner(bool help = false) {
  TeePrint("%sTessavar by Orlwen, v" FLATCULL_VERSION " (%s)\n", help ? "" : "\n\n", FLATCULL_BUILD_DATE);
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
    } else if (IsSwitch(arg, {"-json", "--json"})) {
      options.json = options.quiet = true;
      options.pause = false;
    } else if (IsSwitch(arg, {"-shrink-only", "--shrink-only"})) {
      options.shrink_only = true;
    } else if (IsSwitch(arg, {"-r", "--r"})) {
      options.recursive = true;
    } else if (IsSwitch(name, {"-out", "--out"})) {
      if (const std::string* dir = SwitchValue(args, i, value, has_value))
        options.out_dir = FileName(*dir, "");
      else
        decide(Walk::kFail, "Please specify a folder to write the maps to.\n\n");
    } else if (IsSwitch(name, {"-logfile", "--logfile"})) {
      if (const std::string* log = SwitchValue(args, i, value, has_value)) {
        options.log_given = *log;
        options.log_name = FileName(*log, ".log");
      }
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
  int left = 0;     // -shrink-only: no plane to drop, left as it is
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
  bool left = false;  // -shrink-only left it as it is: nothing was written
  std::vector<LumpRow> lumps;  // with -json, its usage table
};

// Prints a line that belongs to map ("" for none) as it stands, or with
// -json as a note.
void Note(const Options& options, const std::string& map, const std::string& text) {
  const size_t first = text.find_first_not_of('\n'), last = text.find_last_not_of('\n');
  if (options.json)
    TeePrint("%s", NoteLine(map, first == std::string::npos ? "" : text.substr(first, last - first + 1)).c_str());
  else
    TeePrint("%s", text.c_str());
}

// Creates the folders of target below out_dir that are missing: -r mirrors
// the tree of maps there.
void MakeOutputFolders(const std::string& target, const std::string& out_dir) {
  const std::string folder = FolderOf(target);
  if (folder.size() <= out_dir.size() || LookAtFile(folder, true).exists) return;
  MakeOutputFolders(folder, out_dir);
  std::string reason;
  if (!MakeFolder(folder, reason))
    FatalError("Error writing %s: cannot create the folder %s: %s", target.c_str(), folder.c_str(), reason.c_str());
}

// A map whose new file waits for its window's sync (see RunMaps): the map,
// still open and locked, and its new file, written with its identity.
struct Pending {
  std::unique_ptr<MapFile> file;
  std::unique_ptr<ReplacementFile> out;
  int64_t size = 0;
};

// What the map's line ends with when -shrink-only leaves it as it is.
std::string LeftResult(const SavePlan& plan) {
  return "no plane to drop, left as it is" + (plan.own_file ? "" : ", nothing written to " + plan.target);
}

// Without -quiet, what became of a map that did not fail.
void PrintDone(const Outcome& done, const SavePlan& plan, const Options& options) {
  if (options.quiet || done.journal_only) return;
  if (done.left)
    TeePrint("\n%s: %s.\n", options.check ? "Check" : "Shrink only", LeftResult(plan).c_str());
  else if (options.check)
    TeePrint(done.changes ? "\nCheck: the map would be rewritten.\n" : "\nCheck: the map is already compact.\n");
  else if (plan.own_file)
    TeePrint(done.changes ? "\nOptimized!\n"
                          : "\nOptimized! The map was already compact, so its file is left untouched.\n");
  else if (done.changes)
    TeePrint("\nOptimized! Written to %s\n", plan.target.c_str());
  else
    TeePrint("\nOptimized! The map was already compact, so it is copied as it is to %s\n", plan.target.c_str());
}

// Loads, reports and compacts one map, then saves it as planned when that
// changes its bytes or its target is not the map itself; with -check, only
// checks that it could be. With -shrink-only, a map that keeps all its
// planes is not saved at all. With -quiet, prints nothing. A map with a
// journal of a save that was cut off gets that save finished first; with
// -check it is only reported, and counted as would be rewritten. With
// pending, a save by rename of no more than room bytes stops short of its
// sync and waits there, and its result is printed once it is in place.
Outcome ProcessMap(const std::string& map_name, const SavePlan& plan, const Options& options, Pending* pending,
                   int64_t room) {
  std::unique_ptr<MapFile> file = OpenMapFile(map_name, !options.check && plan.own_file);
  for (const std::string& note : file->notes) Note(options, map_name, note);
  const std::string journal = JournalPathOf(file->file.path);
  if (file->cut_off && options.check) {
    Note(options, map_name, FormatText("%s has a journal of a save that was cut off, %s: a run without -check finishes it\n",
                                       map_name.c_str(), journal.c_str()));
    return Outcome{{}, 0, 0, true, true, false, {}};
  }
  Map map = LoadMapFile(*file, map_name);
  if (file->cut_off && plan.own_file) {
    FinishCutOff(*file, {map.file.get(), static_cast<size_t>(map.file_size)});
    Note(options, map_name, FormatText("Finished the save of %s that was cut off, from its journal %s\n",
                                       map_name.c_str(), journal.c_str()));
  }
  if (!options.quiet) ReportLumpUsage(map);
  PlaneCounts counts = CompactPlanes(map);
  if (!options.quiet) {
    TeePrint("\nPlanes in map: %i\n", counts.before);
    TeePrint("Planes actually used: %i\n", counts.after);
  }
  std::unique_ptr<MapLayout> layout = LayOutMap(map);
  const bool changes = SaveWouldChangeFile(map, *layout);
  const bool save = changes || !plan.own_file, left = save && options.shrink_only && counts.after == counts.before;
  if (save && !left && !options.check && !plan.own_file) MakeOutputFolders(plan.target, options.out_dir);
  if (save && !left) {
    const bool defer = pending && layout->size <= room;
    if (auto out = SaveBSPFile(map, *layout, plan, options.check, file.get(), defer)) {
      *pending = {std::move(file), std::move(out), layout->size};
    }
  }
  Outcome done{counts, map.file_size, left ? map.file_size : layout->size, changes, false, left, {}};
  if (options.json) done.lumps = LumpRows(map);
  if (!pending || !pending->out) PrintDone(done, plan, options);
  return done;
}

// The end of a -quiet line: what was done with the map.
std::string QuietResult(const Outcome& done, const std::string& map_name, const SavePlan& plan, bool check) {
  if (done.left) return LeftResult(plan);
  if (check) return done.changes ? "would be rewritten" : "already compact";
  if (plan.target == map_name) return done.changes ? "rewritten" : "already compact";
  return (done.changes ? "rewritten to " : "already compact, copied to ") + plan.target;
}

// The status -json gives a map that did not fail.
std::string JsonStatus(const Outcome& done, bool check) {
  if (done.left) return "left as it is";
  if (done.changes || done.journal_only) return check ? "would be rewritten" : "rewritten";
  return "already compact";
}

// The -json object of a map: its outcome, or its failure's message.
void PrintResult(const Options& options, const std::string& map_name, const SavePlan& plan, const Outcome* done,
                 const std::string& failure) {
  MapResult result;
  result.map = map_name;
  result.status = done ? JsonStatus(*done, options.check) : "failed";
  result.message = failure;
  if (!options.out_dir.empty()) result.out = plan.target;
  if (done && !done->journal_only) {
    result.counted = true;
    result.planes_before = done->counts.before;
    result.planes_after = done->counts.after;
    result.bytes_before = done->bytes_before;
    result.bytes_after = done->bytes_after;
    result.lumps = done->lumps;
  }
  TeePrint("%s", MapResultLine(result).c_str());
}

// What the map came to, added to the tally, and with -quiet its line.
void Count(const Outcome& done, const std::string& map_name, const SavePlan& plan, const Options& options,
           Tally& tally) {
  (done.left ? tally.left : done.changes ? tally.changed : tally.compact) += 1;
  tally.planes_before += done.counts.before;
  tally.planes_after += done.counts.after;
  tally.bytes_before += done.bytes_before;
  tally.bytes_after += done.bytes_after;
  if (options.json)
    PrintResult(options, map_name, plan, &done, "");
  else if (options.quiet && done.journal_only)
    TeePrint("%s: %s\n", map_name.c_str(), QuietResult(done, map_name, plan, true).c_str());
  else if (options.quiet)
    TeePrint("%s: planes %i -> %i, bytes %lld -> %lld, %s\n", map_name.c_str(), done.counts.before, done.counts.after,
             static_cast<long long>(done.bytes_before), static_cast<long long>(done.bytes_after),
             QuietResult(done, map_name, plan, options.check).c_str());
}

// Reports a map's failure (with -quiet, its one line) and tallies it.
void ReportFailed(const std::string& map_name, const std::string& failure, bool missing, const SavePlan& plan,
                  const Options& options, Tally& tally) {
  if (!options.quiet && missing) TeePrint("%s\n", failure.c_str());
  if (!options.quiet && !missing) ReportFailure(failure);
  if (options.json)
    PrintResult(options, map_name, plan, nullptr, failure);
  else if (options.quiet)
    TeePrint("%s: failed: %s\n", map_name.c_str(), failure.c_str());
  tally.failed.emplace_back(map_name, failure);
}

// The message of the failure raised; missing tells a map not found.
std::string FailureOf(const std::exception_ptr& raised_failure, const std::string& map_name, const Options& options,
                      bool& missing) {
  missing = false;
  try {
    std::rethrow_exception(raised_failure);
  } catch (const FileNotFound&) {
    missing = true;
    return "File '" + map_name + "' not found.";
  } catch (const std::bad_alloc&) {
    const FileFacts facts = LookAtFile(map_name, true);
    return "Error processing " + map_name + ": not enough memory" +
           (facts.size > 0 ? " for a map of " + std::to_string(facts.size) + " bytes" : "");
  } catch (const WriteRefused& refused) {
    return refused.what() + std::string(options.out_dir.empty() ? " (-out DIR writes the map to another folder)" : "");
  } catch (const std::exception& raised) {  // a MapFailure or a FileFailure
    return raised.what();
  }
}

// Processes one map, saved as planned, and tallies it; named_none, when
// given, is why its argument named no map, which fails it. A failure anywhere
// ends this map with its message, and leaves its file as it was; so does
// running out of memory, which frees the map's memory on the way out, so
// that the next map has it again. With -quiet the map gets one line, its
// failure's included. A map left pending (see ProcessMap) is tallied once
// it is in place; its outcome is returned.
Outcome RunJob(const std::string& map_name, const std::string& named_none, const SavePlan& plan,
               const Options& options, Tally& tally, Pending* pending, int64_t room) {
  try {
    if (!named_none.empty()) throw MapFailure(named_none);
    Outcome done = ProcessMap(map_name, plan, options, pending, room);
    if (!pending || !pending->out) Count(done, map_name, plan, options, tally);
    return done;
  } catch (...) {
    bool missing = false;
    const std::string failure = FailureOf(std::current_exception(), map_name, options, missing);
    ReportFailed(map_name, failure, missing, plan, options, tally);
  }
  return {};
}

// A batch saves its maps in windows: each map's new file is written, then
// all are made durable at once, then each is put in place. A window holds
// at most this many saves, and this many bytes of new files.
constexpr size_t kWindowSaves = 64;
constexpr int64_t kWindowBytes = int64_t{512} << 20;

// The maps of a window, in order, each with its console text so far: those
// that wait for the sync, and those done after the first of them, whose text
// waits for theirs.
struct WindowMap {
  size_t index = 0;
  std::string text;
  Pending pending;
  Outcome done;
};
struct Window {
  std::vector<WindowMap> maps;
  size_t saves = 0;
  int64_t bytes = 0;
};

// Makes the window's new files durable: one sync of each file system that
// can (a file system's sync through the folder of its first save, opened
// before the window's writes), each file's own elsewhere, and for a window
// of one save, as a single map is saved. Gives each map why its new file is
// not durable, or "": a file system's failed sync fails every map.
std::vector<std::string> SyncWindow(Window& w) {
  std::vector<std::string> why(w.maps.size());
  std::vector<uint64_t> synced;  // devices whose file system was synced
  for (size_t i = 0; i < w.maps.size(); ++i) {
    ReplacementFile* out = w.maps[i].pending.out.get();
    if (!out) continue;
    const Folder& folder = out->TargetFolder();
    if (std::find(synced.begin(), synced.end(), folder.device) != synced.end()) continue;
    if (w.saves > 1 && SyncsFileSystem(folder)) {
      synced.push_back(folder.device);
      if (FileStatus status = SyncFileSystem(folder); !status.ok()) return std::vector<std::string>(w.maps.size(), status.text);
      continue;
    }
    try {
      out->Sync();
    } catch (const FileFailure& failure) {
      why[i] = failure.what();
    }
  }
  return why;
}

// Commits the window: the sync, each new file put in place, each folder
// that received one synced once; then every map's text, whole and in order,
// and each waiting map tallied. A map whose new file could not be made
// durable or put in place fails alone, its new file removed.
void CommitWindow(Window& w, const Options& options, const std::vector<SavePlan>& plans, Tally& tally) {
  const std::vector<std::string> why = SyncWindow(w);
  std::vector<const Folder*> folders;
  for (size_t i = 0; i < w.maps.size(); ++i) {
    WindowMap& m = w.maps[i];
    if (!m.pending.out) continue;
    const std::string& map_name = options.maps[m.index];
    const SavePlan& plan = plans[m.index];
    HoldOutput();
    try {
      if (why[i].starts_with("Error writing ")) throw FileFailure(why[i]);
      if (!why[i].empty()) throw FileFailure("Error writing " + plan.target + ": " + why[i]);
      m.pending.out->Place();
      const Folder& folder = m.pending.out->TargetFolder();
      if (std::none_of(folders.begin(), folders.end(), [&](const Folder* f) {
            return f->device == folder.device && f->inode == folder.inode;
          }))
        folders.push_back(&folder);
      PrintDone(m.done, plan, options);
      Count(m.done, map_name, plan, options, tally);
    } catch (...) {
      m.pending.out.reset();
      bool missing = false;
      ReportFailed(map_name, FailureOf(std::current_exception(), map_name, options, missing), missing, plan, options, tally);
    }
    m.text += TakeHeldOutput();
  }
  // Note: after the renames, as a single map's save syncs its folder; a
  // failure there is not a failed save.
  for (const Folder* folder : folders) SyncFolder(*folder);
  for (const WindowMap& m : w.maps) TeePrint("%s", m.text.c_str());
  w = {};
}

// "1 map", "2 maps".
std::string Maps(size_t count) { return std::to_string(count) + (count == 1 ? " map" : " maps"); }

// The counts, then each map that failed and why. When maps failed, the
// totals say they are of the maps handled. With -json, one object.
void PrintSummary(const Tally& t, const Options& options, size_t interrupted) {
  const size_t handled = static_cast<size_t>(t.changed) + static_cast<size_t>(t.compact) + static_cast<size_t>(t.left);
  if (options.json) {
    const int64_t changed = t.changed;
    TeePrint("%s", SummaryLine({static_cast<int64_t>(handled + t.failed.size()), options.check ? 0 : changed,
                                t.compact, options.check ? changed : 0, t.left, static_cast<int64_t>(t.failed.size()),
                                static_cast<int64_t>(interrupted), t.planes_before, t.planes_after, t.bytes_before,
                                t.bytes_after})
                       .c_str());
    return;
  }
  const std::string left = options.shrink_only ? ", " + std::to_string(t.left) + " left as they are" : "";
  TeePrint("\n%s: %d %s, %d already compact%s, %zu failed. Planes: %lld before, %lld after. "
           "Bytes: %lld before, %lld after",
           Maps(handled + t.failed.size()).c_str(), t.changed, options.check ? "would be rewritten" : "rewritten",
           t.compact, left.c_str(), t.failed.size(), static_cast<long long>(t.planes_before),
           static_cast<long long>(t.planes_after), static_cast<long long>(t.bytes_before),
           static_cast<long long>(t.bytes_after));
  if (t.failed.empty())
    TeePrint(".\n");
  else
    TeePrint(", in the %s handled.\n", Maps(handled).c_str());
  for (const auto& [name, why] : t.failed) TeePrint("Failed: %s: %s\n", name.c_str(), why.c_str());
}

// Runs every map in turn; with several, each map's name comes before its
// table (not with -quiet) and a summary after the last (with -json, always).
// An interrupt ends the batch once the map in progress is done, and the
// summary says how many were left. Returns the run's status.
int RunMaps(const Options& options, const std::vector<SavePlan>& plans) {
  Tally tally;
  const size_t count = options.maps.size();
  // A single map is a window of one: it is saved as it always was.
  const bool batch = count > 1 && !options.check;
  Window window;
  size_t done = 0;
  for (; done < count && !PendingInterrupt(); ++done) {
    const std::string& map = options.maps[done];
    // A new map is no larger than its map: one that might not fit waits for
    // the next window.
    if (window.saves > 0 && window.bytes + LookAtFile(map, true).size > kWindowBytes)
      CommitWindow(window, options, plans, tally);
    HoldOutput();
    if (count > 1 && !options.quiet) TeePrint("\n==== Map %zu of %zu: %s\n", done + 1, count, map.c_str());
    WindowMap entry;
    entry.index = done;
    entry.done = RunJob(map, options.failures[done], plans[done], options, tally, batch ? &entry.pending : nullptr,
                        kWindowBytes - window.bytes);
    entry.text = TakeHeldOutput();
    if (entry.pending.out) window.saves += 1, window.bytes += entry.pending.size;
    if (window.maps.empty() && !entry.pending.out)
      TeePrint("%s", entry.text.c_str());
    else
      window.maps.push_back(std::move(entry));
    if (window.saves == kWindowSaves) CommitWindow(window, options, plans, tally);
  }
  // Note: an interrupt lets no further map join; those already written
  // are still made durable and put in place.
  CommitWindow(window, options, plans, tally);
  const bool interrupted = PendingInterrupt() != 0;
  if (count > 1 || interrupted || options.json) PrintSummary(tally, options, count - done);
  if (interrupted) Note(options, "", FormatText("Interrupted: %zu of %zu maps were not processed.\n", count - done, count));
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

// Replaces each folder among the maps with the maps it holds (with -r, in
// its whole tree), and each part of an argument that names none with a
// failure of its own. Each map gets its name under the -out folder.
void ApplyFolderRule(Options& options) {
  options.maps.clear();
  for (const std::string& given : options.given) {
    for (const NamedMap& named : MapsNamedBy(given, options.recursive)) {
      options.maps.push_back(named.name);
      options.failures.push_back(named.failure);
      options.out_names.push_back(named.relative.empty() ? NameInFolder(named.name) : named.relative);
    }
  }
}

// Why the log may not be opened at all, whatever the system would say: it
// would take a map or a folder. Reads the start of an existing file.
std::string LogRefusal(const Options& options) {
  const std::string& given = options.log_given;
  if (!given.empty() && IsSeparator(given.back())) return "it is a folder";
  const FileFacts facts = LookAtFile(options.log_name, true);
  if (facts.folder || (!facts.exists && LookAtFile(FullName(given), true).folder)) return "it is a folder";
  if (EndsInMapExtension(options.log_name)) return "its name ends in .bsp";
  const std::string head = ReadFileStart(options.log_name, kHeaderSize);
  if (head.size() < kHeaderSize) return "";
  const auto* bytes = reinterpret_cast<const unsigned char*>(head.data());
  if (ReadLE32(bytes) != 30 && ReadLE32(bytes) != 29) return "";
  for (int lump = 0; lump < kNumLumps; ++lump) {
    const int64_t offset = ReadLE32(bytes + LumpEntryAt(lump)), length = ReadLE32(bytes + LumpEntryAt(lump) + 4);
    if (offset < 0 || length < 0 || offset + length > facts.size) return "";
  }
  return "it is a map";
}

// Why the -out folder cannot take the maps, or "". A missing folder whose
// parent exists is made later, in a run that writes: creating says so.
std::string OutRefusal(const std::string& out_dir, bool check, bool& create) {
  std::string dir = out_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const FileFacts out = LookAtFile(dir, true);
  create = false;
  if (out.exists && !out.folder) return "not a folder";
  // Note: a folder with no write bit is refused for root too, as a map is.
  if (out.exists && (out.mode & 0222) == 0) return "it is read-only";
  if (out.exists) return FolderRefusal(dir);
  const FileFacts parent = LookAtFile(FolderOf(dir), true);
  if (!parent.folder) return "its parent folder " + FolderOf(dir) + " does not exist";
  create = !check;
  return check ? "" : FolderRefusal(FolderOf(dir));
}

// Prints a refusal of the whole run: with -json one object, else the
// message and, for a mistake in the arguments, the usage block.
void PrintRefusal(const Options& options, const std::string& refusal, bool usage) {
  if (options.json) {
    TeePrint("%s", ErrorLine(refusal.substr(0, refusal.find_last_not_of('\n') + 1)).c_str());
    return;
  }
  TeePrint("%s", refusal.c_str());
  if (usage) PrintUsage();
}

// Walks the arguments and checks what the run as a whole needs before any
// map is touched: the -out folder, the outputs against each other and the
// maps, the log against them all; only then is the log opened, and then a
// missing -out folder made. Prints a refusal (with the usage block, but for
// the -out folder's), and returns how the walk ends.
Walk Prepare(int argc, char** argv, Options& options, std::vector<SavePlan>& plans) {
  Parsed parsed;
  try {
    parsed = ParseArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    options = parsed.options;
    if (options.json) UseNoteLines([](const std::string& text) { return NoteLine("", text); });
    ApplyFolderRule(options);
  } catch (const MapFailure& raised) {  // the current folder cannot be fetched
    if (options.json)
      PrintRefusal(options, raised.what(), false);
    else
      ReportFailure(raised.what());
    return Walk::kFail;
  }
  std::string refusal = parsed.refusal, log_refusal, out_refusal;
  bool create = false;
  if (parsed.walk == Walk::kRun && !options.out_dir.empty()) {
    std::string why = OutRefusal(options.out_dir, options.check, create);
    if (!why.empty()) out_refusal = "Unable to write to folder " + options.out_dir + ": " + why + "\n";
  }
  plans = PlanSaves(options.maps, options.out_names, options.out_dir, options.log_name, log_refusal);
  if (!options.log_name.empty() && log_refusal.empty()) log_refusal = LogRefusal(options);
  std::string reason;
  if (!options.log_name.empty() && log_refusal.empty()) {
    UseLog(OpenTextForAppending(options.log_name, reason), options.log_name);
    if (!LogFile) log_refusal = reason;
  }
  const std::string log_name = log_refusal == "it is a folder" ? FullName(options.log_given) : options.log_name;
  // A log that cannot be used refuses the run whatever else does.
  if (!log_refusal.empty()) refusal = "Unable to open log file " + log_name + ": " + log_refusal + "\n\n";
  if (refusal.empty() && out_refusal.empty() && create && !MakeFolder(options.out_dir, reason))
    out_refusal = "Unable to write to folder " + options.out_dir + ": " + reason + "\n";
  if (!refusal.empty() || !out_refusal.empty()) {
    PrintRefusal(options, refusal.empty() ? out_refusal : refusal, !refusal.empty());
    return Walk::kFail;
  }
  return parsed.walk;
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
    PrintBanner(true);
    PrintUsage();
  } else {
    if (!options.quiet) PrintBanner();
    if (options.maps.empty()) {
      PrintRefusal(options, "Please specify a file to optimize or drag and drop a file onto the program.\n\n", true);
    } else {
      status = RunMaps(options, plans);
    }
    const bool interrupted = PendingInterrupt() != 0;
    DisarmSignals();
    if (options.pause && !interrupted) Pause();
  }
  if (LogWriteFailed()) status = 1;
  CloseLog();
  UseNoteLines(nullptr);
  if (int pending = PendingInterrupt()) EndByInterrupt(pending);
  DisarmSignals();
  return status;
}
