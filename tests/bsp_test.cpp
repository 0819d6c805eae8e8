// bsp_test.cpp: the map file layout, loading, saving and byte-order
// conversion, run on the process-wide store directly.
#include <bit>
#include <cstring>
#include <string>
#include <memory>

#include <gtest/gtest.h>

#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "bsp/save.h"
#include "mapbuilder.h"
#include "testutil.h"

namespace {

class BspTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseBSPData(); }
  void TearDown() override { ReleaseBSPData(); }
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
  LoadBSPFile(in.c_str());
  SaveBSPFile(out.c_str());
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
    EXPECT_EQ(e.offset, row.offset) << kLumpNames[row.lump];
    EXPECT_EQ(e.length, row.length) << kLumpNames[row.lump];
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

TEST_F(BspTest, LoadThenSaveWritesTheLumpsUnchanged) {
  MapLumps odd_marks;
  odd_marks.lump[kLumpMarksurfaces] = Le16(1) + Le16(2) + Le16(3);
  odd_marks.lump[kLumpSurfedges] = Le32(5);
  odd_marks.lump[kLumpVisibility] = "\x01";
  const struct {
    const char* name;
    MapLumps lumps;
    std::string file;
  } cases[] = {
      {"sample map", SampleMapLumps(), BuildSampleMap()},
      {"small map", SmallMapLumps(), BuildMap(SmallMapLumps())},
      {"no lumps at all", MapLumps(), BuildMap(MapLumps())},
      {"odd marksurfaces", odd_marks, BuildMap(odd_marks)},
      {"lumps scattered out of order", SampleMapLumps(2), ScatteredMap(SampleMapLumps(2))},
      {"lumps in reverse order", SampleMapLumps(2), ReversedMap(SampleMapLumps(2))},
      {"lumps sharing bytes", SharedLumps(), SharedBytesMap()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseBSPData();
    std::string in = dir_ + "/in.bsp", out = dir_ + "/out.bsp";
    WriteFile(in, c.file);
    LoadBSPFile(in.c_str());
    SaveBSPFile(out.c_str());
    EXPECT_EQ(ReadFile(out), BuildMap(c.lumps));
    EXPECT_EQ(ReadFile(in), c.file);
  }
}

TEST_F(BspTest, ConvertByteOrderChangesNothingOnLittleEndianHost) {
  if constexpr (std::endian::native != std::endian::little) GTEST_SKIP() << "big-endian host";
  std::string path = dir_ + "/sample.bsp";
  WriteFile(path, BuildSampleMap());
  LoadBSPFile(path.c_str());
  // Loaded values are in host order: the plane facing -x through x = -16,
  // and the floor of the first room, first met by a face as plane 10.
  EXPECT_TRUE(g_map.planes[1].normal[0] == -1.0f && g_map.planes[1].dist == 16.0f);
  EXPECT_EQ(g_map.faces[0].planenum, 10);
  auto store = [] { return std::string(reinterpret_cast<const char*>(&g_map), sizeof g_map); };
  auto texdata = [] { return std::string(reinterpret_cast<const char*>(g_map.texdata.get()), g_map.texdatasize); };
  std::string before = store(), before_texdata = texdata();
  ConvertBSPByteOrder(true);
  EXPECT_TRUE(store() == before && texdata() == before_texdata);
  ConvertBSPByteOrder(false);
  EXPECT_TRUE(store() == before && texdata() == before_texdata);
}

TEST_F(BspTest, SwapReversesEveryFieldOfEachRecordKind) {
  const struct {
    const char* name;
    void* records;
    int32_t* count;
    const char* widths;  // field widths in file order; 1 is a byte
  } kinds[] = {
      {"models", g_map.models, &g_map.nummodels, "4444444444444444"},
      {"vertexes", g_map.vertexes, &g_map.numvertexes, "444"},
      {"planes", g_map.planes, &g_map.numplanes, "44444"},
      {"leaves", g_map.leaves, &g_map.numleaves, "44222222221111"},
      {"nodes", g_map.nodes, &g_map.numnodes, "42222222222"},
      {"texinfos", g_map.texinfo, &g_map.numtexinfo, "4444444444"},
      {"clipnodes", g_map.clipnodes, &g_map.numclipnodes, "422"},
      {"faces", g_map.faces, &g_map.numfaces, "2242211114"},
      {"marksurfaces", g_map.marksurfaces, &g_map.nummarksurfaces, "2"},
      {"surfedges", g_map.surfedges, &g_map.numsurfedges, "4"},
      {"edges", g_map.edges, &g_map.numedges, "22"},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    // Two records of distinct bytes; only the first is counted.
    std::string bytes, expected;
    for (int i = 1; i <= 128; ++i) bytes += static_cast<char>(i);
    size_t size = 0;
    for (const char* w = kind.widths; *w; ++w) {
      std::string field = bytes.substr(size, *w - '0');
      expected.append(field.rbegin(), field.rend());
      size += field.size();
    }
    expected += bytes.substr(size, size);
    std::memcpy(kind.records, bytes.data(), 2 * size);
    *kind.count = 1;
    SwapBSPByteOrder(true);
    *kind.count = 0;
    EXPECT_EQ(std::string(static_cast<const char*>(kind.records), 2 * size), expected);
  }
}

TEST_F(BspTest, SwapConvertsTextureDirectoryOnlyInsideTheLump) {
  constexpr bool kLittle = std::endian::native == std::endian::little;
  const struct {
    const char* name;
    bool to_disk;
    int32_t length;  // the texdata length; the buffer holds all of before
    const char* before;
    const char* after;
  } cases[] = {
      {"to disk: count read before swapping", true, 14, "02000000 11223344 55667788 aabb",
       "00000002 44332211 88776655 aabb"},
      {"from disk: count read after swapping", false, 14, "00000002 11223344 55667788 aabb",
       "02000000 44332211 88776655 aabb"},
      // The count is read in host order, so which of these two is 1 and which
      // is huge (cut to the lump) depends on the host.
      {"to disk, bytes 00000001 as the count", true, 12, "00000001 11223344 55667788",
       kLittle ? "01000000 44332211 88776655" : "01000000 44332211 55667788"},
      {"from disk, bytes 00000001 as the count", false, 12, "00000001 11223344 55667788",
       kLittle ? "01000000 44332211 55667788" : "01000000 44332211 88776655"},
      {"count beyond the lump: whole entries only", true, 10, "09000000 11223344 5566",
       "00000009 44332211 5566"},
      {"count 0 converts only the count", true, 8, "00000000 11223344", "00000000 11223344"},
      {"negative count converts only the count", true, 8, "feffffff 11223344", "fffffffe 11223344"},
      {"3-byte lump holds no count", true, 3, "112233", "112233"},
      {"length 0 is not examined", false, 0, "00000002 11223344", "00000002 11223344"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = Hex(c.before);
    g_map.texdata = std::make_unique<unsigned char[]>(before.size());
    std::memcpy(g_map.texdata.get(), before.data(), before.size());
    g_map.texdatasize = c.length;
    SwapBSPByteOrder(c.to_disk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_map.texdata.get()), before.size()), Hex(c.after));
  }
}

}  // namespace
