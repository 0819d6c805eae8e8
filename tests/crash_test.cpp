// crash_test.cpp: the save crashed in the test process, as a database's
// crash-test file layer does. The host's calls are a recording stand-in over
// an in-memory folder; one in-place save of a hard-linked map is recorded,
// and every prefix of its calls is taken as a crash: the writes not yet
// synced are lost, kept, or the last one torn at a 512-byte sector, and the
// names not yet synced with their folder are lost or kept. The next run's
// recovery must leave the new map or the old one, and nothing beside it.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "common/fileio_platform.h"
#include "save/transaction.h"

namespace {

struct Node {
  std::string data;
  uint32_t owner = 0;
  unsigned mode = 0644;
  int64_t changes = 0;  // stands in for the change time
};

// One call that changes the disk.
struct Op {
  enum Kind { kWrite, kTruncate, kSync, kLink, kUnlink, kRename, kSyncFolder } kind;
  int node = 0;
  int64_t at = 0;
  std::string bytes, name, to;
};

struct Disk {
  std::map<std::string, int> names;  // the folder
  std::map<int, Node> nodes;
  std::map<FileHandle, int> open;
  int next = 1;
  bool recording = false;
  std::vector<Op> log;
} disk;

void Record(Op op) {
  if (disk.recording) disk.log.push_back(std::move(op));
}

int NodeOf(FileHandle file) { return disk.open.at(file); }

int Links(int node) {
  int links = 0;
  for (const auto& [name, n] : disk.names) links += n == node;
  return links;
}

FileStatus Missing() { return FileStatus::Failed(FileStatus::kMissing, 2, "No such file or directory"); }

// Puts bytes at offset of a file's data, as a write does.
void Put(std::string& data, int64_t offset, const std::string& bytes) {
  if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size());
  data.replace(static_cast<size_t>(offset), bytes.size(), bytes);
}

}  // namespace

// --- The stand-in of the host's calls, over the disk above.

