// transaction.cpp: the order of a save's writes, syncs and checks, and the
// judgement of what an earlier save left, once for every host. The host's
// calls (common/fileio_platform.h) do the work; this file decides their
// order and the messages. A ReplacementFile owns its new file until Commit.
#include "save/transaction.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/signals.h"

namespace {

const char kJournalSuffix[] = ".flatcull-journal";
const char kLeftoverWord[] = ".flatcull-unsaved-";
constexpr size_t kRandomDigits = 16;
constexpr size_t kLongestName = 255;
const char kChanged[] = "another program changed or replaced it since it was read; its file is kept";

[[noreturn]] void Raise(const std::string& what, const std::string& path, const std::string& why) {
  throw FileFailure(what + " " + path + ": " + why);
}

std::string JournalName(const std::string& name) { return name + kJournalSuffix; }

// The start of a leftover's name: the file's name, cut at a character's
// start so that the whole fits in 255 bytes.
std::string LeftoverPrefix(const std::string& name) {
  size_t keep = std::min(name.size(), kLongestName - (sizeof kLeftoverWord - 1) - kRandomDigits);
  while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + kLeftoverWord;
}

bool IsLeftoverOf(const std::string& entry, const std::string& prefix) {
  return entry.size() == prefix.size() + kRandomDigits && entry.starts_with(prefix) &&
         std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Opens the folder of path and the file in it for reading; kMissing
// statuses become FileNotFound(given).
void OpenFile(const std::string& given, bool follow_links, OpenedFile& opened) {
  opened.path = follow_links ? ResolveLinks(given) : given;
  opened.name = NameInFolder(opened.path);
  FileStatus status = OpenFolder(FolderOf(opened.path), opened.folder);
  if (status.ok()) status = OpenAt(opened.folder, opened.name, false, opened.file);
  if (status.kind == FileStatus::kMissing) throw FileNotFound(given);
  if (!status.ok()) Raise("Error opening", given, status.text);
}

void Lock(const OpenedFile& opened, const std::string& given) {
  FileStatus status = LockFile(opened.file);
  if (status.kind == FileStatus::kHeld) Raise("Error opening", given, "being saved by another run");
  if (!status.ok()) Raise("Error opening", given, status.text);
}

// Closes a handle on every way out.
struct Handle {
  FileHandle file = kNoFile;
  ~Handle() { CloseFile(file); }
};

// Whether a journal may be trusted for the map and its header holds, its
// size the header's: "" and view filled, else why not. Only the header is
// read, so that memory stays bounded whatever the file holds.
std::string CheckJournalHeader(FileHandle journal, const OpenedFile& map, JournalView& view) {
  HandleFacts facts;
  if (FileStatus status = FactsOf(journal, facts); !status.ok()) return status.text;
  if (!facts.regular) return "it is not a regular file";
  if (facts.links != 1) return "it has " + std::to_string(facts.links) + " links";
  if (std::string why = WhyNotTrusted(journal, facts, map.file, map.facts); !why.empty()) return why;
  JournalHeader header;
  size_t got = 0;
  if (FileStatus status = ReadAt(journal, 0, header.data(), header.size(), got); !status.ok()) return status.text;
  if (got != header.size()) return "it is shorter than a journal's header";
  if (std::string why = ReadJournalHeader(header, view); !why.empty()) return why;
  if (facts.stamp.size != static_cast<int64_t>(kJournalHeaderSize) + view.new_size)
    return "it is " + std::to_string(facts.stamp.size) + " bytes, not the " +
           std::to_string(kJournalHeaderSize + static_cast<uint64_t>(view.new_size)) + " its header gives";
  return "";
}

// The new map a journal holds, when the journal passes every check against
// the map and carries nonce: "" and new_bytes filled, else why not.
std::string CheckJournal(FileHandle journal, const OpenedFile& map, const Nonce& nonce, FileBytes& new_bytes) {
  JournalView view;
  if (std::string why = CheckJournalHeader(journal, map, view); !why.empty()) return why;
  size_t got = 0;
  if (view.nonce != nonce) return "it is another save's";
  try {
    new_bytes.data = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(view.new_size));
  } catch (const std::bad_alloc&) {
    return "not enough memory to read it";
  }
  new_bytes.size = static_cast<int32_t>(view.new_size);
  for (size_t done = 0; done < static_cast<size_t>(view.new_size); done += got) {
    FileStatus status = ReadAt(journal, static_cast<int64_t>(kJournalHeaderSize + done), new_bytes.data.get() + done,
                               static_cast<size_t>(view.new_size) - done, got);
    if (!status.ok()) return status.text;
    if (got == 0) return "it ended early";
  }
  if (!NewBytesHold(view, {new_bytes.data.get(), static_cast<size_t>(new_bytes.size)}))
    return "its new bytes fail their checksum";
  return "";
}

// Removes the leftovers of killed saves of the file: only names of the
// tool's own form, regular files with one link, owned by this user, by the
// file's owner (a save gives its new file the file's owner before naming it)
// or by owner, and not held by a live save.
void RemoveLeftovers(const OpenedFile& opened, const uint32_t* owner) {
  std::vector<std::string> names;
  if (!ListFolder(opened.folder, names).ok()) return;
  const std::string prefix = LeftoverPrefix(opened.name);
  bool removed = false;
  for (const std::string& entry : names) {
    HandleFacts facts;
    if (!IsLeftoverOf(entry, prefix) || !FactsAt(opened.folder, entry, facts).ok() || !facts.regular ||
        facts.links != 1 ||
        !(IsMine(facts) || (opened.file != kNoFile && facts.owner == opened.facts.owner) || (owner && facts.owner == *owner)))
      continue;
    Handle held;
    if (OpenAt(opened.folder, entry, false, held.file).ok() && LockFile(held.file).ok() &&
        UnlinkAt(opened.folder, entry).ok())
      removed = true;
  }
  if (removed) SyncFolder(opened.folder);
}

std::string MarkedRefusal(const std::string& path, const std::string& journal, const std::string& why) {
  return "Error opening " + path + ": its rewrite was cut off, and its journal " + journal + " can't finish it (" +
         why + "); both are kept: restore the map from a copy or compile it again, then remove the journal";
}

// A marked map: the journal's new map, when the journal passes its checks.
void JudgeMarked(MapFile& map, const std::string& given) {
  OpenedFile& f = map.file;
  Nonce nonce;
  NameHash name;
  ReadMarker({map.bytes.data.get(), static_cast<size_t>(map.bytes.size)}, nonce, name);
  if (name != HashOfName(NameKey(f.name)))
    Raise("Error opening", given,
          "its rewrite under another name was cut off; a run on that name finishes it (" + JournalName("NAME") + ")");
  const std::string journal_path = JournalPathOf(f.path);
  Handle journal;
  FileStatus status = OpenAt(f.folder, JournalName(f.name), false, journal.file);
  if (status.kind == FileStatus::kMissing)
    Raise("Error opening", given,
          "its rewrite was cut off and its journal is missing; restore the map from a copy or compile it again");
  if (!status.ok()) throw FileFailure(MarkedRefusal(given, journal_path, status.text));
  FileBytes new_bytes;
  if (std::string why = CheckJournal(journal.file, f, nonce, new_bytes); !why.empty())
    throw FileFailure(MarkedRefusal(given, journal_path, why));
  HandleFacts facts;
  FactsOf(journal.file, facts);
  map.journal_owner = facts.owner;
  std::copy(map.bytes.data.get(), map.bytes.data.get() + kMarkerSize, map.marker.begin());
  new_bytes.stamp = map.bytes.stamp;
  map.bytes = std::move(new_bytes);
  map.cut_off = true;
}

// Why the file under an unmarked map's journal name is not a spent journal
// of this tool that this run may remove, or "".
std::string WhyNotSpent(const OpenedFile& f, const std::string& journal_name) {
  Handle journal;
  if (FileStatus status = OpenAt(f.folder, journal_name, false, journal.file); !status.ok()) return status.text;
  JournalView view;
  return CheckJournalHeader(journal.file, f, view);
}

// An unmarked map is whole: a journal beside it is spent. One that this run
// may trust goes (with may_change); anything else under its name stays, and
// keeps the map from being written in place.
void JudgeUnmarked(MapFile& map, const std::string& given, bool may_change) {
  const OpenedFile& f = map.file;
  const std::string journal_name = JournalName(f.name), journal_path = JournalPathOf(f.path);
  HandleFacts facts;
  if (FactsAt(f.folder, journal_name, facts).kind == FileStatus::kMissing) return;
  if (std::string why = WhyNotSpent(f, journal_name); !why.empty()) {
    map.in_the_way = journal_path + " (" + why + ")";
    map.notes.push_back(given + " is whole; " + journal_path + " is left as it is: " + why + "\n");
    return;
  }
  if (!may_change) {
    map.notes.push_back(given + " is whole; its spent journal " + journal_path +
                        " is left to a run without -check or -out\n");
    return;
  }
  if (FileStatus removed = UnlinkAt(f.folder, journal_name); !removed.ok())
    Raise("Error removing", journal_path, removed.text);
  SyncFolder(f.folder);
  map.notes.push_back(given + " is whole; removed its spent journal " + journal_path + "\n");
}

// Writes the new map over the map open at target in the marked order:
// marker, synced; the rest and the length, synced; the map's own first
// bytes, synced. What a write clears is given back before each sync.
FileStatus WriteOver(FileHandle target, std::span<const unsigned char> bytes, const Marker& marker,
                     const Privileges& privileges) {
  const size_t head = std::min(kMarkerSize, bytes.size());
  FileStatus status = WriteAt(target, 0, {{marker.data(), head}});
  if (status.ok()) status = SyncFile(target);
  if (status.ok()) status = WriteAt(target, static_cast<int64_t>(head), {{bytes.data() + head, bytes.size() - head}});
  if (status.ok()) status = Truncate(target, static_cast<int64_t>(bytes.size()));
  if (status.ok()) status = SyncFile(target);
  if (status.ok()) status = WriteAt(target, 0, {{bytes.data(), head}});
  if (status.ok()) status = RestorePrivileges(target, privileges);
  if (status.ok()) status = SyncFile(target);
  return status;
}

// Opens the map for writing and checks through that handle that it is still
// the file that was read.
void OpenForWriting(const OpenedFile& f, FileHandle& target) {
  HandleFacts now;
  FileStatus status = OpenAt(f.folder, f.name, true, target);
  if (status.ok()) status = FactsOf(target, now);
  if (!status.ok()) Raise("Error writing", f.path, status.text);
  if (!(now.stamp == f.facts.stamp)) Raise("Error writing", f.path, kChanged);
}

void RemoveJournal(const OpenedFile& f) {
  if (FileStatus status = UnlinkAt(f.folder, JournalName(f.name)); !status.ok())
    Raise("Error removing", JournalPathOf(f.path), status.text);
  SyncFolder(f.folder);
}

// The refusals every save of a file that exists shares.
void CheckWritable(const std::string& path, const WriteFacts& w) {
  if (w.read_only) throw WriteRefused("Error writing " + path + ": the file is read-only" + *w.read_only);
  if (!w.denied.empty()) throw WriteRefused("Error writing " + path + ": " + w.denied);
}

}  // namespace

