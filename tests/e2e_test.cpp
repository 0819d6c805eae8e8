// e2e_test.cpp: the built tool run on map files in scratch directories, as a
// user runs it: exact console output, the rewritten file, and maps that must
// be refused or saves that must fail without harming the map.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "mapbuilder.h"
#include "refusal.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

using refusal::Cull;
using refusal::kJustTheMap;
using refusal::MapDir;

// The usage table of the three-room sample map.
const char kSampleTable[] =
    "\n"
    "Object names  Objects/Maxobjs  Memory / Maxmem  Fullness\n"
    "------------  ---------------  ---------------  --------\n"
    "models              1/400           64/25600    ( 0.2%)\n"
    "planes             60/32767       1200/655340   ( 0.2%)\n"
    "vertexes           24/65535        288/786420   ( 0.0%)\n"
    "nodes              20/32767        480/786408   ( 0.1%)\n"
    "texinfos            3/32767        120/1310680  ( 0.0%)\n"
    "faces              18/131071       360/2621420  ( 0.0%)\n"
    "clipnodes          20/32767        160/262136   ( 0.1%)\n"
    "leaves              4/8192         112/229376   ( 0.0%)\n"
    "marksurfaces       18/65535         36/131070   ( 0.0%)\n"
    "surfedges          72/512000       288/2048000  ( 0.0%)\n"
    "edges              37/256000       148/1024000  ( 0.0%)\n"
    "texdata          [variable]         92/4194304  ( 0.0%)\n"
    "lightdata        [variable]       4374/4194304  ( 0.1%)\n"
    "visdata          [variable]          3/2097152  ( 0.0%)\n"
    "entdata          [variable]        277/524288   ( 0.1%)\n"
    "=== Total BSP file data space used: 8002 bytes ===\n";

const std::string kUntouched = "\nOptimized! The map was already compact, so its file is left untouched.\n";

TEST(EndToEndTest, SampleMapLosesItsUnreferencedPlanes) {
  std::string dir = MapDir(BuildSampleMap());
  RunResult r = Cull(dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Banner() + kSampleTable + "\nPlanes in map: 60\nPlanes actually used: 22\n\nOptimized!\n");
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(dir), kJustTheMap);
}

// A compact map is not rewritten at all: same bytes, same inode, same time.
TEST(EndToEndTest, SecondRunLeavesTheMapUntouched) {
  const struct {
    const char* name;
    std::string map;
    int kept;
  } cases[] = {{"sample map", BuildSampleMap(), 22},
               {"map with only a header", BuildMap(MapLumps()), 0},
               {"one room", BuildSampleMap(1), 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = MapDir(c.map);
    ASSERT_EQ(Cull(dir).status, 0);
    std::string first = ReadFile(dir + "/m.bsp");
    struct stat before, after;
    ASSERT_EQ(stat((dir + "/m.bsp").c_str(), &before), 0);
    RunResult second = Cull(dir);
    EXPECT_EQ(second.status, 0);
    std::string counts = "\nPlanes in map: " + std::to_string(c.kept) + "\nPlanes actually used: " +
                         std::to_string(c.kept) + "\n" + kUntouched;
    EXPECT_EQ(second.out.substr(second.out.size() - std::min(counts.size(), second.out.size())), counts);
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), first);
    ASSERT_EQ(stat((dir + "/m.bsp").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  }
}

std::string WithLump(MapLumps lumps, LumpIndex lump, const std::string& bytes) {
  lumps.lump[lump] = bytes;
  return BuildMap(lumps);
}

std::string WithEntry(std::string file, LumpIndex lump, int32_t offset, int32_t length) {
  SetLumpEntry(file, lump, offset, length);
  return file;
}

// The sample map with one record's plane reference replaced.
std::string WithPlaneRef(LumpIndex lump, size_t record_size, size_t record, const std::string& ref) {
  MapLumps lumps = SampleMapLumps();
  lumps.lump[lump].replace(record * record_size, ref.size(), ref);
  return BuildMap(lumps);
}

struct BadMap {
  const char* name;
  std::string map;
  std::string message;  // the exact message, "{path}" standing for the map
  bool run_tool;        // also through the built tool: one row for each step that refuses
};

std::vector<BadMap> BadMaps() {
  const MapLumps sample = SampleMapLumps();
  const std::string good = BuildSampleMap();
  const auto size = static_cast<int32_t>(good.size());
  std::string v28 = good, v31 = WithLump(sample, kLumpFaces, std::string(30, '\0'));
  SetVersion(v28, 28);
  SetVersion(v31, 31);
  const LumpEntry light = GetLumpEntry(good, kLumpLighting);
  const auto outside = [&](const std::string& lump, int64_t offset, int64_t length) {
    return "LoadBSPFile: " + lump + " lump lies outside the file (" + lump + " lump of {path}: offset " +
           std::to_string(offset) + ", length " + std::to_string(length) + ", file size " + std::to_string(size) + ")";
  };
  const auto beyond = [](const std::string& record, const std::string& lump, int64_t plane) {
    return record + " refers to plane " + std::to_string(plane) + ", but the map has 60 planes (" + lump +
           " lump of {path})";
  };
  const std::string too_short = "{path} is too short to be a map: ";
  return {
      {"version 28", v28, "{path} is version 28, not 30", true},
      {"planes lump of 30 bytes", WithLump(sample, kLumpPlanes, sample.lump[kLumpPlanes].substr(0, 30)),
       "LoadBSPFile: odd lump size (planes lump of {path}: 30 bytes is not a whole number of 20-byte records)", false},
      {"version 31 and an odd faces lump", v31, "{path} is version 31, not 30", false},
      {"shorter than a header", good.substr(0, 100), too_short + "100 bytes, less than its 124-byte header", false},
      {"empty file", "", too_short + "0 bytes, less than its 124-byte header", false},
      {"negative offset", WithEntry(good, kLumpPlanes, -20, 1200), outside("planes", -20, 1200), false},
      {"negative length", WithEntry(good, kLumpVertexes, 124, -12), outside("vertexes", 124, -12), false},
      {"lump runs past the end", WithEntry(good, kLumpLighting, size - 100, light.length),
       outside("lightdata", size - 100, light.length), true},
      {"lump as long as the file", WithEntry(good, kLumpTextures, 124, size), outside("texdata", 124, size), false},
      {"offset plus length overflows", WithEntry(good, kLumpEdges, INT32_MAX - 3, 8),
       outside("edges", INT32_MAX - 3, 8), false},
      {"face refers to the plane count", WithPlaneRef(kLumpFaces, 20, 2, Le16(60)), beyond("face 2", "faces", 60),
       true},
      {"node refers to plane -5", WithPlaneRef(kLumpNodes, 24, 1, Le32(-5)), beyond("node 1", "nodes", -5), false},
      {"clipnode refers past the planes", WithPlaneRef(kLumpClipnodes, 8, 17, Le32(1000)),
       beyond("clipnode 17", "clipnodes", 1000), false},
  };
}

// A refused run prints the banner first and ends with the error banner and a
// one-line message; returns that message.
std::string ErrorMessage(const RunResult& r) {
  EXPECT_EQ(r.out.substr(0, Banner().size()), Banner());
  return refusal::ErrorMessage(r);
}

// Every bad map is refused with its exact message, in this process; the
// built tool, for one map of each step that refuses, prints it after the
// banners, ends with status 1 and leaves the map as it was.
TEST(EndToEndTest, BadMapsAreRefusedAndLeftUntouched) {
  for (const BadMap& bad : BadMaps()) {
    SCOPED_TRACE(bad.name);
    refusal::ExpectBytesRefused(bad.map, bad.message);
    if (!bad.run_tool) continue;
    std::string dir = MapDir(bad.map);
    std::string path = dir + "/m.bsp";
    EXPECT_EQ(ErrorMessage(Cull(dir)), refusal::WithPath(bad.message, ToolDir(dir) + "/m.bsp"));
    EXPECT_EQ(ReadFile(path), bad.map);
    EXPECT_EQ(ListDir(dir), kJustTheMap);
  }
}

void ExpectFailedSaveLeftNoTrace(const RunResult& r, const std::string& dir, const std::string& map) {
  EXPECT_NE(r.out.find(kSampleTable), std::string::npos);
  EXPECT_NE(ErrorMessage(r).find(ToolDir(dir) + "/m.bsp"), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), map);
  EXPECT_EQ(ListDir(dir), kJustTheMap);
}