FileStatus OpenForReading(const std::string&, FileHandle&) { return Missing(); }
FileStatus CloseFile(FileHandle file) { return disk.open.erase(file), FileStatus{}; }
FileStatus FactsOf(FileHandle file, HandleFacts& facts) {
  const int node = NodeOf(file);
  const Node& n = disk.nodes[node];
  facts = {};
  facts.regular = true;
  facts.stamp = {1, static_cast<uint64_t>(node), static_cast<int64_t>(n.data.size()), 0, 0, n.changes, 0};
  facts.links = static_cast<uint64_t>(Links(node));
  facts.mode = n.mode;
  facts.owner = n.owner;
  return {};
}
std::string ResolveLinks(const std::string& path) { return path; }
FileStatus OpenFolder(const std::string& path, Folder& folder) { return folder = {0, path, 1, 1}, FileStatus{}; }
void CloseFolder(Folder&) {}
FileStatus FactsAt(const Folder&, const std::string& name, HandleFacts& facts) {
  if (!disk.names.count(name)) return Missing();
  disk.open[-2] = disk.names[name];
  FactsOf(-2, facts);
  disk.open.erase(-2);
  return {};
}
FileStatus ListFolder(const Folder&, std::vector<std::string>& names) {
  for (const auto& entry : disk.names) names.push_back(entry.first);
  return {};
}
FileStatus OpenAt(const Folder&, const std::string& name, bool, FileHandle& file) {
  if (!disk.names.count(name)) return Missing();
  file = 100 + static_cast<FileHandle>(disk.open.size()) + disk.next * 1000;
  disk.open[file] = disk.names[name];
  return {};
}
FileStatus CreateAt(const Folder&, const std::string&, bool, FileHandle& file, bool& unnamed) {
  unnamed = true;
  file = 100 + disk.next * 1000;
  disk.open[file] = disk.next;
  disk.nodes[disk.next++] = {};
  return {};
}
FileStatus LinkAt(const Folder&, FileHandle file, bool, const std::string&, const std::string& to) {
  if (disk.names.count(to)) return FileStatus::Failed(FileStatus::kOther, 17, "File exists");
  disk.names[to] = NodeOf(file);
  Record({Op::kLink, NodeOf(file), 0, "", to, ""});
  return {};
}
FileStatus RenameAt(const Folder&, const std::string& from, const std::string& to) {
  disk.names[to] = disk.names.at(from);
  disk.names.erase(from);
  Record({Op::kRename, 0, 0, "", from, to});
  return {};
}
FileStatus UnlinkAt(const Folder&, const std::string& name) {
  if (!disk.names.erase(name)) return Missing();
  Record({Op::kUnlink, 0, 0, "", name, ""});
  return {};
}
std::string SignalNameOf(const Folder&, const std::string& name) { return name; }
std::string NameKey(const std::string& name) { return name; }
FileStatus ReadAt(FileHandle file, int64_t offset, unsigned char* dest, size_t length, size_t& got) {
  const std::string& data = disk.nodes[NodeOf(file)].data;
  got = offset >= static_cast<int64_t>(data.size()) ? 0 : std::min(length, data.size() - static_cast<size_t>(offset));
  std::copy_n(data.data() + (got ? offset : 0), got, dest);
  return {};
}
FileStatus WriteAt(FileHandle file, int64_t offset, const std::vector<ByteRange>& pieces) {
  std::string bytes;
  for (const ByteRange& piece : pieces) bytes.append(static_cast<const char*>(piece.data), piece.size);
  Node& n = disk.nodes[NodeOf(file)];
  Put(n.data, offset, bytes);
  ++n.changes;
  Record({Op::kWrite, NodeOf(file), offset, bytes, "", ""});
  return {};
}
FileStatus Truncate(FileHandle file, int64_t size) {
  disk.nodes[NodeOf(file)].data.resize(static_cast<size_t>(size));
  Record({Op::kTruncate, NodeOf(file), size, "", "", ""});
  return {};
}
FileStatus SyncFile(FileHandle file) { return Record({Op::kSync, NodeOf(file), 0, "", "", ""}), FileStatus{}; }
FileStatus SyncFolder(const Folder&) { return Record({Op::kSyncFolder, 0, 0, "", "", ""}), FileStatus{}; }
FileStatus LockFile(FileHandle) { return {}; }
WriteFacts WriteFactsOf(const Folder&, const std::string&, FileHandle, const HandleFacts&) { return {}; }
FileStatus GiveIdentity(FileHandle, const HandleFacts&, FileHandle, bool, unsigned) { return {}; }
Privileges PrivilegesOf(FileHandle, const HandleFacts&) { return {}; }
FileStatus RestorePrivileges(FileHandle, const Privileges&) { return {}; }
FileStatus MakePrivate(FileHandle, FileHandle, const HandleFacts&) { return {}; }
// As the host's: only root, this user (0 here) or the map's owner may own a
// trusted journal, and no one else may write it.
std::string WhyNotTrusted(FileHandle, const HandleFacts& journal, FileHandle, const HandleFacts& map) {
  if (journal.mode & 0022) return "users other than its owner may write it";
  return journal.owner == 0 || journal.owner == map.owner ? "" : "its owner may not write the map";
}
bool IsMine(const HandleFacts& facts) { return facts.owner == 0; }
FileFacts LookAtFile(const std::string&, bool) { return {}; }
std::string FolderRefusal(const std::string&) { return ""; }
std::FILE* OpenTextForAppending(const std::string&, std::string&) { return nullptr; }
std::string AppendText(std::FILE*, const std::string&) { return ""; }