OpenedFile::~OpenedFile() {
  CloseFile(file);
  CloseFolder(folder);
}

std::string JournalPathOf(const std::string& path) { return path + kJournalSuffix; }

std::unique_ptr<MapFile> OpenMapFile(const std::string& path, bool may_change) {
  auto map = std::make_unique<MapFile>();
  OpenedFile& f = map->file;
  OpenFile(path, true, f);
  Lock(f, path);
  map->bytes = ReadOpenedFile(f.file, path, f.facts);
  Nonce nonce;
  NameHash name;
  if (ReadMarker({map->bytes.data.get(), static_cast<size_t>(map->bytes.size)}, nonce, name))
    JudgeMarked(*map, path);
  else
    JudgeUnmarked(*map, path, may_change);
  if (may_change && !map->cut_off) RemoveLeftovers(f, nullptr);
  return map;
}

SaveWay CheckMapSave(const MapFile& map) {
  const OpenedFile& f = map.file;
  const WriteFacts w = WriteFactsOf(f.folder, f.name, f.file, f.facts);
  CheckWritable(f.path, w);
  SaveWay way;
  way.in_place = map.cut_off || f.facts.links > 1 || !w.rename_keeps;
  if (way.in_place) {
    if (f.name.size() + sizeof kJournalSuffix - 1 > kLongestName)
      Raise("Error writing", f.path,
            std::string("its name is too long to carry the suffix ") + kJournalSuffix +
                " of the journal that writing it in place needs");
    if (w.special_bits && !w.special_kept) Raise("Error writing", f.path, "its set-ID bits can't be kept by this user");
    if (!map.in_the_way.empty())
      Raise("Error writing", f.path,
            "it must be written in place, and " + map.in_the_way +
                " is in the way of its journal; remove that file once you know it is nobody's");
  }
  if (!w.folder_denied.empty())
    throw WriteRefused("Error writing " + f.path + ": cannot create a file in " + f.folder.path + ": " +
                       w.folder_denied);
  return way;
}