// A copy of the tool that any user may run (the build tree may sit in a
// private folder), which RunTool runs while this object lives.
struct ToolForAnyUser {
  std::string saved = getenv("FLATCULL_TEST_EXE") ? getenv("FLATCULL_TEST_EXE") : "";
  ToolForAnyUser() {
    std::string dir = MakeTempDir();
    std::string tool = dir + "/" + fs::path(ToolCommand().back()).filename().string();
    fs::copy_file(ToolCommand().back(), tool);
    chmod(dir.c_str(), 0755);
    chmod(tool.c_str(), 0755);
    setenv("FLATCULL_TEST_EXE", tool.c_str(), 1);
  }
  ~ToolForAnyUser() {
    if (saved.empty())
      unsetenv("FLATCULL_TEST_EXE");
    else
      setenv("FLATCULL_TEST_EXE", saved.c_str(), 1);
  }
};

// Runs the tool as nobody, in the groups given.
std::function<void()> AsNobody(std::vector<gid_t> groups = {}) {
  return [groups] {
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
  };
}

TEST(EndToEndTest, SaveIntoReadOnlyDirectoryLeavesMapIntact) {
  // Windows has no directory write permission to deny; its failed replace is
  // HostTest.MapHeldOpenElsewhereIsKeptWhenTheReplaceFails.
  if (ToolIsWindowsExe()) GTEST_SKIP() << "POSIX directory permissions";
  std::string map = BuildSampleMap();
  std::string dir = MapDir(map);
  // Root writes anywhere; run the tool as a user who may read the map but
  // not create a file beside it.
  std::optional<ToolForAnyUser> tool;
  if (geteuid() == 0) tool.emplace();
  // The map itself may be written: only its folder refuses the new file.
  ASSERT_EQ(chmod((dir + "/m.bsp").c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  RunResult r = Cull(dir, tool ? AsNobody() : nullptr);
  chmod(dir.c_str(), 0755);
  if (tool && r.status == 126) GTEST_SKIP() << "running as root and unable to drop privileges";
  ExpectFailedSaveLeftNoTrace(r, dir, map);
}

TEST(EndToEndTest, SaveCutShortByFileSizeLimitLeavesMapIntact) {
  std::string map = BuildSampleMap();
  ASSERT_GT(map.size(), 4096u);
  std::string dir = MapDir(map);
  // The limit covers the console output too (it goes to a file), which stays
  // under it; the map does not. Ignoring SIGXFSZ turns the cut into a failed
  // write instead of a killed process.
  RunResult r = Cull(dir, [] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{2048, 2048};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  });
  ExpectFailedSaveLeftNoTrace(r, dir, map);
}

TEST(EndToEndTest, SaveKeepsPermissionBitsAndOwner) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "Windows files have no POSIX mode bits or owner";
  std::string dir = MapDir(BuildSampleMap());
  std::string path = dir + "/m.bsp";
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  // Run as root on another user's map, the map must stay theirs.
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(Cull(dir).status, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  EXPECT_EQ(ReadFile(path), BuildMap(SampleMapLumps(3, true)));
}

TEST(EndToEndTest, SaveThroughSymlinkReplacesTargetAndKeepsLink) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "a POSIX symbolic link is a plain name to a Windows program";
  std::string link_dir = fs::canonical(MakeTempDir()).string();
  std::string target_dir = MapDir(BuildSampleMap());
  std::string link_text = "../" + fs::path(target_dir).filename().string() + "/m.bsp";
  fs::create_symlink(link_text, link_dir + "/m.bsp");
  ASSERT_EQ(Cull(link_dir).status, 0);
  EXPECT_TRUE(fs::is_symlink(link_dir + "/m.bsp"));
  EXPECT_EQ(fs::read_symlink(link_dir + "/m.bsp").string(), link_text);
  EXPECT_EQ(ReadFile(target_dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(link_dir), kJustTheMap);
  EXPECT_EQ(ListDir(target_dir), kJustTheMap);
}

// A failed map, missing or refused, neither stops the run nor is touched;
// the others are compacted exactly, and the summary adds up the run and names
// each failed map. With -quiet each map has one line, with the same message.
TEST(EndToEndTest, SeveralMapsRunInOrderPastFailures) {
  const std::string three = BuildSampleMap(3), one = BuildMap(SampleMapLumps(1, true)), bad = three.substr(0, 1000);
  std::string why, dir = MapDir(three), d = ToolDir(dir);  // why: the damaged map's message, as the first run gives it
  const std::string missing = "File '" + d + "/missing.bsp' not found.\n";
  for (bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "-quiet" : "");
    for (const auto& [name, bytes] : {std::pair{"/m.bsp", three}, {"/bad.bsp", bad}, {"/one.bsp", one}})
      WriteFile(dir + name, bytes);
    RunResult r = RunTool({"-nopause", quiet ? "-quiet" : "--", "m", "missing", "bad.bsp", "one"}, dir);
    EXPECT_EQ(r.status, 1);
    size_t at = r.out.find(refusal::kErrorBanner) + refusal::kErrorBanner.size();
    if (!quiet) why = r.out.substr(at, r.out.find('\n', at) - at);
    std::vector<std::string> steps = {
        "\n==== Map 1 of 4: " + d + "/m.bsp\n", "\nOptimized!\n", "\n==== Map 2 of 4: " + d + "/missing.bsp\n" + missing,
        "\n==== Map 3 of 4: " + d + "/bad.bsp\n" + refusal::kErrorBanner + why + "\n",
        "\n==== Map 4 of 4: " + d + "/one.bsp\n", kUntouched};
    if (quiet)
      steps = {d + "/m.bsp: planes 60 -> 22, bytes 8132 -> 7372, rewritten\n" + d + "/missing.bsp: failed: " + missing +
               d + "/bad.bsp: failed: " + why + "\n" + d + "/one.bsp: planes 12 -> 12, bytes 2892 -> 2892, already compact\n"};
    at = 0;
    for (const std::string& step : steps) {
      size_t found = r.out.find(step, at);
      ASSERT_TRUE(quiet ? found == 0 : found != std::string::npos) << "missing, or out of order: " << step << r.out;
      at = found + step.size();
    }
    EXPECT_EQ(r.out.substr(at), "\n4 maps: 1 rewritten, 1 already compact, 2 failed. Planes: 72 before, 34 after. "
                                "Bytes: 11024 before, 10264 after, in the 2 maps handled.\nFailed: " + d + "/missing.bsp: " + missing +
                                "Failed: " + d + "/bad.bsp: " + why + "\n");
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
    EXPECT_EQ(ReadFile(dir + "/one.bsp"), one);
    EXPECT_EQ(ReadFile(dir + "/bad.bsp"), bad);
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"bad.bsp", "m.bsp", "one.bsp"}));
  }
}

