// run.h: the command line and the run sequence.
#pragma once

// Walks every argument (argv[0] is not examined) before any map is touched,
// prints the banner (with -quiet, only one line per map), runs load, report,
// compaction and (unless -check, or nothing would change and there is no
// -out folder) save on each named map in turn, pauses at a terminal unless
// told not to, and returns the exit status: 0 when every map succeeded, no
// map was named, or -help or -version was given; 1 when a map failed, the
// log cannot be opened, is one of the maps or could not be written, the -out
// folder is missing or may not be written, or a switch is unknown; with
// -check, 2 when a map would be rewritten and none failed. Never ends the
// process itself: a failure (even for want of memory) ends its map, and the
// run goes on with the next.
int RunFlatcull(int argc, char** argv);