SaveWay CheckOutputSave(const std::string& target, unsigned new_mode) {
  SaveWay way{false, true, true, new_mode};
  OpenedFile output;
  output.name = NameInFolder(target);
  FileStatus status = OpenFolder(FolderOf(target), output.folder);
  if (status.kind == FileStatus::kMissing) {
    // A folder that -out's save creates first is checked where it would be made.
    std::string folder = FolderOf(target);
    while (!LookAtFile(folder, true).exists && FolderOf(folder) != folder) folder = FolderOf(folder);
    if (std::string why = FolderRefusal(folder); !why.empty())
      Raise("Error writing", target, "cannot create a file in " + folder + ": " + why);
    way.exists = false;
    return way;
  }
  if (!status.ok()) Raise("Error writing", target, "cannot create a file in " + FolderOf(target) + ": " + status.text);
  status = FactsAt(output.folder, output.name, output.facts);
  way.exists = status.kind != FileStatus::kMissing;
  if (way.exists) {
    if (status.ok() && output.facts.link) Raise("Error writing", target, "it is a symbolic link, which -out does not follow");
    if (status.ok() && !output.facts.regular) Raise("Error writing", target, "not a regular file");
    if (status.ok()) status = OpenAt(output.folder, output.name, false, output.file);
    if (!status.ok()) Raise("Error writing", target, status.text);
    CheckWritable(target, WriteFactsOf(output.folder, output.name, output.file, output.facts));
  }
  if (std::string why = FolderRefusal(output.folder.path); !why.empty())
    Raise("Error writing", target, "cannot create a file in " + output.folder.path + ": " + why);
  return way;
}