// -out writes each map into the folder, a new file with the map's mode, and
// leaves the map alone, even a read-only map in a read-only folder; a second
// map of the same file name is refused alone.
TEST(EndToEndTest, OutWritesEachMapIntoTheFolderAndLeavesTheMap) {
  const std::string map = BuildSampleMap(), culled = BuildMap(SampleMapLumps(3, true));
  const std::tuple<std::vector<std::string>, std::string, int> cases[] = {  // args, a line of output ($S: the maps' folder), status
      {{"-out", "../out", "m"}, "$S/m.bsp: planes 60 -> 22, bytes 8132 -> 7372, rewritten to $S/../out/m.bsp\n", 0},
      {{"--out=../out", "m", "sub/M"}, "\n$S/sub/M.bsp: failed: $S/sub/M.bsp has the same file name as $S/m.bsp, "
       "earlier in this run: only the first is written to $S/../out/M.bsp\n", 1}};
  for (auto [maps, line, status] : cases) {
    std::string root = fs::canonical(MakeTempDir()).string(), src = root + "/src";
    fs::create_directories(src + "/sub");
    fs::create_directory(root + "/out");
    for (const char* name : {"/m.bsp", "/sub/M.bsp"}) WriteFile(src + name, map);
    ASSERT_TRUE(chmod((src + "/m.bsp").c_str(), 0444) == 0 && chmod(src.c_str(), 0555) == 0);
    maps.insert(maps.begin(), {"-nopause", "-quiet"});
    RunResult r = RunTool(maps, src);
    chmod(src.c_str(), 0755);
    for (size_t at; (at = line.find("$S")) != std::string::npos;) line.replace(at, 2, ToolDir(src));
    EXPECT_TRUE(r.status == status && r.out.find(line) != std::string::npos) << r.out;
    EXPECT_TRUE(ReadFile(src + "/m.bsp") == map && ReadFile(root + "/out/m.bsp") == culled);
    EXPECT_TRUE(ListDir(root + "/out") == kJustTheMap && ListDir(src) == (std::vector<std::string>{"m.bsp", "sub"}));
    struct stat st {};
    EXPECT_TRUE(ToolIsWindowsExe() || (stat((root + "/out/m.bsp").c_str(), &st) == 0 && (st.st_mode & 07777) == 0644));
  }
}

