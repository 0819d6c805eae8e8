// transaction.h: the save of one map, written once for every host over the
// handle calls of common/fileio_platform.h.
//
// A map is opened once: its name's links are resolved, its folder and the
// map are opened, the map is locked against other runs and read whole
// through that handle, and what an earlier save left beside it is judged.
// It is then saved by a rename that keeps its identity, or, where a rename
// could not (other hard links, an owner or group this user cannot give), in
// place, behind a journal that holds the whole new map:
//   1. the journal, NAME.flatcull-journal, complete, synced and named, the
//      folder synced, and checked through its handle;
//   2. a marker over the map's first bytes, synced: from here on the map
//      says, by any name, that it is being rewritten;
//   3. the rest of the new map, its length, synced;
//   4. the map's own first bytes, synced;
//   5. the journal removed, the folder synced.
// A marked map is finished only from a journal that carries the marker's
// nonce and passes every check; a journal beside an unmarked map is spent.
// The files a save creates beside a file are named NAME.flatcull-unsaved-
// and 16 hex digits (an in-place save's nonce), and only such files, of
// this user or of the journal's maker, with one link, are ever removed.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/fileio.h"
#include "common/fileio_platform.h"
#include "save/journal.h"

// A file a save works on: its folder, and the file open for reading.
struct OpenedFile {
  std::string path;  // as messages name it: the real file, links resolved
  std::string name;  // its name in the folder
  Folder folder;
  FileHandle file = kNoFile;
  HandleFacts facts;

  OpenedFile() = default;
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  ~OpenedFile();
};

// A map opened for a run, with its bytes and what an earlier save left.
struct MapFile {
  OpenedFile file;
  FileBytes bytes;            // the map's, or (cut_off) the journal's new map
  bool cut_off = false;       // its rewrite was cut off; its journal holds the new map
  Marker marker{};            // when cut_off: the marker it carries
  uint32_t journal_owner = 0; // when cut_off: who made the journal
  std::string in_the_way;     // a file under the journal's name that this run leaves, and why
  std::vector<std::string> notes;  // lines for the console: a spent journal, a file left
};

// The journal's name beside the file at path (links resolved).
std::string JournalPathOf(const std::string& path);

// Opens, locks and reads the map at path and judges what an earlier save
// left beside it. With may_change (a run that may write beside the map: not
// -check, not -out), a spent journal is removed, and so are the leftovers
// of killed saves (when the map is not cut off). Raises FileNotFound for no
// such file; "Error opening %s: being saved by another run"; the refusals of
// a marked map (another name's save, no journal, a journal that can't finish
// it); a map too large ("%s is too large (%lld bytes): ..."), and the read's
// failures.
std::unique_ptr<MapFile> OpenMapFile(const std::string& path, bool may_change);

// Finishes a cut-off rewrite (map.cut_off) from its journal, as a save in
// place: the same checks first, the marker kept until the new map is
// durable, then the journal and the leftovers removed. Raises as a save does.
// bytes: the new map, once it loads as one (map.bytes, taken by the loader).
void FinishCutOff(MapFile& map, std::span<const unsigned char> bytes);

// Refuses a cut-off map whose journal's new bytes fail a check (why), keeping
// both files: "Error opening %s: its rewrite was cut off, and its journal %s
// can't finish it (%s); both are kept: ...".
[[noreturn]] void RefuseJournal(const MapFile& map, const std::string& given, const std::string& why);

// How a save replaces its target, once every check has passed.
struct SaveWay {
  bool in_place = false;
  bool output = false;     // an output of -out, not the map's own file
  bool exists = true;      // the target exists (an output may not)
  unsigned new_mode = 0;   // the mode of a new output
};

// The checks of a save of the map over its own file, which raise, changing
// nothing: "Error writing %s: " and the file is read-only (the flag or the
// read-only file system named), this user may not write it, no file can be
// created in its folder, and in place: a name too long for the journal's
// suffix, set-ID bits this user can't keep, a file in the way of the journal.
SaveWay CheckMapSave(const MapFile& map);

// The checks of a save of an output at target (links not followed): a link,
// a folder or another kind of file, read-only, not writable, or its folder.
// new_mode: the mode a new output gets.
SaveWay CheckOutputSave(const std::string& target, unsigned new_mode);

// A new file that takes the place of its target once complete:
//   ReplacementFile out(map, old) or out(target, new_mode);
//   out.Write(pieces); ...           // any number of gathered writes
//   out.Commit();                    // durable, then in the target's place
// Until Commit, the new file is removed when the object goes out of scope
// and when a signal that would end the process arrives; the target is
// untouched. Every failure raises "Error writing %s: %s" naming the target.
class ReplacementFile {
 public:
  // The map's own file, by rename or in place as CheckMapSave decides; old
  // is the map's bytes as read, which go back should writing in place fail.
  ReplacementFile(MapFile& map, std::span<const unsigned char> old);
  // An output at target.
  ReplacementFile(const std::string& target, unsigned new_mode);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  void Write(const std::vector<ByteRange>& pieces);

  // By rename: the target's identity, synced, named, the stamp checked, and
  // renamed over the target; the folder synced. In place: steps 1 to 5
  // above; should step 3 fail, the old bytes go back and the journal goes;
  // only if that fails too does the map stay marked with its journal, and
  // the message says so.
  void Commit();

  // Commit in steps, for a batch that makes its new files durable together;
  // a save by rename only (not InPlace). Ready gives the new file the
  // target's identity; Sync makes it durable on its own; Place names it,
  // checks the stamp and renames it over the target, leaving the folder's
  // sync (SyncFolder(TargetFolder())) to the caller. Each raises as Commit.
  bool InPlace() const;
  void Ready();
  void Sync();
  void Place();
  const Folder& TargetFolder() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};
