// run.h: the command line and the run sequence.
#pragma once

#include <string>
#include <vector>

// What the command line asks for.
struct Options {
  bool pause = true;
  bool check = false;
  bool quiet = false;
  bool json = false;         // -json: JSON Lines (implies quiet, no pause)
  bool shrink_only = false;  // a map whose plane count would not drop is left as it is
  bool recursive = false;    // -r: a folder stands for the maps of its whole tree
  std::vector<std::string> given;     // the map names as given
  std::vector<std::string> maps;      // full names, each with .bsp added when it has no extension
                                      // (then the folder rule applied, see RunFlatcull)
  std::vector<std::string> failures;  // for each map: why its argument names none, or ""
  std::vector<std::string> out_names;  // for each map: its name under out_dir
  std::string log_given;  // the name -logfile gave, as given
  std::string log_name;   // the name -logfile gave, as the log opens it
  std::string out_dir;   // the folder -out gave; empty: each map is saved over itself
};

// How the walk of the arguments ends.
enum class Walk { kRun, kHelp, kVersion, kFail };

// What the arguments ask for: the options and how the walk ends, with the
// refusal's message (the usage block follows it).
struct Parsed {
  Options options;
  Walk walk = Walk::kRun;
  std::string refusal;
};

// Reads the arguments (argv[0] left out) without touching anything: opens,
// creates and prints nothing, and checks no file or folder. Every argument is
// walked, so every map name is known; the first of -help, -version or a
// mistake decides how the walk ends, and a mistake's message ("Unknown switch
// '%s'.\n\n", or a switch without its value) goes in refusal. Names become
// full names by the current folder: raises a MapFailure when that cannot be
// fetched.
Parsed ParseArguments(const std::vector<std::string>& args);

// Walks every argument (argv[0] is not examined) before any map is touched,
// prints the banner (with -quiet, only one line per map), runs load, report,
// compaction and (unless -check, or nothing would change and there is no
// -out folder) save on each named map in turn, pauses at a terminal unless
// told not to, and returns the exit status: 0 when every map succeeded, no
// map was named, or -help or -version was given; 1 when a map failed, the
// log cannot be opened, is a map, a folder or a name ending in .bsp, or could
// not be written, the -out folder cannot be made or may not be written, or a
// switch is unknown; with
// -check, 2 when a map would be rewritten and none failed. Never ends the
// process itself: a failure (even for want of memory) ends its map, and the
// run goes on with the next.
int RunFlatcull(int argc, char** argv);