// Nothing that others planted is followed or written through: in -out's
// folder a link, a folder or another name of a map of the run is refused,
// as is a log that is a map or an output (and no log is created then), and
// a folder the tool could not clean up after itself.
TEST(EndToEndTest, NothingPlantedIsFollowed) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "POSIX links and flags";
  const std::string map = BuildSampleMap();
  const struct {
    const char* name;
    const char* setup;  // run in the root, which holds src/m.bsp and out/
    std::vector<std::string> args;
    const char* line;   // $S: src, $O: out
    std::vector<std::pair<std::string, std::string>> files;  // what they hold after; "" for none
  } cases[] = {
      {"a link to another's file", "echo secret > victim && ln -s ../victim out/m.bsp", {"-nopause", "-out", "../out", "m"},
       "Error writing $O/m.bsp: it is a symbolic link, which -out does not follow", {{"victim", "secret\n"}}},
      {"a dangling link", "ln -s ../made.bsp out/m.bsp", {"-nopause", "-out", "../out", "m"},
       "Error writing $O/m.bsp: it is a symbolic link, which -out does not follow", {{"made.bsp", ""}}},
      {"a folder", "mkdir out/m.bsp", {"-nopause", "-out", "../out", "m"}, "Error writing $O/m.bsp: not a regular file", {}},
      {"a hard-linked copy of the map", "ln src/m.bsp out/m.bsp", {"-nopause", "-out", "../out", "m"},
       "Error writing $O/m.bsp: it is the map $S/m.bsp of this run", {}},
      {"the log as the output", "", {"-nopause", "-logfile", "../out/m.bsp", "-out", "../out", "m"},
       "Unable to open log file $O/m.bsp: it is the output $O/m.bsp", {{"out/m.bsp", ""}}},
      {"a log that is a missing map", "", {"-nopause", "-logfile", "nx.bsp", "nx.bsp"},
       "Unable to open log file $S/nx.bsp: it is the map $S/nx.bsp", {{"src/nx.bsp", ""}}},
      {"a log that is a map by another name", "cp src/m.bsp src/m.dat", {"-nopause", "-logfile", "m.dat", "m"},
       "Unable to open log file $S/m.dat: it is a map", {{"src/m.dat", map}}},
      {"a log named as a map", "", {"-logfile", "new.BSP", "m"}, "Unable to open log file $S/new.BSP: its name ends in .bsp",
       {{"src/new.BSP", ""}}},
      {"a folder as the log", "mkdir src/logs", {"-logfile", "logs", "m"}, "Unable to open log file $S/logs: it is a folder", {}},
      {"a log name that ends in a separator", "", {"-logfile", "logs/", "m"},
       "Unable to open log file $S/logs/: it is a folder", {{"src/logs", ""}}},
      {"an append-only folder", "chattr +a src", {"-nopause", "m"},
       "Error writing $S/m.bsp: cannot create a file in $S: the folder is append-only", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string root = fs::canonical(MakeTempDir()).string(), src = root + "/src";
    fs::create_directories(src);
    fs::create_directory(root + "/out");
    WriteFile(src + "/m.bsp", map);
    ASSERT_EQ(RunCommand({"sh", "-c", c.setup}, root).status, 0);
    RunResult r = RunTool(c.args, src);
    RunCommand({"chattr", "-a", "src"}, root);
    std::string line = c.line;
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"$O", src + "/../out"}, {"$S", src}})
      for (size_t at; (at = line.find(key)) != std::string::npos;) line.replace(at, key.size(), value);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(src + "/m.bsp"), map);
    for (const auto& [name, bytes] : c.files)
      EXPECT_EQ(FileExists(root + "/" + name) ? ReadFile(root + "/" + name) : "", bytes) << name;
  }
}

