// console.cpp: message output to the console and the log, and the failure
// that ends one map. The log stream is the driver's.
#include "common/console.h"

#include <cstdarg>

#ifdef _WIN32
#include "common/system.h"
#endif

FILE* LogFile = nullptr;

namespace {

// A message holds at most 1023 characters; a longer one is cut.
std::string Format(const char* format, va_list args) {
  char message[1024];
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
  return message;
}

// Writes text as it stands: it is never used as a format again, so a '%'
// that formatting produced is printed as a plain character. A Windows
// console is given the text as UTF-16, so that it shows every name; a file
// or pipe gets the UTF-8 bytes, as the log does.
void WriteMessage(const std::string& text) {
#ifdef _WIN32
  if (!WriteToConsole(stdout, text))
#endif
  {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  if (LogFile) std::fwrite(text.data(), 1, text.size(), LogFile);
}

}  // namespace

void TeePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  WriteMessage(text);
}

void FatalError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  throw MapFailure(text);
}

void ReportFailure(const MapFailure& failure) {
  WriteMessage("\n************ ERROR ************\n");
  WriteMessage(failure.what());
  WriteMessage("\n");
}
