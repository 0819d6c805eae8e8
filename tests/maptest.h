// maptest.h: loaded maps for the tests that call the core directly. A map is
// made as a user's map is: a file written by the map builder, then loaded.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "bsp/save.h"
#include "mapbuilder.h"
#include "testutil.h"

// Loads bytes written to a scratch file.
inline Map LoadMapBytes(const std::string& bytes) {
  std::string path = MakeTempDir() + "/m.bsp";
  WriteFile(path, bytes);
  return LoadBSPFile(path);
}

// The map as the save writes it (compacted, when it was), loaded back.
inline Map SavedMap(const Map& map) {
  std::string path = MakeTempDir() + "/saved.bsp";
  SaveBSPFile(map, *LayOutMap(map), {path, false, ""}, false);
  return LoadBSPFile(path);
}

// The bytes of one lump of a loaded map.
inline std::string LumpOf(const Map& map, int lump) {
  return std::string(reinterpret_cast<const char*>(map.lump[lump].data()), map.lump[lump].size());
}

// Expects every lump of map to hold exactly the bytes of want's; a lump that
// differs is named with its first differing byte, not printed whole.
inline void ExpectLumps(const Map& map, const MapLumps& want) {
  for (int lump = 0; lump < kNumLumps; ++lump) {
    std::string got = LumpOf(map, lump);
    const std::string& expected = want.lump[lump];
    auto at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin();
    EXPECT_TRUE(got == expected) << kLumpKinds[lump].name << ": " << got.size() << " bytes, expected "
                                 << expected.size() << ", first difference at byte " << at;
  }
}

// A lump of size bytes that are never read, for the code that looks only at
// lump sizes (the usage table, the save's layout): the span lies in 2 GiB of
// address space reserved once and never backed by memory.
inline std::span<unsigned char> UnreadBytes(size_t size) {
  static void* base = mmap(nullptr, size_t{1} << 31, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED || size > size_t{1} << 31) throw std::runtime_error("cannot reserve 2 GiB of addresses");
  return {static_cast<unsigned char*>(base), size};
}