// A folder named as a map stands for the maps directly in it, in byte order;
// one without maps fails alone.
TEST(EndToEndTest, FolderStandsForItsMaps) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "Windows orders names without case";
  std::string dir = fs::canonical(MakeTempDir()).string(), d = ToolDir(dir);
  fs::create_directories(dir + "/x/sub");
  fs::create_directory(dir + "/empty");
  for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"b.bsp", BuildSampleMap()},
                                    {"A.BSP", BuildMap(SampleMapLumps(1, true))}, {"sub/c.bsp", BuildSampleMap()}, {"notes.txt", "notes"}})
    WriteFile(dir + "/x/" + name, bytes);
  RunResult r = RunTool({"-nopause", "-quiet", "x/", "empty"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, d + "/x/A.BSP: planes 12 -> 12, bytes 2892 -> 2892, already compact\n" + d +
                       "/x/b.bsp: planes 60 -> 22, bytes 8132 -> 7372, rewritten\n" + d + "/empty: failed: No map "
                       "(*.bsp) in folder " + d + "/empty\n\n3 maps: 1 rewritten, 1 already compact, 1 failed. Planes: "
                       "72 before, 34 after. Bytes: 11024 before, 10264 after, in the 2 maps handled.\nFailed: " + d +
                       "/empty: No map (*.bsp) in folder " + d + "/empty\n");
  EXPECT_EQ(ReadFile(dir + "/x/sub/c.bsp"), BuildSampleMap());
}

// -check reports and writes nothing; its status says whether any map would
// change (2), none would (0), or one failed (1).
TEST(EndToEndTest, CheckWritesNothingAndAnswersWithItsStatus) {
  const std::string full = BuildSampleMap(1), compact = BuildMap(SampleMapLumps(1, true));
  const struct {
    std::vector<std::string> maps;
    int status;
    std::string last_line;
  } cases[] = {
      {{"compact"}, 0, "\nCheck: the map is already compact.\n"},
      {{"full"}, 2, "\nCheck: the map would be rewritten.\n"},
      {{"compact", "full"}, 2, "2 maps: 1 would be rewritten, 1 already compact, 0 failed."},
      {{"full", "missing", "compact"}, 1, "3 maps: 1 would be rewritten, 1 already compact, 1 failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maps.front() + " ... " + c.maps.back());
    std::string dir = fs::canonical(MakeTempDir()).string();
    WriteFile(dir + "/full.bsp", full);
    WriteFile(dir + "/compact.bsp", compact);
    std::vector<std::string> args = {"-check", "-nopause"};
    args.insert(args.end(), c.maps.begin(), c.maps.end());
    RunResult r = RunTool(args, dir);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.last_line), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Optimized!"), std::string::npos);
    EXPECT_EQ(ReadFile(dir + "/full.bsp"), full);
    EXPECT_EQ(ReadFile(dir + "/compact.bsp"), compact);
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"compact.bsp", "full.bsp"}));
  }
}

