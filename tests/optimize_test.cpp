// optimize_test.cpp: plane compaction and the lump usage table, run on the
// process-wide store directly.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "optimize/compact.h"
#include "optimize/report.h"

namespace {

class OptimizeTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseBSPData(); }
  void TearDown() override { ReleaseBSPData(); }
};

// Plane i is told apart from every other by all of its fields.
PlaneRecord TestPlane(int i) {
  return {{static_cast<float>(i), 0.5f, -static_cast<float>(i)}, 2.0f * static_cast<float>(i), i % 6};
}

// Faces, nodes and clipnodes referring to the given planes, with their other
// fields set from their position, so that a pass touching them shows.
void FillReferences(const std::vector<int>& faces, const std::vector<int>& nodes,
                    const std::vector<int>& clipnodes) {
  g_map.numfaces = static_cast<int32_t>(faces.size());
  for (size_t i = 0; i < faces.size(); ++i)
    g_map.faces[i] = {static_cast<uint16_t>(faces[i]), 1, static_cast<int32_t>(100 + i), 4, 7, {0, 255, 255, 255}, 9};
  g_map.numnodes = static_cast<int32_t>(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i)
    g_map.nodes[i] = {nodes[i], {static_cast<int16_t>(i), -8}, {-1, -2, -3}, {1, 2, 3}, 5, 6};
  g_map.numclipnodes = static_cast<int32_t>(clipnodes.size());
  for (size_t i = 0; i < clipnodes.size(); ++i) g_map.clipnodes[i] = {clipnodes[i], {-2, static_cast<int16_t>(i)}};
}

// The faces, nodes and clipnodes as raw bytes.
std::string ReferenceBytes() {
  auto raw = [](const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); };
  return raw(g_map.faces, g_map.numfaces * sizeof(FaceRecord)) + raw(g_map.nodes, g_map.numnodes * sizeof(NodeRecord)) +
         raw(g_map.clipnodes, g_map.numclipnodes * sizeof(ClipnodeRecord));
}

std::string PlaneCounts(int before, int after) {
  return "\nPlanes in map: " + std::to_string(before) + "\nPlanes actually used: " + std::to_string(after) + "\n";
}

TEST_F(OptimizeTest, CompactionKeepsReferencedPlanesInFirstReferenceOrder) {
  struct Case {
    const char* name;
    int planes;
    std::vector<int> faces, nodes, clipnodes;  // plane references before
    std::vector<int> new_faces, new_nodes, new_clipnodes;
    std::vector<int> kept;  // old index of each new plane
  } cases[] = {
      {"six planes, two dropped", 6, {4, 2, 4}, {2, 5}, {0}, {0, 1, 0}, {1, 2}, {3}, {4, 2, 5, 0}},
      {"nothing refers to a plane", 6, {}, {}, {}, {}, {}, {}, {}},
      {"already in order", 3, {0, 1}, {1, 2}, {2, 0}, {0, 1}, {1, 2}, {2, 0}, {0, 1, 2}},
      {"one plane shared by all three arrays", 5, {3}, {3}, {3, 1}, {0}, {0}, {0, 1}, {3, 1}},
      {"face plane index above 32767 is unsigned", 40001, {40000}, {}, {0}, {0}, {}, {1}, {40000, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseBSPData();
    g_map.numplanes = c.planes;
    for (int i = 0; i < c.planes; ++i) g_map.planes[i] = TestPlane(i);
    FillReferences(c.faces, c.nodes, c.clipnodes);

    testing::internal::CaptureStdout();
    EXPECT_EQ(CompactPlanes(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), PlaneCounts(c.planes, static_cast<int>(c.kept.size())));

    ASSERT_EQ(g_map.numplanes, static_cast<int32_t>(c.kept.size()));
    for (size_t i = 0; i < c.kept.size(); ++i) {
      PlaneRecord want = TestPlane(c.kept[i]);
      EXPECT_EQ(std::memcmp(&g_map.planes[i], &want, sizeof want), 0) << i;
    }
    std::string compacted = ReferenceBytes();
    FillReferences(c.new_faces, c.new_nodes, c.new_clipnodes);
    EXPECT_EQ(compacted, ReferenceBytes());
  }
}

// CompactPlanes prints through the console, which is standard output; the
// death test matches standard error, so the child sends one to the other.
void CompactToStderr() {
  dup2(2, 1);
  CompactPlanes();
}

TEST_F(OptimizeTest, CompactionRefusesReferenceOutsidePlanes) {
  struct Case {
    const char* name;
    int planes;
    std::vector<int> faces, nodes, clipnodes;
    const char* message;  // must appear in the error
  } cases[] = {
      {"face refers to the plane count", 6, {0, 1, 6}, {}, {}, "face 2"},
      {"face refers past the remap table", kMaxPlanes, {65535}, {}, {}, "face 0"},
      {"node refers to a negative plane", 6, {}, {0, -5}, {}, "node 1"},
      {"clipnode refers past the planes", 6, {}, {}, {0, 5, 0, 9}, "clipnode 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseBSPData();
    g_map.numplanes = c.planes;
    FillReferences(c.faces, c.nodes, c.clipnodes);
    EXPECT_EXIT(CompactToStderr(), testing::ExitedWithCode(1),
                std::string("\n\\*+ ERROR \\*+\n.*") + c.message + "[^0-9]");
  }
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

TEST_F(OptimizeTest, EmptyMapReportsFifteenZeroRowsAndZeroTotal) {
  testing::internal::CaptureStdout();
  ReportLumpUsage();
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

// Regression: a 32-bit total wraps once the lumps add up to 2 GiB. The report
// reads only counts and lengths, so no buffers are needed.
TEST_F(OptimizeTest, ReportTotalIsSummedInSixtyFourBits) {
  g_map.texdatasize = 2000000000;
  g_map.lightdatasize = 2000000000;
  g_map.visdatasize = 1000000000;
  g_map.numsurfedges = 512000;
  testing::internal::CaptureStdout();
  ReportLumpUsage();
  std::string out = testing::internal::GetCapturedStdout();
  std::string total = "=== Total BSP file data space used: 5002048000 bytes ===\n";
  ASSERT_GE(out.size(), total.size());
  EXPECT_EQ(out.substr(out.size() - total.size()), total);
}

}  // namespace
