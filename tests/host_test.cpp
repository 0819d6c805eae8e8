// host_test.cpp: what must hold on every host the tool is built for: the same
// bytes written everywhere, the host's own line ends and path names, the
// pause, and a map replaced in one step. Run against the native build, and by
// scripts/cross-check.sh against the Windows exe under wine and the s390x
// build under qemu.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "hostmaps.h"
#include "mapbuilder.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

const std::string kPause = "\nPress a key to continue.\n";

std::string ScratchDir() { return fs::canonical(MakeTempDir()).string(); }

std::string Backslashes(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

TEST(HostTest, EveryBuildWritesTheSameBytes) {
  for (const HostMap& map : CrossHostMaps()) {
    SCOPED_TRACE(map.name);
    std::string dir = ScratchDir();
    WriteFile(dir + "/m.bsp", map.input);
    RunResult r = RunTool({"-nopause", "m.bsp"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), map.expected);
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{"m.bsp"});
  }
}

// Console and log are text streams: CRLF on Windows, LF elsewhere, and the
// log holds the very bytes the console got.
TEST(HostTest, ConsoleAndLogGetTheHostsLineEnds) {
  std::string dir = ScratchDir();
  WriteFile(dir + "/m.bsp", BuildSampleMap());
  RunResult r = RunTool({"-logfile", "run", "m.bsp"}, dir, "\n");
  ASSERT_EQ(r.status, 0) << r.out;
  size_t lines = 0;
  for (char c : r.out) lines += c == '\n';
  ASSERT_GT(lines, 20u);
  std::string host_text;
  for (char c : r.out) host_text += c == '\n' && ToolIsWindowsExe() ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(r.raw, host_text);
  EXPECT_EQ(ReadFile(dir + "/run.log"), r.raw);
}

// Names from the command line become absolute and forward-slashed, relative
// ones joined to the current directory of the drive, however they were
// written; a map given as one full path, as dropping it on the exe gives it,
// is processed.
TEST(HostTest, NamesInEveryFormReachTheSameMap) {
  const std::string map = BuildSampleMap(1), culled = BuildMap(SampleMapLumps(1, true));
  struct Case {
    std::string arg;      // "$D" stands for the directory as the tool names it
    bool windows_only;
  };
  const Case cases[] = {
      {"sub/m", false},
      {"sub\\m.bsp", false},
      {"$D/sub/m", false},
      {"$D\\sub\\m", true},  // drag and drop on Windows: "Z:\tmp\...\sub\m.bsp"
      {"Z:sub\\m", true},     // relative to the current directory of drive Z:
      {"\\" "$R\\sub\\m", true},  // rooted on the current drive
  };
  for (const Case& c : cases) {
    if (c.windows_only && !ToolIsWindowsExe()) continue;
    std::string dir = ScratchDir();
    std::string arg = c.arg;
    if (size_t at = arg.find("$D"); at != std::string::npos)
      arg.replace(at, 2, c.windows_only ? Backslashes(ToolDir(dir)) : ToolDir(dir));
    if (size_t at = arg.find("$R"); at != std::string::npos) arg.replace(at, 2, Backslashes(dir.substr(1)));
    SCOPED_TRACE("argument " + arg);
    fs::create_directory(dir + "/sub");
    WriteFile(dir + "/sub/m.bsp", map);
    RunResult r = RunTool({arg, "-nopause"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir + "/sub/m.bsp"), culled);
  }
}

