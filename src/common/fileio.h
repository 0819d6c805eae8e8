// fileio.h: reading a whole file, opening the log, and replacing a file
// without changing anything about it but its bytes.
// A file is replaced by writing a complete new file beside it, giving it the
// old one's identity (owner, group, extended attributes and ACLs, mode, file
// flags; on Windows its security, attributes and streams) after its last
// byte, and renaming it over the old one. Where the caller says a rename
// could not keep that identity, the new bytes are written over the old file
// itself, but only once a journal beside it (NAME.flatcull-journal) holds
// them durably, so that a later run finishes a write that was cut off. Every
// file the layer creates beside a file carries that file's name, and the
// next save of it removes any that a killed run left. This layer knows
// files, not maps: every routine that can fail raises a FileFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/journal.h"

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

// Raised when a file is larger than the reader takes; what() is its name.
class FileTooLarge : public FileFailure {
 public:
  FileTooLarge(const std::string& path, int64_t size) : FileFailure(path), size(size) {}
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

// What a save needs to know of the file a name leads to, links followed or
// not. Does not raise: a name that leads to nothing gives exists false.
struct FileFacts {
  std::string path;       // the name, its links resolved when followed
  bool exists = false;
  bool regular = false;
  bool folder = false;
  bool link = false;      // a symbolic link (only when links are not followed)
  uint64_t device = 0;    // with inode, the file itself whatever its name
  uint64_t inode = 0;
  uint64_t links = 1;     // its hard links
  int64_t size = 0;
  unsigned mode = 0666;   // permission and set-ID bits (POSIX)
  // Why the file may not be written, for a message after "the file is
  // read-only": "" (no write bit), " (immutable)", " (append-only)", " (read-only
  // file system)"; empty optional when it may be.
  std::optional<std::string> read_only;
  std::string denied;     // the system's reason this user may not write it, or ""
  bool rename_keeps = true;  // a new file of this user's can be given its owner and group
  bool special_bits = false;  // set-ID bits or a capability that a write clears
  bool special_kept = true;   // this user can give them back after a write
};
FileFacts LookAtFile(const std::string& path, bool follow_links);

// Why this user cannot create and remove files in folder (the system's reason,
// or "the folder is append-only"), or "" when it can. Does not raise.
std::string FolderRefusal(const std::string& folder);

// The folder a file name is in, and its name there.
std::string FolderOf(const std::string& path);
std::string NameInFolder(const std::string& path);

// The journal that an in-place write of the file at path keeps beside it.
std::string JournalPathOf(const std::string& path);

// Opens the file at path (a UTF-8 name on every host) to append text to it,
// creating it when it is missing, without blocking; on Windows each '\n' is
// written as CRLF. Refuses anything but a regular file. Returns null, with
// the system's reason (or "not a regular file") in reason, when it cannot be
// opened. Does not raise.
std::FILE* OpenTextForAppending(const std::string& path, std::string& reason);

// Writes text to stream and flushes it; returns the system's reason when
// either fails, else "". Does not raise.
std::string AppendText(std::FILE* stream, const std::string& text);

// What became of a journal left beside a file by a write that was cut off.
enum class JournalFound {
  kNone,        // there is none (one that was never complete is removed)
  kFinished,    // the write was finished from it, and it is removed
  kUnfinished,  // check only: there is one that a save would finish
};

// Looks for the journal of the file at path (links followed) under a lock,
// and removes what an earlier run left beside the file. A complete journal
// whose file holds, block by block, the old or the new bytes finishes the
// write (write, truncate, sync, remove); a journal cut off before it was
// durable (its checksum fails) is removed, as the file was never touched.
// With check_only, nothing is changed or removed. Raises "Error opening %s:
// being saved by another run" for a journal another run holds, "Error
// writing %s: it was changed after a write that was cut off; its journal %s
// is kept" when a block is neither, "%s is missing; its journal %s is kept"
// when the file is gone, and the failures of a read or a write.
JournalFound FinishInterruptedWrite(const std::string& path, bool check_only);

// A piece of data to write.
struct ByteRange {
  const void* data;
  size_t size;
};

// How a ReplacementFile replaces its target.
struct ReplaceHow {
  // The target's stamp when it was read: a target that no longer has it is
  // kept (another program changed or replaced it). Null: not checked.
  const FileStamp* expected = nullptr;
  // Write in place behind a journal, because a rename cannot keep the
  // target's identity; old is the target's bytes as read (the journal's
  // checksums, and what goes back should the write fail), size the new
  // file's length.
  bool in_place = false;
  std::span<const unsigned char> old;
  int64_t size = 0;
  // Links in the target's name are followed (false: a link is refused).
  bool follow_links = true;
  // An output that exists: it keeps what identity this user can give it.
  bool output = false;
  // The permission bits of a target that does not exist yet; else 0666 less
  // the umask.
  std::optional<unsigned> new_mode;
};

// The host's record of a replacement in progress (fileio_platform.h).
struct PendingSave;
struct PendingSaveDeleter {
  void operator()(PendingSave* pending) const;
};

// A new file that replaces the file at a path once it is complete:
//   ReplacementFile out(path, how);  // a new file beside the target
//   out.Write(pieces); ...           // any number of gathered writes
//   out.Commit();                    // durable, then replaces the target
// Until Commit has replaced the target, the new file is removed when the
// object goes out of scope and when a signal that would end the process
// arrives (on Windows, a console event); where the file system allows it the
// new file has no name at all until just before the rename. The target is
// untouched. Every failure raises "Error writing %s: %s" naming the target,
// with the system's reason.
class ReplacementFile {
 public:
  // Creates the new file in the folder of the target (its links resolved,
  // when followed); refuses a folder where it cannot, naming the folder.
  ReplacementFile(const std::string& path, const ReplaceHow& how);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Appends the pieces, in order, to the new file.
  void Write(const std::vector<ByteRange>& pieces);

  // By rename: gives the new file the target's identity, makes it durable,
  // checks the stamp and renames it over the target in one atomic step (on
  // Windows, a replace that keeps the target's security, attributes and
  // streams), then makes that durable. In place: completes the journal,
  // makes it durable under the target's journal name, checks the stamp
  // through the target's own handle and, with signals held, writes the new
  // bytes over the target, truncates and syncs it, and removes the journal.
  // Should that write fail, the old bytes go back; only if that fails too
  // does the journal stay, and the message says so.
  void Commit();

 private:
  [[noreturn]] void Fail(const std::string& reason);

  std::string path_;
  ReplaceHow how_;
  int64_t written_ = 0;
  JournalSumsPtr sums_;  // in place: the journal's checksums
  std::unique_ptr<PendingSave, PendingSaveDeleter> pending_;
};
