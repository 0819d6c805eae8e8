// bspfile.cpp: the process-wide map store and its byte-order conversion.
#include "bsp/bspfile.h"

#include <bit>
#include <cstring>
#include <utility>

// Static storage: zero-filled at start, and its pages cost nothing until a
// map uses them.
MapStore g_map;

namespace {

void Reverse(unsigned char* bytes, int width) {
  for (int i = 0; i < width / 2; ++i) std::swap(bytes[i], bytes[width - 1 - i]);
}

// Reverses each 2- and 4-byte field of count records laid out as layout says.
void SwapRecords(void* records, int32_t count, const char* layout) {
  auto* bytes = static_cast<unsigned char*>(records);
  for (int32_t i = 0; i < count; ++i) {
    for (const char* field = layout; *field; ++field) {
      int width = *field - '0';
      if (width > 1) Reverse(bytes, width);
      bytes += width;
    }
  }
}

int32_t ReadInt32(const unsigned char* bytes) {
  int32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// The texture directory: a count, then that many int32 offsets. Only the
// entries that lie wholly inside the lump are swapped, whatever the count says.
void SwapTextureDirectory(bool toDisk) {
  if (g_map.texdatasize < 4) return;
  unsigned char* dir = g_map.texdata.get();
  int32_t count = toDisk ? ReadInt32(dir) : 0;
  Reverse(dir, 4);
  if (!toDisk) count = ReadInt32(dir);
  int32_t room = (g_map.texdatasize - 4) / 4;
  if (count > room) count = room;
  if (count > 0) SwapRecords(dir + 4, count, "4");
}

}  // namespace

void SwapBSPByteOrder(bool toDisk) {
  SwapRecords(g_map.models, g_map.nummodels, kModelLayout);
  SwapRecords(g_map.vertexes, g_map.numvertexes, kVertexLayout);
  SwapRecords(g_map.planes, g_map.numplanes, kPlaneLayout);
  SwapRecords(g_map.leaves, g_map.numleaves, kLeafLayout);
  SwapRecords(g_map.nodes, g_map.numnodes, kNodeLayout);
  SwapRecords(g_map.texinfo, g_map.numtexinfo, kTexinfoLayout);
  SwapRecords(g_map.clipnodes, g_map.numclipnodes, kClipnodeLayout);
  SwapRecords(g_map.faces, g_map.numfaces, kFaceLayout);
  SwapRecords(g_map.marksurfaces, g_map.nummarksurfaces, kMarksurfaceLayout);
  SwapRecords(g_map.surfedges, g_map.numsurfedges, kSurfedgeLayout);
  SwapRecords(g_map.edges, g_map.numedges, kEdgeLayout);
  SwapTextureDirectory(toDisk);
}

void ConvertBSPByteOrder(bool toDisk) {
  if constexpr (std::endian::native == std::endian::big) SwapBSPByteOrder(toDisk);
  static_assert(std::endian::native == std::endian::big || std::endian::native == std::endian::little,
                "mixed-endian hosts are not supported");
}
