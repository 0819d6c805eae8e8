// load.cpp: reading a map file into the map store.
// The file is untrusted: every offset, length and count is checked against
// the file's size and the store's capacities before a byte is copied.
#include "bsp/load.h"

#include <cstring>
#include <new>

#include "bsp/bspfile.h"
#include "common/console.h"
#include "common/fileio.h"

namespace {

int32_t ReadLittleInt32(const unsigned char* bytes) {
  return static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                              static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

BspHeader ReadHeader(const FileImage& image) {
  BspHeader header;
  const unsigned char* bytes = image.data.get();
  header.version = ReadLittleInt32(bytes);
  for (int lump = 0; lump < kNumLumps; ++lump) {
    header.lumps[lump].offset = ReadLittleInt32(bytes + 4 + 8 * lump);
    header.lumps[lump].length = ReadLittleInt32(bytes + 8 + 8 * lump);
  }
  return header;
}

// Refuses a lump that does not lie wholly between the header and the end of
// the file. An empty lump may sit anywhere up to the end.
void CheckLumpBounds(const BspHeader& header, int lump, int32_t file_size) {
  const LumpEntry& entry = header.lumps[lump];
  if (entry.offset < 0 || entry.length < 0 || entry.offset > file_size - entry.length ||
      (entry.length > 0 && entry.offset < kHeaderSize))
    FatalError("LoadBSPFile: %s lump lies outside the file (offset %i, length %i, file size %i)",
               kLumpNames[lump], entry.offset, entry.length, file_size);
}

// Copies a lump of whole records into a store array of capacity records and
// returns the record count.
int32_t CopyRecordLump(const FileImage& image, const BspHeader& header, int lump, void* dest,
                       int32_t record_size, int32_t capacity) {
  const LumpEntry& entry = header.lumps[lump];
  if (entry.length % record_size != 0) FatalError("LoadBSPFile: odd lump size");
  CheckLumpBounds(header, lump, image.length);
  int32_t count = entry.length / record_size;
  if (count > capacity)
    FatalError("LoadBSPFile: %s lump holds %i records, more than the %i this tool can hold",
               kLumpNames[lump], count, capacity);
  if (count > 0) std::memcpy(dest, image.data.get() + entry.offset, static_cast<size_t>(entry.length));
  return count;
}

// The AllocLump step: a heap buffer of exactly the lump's length. An empty
// lump gets no buffer.
int32_t CopyByteLump(const FileImage& image, const BspHeader& header, int lump,
                     std::unique_ptr<unsigned char[]>& dest) {
  const LumpEntry& entry = header.lumps[lump];
  CheckLumpBounds(header, lump, image.length);
  dest.reset();
  if (entry.length == 0) return 0;
  dest.reset(new (std::nothrow) unsigned char[static_cast<size_t>(entry.length)]);
  if (!dest) FatalError("AllocLump: unable to allocate memory");
  std::memcpy(dest.get(), image.data.get() + entry.offset, static_cast<size_t>(entry.length));
  return entry.length;
}

}  // namespace

void LoadBSPFile(const char* path) {
  FileImage image = ReadWholeFile(path);
  if (image.length < kHeaderSize)
    FatalError("%s is too short to be a map: %i bytes, less than its %i-byte header", path, image.length,
               kHeaderSize);
  BspHeader header = ReadHeader(image);
  if (header.version != kBspVersion) FatalError("%s is version %i, not %i", path, header.version, kBspVersion);

  MapStore& m = g_map;
  m.nummodels = CopyRecordLump(image, header, kLumpModels, m.models, sizeof(ModelRecord), kMaxModels);
  m.numvertexes = CopyRecordLump(image, header, kLumpVertexes, m.vertexes, sizeof(VertexRecord), kMaxVertexes);
  m.numplanes = CopyRecordLump(image, header, kLumpPlanes, m.planes, sizeof(PlaneRecord), kMaxPlanes);
  m.numleaves = CopyRecordLump(image, header, kLumpLeaves, m.leaves, sizeof(LeafRecord), kMaxLeaves);
  m.numnodes = CopyRecordLump(image, header, kLumpNodes, m.nodes, sizeof(NodeRecord), kMaxNodes);
  m.numtexinfo = CopyRecordLump(image, header, kLumpTexinfo, m.texinfo, sizeof(TexinfoRecord), kMaxTexinfos);
  m.numclipnodes =
      CopyRecordLump(image, header, kLumpClipnodes, m.clipnodes, sizeof(ClipnodeRecord), kMaxClipnodes);
  m.numfaces = CopyRecordLump(image, header, kLumpFaces, m.faces, sizeof(FaceRecord), kMaxFaces);
  m.nummarksurfaces =
      CopyRecordLump(image, header, kLumpMarksurfaces, m.marksurfaces, sizeof(uint16_t), kMaxMarksurfaces);
  m.numsurfedges = CopyRecordLump(image, header, kLumpSurfedges, m.surfedges, sizeof(int32_t), kMaxSurfedges);
  m.numedges = CopyRecordLump(image, header, kLumpEdges, m.edges, sizeof(EdgeRecord), kMaxEdges);

  m.texdatasize = CopyByteLump(image, header, kLumpTextures, m.texdata);
  m.visdatasize = CopyByteLump(image, header, kLumpVisibility, m.visdata);
  m.lightdatasize = CopyByteLump(image, header, kLumpLighting, m.lightdata);

  const LumpEntry& ents = header.lumps[kLumpEntities];
  CheckLumpBounds(header, kLumpEntities, image.length);
  if (ents.length > kMaxEntdata)
    FatalError("LoadBSPFile: entdata lump holds %i bytes, more than the %i this tool can hold", ents.length,
               kMaxEntdata);
  std::memcpy(m.entdata, image.data.get() + ents.offset, static_cast<size_t>(ents.length));
  m.entdatasize = ents.length;

  image.data.reset();
  ConvertBSPByteOrder(false);
}

void ReleaseBSPData() {
  MapStore& m = g_map;
  m.texdata.reset();
  m.visdata.reset();
  m.lightdata.reset();
  m.nummodels = m.numvertexes = m.numplanes = m.numleaves = m.numnodes = m.numtexinfo = m.numclipnodes =
      m.numfaces = m.nummarksurfaces = m.numsurfedges = m.numedges = 0;
  m.entdatasize = m.texdatasize = m.visdatasize = m.lightdatasize = 0;
}
