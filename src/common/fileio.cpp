// fileio.cpp: whole-file reading and the safe replacement of a file, the
// same on every host. The host's calls (fileio_platform.h) do the work; this
// file decides their order and the messages. A ReplacementFile owns its
// pending record, whose end removes a new file that was not committed.
#include "common/fileio.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "common/fileio_platform.h"

namespace {

// Closes a file on every path out of a read.
struct ReadHandle {
  FileHandle file;
  ~ReadHandle() {
    if (file != kNoFile) CloseFile(file);
  }
};

// Refuses anything but a regular file smaller than 2 GiB.
FileStamp CheckedStamp(const std::string& path, FileHandle file) {
  FileInfo info;
  if (!InfoOf(file, info)) FatalError("Error reading %s: %s", path.c_str(), LastErrorText().c_str());
  if (info.directory) FatalError("Error opening %s: %s", path.c_str(), std::strerror(EISDIR));
  if (!info.regular) FatalError("Error opening %s: not a regular file", path.c_str());
  if (info.stamp.size > INT32_MAX)
    FatalError("%s is too large (%lld bytes): a map file must be smaller than 2 GiB", path.c_str(),
               static_cast<long long>(info.stamp.size));
  return info.stamp;
}

}  // namespace

FileBytes ReadWholeFile(const std::string& path) {
  ReadHandle file{OpenForReading(path)};
  // Note: errno is the open's on both hosts (the Windows C runtime's gives
  // ENOENT for a missing file too); only a name that leads to no file is a
  // missing map, and any other failure (no permission, say) is told as it is.
  if (file.file == kNoFile) {
    if (errno == ENOENT || errno == ENOTDIR) throw FileNotFound(path);
    FatalError("Error opening %s: %s", path.c_str(), LastErrorText().c_str());
  }
  FileBytes bytes;
  bytes.stamp = CheckedStamp(path, file.file);
  bytes.size = static_cast<int32_t>(bytes.stamp.size);
  try {
    bytes.data = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(bytes.size));
  } catch (const std::bad_alloc&) {
    FatalError("Error reading %s: not enough memory to hold its %lld bytes", path.c_str(),
               static_cast<long long>(bytes.size));
  }
  for (size_t done = 0; done < static_cast<size_t>(bytes.size);) {
    long long got = ReadSome(file.file, bytes.data.get() + done, static_cast<size_t>(bytes.size) - done);
    if (got < 0) FatalError("File read failure (%s: %s)", path.c_str(), LastErrorText().c_str());
    if (got == 0)
      FatalError("File read failure (%s: the file ended after %zu of its %i bytes)", path.c_str(), done, bytes.size);
    done += static_cast<size_t>(got);
  }
  return bytes;
}

void CheckWritable(const std::string& path) {
  if (IsReadOnly(path)) FatalError("Error writing %s: the file is read-only", path.c_str());
}

ReplacementFile::ReplacementFile(const std::string& path, const FileStamp* expected,
                                 std::optional<unsigned> new_mode)
    : check_stamp_(expected != nullptr), expected_(expected ? *expected : FileStamp{}) {
  CheckWritable(path);
  pending_ = OpenTarget(path);
  if (!CreateNewFile(*pending_)) {
    std::string reason = LastErrorText();
    FatalError("Error writing %s: cannot create a file in %s: %s", path.c_str(),
               TargetFolder(*pending_).c_str(), reason.c_str());
  }
  bool carried = false;
  if (!GiveIdentity(*pending_, carried, new_mode)) Fail(LastErrorText());
  in_place_ = !carried;
}

ReplacementFile::~ReplacementFile() = default;

// Removes the new file before the failure unwinds, so that the message comes
// after the clean-up, with the reason taken before it.
void ReplacementFile::Fail(const std::string& reason) {
  std::string target = TargetPath(*pending_);
  pending_.reset();
  FatalError("Error writing %s: %s", target.c_str(), reason.c_str());
}

void ReplacementFile::Write(const std::vector<ByteRange>& pieces) {
  if (!WritePieces(*pending_, pieces)) Fail(LastErrorText());
  for (const ByteRange& piece : pieces) size_ += static_cast<int64_t>(piece.size);
}

void ReplacementFile::Commit() {
  if (!SyncNewFile(*pending_)) Fail(LastErrorText());
  if (in_place_)
    CommitInPlace();
  else
    CommitByRename();
  pending_.reset();
}

namespace {

const char kChanged[] = "another program changed or replaced it since it was read; its file is kept";

}  // namespace

// Note: the name comes first and the check right before the rename; a change
// between the two cannot be seen without a lock that other programs do not
// take.
void ReplacementFile::CommitByRename() {
  if (!NameNewFile(*pending_) || !CloseNewFile(*pending_)) Fail(LastErrorText());
  FileStamp now;
  if (check_stamp_ && (!StampOfTarget(*pending_, now) || !(now == expected_))) Fail(kChanged);
  if (!ReplaceTarget(*pending_)) Fail(LastErrorText());
}

// The complete new map is durable under a name of its own before the target
// is touched; the writing over the target cannot be cut off by a signal, and
// should it fail, that copy is what the user keeps.
void ReplacementFile::CommitInPlace() {
  if (!NameNewFile(*pending_)) Fail(LastErrorText());
  FileStamp now;
  if (!OpenTargetForWriting(*pending_, now)) Fail(LastErrorText());
  if (check_stamp_ && !(now == expected_)) Fail(kChanged);
  HoldSignals(true);
  bool written = OverwriteTarget(*pending_, size_);
  std::string reason = written ? "" : LastErrorText();
  if (!written) KeepNewFile(*pending_);
  std::string copy = NewFilePath(*pending_);
  // Note: the map is saved once it is written; a copy that cannot be removed
  // is a leftover, not a failed save.
  if (written) RemoveNewFile(*pending_);
  HoldSignals(false);
  if (!written)
    Fail("writing over it failed (" + reason + "); the complete new map is kept in " + copy);
}
