// optimize_test.cpp: plane compaction and the lump usage table, called
// directly on maps loaded from files the map builder wrote.
#include <algorithm>
#include <climits>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bsp/bspfile.h"
#include "common/console.h"
#include "mapbuilder.h"
#include "maptest.h"
#include "optimize/compact.h"
#include "optimize/report.h"

namespace {

// Plane i is told apart from every other by all of its fields.
PlaneRecord TestPlane(int i) {
  return {{static_cast<float>(i), 0.5f, -static_cast<float>(i)}, 2.0f * static_cast<float>(i), i % 6};
}

std::vector<int> Iota(int n) {
  std::vector<int> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), 0);
  return v;
}

// The planes given by their test numbers, and faces, nodes and clipnodes
// referring to the given plane indices, with their other fields set from
// their position, so that a pass touching them shows.
MapLumps ReferenceLumps(const std::vector<int>& planes, const std::vector<int>& faces, const std::vector<int>& nodes,
                        const std::vector<int>& clipnodes) {
  MapLumps m;
  for (int plane : planes) m.lump[kLumpPlanes] += EncodePlane(TestPlane(plane));
  for (size_t i = 0; i < faces.size(); ++i)
    m.lump[kLumpFaces] +=
        EncodeFace({static_cast<uint16_t>(faces[i]), 1, static_cast<int32_t>(100 + i), 4, 7, {0, 255, 255, 255}, 9});
  for (size_t i = 0; i < nodes.size(); ++i)
    m.lump[kLumpNodes] += EncodeNode({nodes[i], {static_cast<int16_t>(i), -8}, {-1, -2, -3}, {1, 2, 3}, 5, 6});
  for (size_t i = 0; i < clipnodes.size(); ++i)
    m.lump[kLumpClipnodes] += EncodeClipnode({clipnodes[i], {-2, static_cast<int16_t>(i)}});
  return m;
}

TEST(OptimizeTest, CompactionKeepsReferencedPlanesInFirstReferenceOrder) {
  struct Case {
    const char* name;
    int planes;
    std::vector<int> faces, nodes, clipnodes;  // plane references before
    std::vector<int> new_faces, new_nodes, new_clipnodes;
    std::vector<int> kept;  // old index of each new plane
    bool renumbered;
  };
  std::vector<Case> cases = {
      {"six planes, two dropped", 6, {4, 2, 4}, {2, 5}, {0}, {0, 1, 0}, {1, 2}, {3}, {4, 2, 5, 0}, true},
      {"nothing refers to a plane", 6, {}, {}, {}, {}, {}, {}, {}, true},
      {"already in order", 3, {0, 1}, {1, 2}, {2, 0}, {0, 1}, {1, 2}, {2, 0}, {0, 1, 2}, false},
      {"one plane shared by all three arrays", 5, {3}, {3}, {3, 1}, {0}, {0}, {0, 1}, {3, 1}, true},
      {"face plane index above 32767 is unsigned", 40001, {40000}, {}, {0}, {0}, {}, {1}, {40000, 0}, true},
      {"70000 planes: faces up to 65535, nodes and clipnodes past it", 70000, {65535, 0}, {69999, 65536},
       {65535, 66000}, {0, 1}, {2, 3}, {0, 4}, {65535, 0, 69999, 65536, 66000}, true},
  };
  // Faces meet 65536 planes, the most 16 bits can number: the last one met
  // becomes 65535, and a node's plane after them 65536.
  std::vector<int> down = Iota(65536);
  std::reverse(down.begin(), down.end());
  down.push_back(65536);
  cases.push_back({"faces meet 65536 planes", 65537, std::vector<int>(down.begin(), down.end() - 1), {65536}, {},
                   Iota(65536), {65536}, {}, down, true});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Map map = LoadMapBytes(BuildMap(ReferenceLumps(Iota(c.planes), c.faces, c.nodes, c.clipnodes)));
    testing::internal::CaptureStdout();
    PlaneCounts counts;
    try {
      counts = CompactPlanes(map);
    } catch (const MapFailure& failure) {
      ADD_FAILURE() << failure.what();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(counts.before, c.planes);
    EXPECT_EQ(counts.after, static_cast<int32_t>(c.kept.size()));
    EXPECT_EQ(counts.renumbered, c.renumbered);
    ExpectLumps(SavedMap(map), ReferenceLumps(c.kept, c.new_faces, c.new_nodes, c.new_clipnodes));
  }
}