// The names the tool forms, as its messages and the log's place show them.
TEST(HostTest, DriveLetterAndBackslashNamesBecomeAbsoluteForwardSlashed) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "drive letters belong to Windows";
  std::string dir = ScratchDir();
  std::string tool_dir = ToolDir(dir);
  ASSERT_EQ(tool_dir.substr(0, 3), "Z:/") << "wine maps / to drive Z:";
  const std::pair<std::string, std::string> cases[] = {
      {"nothere", tool_dir + "/nothere.bsp"},
      {"sub\\nothere", tool_dir + "/sub/nothere.bsp"},
      {Backslashes(tool_dir) + "\\x\\nothere.old", tool_dir + "/x/nothere.old"},
      {"C:sub\\map", "C:sub/map.bsp"},
      {"\\no\\such\\map", "/no/such/map.bsp"},
  };
  for (const auto& [arg, name] : cases) {
    SCOPED_TRACE("argument " + arg);
    RunResult r = RunTool({"-nopause", arg}, dir);
    EXPECT_EQ(r.status, 1);
    std::string message = "File '" + name + "' not found.";
    ASSERT_GE(r.out.size(), message.size());
    EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);
  }
  fs::create_directory(dir + "/logs");
  RunResult r = RunTool({"-nopause", "-logfile", "logs\\run"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ListDir(dir + "/logs"), std::vector<std::string>{"run.log"});
}

// Starts the tool with its standard input on a pipe; the caller writes to or
// closes in_fd.
struct Child {
  pid_t pid;
  int in_fd;
  std::string out_path;
};

Child StartWithPipe(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv_s = ToolCommand();
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::string out_path = MakeTempDir() + "/stdout";
  WriteFile(out_path, "");  // there before the child runs, for the polling reader
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY);
    if (out < 0 || dup2(fds[0], 0) < 0 || dup2(out, 1) < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    close(fds[1]);
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[0]);
  return {pid, fds[1], out_path};
}

// Waits up to limit for the child to end: its exit status, or -1 if it is
// still running.
int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, WNOHANG) == pid) return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128;
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The prompt is shown and the tool then waits; a key, or the end of input,
// lets it end.
TEST(HostTest, PauseWaitsForAKeyAndEndsAtEndOfInput) {
  for (bool key : {true, false}) {
    SCOPED_TRACE(key ? "a key" : "end of input");
    std::string dir = ScratchDir();
    WriteFile(dir + "/m.bsp", BuildSampleMap(1));
    Child child = StartWithPipe({"m.bsp"}, dir);
    // Wait until the prompt is out: the job is done and the pause has begun.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string prompt_end = ToolIsWindowsExe() ? "\r\nPress a key to continue.\r\n" : kPause;
    std::string shown;
    while (std::chrono::steady_clock::now() < deadline) {
      shown = ReadFile(child.out_path);
      if (shown.size() >= prompt_end.size() && shown.substr(shown.size() - prompt_end.size()) == prompt_end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(shown.find("Optimized!"), std::string::npos) << shown;
    EXPECT_EQ(WaitFor(child.pid, std::chrono::milliseconds(500)), -1) << "ended without waiting";
    if (key) {
      EXPECT_EQ(write(child.in_fd, "\n", 1), 1);
    }
    close(child.in_fd);
    int status = WaitFor(child.pid, std::chrono::seconds(60));
    if (status == -1) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, nullptr, 0);
    }
    EXPECT_EQ(status, 0);
  }
}

// The new map is renamed over the old one: a second name (hard link) of the
// old file keeps the old bytes, which a rewrite in place would change, and
// nothing else is left in the directory.
TEST(HostTest, ExistingMapIsReplacedInOneStep) {
  std::string dir = ScratchDir();
  std::string map = BuildSampleMap();
  WriteFile(dir + "/m.bsp", map);
  fs::create_hard_link(dir + "/m.bsp", dir + "/old.bsp");
  RunResult r = RunTool({"-nopause", "m.bsp"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ReadFile(dir + "/old.bsp"), map);
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"m.bsp", "old.bsp"}));
}

