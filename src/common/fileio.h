// fileio.h: reading a whole file, looking at a file by its name, and
// opening the log. The safe save of a map is in save/transaction.h, over the
// host's handle calls of fileio_platform.h. This layer knows files, not maps:
// every routine that can fail raises a FileFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

// Why a file routine failed; what() is the whole message, naming the file.
class FileFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when a file cannot be opened at all; what() is its name.
class FileNotFound : public FileFailure {
 public:
  using FileFailure::FileFailure;
};

// Raised when this user may not write a file, or create one beside it
// (read-only, no permission); what() is the whole message.
class WriteRefused : public FileFailure {
 public:
  using FileFailure::FileFailure;
};

// Raised when a file is larger than the reader takes, 2 GiB or more, as no
// map is: "%s is too large (%lld bytes): a map file must be smaller than 2 GiB".
class FileTooLarge : public FileFailure {
 public:
  FileTooLarge(const std::string& path, int64_t size)
      : FileFailure(path + " is too large (" + std::to_string(size) + " bytes): a map file must be smaller than 2 GiB"),
        size(size) {}
  int64_t size;
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
// there is no such file, FileTooLarge for a file of 2 GiB or more; refuses a
// file that cannot be opened for another reason ("Error opening %s: %s" with
// the system's reason), a failed size query ("Error reading %s: %s"), a
// directory ("Error opening %s: %s" with the system's text for EISDIR),
// anything else that is not a regular file, a file whose bytes do not fit in
// memory ("Error reading %s: not enough memory to hold its %lld bytes") and
// a failed or short read ("File read failure (%s: ...)").
FileBytes ReadWholeFile(const std::string& path);

// What planning needs to know of the file a name leads to, links followed
// or not: one stat, no open. Does not raise: a name that leads to nothing
// gives exists false.
struct FileFacts {
  std::string path;       // the name, its links resolved when followed
  bool exists = false;
  bool regular = false;
  bool folder = false;
  bool link = false;      // a symbolic link (only when links are not followed)
  uint64_t device = 0;    // with inode, the file itself whatever its name
  uint64_t inode = 0;
  int64_t size = 0;
  unsigned mode = 0666;   // permission and set-ID bits (POSIX)
};
FileFacts LookAtFile(const std::string& path, bool follow_links);

// Why this user cannot create and remove files in folder (the system's reason,
// or "the folder is append-only"), or "" when it can. Does not raise.
std::string FolderRefusal(const std::string& folder);

// The folder a file name is in, and its name there.
std::string FolderOf(const std::string& path);
std::string NameInFolder(const std::string& path);

// Opens the file at path (a UTF-8 name on every host) to append text to it,
// creating it when it is missing, without blocking; on Windows each '\n' is
// written as CRLF. Refuses anything but a regular file. Returns null, with
// the system's reason (or "not a regular file") in reason, when it cannot be
// opened. Does not raise.
std::FILE* OpenTextForAppending(const std::string& path, std::string& reason);

// Writes text to stream and flushes it; returns the system's reason when
// either fails, else "". Does not raise.
std::string AppendText(std::FILE* stream, const std::string& text);

// A piece of data to write.
struct ByteRange {
  const void* data;
  size_t size;
};
