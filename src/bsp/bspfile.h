// bspfile.h: the layout of a version-30 (or 29) BSP map file, and a loaded map.
// A map holds its lumps as bytes, exactly as the file has them. The tool
// interprets only the header and the plane index of faces, nodes and
// clipnodes; every other byte is carried through unchanged. On disk every
// multi-byte value is little-endian, whatever the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/fileio.h"


// The versions the tool reads; a map is written back with its own. Version
// 29 has the same lumps and records as 30: only bytes that the tool carries
// through unread (the texture and light data) differ.
constexpr int32_t kBspVersion = 30;
constexpr int32_t kBspVersion29 = 29;

enum LumpIndex {
  kLumpEntities, kLumpPlanes, kLumpTextures, kLumpVertexes, kLumpVisibility,
  kLumpNodes, kLumpTexinfo, kLumpFaces, kLumpLighting, kLumpClipnodes,
  kLumpLeaves, kLumpMarksurfaces, kLumpEdges, kLumpSurfedges, kLumpModels,
  kNumLumps
};

// The header: the version, then an offset and a length (int32 each) per
// lump, in lump index order. Every lump's data follows it.
constexpr int32_t kHeaderSize = 4 + 8 * kNumLumps;

// Where a lump's offset field lies in the header; its length follows it.
constexpr size_t LumpEntryAt(int lump) { return 4 + 8 * static_cast<size_t>(lump); }

// What the format says of each lump: its name as messages and the usage
// table print it, the size of its records (1 for a lump of plain bytes), and
// the classic maximum the usage table measures it against (records, or bytes
// for a byte lump). Engines with raised limits go past these maxima; the
// tool accepts such maps and only flags them in the table.
struct LumpKind {
  const char* name;
  int32_t record_size;
  int32_t classic_max;
};

constexpr LumpKind kLumpKinds[kNumLumps] = {
    {"entdata", 1, 524288},     {"planes", 20, 32767},        {"texdata", 1, 4194304},
    {"vertexes", 12, 65535},    {"visdata", 1, 2097152},      {"nodes", 24, 32767},
    {"texinfos", 40, 32767},    {"faces", 20, 131071},        {"lightdata", 1, 4194304},
    {"clipnodes", 8, 32767},    {"leaves", 28, 8192},         {"marksurfaces", 2, 65535},
    {"edges", 4, 256000},       {"surfedges", 4, 512000},     {"models", 64, 400}};

// The three orders in which the tool goes through the lumps.
// The loader checks them in this order, which decides the message a file
// with several faults gets: the record lumps, then the byte lumps.
constexpr LumpIndex kLumpCheckOrder[kNumLumps] = {
    kLumpModels,  kLumpVertexes,  kLumpPlanes,       kLumpLeaves,    kLumpNodes,
    kLumpTexinfo, kLumpClipnodes, kLumpFaces,        kLumpMarksurfaces, kLumpSurfedges,
    kLumpEdges,   kLumpTextures,  kLumpVisibility,   kLumpLighting,  kLumpEntities};
// The usage table's rows: the record lumps, then the byte lumps.
constexpr LumpIndex kLumpTableOrder[kNumLumps] = {
    kLumpModels,  kLumpPlanes,    kLumpVertexes,     kLumpNodes,     kLumpTexinfo,
    kLumpFaces,   kLumpClipnodes, kLumpLeaves,       kLumpMarksurfaces, kLumpSurfedges,
    kLumpEdges,   kLumpTextures,  kLumpLighting,     kLumpVisibility, kLumpEntities};
// The order of the lumps in a file the tool writes.
constexpr LumpIndex kLumpWriteOrder[kNumLumps] = {
    kLumpPlanes,  kLumpLeaves,    kLumpVertexes,     kLumpNodes,     kLumpTexinfo,
    kLumpFaces,   kLumpClipnodes, kLumpMarksurfaces, kLumpSurfedges, kLumpEdges,
    kLumpModels,  kLumpLighting,  kLumpVisibility,   kLumpEntities,  kLumpTextures};

// A plane record is 20 bytes that move as a whole.
constexpr int32_t kPlaneSize = 20;

inline uint16_t ReadLE16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline int32_t ReadLE32(const unsigned char* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

inline void WriteLE16(unsigned char* p, uint16_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

inline void WriteLE32(unsigned char* p, int32_t value) {
  auto v = static_cast<uint32_t>(value);
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// The plane index at the start of each record of a lump that refers to
// planes: an unsigned 16-bit value (kWide false) or a signed 32-bit one.
template <bool kWide>
struct PlaneIndexField {
  static int64_t Read(const unsigned char* record) {
    return kWide ? int64_t{ReadLE32(record)} : int64_t{ReadLE16(record)};
  }
  static void Write(unsigned char* record, int32_t index) {
    if constexpr (kWide)
      WriteLE32(record, index);
    else
      WriteLE16(record, static_cast<uint16_t>(index));
  }
};

// The lumps whose records refer to planes, in the order compaction numbers
// them: faces hold a 16-bit plane index, nodes and clipnodes a 32-bit one.
// record is what a message calls one of them.
struct PlaneReferrer {
  LumpIndex lump;
  bool wide;
  const char* record;
};

constexpr PlaneReferrer kPlaneReferrers[] = {
    {kLumpFaces, false, "face"}, {kLumpNodes, true, "node"}, {kLumpClipnodes, true, "clipnode"}};

// A new numbering of the planes, which the save applies as it writes the
// map: new_index gives each plane of the file its new index (-1 for one that
// is dropped), kept gives each new plane its index in the file. Both are
// empty when the numbering is the file's own.
struct PlaneRenumbering {
  std::vector<int32_t> new_index;
  std::vector<int32_t> kept;

  bool Changes() const { return !new_index.empty(); }
};

// One loaded map. Each lump is a view of the file's bytes as read, which
// nothing changes; lumps may share bytes. Compaction records its new
// numbering of the planes beside them. Move only: the views point into the
// map's own buffer.
struct Map {
  std::unique_ptr<unsigned char[]> file;  // the file's bytes, as read
  int32_t file_size = 0;
  int32_t version = kBspVersion;  // the header's, which the save writes back
  std::string path;               // the file, as messages name it
  std::span<const unsigned char> lump[kNumLumps];
  PlaneRenumbering renumbering;

  Map() = default;
  Map(Map&&) = default;
  Map& operator=(Map&&) = default;

  // The number of whole records in a lump (bytes, for a byte lump).
  int32_t Count(int index) const {
    return static_cast<int32_t>(lump[index].size() / static_cast<size_t>(kLumpKinds[index].record_size));
  }
};
