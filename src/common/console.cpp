// console.cpp: message output to the console and the log, and the failure
// that ends one map. The log stream is the driver's.
#include "common/console.h"

#include <cstdarg>
#include <cstring>
#include <utility>

#include "common/fileio.h"
#include "common/system.h"

FILE* LogFile = nullptr;

namespace {

std::string log_name;         // LogFile's name, for a failed write's message
bool log_failed = false;      // a write to LogFile failed: it gets no more
bool console_closed = false;  // standard output's reader has gone
std::function<std::string(const std::string&)> note_line;  // see UseNoteLines
bool holding = false;         // HoldOutput: messages are kept in held
std::string held;

// A message of any length: the first pass only measures it.
std::string Format(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  std::string message;
  int length = std::vsnprintf(nullptr, 0, format, args);
  if (length > 0) {
    message.resize(static_cast<size_t>(length));
    std::vsnprintf(message.data(), message.size() + 1, format, again);
  }
  va_end(again);
  return message;
}

// Note: once standard output's reader has gone, the run goes on without a
// console (WriteToStandardOutput says so).
void WriteStandardOutput(const std::string& text) {
  if (!console_closed && !WriteToStandardOutput(text)) console_closed = true;
}

// After a failed write the log is left as it is, so that it never holds a
// message with a gap before it.
void WriteLog(const std::string& text) {
  if (!LogFile || log_failed) return;
  const std::string failed = AppendText(LogFile, text);
  if (failed.empty()) return;
  log_failed = true;
  const std::string note = "Error writing log file " + log_name + ": " + failed;
  WriteStandardOutput(note_line ? note_line(note) : "\n" + note + "\n");
}

// Writes text as it stands: it is never used as a format again, so a '%'
// that formatting produced is printed as a plain character.
void WriteMessage(const std::string& text) {
  if (holding) {
    held += text;
    return;
  }
  WriteStandardOutput(text);
  WriteLog(text);
}

}  // namespace

void UseLog(FILE* stream, const std::string& name) {
  LogFile = stream;
  log_name = name;
  log_failed = false;
}

bool LogWriteFailed() { return log_failed; }

void HoldOutput() { holding = true; }

std::string TakeHeldOutput() {
  holding = false;
  return std::exchange(held, {});
}

void UseNoteLines(std::function<std::string(const std::string& text)> line) { note_line = std::move(line); }

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  return text;
}

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

void ReportFailure(const std::string& message) {
  WriteMessage("\n************ ERROR ************\n");
  WriteMessage(message);
  WriteMessage("\n");
}