// Every reference is checked before any is renumbered: a refused map saves
// as it was, the faces included when only a node is bad.
TEST(OptimizeTest, CompactionRefusesReferenceOutsidePlanesAndChangesNothing) {
  const struct {
    const char* name;
    int planes;
    std::vector<int> faces, nodes, clipnodes;
    const char* message;
  } cases[] = {
      {"face refers to the plane count", 6, {0, 1, 6}, {}, {},
       "face 2 refers to plane 6, but the map has 6 planes (faces lump of /m/x.bsp)"},
      {"face refers to 65535 of 65535 planes", 65535, {65535}, {}, {},
       "face 0 refers to plane 65535, but the map has 65535 planes (faces lump of /m/x.bsp)"},
      {"faces fine, a node past the planes", 6, {4, 2}, {0, 9}, {1},
       "node 1 refers to plane 9, but the map has 6 planes (nodes lump of /m/x.bsp)"},
      {"node refers to a negative plane", 6, {}, {0, -5}, {},
       "node 1 refers to plane -5, but the map has 6 planes (nodes lump of /m/x.bsp)"},
      {"clipnode refers to INT32_MIN", 6, {1}, {2}, {0, 5, 0, INT_MIN},
       "clipnode 3 refers to plane -2147483648, but the map has 6 planes (clipnodes lump of /m/x.bsp)"},
      {"no planes at all", 0, {}, {}, {0},
       "clipnode 0 refers to plane 0, but the map has 0 planes (clipnodes lump of /m/x.bsp)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MapLumps lumps = ReferenceLumps(Iota(c.planes), c.faces, c.nodes, c.clipnodes);
    Map map = LoadMapBytes(BuildMap(lumps));
    map.path = "/m/x.bsp";  // the name the message gives, wherever the map was loaded from
    try {
      CompactPlanes(map);
      ADD_FAILURE() << "compacted";
    } catch (const MapFailure& failure) {
      EXPECT_STREQ(failure.what(), c.message);
    }
    ExpectLumps(SavedMap(map), lumps);
  }
}

// The save renumbers faces, nodes and clipnodes as it writes them: a lump
// laid over the same bytes keeps them, and each of the three its own records.
TEST(OptimizeTest, CompactionLeavesALumpSharingBytesWithARewrittenOne) {
  const std::pair<LumpIndex, LumpIndex> cases[] = {{kLumpVisibility, kLumpFaces}, {kLumpLighting, kLumpNodes}};
  for (const auto& [sharer, rewritten] : cases) {
    SCOPED_TRACE(kLumpKinds[sharer].name);
    std::string file = BuildSampleMap();
    LumpEntry entry = GetLumpEntry(file, rewritten);
    SetLumpEntry(file, sharer, entry.offset, entry.length);
    Map map = LoadMapBytes(file);
    CompactPlanes(map);
    MapLumps want = SampleMapLumps(3, true);
    want.lump[sharer] = SampleMapLumps().lump[rewritten];
    ExpectLumps(SavedMap(map), want);
  }
  // 120 bytes that are 6 faces, 5 nodes and 15 clipnodes at once, whose
  // plane indices agree where they share bytes, written in turn over filler.
  const LumpIndex kF = kLumpFaces, kN = kLumpNodes, kC = kLumpClipnodes;
  auto overlaid = [&](std::initializer_list<std::pair<LumpIndex, std::vector<int>>> fields) {
    std::string bytes(120, '\x5a');
    for (const auto& [lump, planes] : fields)
      for (size_t i = 0; i < planes.size(); ++i)
        bytes.replace(i * static_cast<size_t>(kLumpKinds[lump].record_size), lump == kF ? 2 : 4,
                      lump == kF ? Le16(static_cast<uint16_t>(planes[i])) : Le32(planes[i]));
    return bytes;
  };
  const std::vector<int> faces = {5, 7, 3, 2, 6, 7}, nodes = {5, 2, 0, 5, 1},
                         clips = {5, 4, 0, 2, 0, 3, 0, 1, 0, 5, 6, 1, 1, 7, 0};
  MapLumps lumps = ReferenceLumps(Iota(9), {}, {}, {});
  lumps.lump[kF] = overlaid({{kC, clips}, {kN, nodes}, {kF, faces}});
  std::string file = BuildMap(lumps);
  LumpEntry shared = GetLumpEntry(file, kF);
  for (LumpIndex lump : {kN, kC}) SetLumpEntry(file, lump, shared.offset, shared.length);
  Map map = LoadMapBytes(file);
  CompactPlanes(map);
  MapLumps want = ReferenceLumps({5, 7, 3, 2, 6, 0, 1, 4}, {}, {}, {});
  want.lump[kF] = overlaid({{kC, clips}, {kN, nodes}, {kF, {0, 1, 2, 3, 4, 1}}});
  want.lump[kN] = overlaid({{kC, clips}, {kF, faces}, {kN, {0, 3, 5, 0, 6}}});
  want.lump[kC] = overlaid({{kN, nodes}, {kF, faces}, {kC, {0, 7, 5, 3, 5, 2, 5, 6, 5, 0, 4, 6, 6, 1, 5}}});
  ExpectLumps(SavedMap(map), want);
}

// No count limits a lump: the classic maxima only flag rows of the table.
TEST(OptimizeTest, MapBeyondTheClassicLimitsCompactsAndIsFlagged) {
  auto widen = [](MapLumps m) {
    std::string model = m.lump[kLumpModels], leaves = m.lump[kLumpLeaves];  // 1 model, 4 leaves
    for (int i = 1; i < 5000; ++i) {
      m.lump[kLumpModels] += model;
      m.lump[kLumpLeaves] += leaves;
    }
    m.lump[kLumpEntities] = std::string(600000, 'e');
    return m;
  };
  Map map = LoadMapBytes(BuildMap(widen(SampleMapLumps())));
  testing::internal::CaptureStdout();
  ReportLumpUsage(map);
  std::string table = testing::internal::GetCapturedStdout();
  for (const char* row : {"\nmodels           5000/400       320000/25600    (1250.0%)SIZE OVERFLOW!!!\n",
                          "\nleaves          20000/8192      560000/229376   (244.1%)SIZE OVERFLOW!!!\n",
                          "\nentdata          [variable]     600000/524288   (114.4%)SIZE OVERFLOW!!!\n"})
    EXPECT_NE(table.find(row), std::string::npos) << row;
  size_t flagged = 0;
  for (size_t at = 0; (at = table.find("SIZE OVERFLOW", at)) != std::string::npos; ++at) ++flagged;
  EXPECT_EQ(flagged, 3u) << table;
  const std::string total = "\n=== Total BSP file data space used: 1487549 bytes ===\n";
  EXPECT_EQ(table.substr(table.size() - std::min(table.size(), total.size())), total);

  PlaneCounts counts = CompactPlanes(map);
  EXPECT_EQ(counts.before, 60);
  EXPECT_EQ(counts.after, 22);
  ExpectLumps(SavedMap(map), widen(SampleMapLumps(3, true)));
}

TEST(ReportTest, RowsShowFullnessWarningsAtThresholds) {
  struct Case {
    const char* name;
    int32_t count, maximum, record_size;  // record_size 0: a byte lump
    const char* row;
  } cases[] = {
      {"models", 320, 400, 64, "models            320/400        20480/25600    (80.0%)\n"},
      {"models", 321, 400, 64, "models            321/400        20544/25600    (80.2%)VERY FULL!\n"},
      {"models", 380, 400, 64, "models            380/400        24320/25600    (95.0%)VERY FULL!\n"},
      {"models", 381, 400, 64, "models            381/400        24384/25600    (95.2%)SIZE DANGER!\n"},
      {"models", 399, 400, 64, "models            399/400        25536/25600    (99.8%)SIZE DANGER!\n"},
      {"models", 400, 400, 64, "models            400/400        25600/25600    (100.0%)SIZE OVERFLOW!!!\n"},
      // Exactly 99.9 percent: its single-precision value lies just above.
      {"edges", 255744, 256000, 4, "edges          255744/256000   1022976/1024000  (99.9%)SIZE OVERFLOW!!!\n"},
      {"edges", 255743, 256000, 4, "edges          255743/256000   1022972/1024000  (99.9%)SIZE DANGER!\n"},
      {"surfedges", 511488, 512000, 4, "surfedges      511488/512000   2045952/2048000  (99.9%)SIZE OVERFLOW!!!\n"},
      {"surfedges", 511487, 512000, 4, "surfedges      511487/512000   2045948/2048000  (99.9%)SIZE DANGER!\n"},
      {"planes", 1000, 32767, 20, "planes           1000/32767      20000/655340   ( 3.1%)\n"},
      {"planes", 40000, 32767, 20, "planes          40000/32767     800000/655340   (122.1%)SIZE OVERFLOW!!!\n"},
      // A record row prints the single-precision percent (75.35 in double).
      {"faces", 98762, 131071, 20, "faces           98762/131071   1975240/2621420  (75.3%)\n"},
      {"faces", 5, 0, 20, "faces               5/0            100/0        ( 0.0%)\n"},
      {"texdata", 0, 4194304, 0, "texdata          [variable]          0/4194304  ( 0.0%)\n"},
      // A byte row prints the double percent (16.45 in single precision).
      {"lightdata", 689963, 4194304, 0, "lightdata        [variable]     689963/4194304  (16.4%)\n"},
      {"visdata", 1677721, 2097152, 0, "visdata          [variable]    1677721/2097152  (80.0%)\n"},
      {"visdata", 1677722, 2097152, 0, "visdata          [variable]    1677722/2097152  (80.0%)VERY FULL!\n"},
      {"entdata", 524288, 524288, 0, "entdata          [variable]     524288/524288   (100.0%)SIZE OVERFLOW!!!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    testing::internal::CaptureStdout();
    int64_t used = c.record_size ? ReportFixedLump(c.name, c.count, c.maximum, c.record_size)
                                 : ReportVariableLump(c.name, c.count, c.maximum);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.row);
    EXPECT_EQ(used, int64_t{c.count} * (c.record_size ? c.record_size : 1));
  }
}

TEST(OptimizeTest, EmptyMapReportsFifteenZeroRowsAndZeroTotal) {
  testing::internal::CaptureStdout();
  ReportLumpUsage(Map());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n"
            "Object names  Objects/Maxobjs  Memory / Maxmem  Fullness\n"
            "------------  ---------------  ---------------  --------\n"
            "models              0/400            0/25600    ( 0.0%)\n"
            "planes              0/32767          0/655340   ( 0.0%)\n"
            "vertexes            0/65535          0/786420   ( 0.0%)\n"
            "nodes               0/32767          0/786408   ( 0.0%)\n"
            "texinfos            0/32767          0/1310680  ( 0.0%)\n"
            "faces               0/131071         0/2621420  ( 0.0%)\n"
            "clipnodes           0/32767          0/262136   ( 0.0%)\n"
            "leaves              0/8192           0/229376   ( 0.0%)\n"
            "marksurfaces        0/65535          0/131070   ( 0.0%)\n"
            "surfedges           0/512000         0/2048000  ( 0.0%)\n"
            "edges               0/256000         0/1024000  ( 0.0%)\n"
            "texdata          [variable]          0/4194304  ( 0.0%)\n"
            "lightdata        [variable]          0/4194304  ( 0.0%)\n"
            "visdata          [variable]          0/2097152  ( 0.0%)\n"
            "entdata          [variable]          0/524288   ( 0.0%)\n"
            "=== Total BSP file data space used: 0 bytes ===\n");
}

// Regression: a 32-bit total wraps once the lumps add up to 2 GiB, as lumps
// laid over the same bytes of a smaller file can. The report reads only
// sizes, so no bytes are needed.
TEST(OptimizeTest, ReportTotalIsSummedInSixtyFourBits) {
  Map map;
  map.lump[kLumpTextures] = UnreadBytes(2000000000);
  map.lump[kLumpLighting] = UnreadBytes(2000000000);
  map.lump[kLumpVisibility] = UnreadBytes(1000000000);
  map.lump[kLumpSurfedges] = UnreadBytes(512000 * 4);
  testing::internal::CaptureStdout();
  ReportLumpUsage(map);
  std::string out = testing::internal::GetCapturedStdout();
  std::string total = "=== Total BSP file data space used: 5002048000 bytes ===\n";
  ASSERT_GE(out.size(), total.size());
  EXPECT_EQ(out.substr(out.size() - total.size()), total);
}

}  // namespace