namespace {

// A map-like file: only its first bytes matter to the save.
std::string Bytes(char fill, size_t size) {
  std::string bytes(size, fill);
  bytes[0] = 30;
  return bytes;
}
const std::string kOld = Bytes('o', 3000), kNew = Bytes('n', 2100);

// One save of the map's new bytes in place, as the tool makes it;
// meddle runs between the writes and the commit.
void Save(const std::string& name, const std::function<void()>& meddle = [] {}) {
  std::unique_ptr<MapFile> map = OpenMapFile(name, true);
  ReplacementFile out(*map, {map->bytes.data.get(), static_cast<size_t>(map->bytes.size)});
  out.Write({{kNew.data(), 1000}, {kNew.data() + 1000, kNew.size() - 1000}});
  meddle();
  out.Commit();
}

// The next run on name: what it leaves of the map, or its refusal.
std::string Recover(const std::string& name) {
  try {
    std::unique_ptr<MapFile> map = OpenMapFile(name, true);
    if (map->cut_off) FinishCutOff(*map, {map->bytes.data.get(), static_cast<size_t>(map->bytes.size)});
  } catch (const FileFailure& failure) {
    return failure.what();
  }
  const std::string& now = disk.nodes[disk.names.at("m.bsp")].data;
  return now == kNew ? "new" : now == kOld ? "old" : "torn";
}

void Fresh(const std::string& map) {
  disk = {};
  disk.nodes[1] = {map};
  disk.names = {{"m.bsp", 1}, {"link.bsp", 1}};
  disk.next = 2;
}

// What a crash after the first k calls of the log may leave: data synced
// stays, later writes persist as none (data 0), all (1), all but the last and
// its first sector (2), or all but the first (3: the disk orders writes as it
// likes); names synced stay, later ones all or none.
void Crash(const std::vector<Op>& log, size_t k, int data, bool names) {
  size_t last_folder_sync = 0;
  std::map<int, size_t> last_sync;
  for (size_t i = 0; i < k; ++i) {
    if (log[i].kind == Op::kSyncFolder) last_folder_sync = i + 1;
    if (log[i].kind == Op::kSync) last_sync[log[i].node] = i + 1;
  }
  Fresh(kOld);
  std::map<int, size_t> last_write, first_unsynced;
  for (size_t i = 0; i < k; ++i)
    if (log[i].kind == Op::kWrite) {
      last_write[log[i].node] = i;
      if (i >= last_sync[log[i].node] && !first_unsynced.count(log[i].node)) first_unsynced[log[i].node] = i;
    }
  for (size_t i = 0; i < k; ++i) {
    const Op& op = log[i];
    const bool synced = i < last_sync[op.node];
    if (op.kind == Op::kWrite || op.kind == Op::kTruncate) {
      if (!synced && (data == 0 || (data == 2 && i > last_write[op.node]) ||
                      (data == 3 && first_unsynced.count(op.node) && i == first_unsynced[op.node])))
        continue;
      Node& n = disk.nodes[op.node];
      std::string bytes = op.bytes;
      if (!synced && data == 2 && i == last_write[op.node]) bytes.resize(std::min<size_t>(bytes.size(), 512));
      if (op.kind == Op::kTruncate) n.data.resize(static_cast<size_t>(op.at));
      if (op.kind == Op::kWrite) Put(n.data, op.at, bytes);
    } else if (op.kind != Op::kSync && op.kind != Op::kSyncFolder && (i < last_folder_sync || names)) {
      if (op.kind == Op::kLink) disk.names[op.name] = op.node;
      if (op.kind == Op::kUnlink) disk.names.erase(op.name);
      if (op.kind == Op::kRename) disk.names[op.to] = disk.names[op.name], disk.names.erase(op.name);
    }
    disk.nodes[op.node];
  }
}

std::set<std::string> Names() {
  std::set<std::string> names;
  for (const auto& entry : disk.names) names.insert(entry.first);
  return names;
}

TEST(CrashTest, EveryCrashOfAnInPlaceSaveIsRecovered) {
  Fresh(kOld);
  disk.recording = true;
  Save("m.bsp");
  disk.recording = false;
  const std::vector<Op> log = disk.log;
  ASSERT_EQ(disk.nodes[1].data, kNew);
  const std::set<std::string> just_the_map = {"link.bsp", "m.bsp"};
  int states = 0;
  for (size_t k = 0; k <= log.size(); ++k)
    for (int data = 0; data < 4; ++data)
      for (bool names : {false, true}) {
        SCOPED_TRACE("crash after call " + std::to_string(k) + ", data " + std::to_string(data) + ", names " +
                     std::to_string(names));
        ++states;
        // The other name first: it never takes a torn map, and changes nothing when it refuses.
        Crash(log, k, data, names);
        const std::string before = disk.nodes[1].data;
        const std::string other = Recover("link.bsp");
        EXPECT_TRUE(other == "old" || other == "new" || disk.nodes[1].data == before) << other;
        EXPECT_NE(other, "torn");
        Crash(log, k, data, names);
        const std::string outcome = Recover("m.bsp");
        EXPECT_TRUE(outcome == "new" || disk.nodes[1].data == kOld) << outcome;
        EXPECT_EQ(Names(), just_the_map);
      }
  EXPECT_GT(states, 60);
}

// What a run makes of files that no save of this run left: a planted or
// stale journal beside a whole map goes or stays by its owner, and one that
// is not the marked map's own, or fails a check, finishes nothing.
TEST(CrashTest, JournalsThatAreNotTheMapsOwnFinishNothing) {
  Fresh(kOld);
  disk.recording = true;
  Save("m.bsp");
  disk.recording = false;
  const std::vector<Op> log = disk.log;
  size_t marked = 0;  // the first state where the map carries its marker
  while (marked < log.size() && !(log[marked].kind == Op::kSync && log[marked].node == 1)) ++marked;
  Crash(log, marked + 1, 1, true);
  ASSERT_EQ(disk.nodes[1].data.substr(0, 8), "FCMARKED");
  const int journal = disk.names.at("m.bsp.flatcull-journal");
  const std::string journal_bytes = disk.nodes[journal].data, marked_map = disk.nodes[1].data;
  const struct {
    const char* name;
    std::function<void()> plant;
    const char* outcome;  // "new", "old", or the start of the refusal
  } cases[] = {
      {"its own journal", [] {}, "new"},
      {"a bit flipped", [&] { disk.nodes[journal].data[100] ^= 1; }, "Error opening m.bsp: its rewrite was cut off"},
      {"another user's journal", [&] { disk.nodes[journal].owner = 65534; }, "Error opening m.bsp: its rewrite was cut off"},
      {"writable by others", [&] { disk.nodes[journal].mode = 0666; }, "Error opening m.bsp: its rewrite was cut off"},
      {"no journal", [] { disk.names.erase("m.bsp.flatcull-journal"); }, "Error opening m.bsp: its rewrite was cut off and its journal is missing"},
      {"another save's journal", [&] { disk.nodes[1].data[9] ^= 1; }, "Error opening m.bsp: its rewrite was cut off"},
      {"stale journal beside a whole map", [&] { disk.nodes[1].data = kOld; }, "old"},
      {"planted journal of another user beside a whole map",
       [&] { disk.nodes[1].data = kOld, disk.nodes[journal].owner = 65534; }, "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Crash(log, marked + 1, 1, true);
    c.plant();
    const std::string map_before = disk.nodes[1].data;
    const std::string outcome = Recover("m.bsp");
    EXPECT_TRUE(outcome.starts_with(c.outcome)) << outcome;
    if (outcome.starts_with("Error")) {
      EXPECT_EQ(disk.nodes[1].data, map_before);
    }
    // Only a journal its owner rules let this run trust is removed.
    const bool kept = (outcome.starts_with("Error") && std::string(c.name) != "no journal") ||
                      std::string(c.name).starts_with("planted");
    EXPECT_EQ(disk.names.count("m.bsp.flatcull-journal"), kept ? 1u : 0u);
  }
}

// No crash prefix catches a save that skips its stamp check: a map changed
// between its read and its write is kept, and the journal goes.
TEST(CrashTest, MapChangedBetweenReadAndWriteIsKept) {
  Fresh(kOld);
  std::string failure;
  try {
    Save("m.bsp", [] { disk.nodes[1].data[50] = 'x', ++disk.nodes[1].changes; });
  } catch (const FileFailure& raised) {
    failure = raised.what();
  }
  EXPECT_EQ(failure, "Error writing m.bsp: another program changed or replaced it since it was read; its file is kept");
  EXPECT_EQ(disk.nodes[1].data.substr(48, 4), "ooxo");
  EXPECT_EQ(Names(), (std::set<std::string>{"link.bsp", "m.bsp"}));
}

}  // namespace
