// fileio_platform.h: what each host gives fileio.cpp, one meaningful step of
// a read or a save per call. fileio_posix.cpp and fileio_windows.cpp each
// implement all of it (and what fileio.h declares without defining in
// fileio.cpp); the build compiles one of them. Nothing here raises: every
// call returns a FileStatus that carries its own error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/fileio.h"

// What a host call came to: success, or the host's error code and the
// system's words for it.
struct FileStatus {
  enum Kind { kOk, kMissing, kBusy, kOther };
  Kind kind = kOk;
  long code = 0;
  std::string text;

  bool ok() const { return kind == kOk; }
  static FileStatus Failed(Kind kind, long code, std::string text) { return {kind, code, std::move(text)}; }
};

// --- Reading

using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

// Opens a file for reading without waiting on it (a FIFO without a writer is
// not waited for); kMissing when the name leads to no file.
FileStatus OpenForReading(const std::string& path, FileHandle& file);

struct FileInfo {
  bool regular = false;
  bool directory = false;
  FileStamp stamp;  // its size included
};
FileStatus InfoOf(FileHandle file, FileInfo& info);

// Reads up to length bytes where the last read ended: got is the count, 0 at
// the end of the file (an interrupted read is taken up again inside).
FileStatus ReadSome(FileHandle file, unsigned char* dest, size_t length, size_t& got);

void CloseFile(FileHandle file);

// --- The names of the files a save creates beside its target: the
// target's name (cut at a character's start so that the whole fits in 255
// bytes), ".flatcull-" and six letters or digits.

std::string NewFilePrefix(const std::string& name);
// The prefix and six random letters or digits.
std::string FreshName(const std::string& name);
// Whether entry is a name FreshName gives for a target whose prefix is prefix.
bool IsNewFileOf(const std::string& entry, const std::string& prefix);

// --- Saving
// A save of one target: its folder is opened once, and every later step
// works through it, so that a folder moved meanwhile still gets the files.

// Resolves the target's links (when followed) and opens its folder.
FileStatus OpenSave(const std::string& path, bool follow_links, std::unique_ptr<PendingSave, PendingSaveDeleter>& save);

// The target as messages name it, links resolved.
const std::string& SavedPath(const PendingSave& save);

// Removes every file an earlier save of the target left beside it (its name
// and .flatcull- and six letters) that no running save holds.
FileStatus RemoveLeftovers(PendingSave& save);

// Opens and locks the target's journal and reads it whole into bytes; found
// is false when there is none. kBusy when another run holds it.
FileStatus OpenJournal(PendingSave& save, std::vector<unsigned char>& bytes, bool& found);

// Creates the new file, locked: unnamed where the file system allows it,
// else under the target's name with .flatcull- and six letters, recorded for
// the signal handler before the call that creates it.
FileStatus CreateNewFile(PendingSave& save);

FileStatus WriteNewFile(PendingSave& save, const std::vector<ByteRange>& pieces);

// Gives the new file the target's identity (a new target gets how.new_mode),
// makes it durable, names it, checks the target still has the expected stamp
// and renames it over the target, and syncs the folder. A changed target
// gives kBusy.
FileStatus ReplaceByRename(PendingSave& save, const ReplaceHow& how);

// Makes the new file the target's journal: a reader the target denies is
// denied it too (the target's ACL, or mode 0600), it is made durable and
// named NAME.flatcull-journal (never over one that exists), and the folder
// is synced. The lock stays until the save ends.
FileStatus MakeJournal(PendingSave& save);

// Opens the target for writing and, when expected is given, checks its stamp
// through that handle (kBusy when it differs). Then, with every ending
// signal held, writes size bytes of the journal from offset over it,
// truncates it and makes it durable, giving back what the write cleared (its
// set-ID bits, its capability). Should that fail and old be given, writes old
// back; restored tells whether that succeeded.
FileStatus OverwriteTarget(PendingSave& save, const FileStamp* expected, int64_t offset, int64_t size,
                           std::span<const unsigned char> old, bool& restored);

// Removes the journal and syncs the folder.
FileStatus RemoveJournal(PendingSave& save);
