// maprecords.h: the records of a version-30 map file as plain structs, for
// the map builder and the tests that make maps field by field. The tool
// itself never interprets these; it carries their bytes through unchanged.
// The structs are in host order; mapbuilder.h encodes them little-endian.
#pragma once

#include <cstdint>

#include "bsp/bspfile.h"

struct LumpEntry {
  int32_t offset;
  int32_t length;  // exact data length, without alignment filler
};

struct PlaneRecord {
  float normal[3];
  float dist;
  int32_t type;
};

struct VertexRecord {
  float point[3];
};

struct NodeRecord {
  int32_t planenum;
  int16_t children[2];
  int16_t mins[3];
  int16_t maxs[3];
  uint16_t firstface;
  uint16_t numfaces;
};

struct TexinfoRecord {
  float vecs[2][4];
  int32_t miptex;
  int32_t flags;
};

struct FaceRecord {
  uint16_t planenum;
  int16_t side;
  int32_t firstedge;
  int16_t numedges;
  int16_t texinfo;
  uint8_t styles[4];
  int32_t lightofs;
};

struct ClipnodeRecord {
  int32_t planenum;
  int16_t children[2];
};

struct LeafRecord {
  int32_t contents;
  int32_t visofs;
  int16_t mins[3];
  int16_t maxs[3];
  uint16_t firstmarksurface;
  uint16_t nummarksurfaces;
  uint8_t ambient_level[4];
};

struct EdgeRecord {
  uint16_t v[2];
};

struct ModelRecord {
  float mins[3];
  float maxs[3];
  float origin[3];
  int32_t headnode[4];
  int32_t visleafs;
  int32_t firstface;
  int32_t numfaces;
};

static_assert(sizeof(PlaneRecord) == 20 && sizeof(VertexRecord) == 12 && sizeof(NodeRecord) == 24 &&
              sizeof(TexinfoRecord) == 40 && sizeof(FaceRecord) == 20 && sizeof(ClipnodeRecord) == 8 &&
              sizeof(LeafRecord) == 28 && sizeof(EdgeRecord) == 4 && sizeof(ModelRecord) == 64);

// The classic engine's largest lumps, in records (entdata in bytes): what
// the benchmark's full map holds.
constexpr int32_t kMaxModels = 400;
constexpr int32_t kMaxPlanes = 65535;
constexpr int32_t kMaxVertexes = 65535;
constexpr int32_t kMaxNodes = 32767;
constexpr int32_t kMaxTexinfos = 32767;
constexpr int32_t kMaxFaces = 131071;
constexpr int32_t kMaxClipnodes = 32767;
constexpr int32_t kMaxLeaves = 8192;
constexpr int32_t kMaxMarksurfaces = 65535;
constexpr int32_t kMaxSurfedges = 512000;
constexpr int32_t kMaxEdges = 256000;
constexpr int32_t kMaxEntdata = 524288;
