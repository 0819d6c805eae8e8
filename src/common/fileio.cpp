// fileio.cpp: whole-file reading, the safe replacement of a file and the
// finishing of an in-place write from its journal, the same on every host.
// The host's calls (fileio_platform.h) do the work; this file decides their
// order and the messages. A ReplacementFile owns its pending save, whose end
// removes a new file that was not committed.
#include "common/fileio.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <random>

#include "common/fileio_platform.h"
#include "common/journal.h"

namespace {

// Closes a file on every path out of a read.
struct ReadHandle {
  FileHandle file = kNoFile;
  ~ReadHandle() {
    if (file != kNoFile) CloseFile(file);
  }
};

[[noreturn]] void Raise(const char* what, const std::string& path, const FileStatus& status) {
  throw FileFailure(std::string(what) + " " + path + ": " + status.text);
}

// Refuses anything but a regular file smaller than 2 GiB.
FileStamp CheckedStamp(const std::string& path, FileHandle file) {
  FileInfo info;
  if (FileStatus status = InfoOf(file, info); !status.ok()) Raise("Error reading", path, status);
  if (info.directory) throw FileFailure("Error opening " + path + ": " + std::strerror(EISDIR));
  if (!info.regular) throw FileFailure("Error opening " + path + ": not a regular file");
  if (info.stamp.size > INT32_MAX) throw FileTooLarge(path, info.stamp.size);
  return info.stamp;
}

}  // namespace

FileBytes ReadWholeFile(const std::string& path) {
  ReadHandle file;
  // Note: only a name that leads to no file is a missing one; any other
  // failure (no permission, say) is told as it is.
  if (FileStatus status = OpenForReading(path, file.file); !status.ok()) {
    if (status.kind == FileStatus::kMissing) throw FileNotFound(path);
    Raise("Error opening", path, status);
  }
  FileBytes bytes;
  bytes.stamp = CheckedStamp(path, file.file);
  bytes.size = static_cast<int32_t>(bytes.stamp.size);
  try {
    bytes.data = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(bytes.size));
  } catch (const std::bad_alloc&) {
    throw FileFailure("Error reading " + path + ": not enough memory to hold its " + std::to_string(bytes.size) +
                      " bytes");
  }
  for (size_t done = 0; done < static_cast<size_t>(bytes.size);) {
    size_t got = 0;
    FileStatus status = ReadSome(file.file, bytes.data.get() + done, static_cast<size_t>(bytes.size) - done, got);
    if (!status.ok()) throw FileFailure("File read failure (" + path + ": " + status.text + ")");
    if (got == 0)
      throw FileFailure("File read failure (" + path + ": the file ended after " + std::to_string(done) +
                        " of its " + std::to_string(bytes.size) + " bytes)");
    done += got;
  }
  return bytes;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameInFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JournalPathOf(const std::string& path) { return path + ".flatcull-journal"; }

