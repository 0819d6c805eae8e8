// bspfile.h: the layout of a version-30 BSP map file and the in-memory store
// that holds one map between loading and saving.
// The store is one process-wide instance with fixed capacities; for every
// record lump, count * record size equals the lump's byte length. On disk
// every multi-byte value is little-endian; in the store it is in host order
// from the end of loading until saving begins.
#pragma once

#include <cstdint>
#include <memory>

constexpr int32_t kBspVersion = 30;

enum LumpIndex {
  kLumpEntities, kLumpPlanes, kLumpTextures, kLumpVertexes, kLumpVisibility,
  kLumpNodes, kLumpTexinfo, kLumpFaces, kLumpLighting, kLumpClipnodes,
  kLumpLeaves, kLumpMarksurfaces, kLumpEdges, kLumpSurfedges, kLumpModels,
  kNumLumps
};

// The lumps' names, by index, as messages and the usage table print them.
constexpr const char* kLumpNames[kNumLumps] = {
    "entdata", "planes", "texdata", "vertexes", "visdata", "nodes", "texinfos", "faces",
    "lightdata", "clipnodes", "leaves", "marksurfaces", "edges", "surfedges", "models"};

// Every lump's data follows the header.
constexpr int32_t kHeaderSize = 124;

struct LumpEntry {
  int32_t offset;
  int32_t length;  // exact data length, without alignment filler
};

struct BspHeader {
  int32_t version;
  LumpEntry lumps[kNumLumps];
};
static_assert(sizeof(BspHeader) == kHeaderSize);

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

// Field widths of each record, in bytes, in order: 4 and 2 are swapped as
// whole values on a big-endian host, 1 is a byte and never swapped.
constexpr const char kPlaneLayout[] = "44444";
constexpr const char kVertexLayout[] = "444";
constexpr const char kNodeLayout[] = "42222222222";
constexpr const char kTexinfoLayout[] = "4444444444";
constexpr const char kFaceLayout[] = "2242211114";
constexpr const char kClipnodeLayout[] = "422";
constexpr const char kLeafLayout[] = "44222222221111";
constexpr const char kEdgeLayout[] = "22";
constexpr const char kModelLayout[] = "4444444444444444";
constexpr const char kMarksurfaceLayout[] = "2";
constexpr const char kSurfedgeLayout[] = "4";

// Sum of the field widths of a layout string.
constexpr int LayoutSize(const char* layout) {
  int size = 0;
  for (; *layout; ++layout) size += *layout - '0';
  return size;
}

static_assert(sizeof(PlaneRecord) == 20 && LayoutSize(kPlaneLayout) == 20);
static_assert(sizeof(VertexRecord) == 12 && LayoutSize(kVertexLayout) == 12);
static_assert(sizeof(NodeRecord) == 24 && LayoutSize(kNodeLayout) == 24);
static_assert(sizeof(TexinfoRecord) == 40 && LayoutSize(kTexinfoLayout) == 40);
static_assert(sizeof(FaceRecord) == 20 && LayoutSize(kFaceLayout) == 20);
static_assert(sizeof(ClipnodeRecord) == 8 && LayoutSize(kClipnodeLayout) == 8);
static_assert(sizeof(LeafRecord) == 28 && LayoutSize(kLeafLayout) == 28);
static_assert(sizeof(EdgeRecord) == 4 && LayoutSize(kEdgeLayout) == 4);
static_assert(sizeof(ModelRecord) == 64 && LayoutSize(kModelLayout) == 64);

// Capacities of the store's fixed arrays.
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

struct MapStore {
  int32_t nummodels;
  ModelRecord models[kMaxModels];
  int32_t numvertexes;
  VertexRecord vertexes[kMaxVertexes];
  int32_t numplanes;
  PlaneRecord planes[kMaxPlanes];
  int32_t numleaves;
  LeafRecord leaves[kMaxLeaves];
  int32_t numnodes;
  NodeRecord nodes[kMaxNodes];
  int32_t numtexinfo;
  TexinfoRecord texinfo[kMaxTexinfos];
  int32_t numclipnodes;
  ClipnodeRecord clipnodes[kMaxClipnodes];
  int32_t numfaces;
  FaceRecord faces[kMaxFaces];
  int32_t nummarksurfaces;
  uint16_t marksurfaces[kMaxMarksurfaces];
  int32_t numsurfedges;
  int32_t surfedges[kMaxSurfedges];
  int32_t numedges;
  EdgeRecord edges[kMaxEdges];

  int32_t entdatasize;
  char entdata[kMaxEntdata];

  // The three variable byte lumps; null until loaded, freed by ReleaseBSPData.
  // texdata starts with a directory: a count N, then N int32 offsets.
  int32_t texdatasize;
  std::unique_ptr<unsigned char[]> texdata;
  int32_t visdatasize;
  std::unique_ptr<unsigned char[]> visdata;
  int32_t lightdatasize;
  std::unique_ptr<unsigned char[]> lightdata;
};

// The process-wide map store, zero at start.
extern MapStore g_map;

// Converts every 16-bit and 32-bit field of every stored record, and the
// texture directory, between file order (little-endian) and host order:
// toDisk is true before saving and false after loading. Does nothing on a
// little-endian host.
void ConvertBSPByteOrder(bool toDisk);

// Reverses the bytes of every field that ConvertBSPByteOrder converts,
// whatever the host's byte order; ConvertBSPByteOrder calls it on a big-endian
// host. The directory count is read before the swap when toDisk is true and
// after it otherwise, so that it is always read in host order; directory
// entries that would lie past the end of the texdata lump are left alone.
void SwapBSPByteOrder(bool toDisk);
