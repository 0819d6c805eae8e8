// console.h: the one output routine, and the failure that ends one map.
// Every message the tool prints goes through TeePrint, so the log, once it is
// open, is an exact copy of what the console shows. A step that cannot go on
// raises a MapFailure through FatalError; only the driver catches it, prints
// it with ReportFailure and decides how the run goes on.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#if defined(__MINGW32__)
// g++ for mingw-w64 formats with mingw-w64's own printf (it sets
// __USE_MINGW_ANSI_STDIO), which takes %zu and %lld: check formats for that.
#define PRINTF_LIKE __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
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

// Why the current map cannot be processed; what() is the message, already
// formatted and cut to 1023 characters.
class MapFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Formats the message like TeePrint and throws it as a MapFailure. Prints
// nothing itself.
[[noreturn]] PRINTF_LIKE void FatalError(const char* format, ...);

// Prints a failure as the console shows every error: the error banner, the
// message and a line end.
void ReportFailure(const MapFailure& failure);
