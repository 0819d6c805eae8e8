// bsp_test.cpp: the map file layout, loading and saving, called directly,
// and the saving of a map by the built tool.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "bsp/save.h"
#include "common/console.h"
#include "mapbuilder.h"
#include "maptest.h"
#include "testutil.h"

namespace {

class BspTest : public ::testing::Test {
 protected:
  std::string dir_ = MakeTempDir();
};

// "0a 0b" -> the two bytes 0x0a 0x0b.
std::string Hex(const char* text) {
  std::string bytes;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    bytes += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
    p += 2;
  }
  return bytes;
}

// A small map: 2 planes, one leaf, node, face, marksurface and model, 5 bytes
// of lightdata, 10 of entdata and an empty texture directory.
MapLumps SmallMapLumps() {
  MapLumps m;
  m.lump[kLumpPlanes] = EncodePlane({{1, 0, 0}, 64, 0}) + EncodePlane({{0, 0, 1}, -16, 2});
  m.lump[kLumpLeaves] = EncodeLeaf({-1, 0, {-16, -16, -16}, {16, 16, 16}, 0, 1, {1, 2, 3, 4}});
  m.lump[kLumpNodes] = EncodeNode({1, {-1, -2}, {-16, -16, -16}, {16, 16, 16}, 0, 1});
  m.lump[kLumpFaces] = EncodeFace({0, 1, 0, 0, 0, {0, 255, 255, 255}, 0});
  m.lump[kLumpMarksurfaces] = Le16(0x0a0b);
  m.lump[kLumpModels] = EncodeModel({{-16, -16, -16}, {16, 16, 16}, {0, 0, 0}, {0, 0, 0, 0}, 1, 0, 1});
  m.lump[kLumpLighting] = Hex("10 20 30 40 50");
  m.lump[kLumpEntities] = std::string("{\"a\" \"b\"}") + '\0';
  m.lump[kLumpTextures] = Le32(0);
  return m;
}

TEST_F(BspTest, SaveLaysOutSmallMapByteForByte) {
  std::string in = dir_ + "/in.bsp", out = dir_ + "/out.bsp";
  WriteFile(in, BuildMap(SmallMapLumps()));
  Map map = LoadBSPFile(in);
  SaveBSPFile(map, *LayOutMap(map), {out, false, ""}, false);
  std::string file = ReadFile(out);

  const struct {
    LumpIndex lump;
    int32_t offset, length;
  } table[] = {{kLumpPlanes, 124, 40},    {kLumpLeaves, 164, 28},       {kLumpVertexes, 192, 0},
               {kLumpNodes, 192, 24},     {kLumpTexinfo, 216, 0},       {kLumpFaces, 216, 20},
               {kLumpClipnodes, 236, 0},  {kLumpMarksurfaces, 236, 2},  {kLumpSurfedges, 240, 0},
               {kLumpEdges, 240, 0},      {kLumpModels, 240, 64},       {kLumpLighting, 304, 5},
               {kLumpVisibility, 312, 0}, {kLumpEntities, 312, 10},     {kLumpTextures, 324, 4}};
  ASSERT_EQ(file.size(), 328u);
  EXPECT_EQ(GetInt32(file, 0), 30);
  for (const auto& row : table) {
    LumpEntry e = GetLumpEntry(file, row.lump);
    EXPECT_EQ(e.offset, row.offset) << kLumpKinds[row.lump].name;
    EXPECT_EQ(e.length, row.length) << kLumpKinds[row.lump].name;
  }
  // The odd marksurfaces count leaves two zero bytes before the surfedges.
  EXPECT_EQ(file.substr(236, 4), Hex("0b 0a 00 00"));
  EXPECT_EQ(file, BuildMap(SmallMapLumps()));
}

// The lumps in index order, unaligned and with junk between them, as another
// writer might lay a file out; the tool must still find every lump.
std::string ScatteredMap(const MapLumps& lumps) {
  std::string file(kHeaderSize, '\0');
  SetVersion(file, kBspVersion);
  for (int lump = 0; lump < kNumLumps; ++lump) {
    file += "\xee\xee\xee";
    SetLumpEntry(file, lump, static_cast<int32_t>(file.size()), static_cast<int32_t>(lumps.lump[lump].size()));
    file += lumps.lump[lump];
  }
  return file;
}

// The lumps from the last index to the first: the loader reads them in file
// order, which here is the reverse of the order it checks them in.
std::string ReversedMap(const MapLumps& lumps) {
  std::string file(kHeaderSize, '\0');
  SetVersion(file, kBspVersion);
  for (int lump = kNumLumps - 1; lump >= 0; --lump) {
    SetLumpEntry(file, lump, static_cast<int32_t>(file.size()), static_cast<int32_t>(lumps.lump[lump].size()));
    file += lumps.lump[lump];
  }
  return file;
}

