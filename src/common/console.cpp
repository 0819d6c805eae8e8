// console.cpp: message output to the console and the log, and fatal errors.
// Owns the shared message buffer; the log stream is the driver's.
#include "common/console.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

FILE* LogFile = nullptr;

namespace {

// Holds at most 1023 characters and the terminator; a longer message is cut.
char message[1024];

// Writes the formatted buffer as plain text: it is never used as a format
// again, so a '%' that formatting produced is printed as it stands.
void WriteMessage() {
  size_t length = std::strlen(message);
  std::fwrite(message, 1, length, stdout);
  std::fflush(stdout);
  if (LogFile) std::fwrite(message, 1, length, LogFile);
}

void FormatMessage(const char* format, va_list args) {
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
}

}  // namespace

void TeePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  WriteMessage();
}

void FatalError(const char* format, ...) {
  TeePrint("\n************ ERROR ************\n");
  va_list args;
  va_start(args, format);
  FormatMessage(format, args);
  va_end(args);
  WriteMessage();
  TeePrint("\n");
#ifdef FLATCULL_FATAL_THROWS
  // Fuzzing builds only: the job unwinds to the fuzz entry, which runs the
  // next input in the same process and checks that no temporary file is
  // left (a failed write removes its own before it reports).
  throw FatalExit{1};
#else
  // exit() runs the exit handlers (removing a pending temporary file) and
  // flushes the log.
  std::exit(1);
#endif
}
