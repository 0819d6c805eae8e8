// fileio.h: reading a whole file, opening the log, and replacing a file
// safely without changing anything about it but its bytes.
// A file is replaced by writing a complete new file beside it that carries
// the old one's identity (owner, group, mode, ACLs, extended attributes,
// file flags; on Windows its security, attributes and streams) and renaming
// it over the old one; where the new file cannot carry that identity, the
// new bytes are written over the old file itself, after a durable copy. A
// failure at any point before that leaves the old file as it was. Every
// routine that can fail raises a MapFailure (console.h) unless it says
// otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/console.h"

// Raised when a file cannot be opened at all; what() is its name.
class FileNotFound : public MapFailure {
 public:
  using MapFailure::MapFailure;
};

// What identifies a file's contents as they were read: if any field differs
// later, another program has changed or replaced the file. The change time
// moves with every change and no program can set it back, so a change that
// restores the size and the modification time is still seen. On Windows,
// device and inode are the volume and the file index, and the times are in
// 100 ns units (nsec 0).
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  int64_t ctime_sec = 0;
  int64_t ctime_nsec = 0;

  bool operator==(const FileStamp&) const = default;
};

// A whole file's bytes, and its stamp when they were read.
struct FileBytes {
  std::unique_ptr<unsigned char[]> data;
  int32_t size = 0;
  FileStamp stamp;
};

// Reads the whole regular file at path with one open and without blocking (a
// FIFO or a device is refused, never waited on). Raises FileNotFound when
// there is no such file; refuses a file that cannot be opened for another
// reason ("Error opening %s: %s" with the system's reason), a failed size
// query ("Error reading %s: %s"), a directory ("Error opening %s: %s" with
// the system's text for EISDIR), anything else that is not a regular file, a
// file of 2 GiB or more, a file whose bytes do not fit in memory ("Error
// reading %s: not enough memory to hold its %lld bytes") and a failed or
// short read ("File read failure (%s: ...)").
FileBytes ReadWholeFile(const std::string& path);

// Opens the file at path (a UTF-8 name on every host) to append text to it,
// creating it when it is missing, without blocking; on Windows each '\n' is
// written as CRLF. Refuses anything but a regular file. Returns null, with
// the system's reason (or "not a regular file") in reason, when it cannot be
// opened. Does not raise.
std::FILE* OpenTextForAppending(const std::string& path, std::string& reason);

// Whether stream is open on the file that path names (links followed);
// false when path names no file. Does not raise.
bool IsSameFile(std::FILE* stream, const std::string& path);

// Refuses ("Error writing %s: the file is read-only") a file at path that a
// ReplacementFile would refuse as read-only: one with no write permission bit
// at all (for root too), one that the user's permissions deny writing, or
// one on a read-only file system (on Windows: the read-only attribute).
// Nothing is written. A missing file passes.
void CheckWritable(const std::string& path);

// A piece of data to write.
struct ByteRange {
  const void* data;
  size_t size;
};

// The host's record of a target and its new file (fileio_platform.h).
struct PendingReplacement;
struct PendingDeleter {
  void operator()(PendingReplacement* pending) const;
};

// A new file that replaces the file at a path once it is complete:
//   ReplacementFile out(path, &stamp);  // a new file beside the target
//   out.Write(pieces); ...              // any number of gathered writes
//   out.Commit();                       // durable, then replaces the target
// Until Commit has replaced the target, the new file is removed when the
// object goes out of scope and when a signal that would end the process
// arrives (on Windows, a console event); where the file system allows it the
// new file has no name at all until just before the rename, so that even a
// killed process leaves nothing. The target is untouched. Every failure
// raises "Error writing %s: %s" naming the target, with the system's reason.
class ReplacementFile {
 public:
  // Refuses a read-only target (see CheckWritable), then creates the new file
  // in the folder of the file that path names (symbolic links followed) and
  // gives it the target's identity. A new file that cannot be created is
  // refused with a message naming the folder. expected, when given, is the
  // target's stamp when it was read, which Commit checks. new_mode, when
  // given, is the permission bits a target that does not exist yet gets (one
  // that exists keeps its own; Windows has none); else 0666 less the umask.
  ReplacementFile(const std::string& path, const FileStamp* expected,
                  std::optional<unsigned> new_mode = std::nullopt);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Appends the pieces, in order, to the new file.
  void Write(const std::vector<ByteRange>& pieces);

  // Makes the new file durable; refuses, keeping the target, when an expected
  // stamp was given and the target no longer has it (another program changed
  // or replaced it). Then, when the new file carries the target's identity,
  // renames it over the target in one atomic step (on Windows, a replace that
  // keeps the target's security, attributes and streams) and makes that
  // durable. Otherwise (another owner or group that this user cannot give,
  // other hard links) names the new file beside the target, makes it durable,
  // writes its bytes over the target's own file, truncates and syncs it, and
  // removes the copy; should writing over the target fail, the message names
  // the complete copy, which is kept.
  void Commit();

 private:
  [[noreturn]] void Fail(const std::string& reason);
  void CommitByRename();
  void CommitInPlace();

  bool check_stamp_ = false;
  FileStamp expected_;
  bool in_place_ = false;  // the new file cannot carry the target's identity
  int64_t size_ = 0;       // bytes written so far
  std::unique_ptr<PendingReplacement, PendingDeleter> pending_;
};