// Lumps that share their bytes: visdata is the lightdata's bytes and the
// marksurfaces are the first two bytes of the surfedges.
MapLumps SharedLumps() {
  MapLumps m = SmallMapLumps();
  m.lump[kLumpSurfedges] = Le32(0x01020304) + Le32(7);
  m.lump[kLumpMarksurfaces] = Le16(0x0304);
  m.lump[kLumpVisibility] = m.lump[kLumpLighting];
  return m;
}

std::string SharedBytesMap() {
  std::string file = BuildMap(SharedLumps());
  LumpEntry light = GetLumpEntry(file, kLumpLighting), surfedges = GetLumpEntry(file, kLumpSurfedges);
  SetLumpEntry(file, kLumpVisibility, light.offset, light.length);
  SetLumpEntry(file, kLumpMarksurfaces, surfedges.offset, 2);
  return file;
}

// Each lump loads as its bytes in the file, wherever the file puts it, and
// saves unchanged in the save's layout; only a file already in that layout
// matches it.
TEST_F(BspTest, LoadThenSaveWritesTheLumpsUnchanged) {
  MapLumps odd_marks;
  odd_marks.lump[kLumpMarksurfaces] = Le16(1) + Le16(2) + Le16(3);
  odd_marks.lump[kLumpSurfedges] = Le32(5);
  odd_marks.lump[kLumpVisibility] = "\x01";
  MapLumps v29 = SampleMapLumps();
  v29.version = 29;
  const struct {
    const char* name;
    MapLumps lumps;
    std::string file;
  } cases[] = {
      {"sample map", SampleMapLumps(), BuildSampleMap()},
      {"version 29, written back as 29", v29, BuildMap(v29)},
      {"small map", SmallMapLumps(), BuildMap(SmallMapLumps())},
      {"no lumps at all", MapLumps(), BuildMap(MapLumps())},
      {"odd marksurfaces", odd_marks, BuildMap(odd_marks)},
      {"lumps scattered out of order", SampleMapLumps(2), ScatteredMap(SampleMapLumps(2))},
      {"lumps in reverse order", SampleMapLumps(2), ReversedMap(SampleMapLumps(2))},
      {"lumps sharing bytes", SharedLumps(), SharedBytesMap()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string in = dir_ + "/in.bsp", out = dir_ + "/out.bsp";
    WriteFile(in, c.file);
    Map map = LoadBSPFile(in);
    for (int lump = 0; lump < kNumLumps; ++lump) EXPECT_EQ(LumpOf(map, lump), c.lumps.lump[lump]) << lump;
    std::unique_ptr<MapLayout> layout = LayOutMap(map);
    EXPECT_EQ(SaveWouldChangeFile(map, *layout), c.file != BuildMap(c.lumps));
    SaveBSPFile(map, *layout, {out, false, ""}, false);
    EXPECT_EQ(ReadFile(out), BuildMap(c.lumps));
    EXPECT_EQ(ReadFile(in), c.file);
  }
}

// A file must stay below 2 GiB, where lumps that overlap in a loaded file
// may add up to more. The layout reads only the lumps' sizes; a refused save
// creates no file.
TEST_F(BspTest, SaveRefusesALayoutThatEndsPast2GiB) {
  const struct {
    const char* name;
    std::vector<std::pair<LumpIndex, size_t>> sizes;
    const char* message;  // "" for a layout that fits
  } cases[] = {
      {"planes end on the last 4-byte boundary below 2 GiB", {{kLumpPlanes, 2147483520}}, ""},
      {"and one byte of entdata more", {{kLumpPlanes, 2147483520}, {kLumpEntities, 1}},
       "SaveBSPFile: the entdata lump would end past 2 GiB (entdata lump of /m/x.bsp)"},
      {"two lumps over the same bytes", {{kLumpPlanes, 1200000000}, {kLumpLeaves, 1200000004}},
       "SaveBSPFile: the leaves lump would end past 2 GiB (leaves lump of /m/x.bsp)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Map map;
    map.path = "/m/x.bsp";
    for (const auto& [lump, size] : c.sizes) map.lump[lump] = UnreadBytes(size);
    if (*c.message == '\0') {
      EXPECT_EQ(LayOutMap(map)->size, 2147483644);
      continue;
    }
    std::string dir = MakeTempDir();
    try {
      SaveBSPFile(map, *LayOutMap(map), {dir + "/m.bsp", false, ""}, false);
      ADD_FAILURE() << "saved";
    } catch (const MapFailure& failure) {
      EXPECT_STREQ(failure.what(), c.message);
    }
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
  }
}

// The temporary file beside the map has a short name of its own, so a map
// whose name is near the system's limit saves.
TEST_F(BspTest, MapWithA250ByteNameSaves) {
  const std::string name = std::string(246, 'm') + ".bsp";
  WriteFile(dir_ + "/" + name, BuildSampleMap());
  RunResult r = RunTool({"-nopause", name}, dir_);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(dir_ + "/" + name), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{name});
}

}  // namespace
