// console.h: the one output routine, and the failure that ends one map.
// Every message the tool prints goes through TeePrint, so the log, once it is
// open, is an exact copy of what the console shows, up to a failed write to
// the log itself, which only the console reports. A step that cannot go on
// raises a MapFailure through FatalError; only the driver catches it, prints
// it with ReportFailure and decides how the run goes on.
#pragma once

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

// The formats are checked as the printf that runs takes them: glibc's, or
// mingw-w64's own (which g++ for mingw-w64 uses), both of which take %zu and
// %lld. g++ calls that archetype gnu_printf (its plain printf is Microsoft's
// on Windows); clang knows only printf, which it checks as C99 everywhere.
#if defined(__clang__)
#define PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#elif defined(__GNUC__)
#define PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#else
#define PRINTF_LIKE
#endif

// The open log stream, or null. The driver opens and closes it and hands it
// over with UseLog; this module only writes to it.
extern FILE* LogFile;

// Makes stream (null for none) the log, called name in the message of a
// failed write, and forgets an earlier log's failed write. Does not close
// the earlier log.
void UseLog(FILE* stream, const std::string& name);

// Makes the one message this module prints of its own (a failed write to
// the log) go to standard output as line gives it, from the message's text
// without its line ends; null: as it stands.
void UseNoteLines(std::function<std::string(const std::string& text)> line);

// Formats a message printf-style, whole whatever its length.
PRINTF_LIKE std::string FormatText(const char* format, ...);

// From HoldOutput on, TeePrint and ReportFailure keep their text instead of
// writing it; TakeHeldOutput ends the hold and gives the text back, whole, to
// be written later (TeePrint("%s", text) writes the very same bytes).
void HoldOutput();
std::string TakeHeldOutput();

// Whether a write to the log has failed since UseLog.
bool LogWriteFailed();

// Formats a message printf-style, whole whatever its length, and writes the
// same bytes to standard output and, when one is open, to LogFile.
// Both are flushed after each message, so that a killed run loses none.
// Once a write to standard output fails with EPIPE (its reader is gone),
// nothing more is written there, and nothing is said. The first failed write
// to the log is reported on standard output only ("\nError writing log file
// %s: %s\n", with the name given to UseLog and the system's reason); the log
// is not written again, and LogWriteFailed says so.
PRINTF_LIKE void TeePrint(const char* format, ...);

// Why the current map cannot be processed; what() is the whole message,
// already formatted.
class MapFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Formats the message like TeePrint and throws it as a MapFailure. Prints
// nothing itself.
[[noreturn]] PRINTF_LIKE void FatalError(const char* format, ...);

// Prints a failure's message as the console shows every error: the error
// banner, the message and a line end.
void ReportFailure(const std::string& message);