TEST(EndToEndTest, UnknownSwitchAnywhereTouchesNoMap) {
  const std::string map = BuildSampleMap();
  std::string dir = MapDir(map);
  RunResult r = RunTool({"-nopause", "m.bsp", "-nopaus"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Unknown switch '-nopaus'.\n\nusage: flatcull", 0), 0u) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), map);
  EXPECT_EQ(ListDir(dir), kJustTheMap);
}

// What a failure that -out would avoid ends with.
#define HINT " (-out DIR writes the map to another folder)"

// Runs the tool as a user (nobody) who may not write a map owned by root;
// skips when that cannot be arranged. The folder is open to everyone.
TEST(EndToEndTest, MapTheUserMayNotWriteIsRefusedUnlessUnchanged) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "POSIX permission bits";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  const std::string full = BuildSampleMap(), compact = BuildMap(SampleMapLumps(3, true));
  const struct {
    const char* name;
    std::string map;
    mode_t mode;
    uid_t owner;
    int status;
    const char* check;  // a switch to run with
    const char* why = ": the file is read-only" HINT;  // $D: the map's folder
    mode_t folder = 0777;
  } cases[] = {{"read-only own map", full, 0444, 65534, 1, "-nopause"},
               {"read-only own map, -check", full, 0444, 65534, 1, "-check"},
               {"another user's map", full, 0644, 0, 1, "-nopause", ": Permission denied" HINT},
               {"another user's map, -check", full, 0644, 0, 1, "-check", ": Permission denied" HINT},
               {"read-only map already compact", compact, 0444, 65534, 0, "-nopause"},
               {"own map in a folder it may not write, -check", full, 0644, 65534, 1, "-check",
                ": cannot create a file in $D: Permission denied" HINT, 0755}};
  ToolForAnyUser tool;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = MapDir(c.map), path = dir + "/m.bsp";
    ASSERT_EQ(chmod(dir.c_str(), c.folder), 0);
    ASSERT_EQ(chown(path.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    RunResult r = RunTool({c.check, "-nopause", "m.bsp"}, dir, "", AsNobody());
    EXPECT_EQ(r.status, c.status);
    if (c.status == 1) {
      std::string why = c.why;
      if (size_t at = why.find("$D"); at != std::string::npos) why.replace(at, 2, dir);
      EXPECT_EQ(refusal::ErrorMessage(r), "Error writing " + path + why);
    }
    EXPECT_EQ(ReadFile(path), c.map);
    EXPECT_EQ(ListDir(dir), kJustTheMap);
  }
}

// What a rewrite must leave as it was: the file's mode, owner, group and
// links, every extended attribute with its value (ACLs are the
// system.posix_acl_* ones, trusted.* shows to root) and its inode flags (as
// chattr sets them); not its size, its times or (renamed over) its inode.
// Read in this process, as getfacl, getfattr and lsattr read them.
std::string Identity(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
  std::string id = "mode " + std::to_string(st.st_mode) + ", owner " + std::to_string(st.st_uid) + ":" +
                   std::to_string(st.st_gid) + ", links " + std::to_string(st.st_nlink) + "\n";
  std::string names(1 << 16, '\0');
  ssize_t size = llistxattr(path.c_str(), names.data(), names.size());
  EXPECT_GE(size, 0) << path;
  std::vector<std::string> attributes;
  for (size_t at = 0; at < static_cast<size_t>(std::max<ssize_t>(size, 0)); at = names.find('\0', at) + 1)
    attributes.push_back(names.c_str() + at);
  std::sort(attributes.begin(), attributes.end());
  for (const std::string& name : attributes) {
    std::string value(1 << 16, '\0');
    ssize_t length = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    EXPECT_GE(length, 0) << name;
    id += name + "=" + value.substr(0, static_cast<size_t>(std::max<ssize_t>(length, 0))) + "\n";
  }
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), flags = 0;
  EXPECT_TRUE(fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) << "inode flags of " << path;
  if (fd >= 0) close(fd);
  return id + "flags " + std::to_string(flags) + "\n";
}

// Only the bytes change, whether the new map is renamed over the old one or,
// where the new file could not carry the map's owner or other names, written
// in place; a map with no write bit is refused, root or not.
TEST(EndToEndTest, RewriteKeepsOwnerGroupModeAclsAttributesAndFlags) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "POSIX owners, ACLs and attributes";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give maps owners and run as others";
  const struct {
    const char* name;
    const char* setup;  // a shell command run in the map's folder
    const char* run;    // the switch the tool runs with
    bool member;        // run as nobody in the map's group (50)
    bool refused;
    const char* why = ": the file is read-only" HINT;
  } cases[] = {
      {"root on another user's map with an ACL, attributes and a flag",
       "chown 1000:1000 m.bsp && chmod 640 m.bsp && setfacl -m u:65534:--- m.bsp && "
       "setfattr -n user.note -v kept m.bsp && setfattr -n trusted.note -v kept m.bsp && chattr +d m.bsp",
       "-nopause", false, false},
      {"a member of the group of a group-writable map", "chown 0:50 m.bsp && chmod 664 m.bsp && chmod 777 .",
       "-nopause", true, false},
      {"a hard-linked map", "ln m.bsp n.bsp", "-nopause", false, false},
      {"a folder with a default ACL", "setfacl -d -m u:65534:rwx .", "-nopause", false, false},
      {"a mode-444 map as root", "chmod 444 m.bsp", "-nopause", false, true},
      {"a mode-444 map as root, -check", "chmod 444 m.bsp", "-check", false, true},
      {"an immutable map", "chattr +i m.bsp", "-nopause", false, true, ": the file is read-only (immutable)" HINT},
      {"an append-only map, -check", "chattr +a m.bsp", "-check", false, true, ": the file is read-only (append-only)" HINT},
      {"the owner of a set-group-ID map", "chown 65534:50 m.bsp && chmod 2775 m.bsp && chmod 777 .", "-nopause", true,
       false},
      {"the owner of a hard-linked set-group-ID map",
       "ln m.bsp n.bsp && chown 65534:50 m.bsp && chmod 2775 m.bsp && chmod 777 .", "-nopause", true, false},
      {"a hard-linked set-user-ID map of another user",
       "ln m.bsp n.bsp && chown 1000:50 m.bsp && chmod 4775 m.bsp && chmod 777 .", "-nopause", true, true,
       ": its set-ID bits can't be kept by this user"},
  };
  ToolForAnyUser tool;
  const std::string map = BuildSampleMap(), culled = BuildMap(SampleMapLumps(3, true));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = MapDir(map), path = dir + "/m.bsp";
    ASSERT_EQ(RunCommand({"sh", "-c", c.setup}, dir).status, 0);
    std::vector<std::string> names = ListDir(dir);
    std::string before = Identity(path);
    RunResult r = RunTool({c.run, "-nopause", "m.bsp"}, dir, "", c.member ? AsNobody({50}) : nullptr);
    EXPECT_EQ(Identity(path), before);
    if (c.refused) {
      EXPECT_EQ(refusal::ErrorMessage(r), "Error writing " + path + c.why);
    }
    EXPECT_EQ(r.status, c.refused ? 1 : 0) << r.out;
    for (const std::string& name : names) EXPECT_EQ(ReadFile(dir + "/" + name), c.refused ? map : culled) << name;
    EXPECT_EQ(ListDir(dir), names);
    RunCommand({"chattr", "-i", "-a", "m.bsp"}, dir);
  }
}

// Preloads the stand-in for another program, which acts at the tool's first
// fsync (see meddle.cpp), and with fail the fault shim failing those calls
// (see faultshim.cpp).
std::function<void()> Meddling(const std::string& action, const std::string& fail = "") {
  return [action, fail] {
    PreloadIntoTool(std::string(MEDDLE_PATH) + (fail.empty() ? "" : ":" FAULTSHIM_PATH),
                    {{"FLATCULL_MEDDLE", action}, {"FLATCULL_FAIL", fail}});
  };
}

// Another program changes or replaces the map after the tool read it, even
// to the same size with its modification time put back: its file is kept,
// and the save is refused, whether the map would be renamed over or, with a
// second name, written in place.
TEST(EndToEndTest, MapChangedByAnotherProgramDuringTheSaveIsKept) {
  if (!Preloadable()) GTEST_SKIP() << "the preloaded stand-in cannot reach a tool run through a runner";
  std::string rewritten = BuildSampleMap();
  rewritten.back() = static_cast<char>(~rewritten.back());
  const std::pair<std::string, std::string> changes[] = {
      {"append", BuildSampleMap() + "x"}, {"replace", "another program's map"}, {"rewrite", rewritten}};
  for (const auto& [how, after] : changes) {
    for (bool linked : {false, true}) {
      SCOPED_TRACE(how + (linked ? ", hard-linked" : ""));
      std::string dir = MapDir(BuildSampleMap()), path = dir + "/m.bsp";
      if (linked) fs::create_hard_link(path, dir + "/n.bsp");
      RunResult r = Cull(dir, Meddling(how + ":" + path));
      EXPECT_EQ(refusal::ErrorMessage(r), "Error writing " + path +
                                              ": another program changed or replaced it since it was read; its file is kept");
      EXPECT_EQ(ReadFile(path), after);
      const std::vector<std::string> names = {"m.bsp", "n.bsp"};
      EXPECT_EQ(ListDir(dir), linked ? names : kJustTheMap);
    }
  }
}

