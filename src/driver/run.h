// run.h: the command line and the run sequence.
#pragma once

// Walks the arguments (argv[0] is not examined), prints the banner, runs
// load, report, compaction and save on the named map, pauses unless told not
// to, and returns the exit status: 0 on success or when no map was named, 1
// when the map or the log cannot be opened or the map is refused or cannot
// be written. Never ends the process itself; a failure ends the map.
int RunFlatcull(int argc, char** argv);
