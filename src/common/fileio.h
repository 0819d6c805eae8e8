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

// What identifies a file's contents as they were read: if any of device,
// inode, size or modification time differs later, another program has
// changed or replaced the file. links is the number of its hard links.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  uint64_t links = 1;

  bool SameFile(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           mtime_sec == other.mtime_sec && mtime_nsec == other.mtime_nsec;
  }
};

// A whole file's bytes, and its stamp when they were read.
struct FileBytes {
  std::unique_ptr<unsigned char[]> data;
  int32_t size = 0;
  FileStamp stamp;
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
  // Refuses a target the user may not write ("...: the file is read-only"),
  // then creates the temporary file exclusively in the directory of the file
  // that path names (symbolic links followed), with the target's permission
  // bits, and its owner and group where the process may set them. A
  // temporary file that cannot be created is refused with a message naming
  // the folder. expected, when given, is the target's stamp when it was
  // read, which Commit checks.
  ReplacementFile(const std::string& path, const FileStamp* expected);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Appends the pieces, in order, to the temporary file.
  void Write(const std::vector<ByteRange>& pieces);

  // Makes the temporary file durable and closes it; refuses, keeping the
  // target, when an expected stamp was given and the target no longer has
  // it (another program changed or replaced it); else renames the temporary file over
  // the target in one atomic step (on Windows, a replace-existing move) and
  // makes the rename durable.
  void Commit();

 private:
  [[noreturn]] void Fail(const std::string& reason);
  void Discard();

  std::string target_;  // the file being replaced, links followed
  bool check_stamp_ = false;
  FileStamp expected_;
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