// A run ended by a signal while the new file is written leaves nothing
// behind: an unnamed new file (tmpfs has them) even under SIGKILL, a named
// one (where the file system has no unnamed files) is removed on the way out.
// An interrupt (SIGTERM) lets the save finish, then ends the run by itself.
TEST(EndToEndTest, SignalledSaveLeavesNothingBehind) {
  if (!Preloadable()) GTEST_SKIP() << "the preloaded stand-in cannot reach a tool run through a runner";
  const struct {
    int signo;
    const char* fail;
    bool saved;
  } cases[] = {{SIGKILL, "", false}, {SIGTERM, "tmpfile", true}, {SIGXCPU, "tmpfile", false}};
  for (const auto& [signo, fail, saved] : cases) {
    SCOPED_TRACE(signo);
    std::string shm = "/dev/shm/flatcull-test.XXXXXX";
    if (!mkdtemp(shm.data())) GTEST_SKIP() << "no /dev/shm";
    std::string map = BuildSampleMap();
    WriteFile(shm + "/m.bsp", map);
    RunResult r = Cull(shm, Meddling("signal:" + std::to_string(signo), fail));
    EXPECT_EQ(r.status, 128 + signo);
    EXPECT_EQ(ReadFile(shm + "/m.bsp"), saved ? BuildMap(SampleMapLumps(3, true)) : map);
    EXPECT_EQ(ListDir(shm), kJustTheMap);
    fs::remove_all(shm);
  }
}

// An interrupt lets the map being saved finish, starts no other, prints the
// summary and then ends the tool by the signal, as a shell expects.
TEST(EndToEndTest, InterruptedBatchEndsWithItsSummary) {
  if (!Preloadable()) GTEST_SKIP() << "the preloaded stand-in cannot reach a tool run through a runner";
  std::string dir = MapDir(BuildSampleMap()), d = ToolDir(dir);
  for (const char* name : {"/n.bsp", "/o.bsp"}) WriteFile(dir + name, BuildSampleMap());
  RunResult r = RunTool({"-nopause", "-quiet", "m", "n", "o"}, dir, "", Meddling("signal:2"));
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_EQ(r.out, d + "/m.bsp: planes 60 -> 22, bytes 8132 -> 7372, rewritten\n\n1 map: 1 rewritten, 0 already "
                       "compact, 0 failed. Planes: 60 before, 22 after. Bytes: 8132 before, 7372 after.\nInterrupted: 2 "
                       "of 3 maps were not processed.\n");
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ReadFile(dir + "/o.bsp"), BuildSampleMap());
}

// A compact map whose planes 0 and 1 trade places in every reference: it
// keeps all its planes, but first-reference order would renumber them.
std::string RenumberOnlyMap() {
  MapLumps lumps = SampleMapLumps(1, true);
  for (const auto& [lump, size] : {std::pair{kLumpFaces, 20}, {kLumpNodes, 24}, {kLumpClipnodes, 8}})
    for (size_t at = 0; at < lumps.lump[lump].size(); at += static_cast<size_t>(size))
      if (char& low = lumps.lump[lump][at]; low == 0 || low == 1) low ^= 1;  // indices < 256: the rest is 0
  return BuildMap(lumps);
}

