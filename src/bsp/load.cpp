// load.cpp: reading a map file into the map store.
// The file is untrusted: every offset, length and count is checked against
// the file's size and the store's capacities before a lump is read.
#include "bsp/load.h"

#include <algorithm>
#include <cstddef>
#include <new>

#include "bsp/bspfile.h"
#include "common/console.h"
#include "common/fileio.h"

namespace {

// A piece of the file that has passed every check and waits to be read
// straight into its place in the store.
struct LumpRead {
  int32_t offset;
  int32_t length;
  void* dest;
};

struct ReadPlan {
  LumpRead reads[kNumLumps];
  int count = 0;
};

int32_t ReadLittleInt32(const unsigned char* bytes) {
  return static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                              static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

BspHeader ReadHeader(const unsigned char* bytes) {
  BspHeader header;
  header.version = ReadLittleInt32(bytes);
  for (int lump = 0; lump < kNumLumps; ++lump) {
    header.lumps[lump].offset = ReadLittleInt32(bytes + 4 + 8 * std::ptrdiff_t{lump});
    header.lumps[lump].length = ReadLittleInt32(bytes + 8 + 8 * std::ptrdiff_t{lump});
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

void AddRead(ReadPlan& plan, const LumpEntry& entry, void* dest) {
  if (entry.length > 0) plan.reads[plan.count++] = {entry.offset, entry.length, dest};
}

// Checks a lump of whole records against the file and a store array of
// capacity records, plans its read into that array and returns the count.
int32_t PlanRecordLump(const BspHeader& header, int32_t file_size, int lump, void* dest, int32_t record_size,
                       int32_t capacity, ReadPlan& plan) {
  const LumpEntry& entry = header.lumps[lump];
  if (entry.length % record_size != 0) FatalError("LoadBSPFile: odd lump size");
  CheckLumpBounds(header, lump, file_size);
  int32_t count = entry.length / record_size;
  if (count > capacity)
    FatalError("LoadBSPFile: %s lump holds %i records, more than the %i this tool can hold",
               kLumpNames[lump], count, capacity);
  AddRead(plan, entry, dest);
  return count;
}

// The AllocLump step: a heap buffer of exactly the lump's length, into which
// the lump will be read. An empty lump gets no buffer.
int32_t PlanByteLump(const BspHeader& header, int32_t file_size, int lump, std::unique_ptr<unsigned char[]>& dest,
                     ReadPlan& plan) {
  const LumpEntry& entry = header.lumps[lump];
  CheckLumpBounds(header, lump, file_size);
  dest.reset();
  if (entry.length == 0) return 0;
  dest.reset(new (std::nothrow) unsigned char[static_cast<size_t>(entry.length)]);
  if (!dest) FatalError("AllocLump: unable to allocate memory");
  AddRead(plan, entry, dest.get());
  return entry.length;
}

// Reads the planned lumps in file order, so that the file is read front to
// back once; lumps may overlap, and each gets its own bytes.
void ReadPlannedLumps(FileReader& file, ReadPlan& plan) {
  std::stable_sort(plan.reads, plan.reads + plan.count,
                   [](const LumpRead& a, const LumpRead& b) { return a.offset < b.offset; });
  for (int i = 0; i < plan.count; ++i)
    ReadExact(file, plan.reads[i].offset, plan.reads[i].dest, static_cast<size_t>(plan.reads[i].length));
}

}  // namespace

// Note: every check runs, in the order below, before any lump is read, and
// each lump is read straight into the store: the file is never held whole,
// so a map costs its own size in memory once, not twice.
void LoadBSPFile(const char* path) {
  FileReader file = OpenForReading(path);
  // A refusal normally ends the process, which closes the file; in a build
  // where FatalError unwinds instead (the fuzz target), this closes it.
  // CloseReader is harmless on a closed file.
  struct CloseOnUnwind {
    FileReader& file;
    ~CloseOnUnwind() { CloseReader(file); }
  } closer{file};
  if (file.length < kHeaderSize)
    FatalError("%s is too short to be a map: %i bytes, less than its %i-byte header", path, file.length,
               kHeaderSize);
  unsigned char raw_header[kHeaderSize];
  ReadExact(file, 0, raw_header, kHeaderSize);
  BspHeader header = ReadHeader(raw_header);
  if (header.version != kBspVersion) FatalError("%s is version %i, not %i", path, header.version, kBspVersion);

  MapStore& m = g_map;
  const int32_t size = file.length;
  ReadPlan plan;
  m.nummodels = PlanRecordLump(header, size, kLumpModels, m.models, sizeof(ModelRecord), kMaxModels, plan);
  m.numvertexes =
      PlanRecordLump(header, size, kLumpVertexes, m.vertexes, sizeof(VertexRecord), kMaxVertexes, plan);
  m.numplanes = PlanRecordLump(header, size, kLumpPlanes, m.planes, sizeof(PlaneRecord), kMaxPlanes, plan);
  m.numleaves = PlanRecordLump(header, size, kLumpLeaves, m.leaves, sizeof(LeafRecord), kMaxLeaves, plan);
  m.numnodes = PlanRecordLump(header, size, kLumpNodes, m.nodes, sizeof(NodeRecord), kMaxNodes, plan);
  m.numtexinfo =
      PlanRecordLump(header, size, kLumpTexinfo, m.texinfo, sizeof(TexinfoRecord), kMaxTexinfos, plan);
  m.numclipnodes =
      PlanRecordLump(header, size, kLumpClipnodes, m.clipnodes, sizeof(ClipnodeRecord), kMaxClipnodes, plan);
  m.numfaces = PlanRecordLump(header, size, kLumpFaces, m.faces, sizeof(FaceRecord), kMaxFaces, plan);
  m.nummarksurfaces =
      PlanRecordLump(header, size, kLumpMarksurfaces, m.marksurfaces, sizeof(uint16_t), kMaxMarksurfaces, plan);
  m.numsurfedges =
      PlanRecordLump(header, size, kLumpSurfedges, m.surfedges, sizeof(int32_t), kMaxSurfedges, plan);
  m.numedges = PlanRecordLump(header, size, kLumpEdges, m.edges, sizeof(EdgeRecord), kMaxEdges, plan);

  m.texdatasize = PlanByteLump(header, size, kLumpTextures, m.texdata, plan);
  m.visdatasize = PlanByteLump(header, size, kLumpVisibility, m.visdata, plan);
  m.lightdatasize = PlanByteLump(header, size, kLumpLighting, m.lightdata, plan);

  const LumpEntry& ents = header.lumps[kLumpEntities];
  CheckLumpBounds(header, kLumpEntities, size);
  if (ents.length > kMaxEntdata)
    FatalError("LoadBSPFile: entdata lump holds %i bytes, more than the %i this tool can hold", ents.length,
               kMaxEntdata);
  AddRead(plan, ents, m.entdata);
  m.entdatasize = ents.length;

  ReadPlannedLumps(file, plan);
  CloseReader(file);
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