// On Windows a map open in another program (sharing reading and writing, not
// deletion, as an editor or the game opens it) cannot be replaced: the save
// fails and the map stays as it was, with no temporary file left.
TEST(HostTest, MapHeldOpenElsewhereIsKeptWhenTheReplaceFails) {
  if (!ToolIsWindowsExe()) GTEST_SKIP() << "POSIX renames over an open file";
  std::vector<std::string> command = ToolCommand();
  std::string exe = command.back();
  std::string holder = fs::path(exe).parent_path().string() + "/holdopen.exe";
  ASSERT_TRUE(FileExists(holder)) << "build with -DFLATCULL_WINDOWS_TEST_TOOLS=ON";
  std::string dir = ScratchDir();
  std::string map = BuildSampleMap();
  WriteFile(dir + "/m.bsp", map);
  command.back() = holder;
  for (std::string arg : {std::string("m.bsp"), "Z:" + Backslashes(fs::absolute(exe).string()), std::string("-nopause"),
                          std::string("m.bsp")})
    command.push_back(arg);
  RunResult r = RunCommand(command, dir);
  EXPECT_EQ(r.status, 1) << r.out;
  std::string failure = "\n************ ERROR ************\nError writing " + ToolDir(dir) + "/m.bsp: ";
  EXPECT_NE(r.out.find(failure), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), map);
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{"m.bsp"});
}

// One record of every kind, each 2- and 4-byte field with bytes of its own.
struct Records {
  PlaneRecord plane{{1.5f, -2.25f, 0.125f}, 1000.5f, 0x01020304};
  VertexRecord vertex{{-3.5e6f, 7.75f, 1.0e-3f}};
  NodeRecord node{0, {0x0506, -0x0708}, {0x090a, -0x0b0c, 0x0d0e}, {0x0f10, 0x1112, -0x1314}, 0x1516, 0x1718};
  TexinfoRecord texinfo{{{0.5f, -0.75f, 1.25f, 17.0f}, {-8.5f, 9.75f, 0.375f, -64.0f}}, 0x191a1b1c, -0x1d1e1f20};
  FaceRecord face{0, 0x2122, 0x23242526, -0x2728, 0x292a, {0x2b, 0x2c, 0x2d, 0x2e}, 0x2f303132};
  ClipnodeRecord clipnode{0, {0x3334, -0x3536}};
  LeafRecord leaf{-0x3738393a, 0x3b3c3d3e, {0x3f40, -0x4142, 0x4344}, {0x4546, 0x4748, -0x494a}, 0x4b4c, 0x4d4e,
                  {0x4f, 0x50, 0x51, 0x52}};
  uint16_t marksurface = 0x5354;
  int32_t surfedge = -0x55565758;
  EdgeRecord edge{{0x595a, 0x5b5c}};
  ModelRecord model{{-1.5f, -2.5f, -3.5f}, {4.5f, 5.5f, 6.5f}, {7.0f, 8.0f, 9.0f},
                    {0x5d5e5f60, -0x61626364, 0x65666768, 0x696a6b6c}, 0x6d6e6f70, 0x71727374, 0x75767778};
};

template <typename T>
std::string Memory(const T* records, int32_t count) {
  return std::string(reinterpret_cast<const char*>(records), sizeof(T) * static_cast<size_t>(count));
}