// -shrink-only leaves a map that keeps all its planes exactly as it is, even
// when it would be renumbered: not rewritten, not checked as would be, not
// written under -out. A map that loses planes is rewritten; without the
// switch, so is the renumbered one.
TEST(EndToEndTest, ShrinkOnlyLeavesAMapThatKeepsItsPlanes) {
  const std::string same = RenumberOnlyMap(), full = BuildSampleMap(), n = std::to_string(same.size());
  const std::string left = "r.bsp: planes 12 -> 12, bytes " + n + " -> " + n + ", no plane to drop, left as it is";
  const struct {
    std::vector<std::string> args;
    std::string out;  // $D: the maps' folder
    int status;
  } cases[] = {
      {{"-shrink-only", "r", "f"}, "$D/" + left + "\n$D/f.bsp: planes 60 -> 22, bytes 8132 -> 7372, rewritten\n\n2 maps: "
       "1 rewritten, 0 already compact, 1 left as they are, 0 failed. Planes: 72 before, 34 after. Bytes: " +
       std::to_string(8132 + same.size()) + " before, " + std::to_string(7372 + same.size()) + " after.\n", 0},
      {{"-shrink-only", "-check", "r"}, "$D/" + left + "\n", 0},
      {{"--shrink-only", "-out", "o", "r"}, "$D/" + left + ", nothing written to $D/o/r.bsp\n", 0},
      {{"r"}, "$D/r.bsp: planes 12 -> 12, bytes " + n + " -> " + n + ", rewritten\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    std::string dir = fs::canonical(MakeTempDir()).string(), out = c.out;
    WriteFile(dir + "/r.bsp", same);
    WriteFile(dir + "/f.bsp", full);
    std::vector<std::string> args = {"-nopause", "-quiet"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunTool(args, dir);
    for (size_t at; (at = out.find("$D")) != std::string::npos;) out.replace(at, 2, ToolDir(dir));
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ReadFile(dir + "/r.bsp") == same, c.args.size() > 1);
    EXPECT_TRUE(!fs::exists(dir + "/o") || fs::is_empty(dir + "/o"));
  }
}

// -r walks the whole tree in byte order of the names within it, never
// through a link to a folder (a loop ends), and -out mirrors it into a
// folder it makes; a name that is no file finds NAME.bsp.
TEST(EndToEndTest, TreeStandsForItsMapsWithR) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "POSIX links and byte order";
  std::string dir = fs::canonical(MakeTempDir()).string();
  const std::string map = BuildMap(SampleMapLumps(1, true)), names[] = {"t/B.bsp", "t/a.bsp", "t/a/b.bsp", "fy_v1.2.bsp"};
  fs::create_directories(dir + "/t/a");
  fs::create_directory_symlink("..", dir + "/t/a/up");
  std::string expected;
  for (const std::string& name : names) {
    WriteFile(dir + "/" + name, map);
    expected += dir + "/" + name + ": planes 12 -> 12, bytes 2892 -> 2892, already compact, copied to " + dir + "/o/" +
                (name.starts_with("t/") ? name.substr(2) : name) + "\n";
  }
  RunResult r = RunTool({"-nopause", "-quiet", "-r", "-out", "o", "t", "fy_v1.2"}, dir);
  EXPECT_EQ(r.out, expected + "\n4 maps: 0 rewritten, 4 already compact, 0 failed. Planes: 48 before, 48 after. "
                              "Bytes: 11568 before, 11568 after.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ListDir(dir + "/o/a"), std::vector<std::string>{"b.bsp"});
  EXPECT_EQ(ReadFile(dir + "/o/a/b.bsp"), map);
}

// Under -r a subfolder that cannot be read is one failure, and the walk
// goes on past it.
TEST(EndToEndTest, UnreadableSubfolderFailsAloneUnderR) {
  if (ToolIsWindowsExe() || geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  ToolForAnyUser tool;
  std::string dir = fs::canonical(MakeTempDir()).string(), locked = dir + "/t/locked";
  fs::create_directories(locked);
  WriteFile(dir + "/t/z.bsp", BuildMap(SampleMapLumps(1, true)));
  ASSERT_TRUE(chmod(dir.c_str(), 0755) == 0 && chmod((dir + "/t").c_str(), 0755) == 0 && chmod(locked.c_str(), 0) == 0);
  RunResult r = RunTool({"-nopause", "-quiet", "-check", "-r", "t"}, dir, "", AsNobody());
  const std::string why = "Error opening folder " + locked + ": Permission denied\n";
  EXPECT_EQ(r.out, locked + ": failed: " + why + dir + "/t/z.bsp: planes 12 -> 12, bytes 2892 -> 2892, already compact\n\n"
                   "2 maps: 0 would be rewritten, 1 already compact, 1 failed. Planes: 12 before, 12 after. Bytes: 2892 "
                   "before, 2892 after, in the 1 map handled.\nFailed: " + locked + ": " + why);
  EXPECT_EQ(r.status, 1);
}

// -json gives one object a line, which a strict parser takes, a name that
// is not UTF-8 included (its bytes also in hex), and the summary last.
TEST(EndToEndTest, JsonGivesOneObjectPerMapAndTheSummary) {
  if (ToolIsWindowsExe()) GTEST_SKIP() << "a name that is not UTF-8";
  using Json = nlohmann::json;
  std::string dir = fs::canonical(MakeTempDir()).string(), odd = dir + "/x\xff.bsp";
  WriteFile(dir + "/bad.bsp", BuildSampleMap().substr(0, 100));
  WriteFile(dir + "/m.bsp", BuildSampleMap());
  WriteFile(odd, BuildMap(SampleMapLumps(1, true)));
  RunResult r = RunTool({"-json", "."}, dir);
  std::vector<Json> lines;
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Json::parse(r.out.substr(at, end - at)));
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], Json::parse(R"({"map": ")" + dir + R"(/bad.bsp", "status": "failed", "message": ")" + dir +
                                  "/bad.bsp is too short to be a map: 100 bytes, less than its 124-byte header\"}"));
  EXPECT_EQ(lines[1]["status"], "rewritten");
  EXPECT_EQ(lines[1]["lumps"][1], Json::parse(R"({"name": "planes", "count": 60, "max": 32767, "full": 0.2})"));
  EXPECT_EQ(lines[1]["planes"], Json::parse(R"({"before": 60, "after": 22})"));
  EXPECT_EQ(lines[2]["map"], dir + "/x\xEF\xBF\xBD.bsp");
  std::string hex;
  for (unsigned char c : odd) hex += "0123456789abcdef"[c >> 4] + std::string(1, "0123456789abcdef"[c & 15]);
  EXPECT_EQ(lines[2]["name_bytes"], hex);
  EXPECT_EQ(lines[3], Json::parse(R"({"summary": {"maps": 3, "rewritten": 1, "already compact": 1, "would be rewritten": 0,
    "left as it is": 0, "failed": 1, "interrupted": 0, "planes": {"before": 72, "after": 34},
    "bytes": {"before": 11024, "after": 10264}}})"));
  EXPECT_EQ(r.status, 1);
}

}  // namespace
