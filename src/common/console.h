// console.h: the one output routine and the one fatal-error routine.
// Every message the tool prints goes through TeePrint, so the log, once it is
// open, is an exact copy of what the console shows.
#pragma once

#include <cstdio>

#if defined(__GNUC__)
#define PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define PRINTF_LIKE
#endif

// The open log stream, or null. The driver opens and closes it; this module
// only writes to it.
extern FILE* LogFile;

// Formats a message printf-style (cut to its first 1023 characters) and writes
// the same bytes to standard output and, when one is open, to LogFile.
// Standard output is flushed after each message. Write failures on either
// stream are not reported.
PRINTF_LIKE void TeePrint(const char* format, ...);

// Prints the error banner, the formatted message (cut like TeePrint's) and a
// line end to the console and the log, then ends the process with status 1.
// Exit handlers run, so a pending temporary file is removed (see fileio.h).
[[noreturn]] PRINTF_LIKE void FatalError(const char* format, ...);

#ifdef FLATCULL_FATAL_THROWS
// Fuzzing builds only: what FatalError throws, once it has printed, instead
// of ending the process.
struct FatalExit {
  int status;
};
#endif