void RefuseJournal(const MapFile& map, const std::string& given, const std::string& why) {
  throw FileFailure(MarkedRefusal(given, JournalPathOf(map.file.path), why));
}

void FinishCutOff(MapFile& map, std::span<const unsigned char> bytes) {
  OpenedFile& f = map.file;
  CheckMapSave(map);
  Handle target;
  OpenForWriting(f, target.file);
  const Privileges privileges = PrivilegesOf(target.file, f.facts);
  {
    SignalHold hold;
    FileStatus status = WriteOver(target.file, bytes, map.marker, privileges);
    if (!status.ok())
      Raise("Error writing", f.path,
            status.text + "; its journal " + JournalPathOf(f.path) + " is kept, and the next run finishes it");
  }
  RemoveJournal(f);
  RemoveLeftovers(f, &map.journal_owner);
  FactsOf(target.file, f.facts);
  map.cut_off = false;
}

// --- ReplacementFile

struct ReplacementFile::State {
  std::span<const unsigned char> old;  // its bytes as read
  OpenedFile output;          // an output's folder (and the file, when it exists)
  SaveWay way;
  const OpenedFile* target = nullptr;
  FileHandle file = kNoFile;  // the new file (in place: the journal)
  bool unnamed = false;
  std::string name;           // its name, while it has one of its own
  std::string signal_name;    // what the signal handler removes
  int slot = -1;              // its record for the signal handler
  Nonce nonce{};
  int64_t written = 0;
  JournalSumsPtr sums;