namespace {

const char kNewSuffix[] = ".flatcull-";
constexpr size_t kLetters = 6;
constexpr size_t kLongestName = 255;

bool IsLetterOrDigit(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

}  // namespace

std::string NewFilePrefix(const std::string& name) {
  size_t keep = std::min(name.size(), kLongestName - (sizeof kNewSuffix - 1) - kLetters);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + kNewSuffix;
}

std::string FreshName(const std::string& name) {
  static std::minstd_rand random(std::random_device{}() ^
                                 static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string fresh = NewFilePrefix(name);
  for (size_t i = 0; i < kLetters; ++i) fresh += kAlphabet[random() % (sizeof kAlphabet - 1)];
  return fresh;
}

bool IsNewFileOf(const std::string& entry, const std::string& prefix) {
  return entry.size() == prefix.size() + kLetters && entry.starts_with(prefix) &&
         std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(), IsLetterOrDigit);
}

namespace {

std::unique_ptr<PendingSave, PendingSaveDeleter> OpenSaveOf(const std::string& path, bool follow_links) {
  std::unique_ptr<PendingSave, PendingSaveDeleter> save;
  if (FileStatus status = OpenSave(path, follow_links, save); !status.ok())
    throw FileFailure("Error writing " + path + ": cannot open its folder " + FolderOf(path) + ": " + status.text);
  return save;
}

// Checks the journal against the file and, unless check_only, finishes the
// write from it.
JournalFound FinishFrom(PendingSave& save, std::span<const unsigned char> journal, bool check_only) {
  const std::string& path = SavedPath(save);
  const std::string journal_path = JournalPathOf(path);
  JournalView view;
  if (!ReadJournal(journal, view)) {
    // Cut off before it was durable: the file was never touched.
    if (check_only) return JournalFound::kNone;
    if (FileStatus status = RemoveJournal(save); !status.ok()) Raise("Error removing", journal_path, status);
    return JournalFound::kNone;
  }
  FileBytes file;
  try {
    file = ReadWholeFile(path);
  } catch (const FileNotFound&) {
    throw FileFailure(path + " is missing; its journal " + journal_path + " is kept");
  }
  if (!JournalCanFinish(view, {file.data.get(), static_cast<size_t>(file.size)}))
    throw FileFailure("Error writing " + path + ": it was changed after a write that was cut off; its journal " +
                      journal_path + " is kept");
  if (check_only) return JournalFound::kUnfinished;
  bool restored = false;
  FileStatus status = OverwriteTarget(save, &file.stamp, static_cast<int64_t>(kJournalHeaderSize),
                                      static_cast<int64_t>(view.new_bytes.size()), {}, restored);
  if (status.kind == FileStatus::kBusy)
    throw FileFailure("Error writing " + path + ": another program changed it meanwhile; its journal " +
                      journal_path + " is kept");
  if (!status.ok()) Raise("Error writing", path, status);
  if (FileStatus removed = RemoveJournal(save); !removed.ok()) Raise("Error removing", journal_path, removed);
  return JournalFound::kFinished;
}

}  // namespace

JournalFound FinishInterruptedWrite(const std::string& path, bool check_only) {
  std::unique_ptr<PendingSave, PendingSaveDeleter> save;
  // A folder that cannot be opened holds no journal either: the read of the
  // file says what is wrong.
  if (!OpenSave(path, true, save).ok()) return JournalFound::kNone;
  std::vector<unsigned char> journal;
  bool found = false;
  FileStatus status = OpenJournal(*save, journal, found);
  if (status.kind == FileStatus::kBusy) throw FileFailure("Error opening " + path + ": being saved by another run");
  if (!status.ok()) Raise("Error opening", JournalPathOf(SavedPath(*save)), status);
  JournalFound outcome = found ? FinishFrom(*save, journal, check_only) : JournalFound::kNone;
  if (!check_only)
    if (FileStatus removed = RemoveLeftovers(*save); !removed.ok()) Raise("Error writing", SavedPath(*save), removed);
  return outcome;
}

ReplacementFile::ReplacementFile(const std::string& path, const ReplaceHow& how)
    : how_(how), pending_(OpenSaveOf(path, how.follow_links)) {
  path_ = SavedPath(*pending_);
  // What a killed save of an output left goes first; a map's own leftovers
  // went as its journal was looked for (FinishInterruptedWrite).
  if (FileStatus status = how.follow_links ? FileStatus{} : RemoveLeftovers(*pending_); !status.ok())
    Fail(status.text);
  if (FileStatus status = CreateNewFile(*pending_); !status.ok())
    throw FileFailure("Error writing " + path_ + ": cannot create a file in " + FolderOf(path_) + ": " +
                      status.text);
  if (how_.in_place) {
    unsigned char header[kJournalHeaderSize];
    sums_ = StartJournal(how_.size, static_cast<int64_t>(how_.old.size()), header);
    if (FileStatus status = WriteNewFile(*pending_, {{header, sizeof header}}); !status.ok()) Fail(status.text);
  }
}

ReplacementFile::~ReplacementFile() = default;

// Removes the new file before the failure unwinds, so that the message comes
// after the clean-up.
void ReplacementFile::Fail(const std::string& reason) {
  pending_.reset();
  throw FileFailure("Error writing " + path_ + ": " + reason);
}

void ReplacementFile::Write(const std::vector<ByteRange>& pieces) {
  if (FileStatus status = WriteNewFile(*pending_, pieces); !status.ok()) Fail(status.text);
  for (const ByteRange& piece : pieces) {
    if (sums_) AddToJournal(*sums_, piece.data, piece.size);
    written_ += static_cast<int64_t>(piece.size);
  }
}

namespace {

const char kChanged[] = "another program changed or replaced it since it was read; its file is kept";

}  // namespace

void ReplacementFile::Commit() {
  if (!how_.in_place) {
    FileStatus status = ReplaceByRename(*pending_, how_);
    if (!status.ok()) Fail(status.kind == FileStatus::kBusy ? kChanged : status.text);
    pending_.reset();
    return;
  }
  // The journal is whole and durable before the target is touched.
  const std::string end = EndJournal(*sums_, how_.old);
  if (FileStatus status = WriteNewFile(*pending_, {{end.data(), end.size()}}); !status.ok()) Fail(status.text);
  if (FileStatus status = MakeJournal(*pending_); !status.ok()) Fail(status.text);
  bool restored = false;
  FileStatus status = OverwriteTarget(*pending_, how_.expected, static_cast<int64_t>(kJournalHeaderSize), written_,
                                      how_.old, restored);
  if (status.kind == FileStatus::kBusy) {
    RemoveJournal(*pending_);
    Fail(kChanged);
  }
  if (!status.ok() && restored) {
    RemoveJournal(*pending_);
    Fail("writing over it failed (" + status.text + "); its old bytes are back");
  }
  if (!status.ok())
    throw FileFailure("Error writing " + path_ + ": writing over it failed (" + status.text +
                      "), and so did putting its old bytes back; running the tool on it again finishes the save from "
                      "its journal " + JournalPathOf(path_));
  // Note: the file is saved once it is written; a journal that cannot be
  // removed is finished by the next run, which changes nothing.
  RemoveJournal(*pending_);
  pending_.reset();
}
