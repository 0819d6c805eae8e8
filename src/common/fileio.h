// fileio.h: reading a whole file, and replacing a file safely.
// A file is replaced by writing a complete new file beside it and renaming it
// over the old one, so a failure at any point leaves the old file as it was.
// Every routine here either succeeds or raises a MapFailure (console.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/console.h"

// Raised when a file cannot be opened at all; what() is its name.
class FileNotFound : public MapFailure {
 public:
  using MapFailure::MapFailure;
};

// A whole file's bytes.
struct FileBytes {
  std::unique_ptr<unsigned char[]> data;
  int32_t size = 0;
};

// Reads the whole regular file at path with one open and without blocking (a
// FIFO or a device is refused, never waited on). Raises FileNotFound when it
// cannot be opened; refuses a failed size query ("Error reading %s: %s"), a
// directory ("Error opening %s: %s" with the system's text for EISDIR),
// anything else that is not a regular file, a file of 2 GiB or more, and a
// file that yields fewer bytes than its size ("File read failure").
FileBytes ReadWholeFile(const std::string& path);

// Opens the file at path (a UTF-8 name on every host) to append text to it,
// creating it when it is missing; on Windows each '\n' is written as CRLF.
// Null when it cannot be opened.
std::FILE* OpenTextForAppending(const std::string& path);

// A piece of data to write.
struct ByteRange {
  const void* data;
  size_t size;
};

// A new file that replaces the file at a path once it is complete:
//   ReplacementFile out(path);   // a new temporary file beside the target
//   out.Write(pieces); ...       // any number of gathered writes
//   out.Commit();                // make durable, close, rename over the target
// Until Commit has renamed it, the temporary file is removed when the object
// goes out of scope, and on SIGINT, SIGTERM or SIGHUP (unless the process
// inherited that signal ignored), or on Windows on a console event (Ctrl-C,
// Ctrl-Break, closing the console window, logoff, shutdown); the target is
// untouched. Every failure
// raises "Error writing %s: %s" naming the target, with the system's reason.
class ReplacementFile {
 public:
  // Creates the temporary file exclusively in the directory of the file that
  // path names (symbolic links followed), with the target's permission bits,
  // and its owner and group where the process may set them.
  explicit ReplacementFile(const std::string& path);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Appends the pieces, in order, to the temporary file.
  void Write(const std::vector<ByteRange>& pieces);

  // Makes the temporary file durable, closes it and renames it over the
  // target in one atomic step (on Windows, a replace-existing move), then
  // makes the rename durable.
  void Commit();

 private:
  [[noreturn]] void Fail(const std::string& reason);
  void Discard();

  std::string target_;  // the file being replaced, links followed
  std::string temp_;    // the temporary file; empty once renamed or removed
  int fd_ = -1;
};

#ifdef _WIN32
// The console control handler that a ReplacementFile arms: removes the
// pending temporary file, keeps the save from renaming it, and returns false
// so that the system's default handler ends the process. Declared for the
// Windows test helper, which calls it for the events wine cannot send.
int __stdcall OnConsoleEvent(unsigned long event);
#endif