  ~State() { Drop(); }

  // Removes the new file: the signal handler's record goes after the file,
  // so that a signal before then still finds it.
  void Drop() {
    if (!name.empty()) UnlinkAt(target->folder, name);
    ForgetNewFile(slot);
    slot = -1;
    signal_name.clear();
    name.clear();
    CloseFile(file);
    file = kNoFile;
  }

  [[noreturn]] void Fail(const std::string& why) {
    Drop();
    Raise("Error writing", target->path, why);
  }

  // Names the new file (unnamed) or keeps its name, for the signal handler.
  void Create() {
    name = LeftoverPrefix(target->name) + NonceText(nonce);
    SignalHold hold;
    signal_name = SignalNameOf(target->folder, name);
    slot = RecordNewFile(target->folder.handle, signal_name.c_str());
    FileStatus status = CreateAt(target->folder, name, true, file, unnamed);
    if (!status.ok() || unnamed) {
      ForgetNewFile(slot);
      slot = -1;
      signal_name.clear();
      name.clear();
    }
    if (!status.ok())
      Raise("Error writing", target->path, "cannot create a file in " + target->folder.path + ": " + status.text);
  }

  // Gives an unnamed new file its name beside the target.
  void Name() {
    if (!unnamed) return;
    const std::string fresh = LeftoverPrefix(target->name) + NonceText(nonce);
    SignalHold hold;
    if (FileStatus status = LinkAt(target->folder, file, true, "", fresh); !status.ok()) Fail(status.text);
    unnamed = false;
    name = fresh;
    signal_name = SignalNameOf(target->folder, name);
    slot = RecordNewFile(target->folder.handle, signal_name.c_str());
  }

  void CommitInPlace();
};

ReplacementFile::ReplacementFile(MapFile& map, std::span<const unsigned char> old)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.old = old;
  s.target = &map.file;
  s.way = CheckMapSave(map);
  s.nonce = NewNonce();
  s.Create();
  if (s.way.in_place) s.sums = StartJournal();
}

ReplacementFile::ReplacementFile(const std::string& target, unsigned new_mode) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.way = CheckOutputSave(target, new_mode);
  s.output.path = target;
  s.output.name = NameInFolder(target);
  s.target = &s.output;
  if (FileStatus status = OpenFolder(FolderOf(target), s.output.folder); !status.ok())
    Raise("Error writing", target, "cannot create a file in " + FolderOf(target) + ": " + status.text);
  if (s.way.exists) {
    FileStatus status = OpenAt(s.output.folder, s.output.name, false, s.output.file);
    if (status.ok()) status = FactsOf(s.output.file, s.output.facts);
    if (!status.ok()) Raise("Error writing", target, status.text);
  }
  RemoveLeftovers(s.output, nullptr);
  s.nonce = NewNonce();
  s.Create();
}

ReplacementFile::~ReplacementFile() = default;

void ReplacementFile::Write(const std::vector<ByteRange>& pieces) {
  State& s = *state_;
  const int64_t at = s.written + (s.way.in_place ? static_cast<int64_t>(kJournalHeaderSize) : 0);
  if (FileStatus status = WriteAt(s.file, at, pieces); !status.ok()) s.Fail(status.text);
  for (const ByteRange& piece : pieces) {
    if (s.sums) AddToJournal(*s.sums, piece.data, piece.size);
    s.written += static_cast<int64_t>(piece.size);
  }
}

void ReplacementFile::Commit() {
  if (state_->way.in_place) return state_->CommitInPlace();
  Ready();
  Sync();
  Place();
  // Note: the folder is synced after the rename, when the target has already
  // been replaced, so a failure there is not reported as a failed save.
  SyncFolder(TargetFolder());
}

void ReplacementFile::Ready() {
  State& s = *state_;
  const OpenedFile& t = *s.target;
  FileStatus status = GiveIdentity(s.way.exists ? t.file : kNoFile, t.facts, s.file, s.way.output, s.way.new_mode);
  if (!status.ok()) s.Fail(status.text);
}