// Loading leaves every field in host order and saving's conversion gives the
// file's little-endian bytes back: on a big-endian host this is the swap of
// every field, which a byte-identical output alone cannot show (a field
// swapped on neither load nor save comes out unchanged too).
TEST(HostTest, LoadedFieldsAreInHostOrderAndConvertBackToFileBytes) {
  const Records r;
  MapLumps lumps;
  lumps.lump[kLumpPlanes] = EncodePlane(r.plane);
  lumps.lump[kLumpVertexes] = EncodeVertex(r.vertex);
  lumps.lump[kLumpNodes] = EncodeNode(r.node);
  lumps.lump[kLumpTexinfo] = EncodeTexinfo(r.texinfo);
  lumps.lump[kLumpFaces] = EncodeFace(r.face);
  lumps.lump[kLumpClipnodes] = EncodeClipnode(r.clipnode);
  lumps.lump[kLumpLeaves] = EncodeLeaf(r.leaf);
  lumps.lump[kLumpMarksurfaces] = Le16(r.marksurface);
  lumps.lump[kLumpSurfedges] = Le32(static_cast<uint32_t>(r.surfedge));
  lumps.lump[kLumpEdges] = EncodeEdge(r.edge);
  lumps.lump[kLumpModels] = EncodeModel(r.model);
  lumps.lump[kLumpTextures] = Le32(2) + Le32(0x7f000010) + Le32(-12) + "tex";
  std::string path = MakeTempDir() + "/m.bsp";
  WriteFile(path, BuildMap(lumps));
  LoadBSPFile(path.c_str());
  const MapStore& m = g_map;
  const int32_t directory[] = {2, 0x7f000010, -12};
  const struct {
    LumpIndex lump;
    std::string stored, host;
  } kinds[] = {
      {kLumpPlanes, Memory(m.planes, m.numplanes), Memory(&r.plane, 1)},
      {kLumpVertexes, Memory(m.vertexes, m.numvertexes), Memory(&r.vertex, 1)},
      {kLumpNodes, Memory(m.nodes, m.numnodes), Memory(&r.node, 1)},
      {kLumpTexinfo, Memory(m.texinfo, m.numtexinfo), Memory(&r.texinfo, 1)},
      {kLumpFaces, Memory(m.faces, m.numfaces), Memory(&r.face, 1)},
      {kLumpClipnodes, Memory(m.clipnodes, m.numclipnodes), Memory(&r.clipnode, 1)},
      {kLumpLeaves, Memory(m.leaves, m.numleaves), Memory(&r.leaf, 1)},
      {kLumpMarksurfaces, Memory(m.marksurfaces, m.nummarksurfaces), Memory(&r.marksurface, 1)},
      {kLumpSurfedges, Memory(m.surfedges, m.numsurfedges), Memory(&r.surfedge, 1)},
      {kLumpEdges, Memory(m.edges, m.numedges), Memory(&r.edge, 1)},
      {kLumpModels, Memory(m.models, m.nummodels), Memory(&r.model, 1)},
      {kLumpTextures, Memory(m.texdata.get(), 12) + "tex", Memory(directory, 3) + "tex"},
  };
  for (const auto& kind : kinds) EXPECT_EQ(kind.stored, kind.host) << kLumpNames[kind.lump];
  ConvertBSPByteOrder(true);
  const struct {
    LumpIndex lump;
    std::string stored;
  } converted[] = {
      {kLumpPlanes, Memory(m.planes, m.numplanes)},
      {kLumpVertexes, Memory(m.vertexes, m.numvertexes)},
      {kLumpNodes, Memory(m.nodes, m.numnodes)},
      {kLumpTexinfo, Memory(m.texinfo, m.numtexinfo)},
      {kLumpFaces, Memory(m.faces, m.numfaces)},
      {kLumpClipnodes, Memory(m.clipnodes, m.numclipnodes)},
      {kLumpLeaves, Memory(m.leaves, m.numleaves)},
      {kLumpMarksurfaces, Memory(m.marksurfaces, m.nummarksurfaces)},
      {kLumpSurfedges, Memory(m.surfedges, m.numsurfedges)},
      {kLumpEdges, Memory(m.edges, m.numedges)},
      {kLumpModels, Memory(m.models, m.nummodels)},
      {kLumpTextures, Memory(m.texdata.get(), m.texdatasize)},
  };
  for (const auto& kind : converted) EXPECT_EQ(kind.stored, lumps.lump[kind.lump]) << kLumpNames[kind.lump];
  ReleaseBSPData();
  g_map.nummodels = g_map.numvertexes = g_map.numplanes = g_map.numleaves = g_map.numnodes = g_map.numtexinfo =
      g_map.numclipnodes = g_map.numfaces = g_map.nummarksurfaces = g_map.numsurfedges = g_map.numedges =
          g_map.entdatasize = 0;
}

}  // namespace
