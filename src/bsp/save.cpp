// save.cpp: writing the map store to a map file.
// The header is written first with empty entries, then every lump in the
// writing order, each padded to 4 bytes; the completed header is written
// again at the start. The whole file goes to a temporary file that replaces
// the map only once it is complete and durable.
#include "bsp/save.h"

#include <cstddef>
#include <cstdint>

#include "bsp/bspfile.h"
#include "common/console.h"
#include "common/fileio.h"

namespace {

void StoreLittleInt32(unsigned char* bytes, int32_t value) {
  auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct LumpWriter {
  FILE* stream;
  unsigned char header[kHeaderSize];
  int32_t position;
};

// Records the lump's offset and unpadded length in the header, then writes
// its data and up to 3 zero bytes of filler.
void WriteLump(LumpWriter& out, int lump, const void* data, int32_t length) {
  // Lumps that overlap in the file read can add up to more than an offset
  // can hold once they are written one after another.
  if (int64_t{out.position} + length + 3 > INT32_MAX)
    FatalError("SaveBSPFile: the %s lump would end past 2 GiB", kLumpNames[lump]);
  StoreLittleInt32(out.header + 4 + 8 * std::ptrdiff_t{lump}, out.position);
  StoreLittleInt32(out.header + 8 + 8 * std::ptrdiff_t{lump}, length);
  WriteExact(out.stream, data, static_cast<size_t>(length));
  static const unsigned char filler[3] = {0, 0, 0};
  int32_t padding = -length & 3;
  WriteExact(out.stream, filler, static_cast<size_t>(padding));
  out.position += length + padding;
}

}  // namespace

void SaveBSPFile(const char* path) {
  LumpWriter out{};
  ConvertBSPByteOrder(true);
  StoreLittleInt32(out.header, kBspVersion);

  out.stream = OpenForWriting(path);
  WriteExact(out.stream, out.header, kHeaderSize);
  out.position = kHeaderSize;

  const MapStore& m = g_map;
  WriteLump(out, kLumpPlanes, m.planes, m.numplanes * int32_t{sizeof(PlaneRecord)});
  WriteLump(out, kLumpLeaves, m.leaves, m.numleaves * int32_t{sizeof(LeafRecord)});
  WriteLump(out, kLumpVertexes, m.vertexes, m.numvertexes * int32_t{sizeof(VertexRecord)});
  WriteLump(out, kLumpNodes, m.nodes, m.numnodes * int32_t{sizeof(NodeRecord)});
  WriteLump(out, kLumpTexinfo, m.texinfo, m.numtexinfo * int32_t{sizeof(TexinfoRecord)});
  WriteLump(out, kLumpFaces, m.faces, m.numfaces * int32_t{sizeof(FaceRecord)});
  WriteLump(out, kLumpClipnodes, m.clipnodes, m.numclipnodes * int32_t{sizeof(ClipnodeRecord)});
  WriteLump(out, kLumpMarksurfaces, m.marksurfaces, m.nummarksurfaces * int32_t{sizeof(uint16_t)});
  WriteLump(out, kLumpSurfedges, m.surfedges, m.numsurfedges * int32_t{sizeof(int32_t)});
  WriteLump(out, kLumpEdges, m.edges, m.numedges * int32_t{sizeof(EdgeRecord)});
  WriteLump(out, kLumpModels, m.models, m.nummodels * int32_t{sizeof(ModelRecord)});
  WriteLump(out, kLumpLighting, m.lightdata.get(), m.lightdatasize);
  WriteLump(out, kLumpVisibility, m.visdata.get(), m.visdatasize);
  WriteLump(out, kLumpEntities, m.entdata, m.entdatasize);
  WriteLump(out, kLumpTextures, m.texdata.get(), m.texdatasize);

  SeekTo(out.stream, 0);
  WriteExact(out.stream, out.header, kHeaderSize);
  CommitWrite(out.stream);
}
