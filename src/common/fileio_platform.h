// fileio_platform.h: what each host gives the file code, as small calls on
// handles, in the manner of a database's file-system layer: open beside a
// folder handle without following links, read and write at an offset,
// truncate, sync a file or a folder, create, link, rename, unlink, lock, file
// facts and identity. fileio_posix.cpp and fileio_windows.cpp each implement
// all of it (and what fileio.h declares without defining in fileio.cpp); the
// build compiles one of them. The order of writes and syncs that makes a save
// safe lives above this layer (save/transaction.cpp), once for every host.
// Nothing here raises: every call returns a FileStatus that says what
// happened.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/fileio.h"

// What a host call came to: success, or what went wrong with the host's
// error code and the system's words for it. kHeld is a lock another run
// holds, and nothing else.
struct FileStatus {
  enum Kind { kOk, kMissing, kHeld, kOther };
  Kind kind = kOk;
  long code = 0;
  std::string text;

  bool ok() const { return kind == kOk; }
  static FileStatus Failed(Kind kind, long code, std::string text) { return {kind, code, std::move(text)}; }
};

using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

// --- Whole-file reading by name (ReadWholeFile)

// Opens a file for reading without waiting on it (a FIFO without a writer is
// not waited for); kMissing when the name leads to no file.
FileStatus OpenForReading(const std::string& path, FileHandle& file);

// Closes file (none for kNoFile); a failed close can report a write that
// did not reach the disk.
FileStatus CloseFile(FileHandle file);

struct HandleFacts;
// Reads the whole regular file open at file, with ReadWholeFile's refusals
// (fileio.cpp), and gives its facts.
FileBytes ReadOpenedFile(FileHandle file, const std::string& path, HandleFacts& facts);

// --- Facts

// What a handle's file is. On Windows owner and group are 0, and mode is
// 0444 or 0666 by the read-only attribute.
struct HandleFacts {
  bool regular = false;
  bool folder = false;
  bool link = false;  // a symbolic link (FactsAt alone tells)
  FileStamp stamp;  // its size included
  uint64_t links = 1;
  unsigned mode = 0;  // permission and set-ID bits
  uint32_t owner = 0, group = 0;
};
FileStatus FactsOf(FileHandle file, HandleFacts& facts);

// --- A folder that a save works in, opened once: every later call names a
// file in it, so that a folder moved meanwhile still gets the files.

struct Folder {
  intptr_t handle = -1;  // POSIX: its descriptor
  std::string path;      // as messages name it; Windows works by it
  uint64_t device = 0, inode = 0;
};

// The name a file is reached by once its symbolic links are followed, so
// that a save's files sit beside the real file.
std::string ResolveLinks(const std::string& path);

// Opens the folder path (no link in its last part is refused: the caller
// resolved it). kMissing when there is none.
FileStatus OpenFolder(const std::string& path, Folder& folder);
void CloseFolder(Folder& folder);

// The facts of name in folder, a link itself not followed; kMissing for none.
FileStatus FactsAt(const Folder& folder, const std::string& name, HandleFacts& facts);

// The names in folder.
FileStatus ListFolder(const Folder& folder, std::vector<std::string>& names);

// Opens name in folder for reading or for writing, without following a link
// in it and without waiting on it; kMissing for no such file.
FileStatus OpenAt(const Folder& folder, const std::string& name, bool write, FileHandle& file);

// Creates a new file, exclusively, private to this user: without a name
// where the file system allows it (unnamed true), else as name.
FileStatus CreateAt(const Folder& folder, const std::string& name, bool allow_unnamed, FileHandle& file,
                    bool& unnamed);

// Gives file (unnamed, or named from) the name to, never over a file that has
// it: kOther with the system's EEXIST text then.
FileStatus LinkAt(const Folder& folder, FileHandle file, bool unnamed, const std::string& from, const std::string& to);

// Puts from in the place of to in one atomic step; on Windows, a replace that
// keeps to's security, attributes and streams.
FileStatus RenameAt(const Folder& folder, const std::string& from, const std::string& to);

FileStatus UnlinkAt(const Folder& folder, const std::string& name);

// What the signal handler removes for a new file named name in folder
// (signals.h): RecordNewFile(folder.handle, that).
std::string SignalNameOf(const Folder& folder, const std::string& name);

// Two names of one folder that the host takes for one file: the same key.
std::string NameKey(const std::string& name);

// --- Data

// Reads up to length bytes at offset: got is the count, 0 at the end of the
// file (an interrupted read is taken up again inside).
FileStatus ReadAt(FileHandle file, int64_t offset, unsigned char* dest, size_t length, size_t& got);
// Writes every piece, in order, from offset on.
FileStatus WriteAt(FileHandle file, int64_t offset, const std::vector<ByteRange>& pieces);
FileStatus Truncate(FileHandle file, int64_t size);
FileStatus SyncFile(FileHandle file);
FileStatus SyncFolder(const Folder& folder);

// Whether one SyncFileSystem through folder makes durable every file written
// on its file system since folder was opened, with any write-back error
// reported: a local file system the host knows to keep that promise.
bool SyncsFileSystem(const Folder& folder);
FileStatus SyncFileSystem(const Folder& folder);

// Locks file for this run: kHeld when another holds it. A lock of a map
// lies past any map's end, as a Windows lock keeps others from the bytes it
// covers. Goes with the handle.
FileStatus LockFile(FileHandle file);

// --- Who may do what

// What a save of the file at handle, name in folder, must know before it
// writes anything.
struct WriteFacts {
  // Why it may not be written, after "the file is read-only": "" (no write
  // bit, refused for root too), " (immutable)", " (append-only)", " (read-only
  // file system)"; empty optional when it may be.
  std::optional<std::string> read_only;
  std::string denied;         // the system's reason this user may not write it, or ""
  std::string folder_denied;  // why no file can be created or removed beside it, or ""
  bool rename_keeps = true;   // a new file of this user's can be given its owner and group
  bool special_bits = false;  // set-ID bits or a capability that a write clears
  bool special_kept = true;   // this user can give them back after a write
};
WriteFacts WriteFactsOf(const Folder& folder, const std::string& name, FileHandle file, const HandleFacts& facts);

// Gives to the identity of from (owner, group, extended attributes and ACLs,
// mode and set-ID bits, flags; on Windows attributes and creation time), or,
// with best_effort, what this user can give. from kNoFile: a new file, which
// gets new_mode.
FileStatus GiveIdentity(FileHandle from, const HandleFacts& want, FileHandle to, bool best_effort, unsigned new_mode);

// What a write clears and must be given back (set-ID bits, a capability).
struct Privileges {
  unsigned mode = 0;
  std::string capability;
};
Privileges PrivilegesOf(FileHandle file, const HandleFacts& facts);
FileStatus RestorePrivileges(FileHandle file, const Privileges& privileges);

// Makes a journal readable by those who may read the map and writable by no
// one but its owner; made by root, it belongs to the map's owner and group,
// so that they can finish it.
FileStatus MakePrivate(FileHandle journal, FileHandle map, const HandleFacts& map_facts);

// Why a journal may not be trusted for the map, or "": another user than its
// owner may write it, or its owner is none of root, this user, the map's
// owner, or a user whom the map lets write it.
std::string WhyNotTrusted(FileHandle journal, const HandleFacts& journal_facts, FileHandle map,
                          const HandleFacts& map_facts);

// Whether a file of owner is this user's own.
bool IsMine(const HandleFacts& facts);