void ReplacementFile::Sync() {
  if (FileStatus status = SyncFile(state_->file); !status.ok()) state_->Fail(status.text);
}

// Note: the stamp is checked right before the rename; a change between the
// two cannot be seen without a lock that other programs do not take.
void ReplacementFile::Place() {
  State& s = *state_;
  const OpenedFile& t = *s.target;
  s.Name();
  // A failed close can report a write that did not reach the disk.
  FileStatus status = CloseFile(s.file);
  s.file = kNoFile;
  if (!status.ok()) s.Fail(status.text);
  if (!s.way.output) {
    HandleFacts now;
    if (!FactsAt(t.folder, t.name, now).ok() || !(now.stamp == t.facts.stamp)) s.Fail(kChanged);
  }
  SignalHold hold;
  if (!s.way.exists) {
    // A new output never replaces a file that appeared meanwhile.
    status = LinkAt(t.folder, kNoFile, false, s.name, t.name);
    if (status.ok()) UnlinkAt(t.folder, s.name);
  } else {
    status = RenameAt(t.folder, s.name, t.name);
  }
  if (!status.ok()) s.Fail(status.text);
  ForgetNewFile(s.slot);
  s.slot = -1;
  s.signal_name.clear();
  s.name.clear();
}

bool ReplacementFile::InPlace() const { return state_->way.in_place; }

const Folder& ReplacementFile::TargetFolder() const { return state_->target->folder; }

void ReplacementFile::State::CommitInPlace() {
  const OpenedFile& t = *target;
  const std::string journal_name = JournalName(t.name);
  // 1. The journal: complete, private, durable, named, and checked.
  const JournalHeader header = EndJournal(*sums, nonce, written);
  FileStatus status = WriteAt(file, 0, {{header.data(), header.size()}});
  if (status.ok()) status = MakePrivate(file, t.file, t.facts);
  if (status.ok()) status = SyncFile(file);
  if (!status.ok()) Fail(status.text);
  {
    SignalHold hold;
    status = LinkAt(t.folder, file, unnamed, name, journal_name);
    if (!status.ok()) Fail(status.text);
    // The journal is the save's safety net from here on: no signal removes it.
    if (!name.empty()) UnlinkAt(t.folder, name);
    ForgetNewFile(slot);
    slot = -1;
    signal_name.clear();
    name.clear();
    unnamed = false;
  }
  if (status = SyncFolder(t.folder); !status.ok()) {
    RemoveJournal(t);
    Fail(status.text);
  }
  FileBytes checked;
  if (std::string why = CheckJournal(file, t, nonce, checked); !why.empty()) {
    RemoveJournal(t);
    Fail("its journal " + JournalPathOf(t.path) + " fails its own checks (" + why + ")");
  }
  Handle map_file;
  try {
    OpenForWriting(t, map_file.file);
  } catch (const FileFailure&) {
    RemoveJournal(t);
    throw;
  }
  // 2 to 4, with every ending signal held.
  const Privileges privileges = PrivilegesOf(map_file.file, t.facts);
  const Marker marker = MakeMarker(nonce, HashOfName(NameKey(t.name)));
  {
    SignalHold hold;
    status = WriteOver(map_file.file, {checked.data.get(), static_cast<size_t>(checked.size)}, marker, privileges);
    if (!status.ok()) {
      const bool restored = WriteOver(map_file.file, old, marker, privileges).ok();
      if (!restored)
        Raise("Error writing", t.path,
              "writing over it failed (" + status.text +
                  "), and so did putting its old bytes back; running the tool on it again finishes the save from "
                  "its journal " + JournalPathOf(t.path));
      RemoveJournal(t);
      Fail("writing over it failed (" + status.text + "); its old bytes are back");
    }
  }
  // 5. Note: the map is saved once it is written; a journal that cannot be
  // removed is spent, and the next run removes it.
  UnlinkAt(t.folder, journal_name);
  SyncFolder(t.folder);
  CloseFile(file);
  file = kNoFile;
}
