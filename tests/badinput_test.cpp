// badinput_test.cpp: damaged maps, built systematically from the sample map,
// must each be refused with its exact message, which the tables check in
// this process (the tool's status, banner and untouched map for a refused
// map: EndToEndTest.BadMapsAreRefusedAndLeftUntouched); maps that are only
// large are not damaged, and the built tool compacts them.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapbuilder.h"
#include "refusal.h"
#include "testutil.h"

namespace {

using refusal::ExpectBytesRefused;

// The order in which loading checks the lumps: the first bad one is named.
constexpr LumpIndex kLoadOrder[] = {kLumpModels,   kLumpVertexes,     kLumpPlanes,    kLumpLeaves,   kLumpNodes,
                                    kLumpTexinfo,  kLumpClipnodes,    kLumpFaces,     kLumpMarksurfaces,
                                    kLumpSurfedges, kLumpEdges,       kLumpTextures,  kLumpVisibility,
                                    kLumpLighting, kLumpEntities};

int32_t RecordSize(int lump) { return kLumpKinds[lump].record_size; }

// The refusal of a lump entry: part of a record is refused before the place.
std::string EntryMessage(int lump, int32_t offset, int32_t length, size_t file_size) {
  const std::string name = kLumpKinds[lump].name;
  if (length % RecordSize(lump) != 0)
    return "LoadBSPFile: odd lump size (" + name + " lump of {path}: " + std::to_string(length) +
           " bytes is not a whole number of " + std::to_string(RecordSize(lump)) + "-byte records)";
  return "LoadBSPFile: " + name + " lump lies outside the file (" + name + " lump of {path}: offset " +
         std::to_string(offset) + ", length " + std::to_string(length) + ", file size " + std::to_string(file_size) +
         ")";
}

TEST(BadInputTest, EveryTruncationAtALumpBoundaryOrInsideTheHeader) {
  const std::string good = BuildSampleMap();
  // Where each lump starts and ends, and points inside the header.
  std::vector<size_t> cuts = {0, 1, 4, 8, 64, 120, 123};
  size_t last_end = 0;
  for (int lump = 0; lump < kNumLumps; ++lump) {
    LumpEntry e = GetLumpEntry(good, lump);
    cuts.push_back(static_cast<size_t>(e.offset));
    cuts.push_back(static_cast<size_t>(e.offset + e.length));
    last_end = std::max(last_end, static_cast<size_t>(e.offset + e.length));
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  int tried = 0;
  for (size_t cut : cuts) {
    if (cut >= last_end) continue;  // only the last lump's padding is gone: still a whole map
    SCOPED_TRACE("cut at " + std::to_string(cut));
    std::string message;
    if (cut < static_cast<size_t>(kHeaderSize)) {
      message = "{path} is too short to be a map: " + std::to_string(cut) + " bytes, less than its 124-byte header";
    } else {
      for (LumpIndex lump : kLoadOrder) {
        LumpEntry e = GetLumpEntry(good, lump);
        if (static_cast<size_t>(e.offset + e.length) > cut) {
          message = EntryMessage(lump, e.offset, e.length, cut);
          break;
        }
      }
    }
    ExpectBytesRefused(good.substr(0, cut), message);
    ++tried;
  }
  EXPECT_GE(tried, 7 + 15);
}

TEST(BadInputTest, EveryLumpEntryOutsideTheFile) {
  const std::string good = BuildSampleMap();
  const auto size = static_cast<int32_t>(good.size());
  for (int lump = 0; lump < kNumLumps; ++lump) {
    const LumpEntry e = GetLumpEntry(good, lump);
    const int32_t rs = RecordSize(lump);
    // A negative length that is whole records of every record size.
    const int32_t whole_negative = -64 * 105;
    const struct {
      const char* name;
      int32_t offset, length;
    } entries[] = {
        {"negative offset", -4, e.length},
        {"negative length", e.offset, whole_negative},
        {"starts past the end", size + 4, e.length},
        {"ends past the end", size - e.length + rs, e.length},
        {"longer than the file", e.offset, e.length + (size + rs - 1) / rs * rs},
        {"overlaps the header", kHeaderSize - rs, e.length},
        {"starts at offset 0", 0, e.length},
        {"offset INT32_MAX", INT32_MAX, e.length},
        {"length INT32_MAX", e.offset, INT32_MAX},
        {"length INT32_MAX in whole records", e.offset, INT32_MAX - INT32_MAX % rs},
        {"offset plus length past INT32_MAX", INT32_MAX - rs + 1, 2 * rs},
    };
    for (const auto& entry : entries) {
      SCOPED_TRACE(std::string(kLumpKinds[lump].name) + ": " + entry.name);
      std::string bad = good;
      SetLumpEntry(bad, lump, entry.offset, entry.length);
      ExpectBytesRefused(bad, EntryMessage(lump, entry.offset, entry.length, good.size()));
    }
  }
}

// No count limits a lump: a map one past the classic maximum of a lump is
// compacted like any other.
TEST(BadInputTest, LumpsOnePastTheClassicMaximumAreAccepted) {
  const MapLumps sample = SampleMapLumps(), culled = SampleMapLumps(3, true);
  const struct {
    LumpIndex lump;
    std::string bytes;  // in the map, and in the compacted map but for the planes
  } cases[] = {
      // Planes nothing refers to, after the sample's: the compacted planes are the sample's.
      {kLumpPlanes, sample.lump[kLumpPlanes] + std::string((65536 - 60) * 20, '\0')},
      {kLumpModels, std::string(401 * 64, '\0')},
      {kLumpLeaves, std::string(8193 * 28, '\0')},
      {kLumpEntities, std::string(524289, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kLumpKinds[c.lump].name);
    MapLumps lumps = sample, expected = culled;
    lumps.lump[c.lump] = c.bytes;
    if (c.lump != kLumpPlanes) expected.lump[c.lump] = c.bytes;
    std::string dir = refusal::MapDir(BuildMap(lumps));
    RunResult r = refusal::Cull(dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(expected));
    EXPECT_EQ(ListDir(dir), refusal::kJustTheMap);
  }
}

TEST(BadInputTest, EveryRecordLumpWithAPartRecord) {
  const MapLumps sample = SampleMapLumps();
  for (int lump = 0; lump < kNumLumps; ++lump) {
    const int32_t record_size = RecordSize(lump);
    for (int extra = 1; extra < record_size; extra += std::max(1, record_size / 3)) {
      SCOPED_TRACE(std::string(kLumpKinds[lump].name) + " + " + std::to_string(extra));
      MapLumps lumps = sample;
      lumps.lump[lump] += std::string(static_cast<size_t>(extra), '\x7f');
      ExpectBytesRefused(BuildMap(lumps), EntryMessage(lump, 0, static_cast<int32_t>(lumps.lump[lump].size()), 0));
    }
  }
}

TEST(BadInputTest, PlaneReferencesOutsideThePlanes) {
  const MapLumps sample = SampleMapLumps();
  const auto planes = static_cast<int64_t>(sample.lump[kLumpPlanes].size() / 20);
  ASSERT_LT(planes, 65534);
  const struct {
    LumpIndex lump;
    const char* kind;
    size_t record_size;
    bool wide;
  } referrers[] = {{kLumpFaces, "face", 20, false}, {kLumpNodes, "node", 24, true}, {kLumpClipnodes, "clipnode", 8, true}};
  for (const auto& ref : referrers) {
    // A face holds its reference in 16 bits: -1 reads as 65535 and INT32_MIN
    // as plane 0, which is a good reference.
    std::vector<int64_t> values = {planes, 65534, 65535};
    if (ref.wide) values.insert(values.end(), {-1, INT32_MIN});
    else values.push_back(-1);
    const size_t last = sample.lump[ref.lump].size() / ref.record_size - 1;
    for (int64_t value : values) {
      SCOPED_TRACE(std::string(ref.kind) + " refers to " + std::to_string(value));
      MapLumps lumps = sample;
      std::string field = ref.wide ? Le32(static_cast<uint32_t>(value)) : Le16(static_cast<uint16_t>(value));
      lumps.lump[ref.lump].replace(last * ref.record_size, field.size(), field);
      int64_t seen = ref.wide ? value : static_cast<uint16_t>(value);
      ExpectBytesRefused(BuildMap(lumps), std::string(ref.kind) + " " + std::to_string(last) + " refers to plane " +
                                              std::to_string(seen) + ", but the map has " + std::to_string(planes) +
                                              " planes (" + kLumpKinds[ref.lump].name + " lump of {path})");
    }
  }
}

// The texture directory is carried through as bytes, whatever its count
// says.
TEST(BadInputTest, TextureDirectoryCountsBeyondTheLump) {
  for (int32_t count : {INT32_MAX, INT32_MIN, -1, 1000}) {
    SCOPED_TRACE("count " + std::to_string(count));
    MapLumps lumps = SampleMapLumps(), culled = SampleMapLumps(3, true);
    lumps.lump[kLumpTextures] = culled.lump[kLumpTextures] = Le32(static_cast<uint32_t>(count)) + Le32(8) + "mip";
    std::string dir = refusal::MapDir(BuildMap(lumps));
    EXPECT_EQ(refusal::Cull(dir).status, 0);
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(culled));
    EXPECT_EQ(ListDir(dir), refusal::kJustTheMap);
  }
}

TEST(BadInputTest, EmptyFileAndDirectoryAreNotMaps) {
  ExpectBytesRefused("", "{path} is too short to be a map: 0 bytes, less than its 124-byte header");

  std::string path = MakeTempDir() + "/m.bsp";
  ASSERT_TRUE(std::filesystem::create_directory(path));
  EXPECT_EQ(refusal::LoadRefusal([&] { return LoadBSPFile(path); }), "Error opening " + path + ": Is a directory");
}

// A mode-000 map, which root reads unless it drops the capabilities to, is not a missing map.
TEST(BadInputTest, MapThatMayNotBeReadIsRefusedWithTheReason) {
  if (geteuid() != 0 || ToolCommand().size() > 1) GTEST_SKIP() << "needs root, and the tool run directly";
  refusal::ExpectRefused(BuildSampleMap(), "Error opening {path}: Permission denied", [] {
    chmod("m.bsp", 0);
    for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) prctl(PR_CAPBSET_DROP, capability);
  });
}

}  // namespace
