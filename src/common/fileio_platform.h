// fileio_platform.h: what each host gives fileio.cpp. fileio_posix.cpp and
// fileio_windows.cpp each implement all of it (and what fileio.h declares
// without defining in fileio.cpp); the build compiles one of them.
// Nothing here raises: a call that fails returns false (or kNoFile) and
// leaves its reason for LastErrorText().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/fileio.h"

using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

// The system's words for why the last call below failed.
std::string LastErrorText();

// --- Reading

// Opens a file for reading without waiting on it (a FIFO without a writer
// is not waited for).
FileHandle OpenForReading(const std::string& path);

struct FileInfo {
  bool regular = false;
  bool directory = false;
  FileStamp stamp;  // its size included
};
bool InfoOf(FileHandle file, FileInfo& info);

// Reads up to length bytes: the count, 0 at the end of the file, -1 on a
// failure (an interrupted read is taken up again inside).
long long ReadSome(FileHandle file, unsigned char* dest, size_t length);

void CloseFile(FileHandle file);

// Whether the file path names may not be written: no write permission bit at
// all, the user's permissions, a read-only file system, or on Windows the
// read-only attribute. False for a missing file.
bool IsReadOnly(const std::string& path);

// --- Replacing a file

// The record of a replacement of the file path names, its symbolic links
// resolved. Nothing is opened yet.
std::unique_ptr<PendingReplacement, PendingDeleter> OpenTarget(const std::string& path);

// The target with its links resolved, and its folder, as messages name them.
const std::string& TargetPath(const PendingReplacement& pending);
std::string TargetFolder(const PendingReplacement& pending);

// Opens the target's folder and creates the new file in it: without a name where the file
// system allows it, else exclusively under a fresh name that a signal
// removes.
bool CreateNewFile(PendingReplacement& pending);

// Gives the new file the target's identity (see fileio.h); a new target gets
// new_mode, or without it the usual permission bits. carried says whether the new file now has all
// of it, so that renaming it over the target changes nothing but the bytes.
bool GiveIdentity(PendingReplacement& pending, bool& carried, std::optional<unsigned> new_mode);

bool WritePieces(PendingReplacement& pending, const std::vector<ByteRange>& pieces);
bool SyncNewFile(PendingReplacement& pending);

// Closes the new file, which must have a name by then; a failed close can
// report a write that did not reach the disk.
bool CloseNewFile(PendingReplacement& pending);

// The target's stamp, looked up by its name in its folder.
bool StampOfTarget(const PendingReplacement& pending, FileStamp& stamp);

// Gives an unnamed new file a name in the folder; from then on a signal
// removes it. Nothing to do for a file that has one.
bool NameNewFile(PendingReplacement& pending);
// The new file's full name, once it has one.
std::string NewFilePath(const PendingReplacement& pending);

// Renames the new file over the target in one step, and makes it durable.
bool ReplaceTarget(PendingReplacement& pending);

// Opens the target itself for writing in place, and stamps it through that
// handle, so that the stamp is of the very file that will be written.
bool OpenTargetForWriting(PendingReplacement& pending, FileStamp& stamp);
// Writes the new file's size bytes over the target opened above, truncates
// it to them and makes it durable.
bool OverwriteTarget(PendingReplacement& pending, int64_t size);

// Removes the named new file and syncs the folder.
bool RemoveNewFile(PendingReplacement& pending);
// Leaves the named new file in place for good: neither a signal nor the end
// of the replacement removes it.
void KeepNewFile(PendingReplacement& pending);

// Holds back, while hold is true, the signals and console events that would
// end the process, so that writing over a target is never cut off half done.
void HoldSignals(bool hold);
