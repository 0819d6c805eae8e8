// mapbuilder.h: writes version-30 map files from lump contents, for the tests,
// the sample map, the fuzzing seeds and the benchmarks.
// Every encoder produces little-endian bytes whatever the host's byte order,
// so a built file is the same on every host. BuildMap lays a file out exactly
// as the tool's save does: header, then the lumps in the writing order, each
// padded with zeros to 4 bytes, the header holding unpadded lengths.
#pragma once

#include <cstdint>
#include <string>

#include "maprecords.h"

// Little-endian encodings of one value.
std::string Le16(uint16_t value);
std::string Le32(uint32_t value);
std::string LeFloat(float value);

// One record in file layout, 20, 12, 24, 40, 20, 8, 28, 4 and 64 bytes.
std::string EncodePlane(const PlaneRecord& r);
std::string EncodeVertex(const VertexRecord& r);
std::string EncodeNode(const NodeRecord& r);
std::string EncodeTexinfo(const TexinfoRecord& r);
std::string EncodeFace(const FaceRecord& r);
std::string EncodeClipnode(const ClipnodeRecord& r);
std::string EncodeLeaf(const LeafRecord& r);
std::string EncodeEdge(const EdgeRecord& r);
std::string EncodeModel(const ModelRecord& r);

// The contents of a map file, lump by lump (indexed by LumpIndex), and the
// version its header claims.
struct MapLumps {
  std::string lump[kNumLumps];
  int32_t version = kBspVersion;
};

// A complete map file holding lumps, laid out as the tool's save lays it out.
std::string BuildMap(const MapLumps& lumps);

// Header access on a built file (which must hold at least the header).
int32_t GetInt32(const std::string& file, size_t offset);
void PutInt32(std::string& file, size_t offset, int32_t value);
LumpEntry GetLumpEntry(const std::string& file, int lump);
void SetLumpEntry(std::string& file, int lump, int32_t offset, int32_t length);
void SetVersion(std::string& file, int32_t version);

// The bytes of one lump as the header places them; empty when the entry
// does not lie inside the file.
std::string LumpBytes(const std::string& file, int lump);

// A small, deterministic map of `rooms` closed box rooms side by side, laid
// out like a compiler's output: every brush side has its plane (in front and
// back orientation) and the clipping hull adds its own, so most planes are
// referred to by brushes only and no face, node or clipnode uses them.
// With culled set, the planes lump holds only the planes that faces, nodes
// and clipnodes use, numbered in order of first reference (faces, nodes,
// clipnodes), and every other lump is the same: what compacting the full
// map must give.
MapLumps SampleMapLumps(int rooms = 3, bool culled = false);
std::string BuildSampleMap(int rooms = 3);
