// save.cpp: writing a map to a map file.
// The whole file is laid out first, header included, and written in one
// gathered write to a temporary file that replaces the map only once it is
// complete and durable.
#include "bsp/save.h"

#include <cstring>

#include "common/console.h"

namespace {

constexpr LumpIndex kWriteOrder[kNumLumps] = {
    kLumpPlanes,       kLumpLeaves,    kLumpVertexes, kLumpNodes,      kLumpTexinfo,
    kLumpFaces,        kLumpClipnodes, kLumpMarksurfaces, kLumpSurfedges, kLumpEdges,
    kLumpModels,       kLumpLighting,  kLumpVisibility,   kLumpEntities,  kLumpTextures};

const unsigned char kFiller[3] = {0, 0, 0};

}  // namespace

std::unique_ptr<MapLayout> LayOutMap(const Map& map) {
  auto layout = std::make_unique<MapLayout>();
  std::memset(layout->header, 0, kHeaderSize);
  WriteLE32(layout->header, kBspVersion);
  layout->pieces.push_back({layout->header, kHeaderSize});
  int64_t position = kHeaderSize;
  for (LumpIndex lump : kWriteOrder) {
    const std::span<unsigned char>& bytes = map.lump[lump];
    int64_t padding = -static_cast<int64_t>(bytes.size()) & 3;
    if (position + static_cast<int64_t>(bytes.size()) + padding > INT32_MAX)
      FatalError("SaveBSPFile: the %s lump would end past 2 GiB", kLumpKinds[lump].name);
    WriteLE32(layout->header + LumpEntryAt(lump), static_cast<int32_t>(position));
    WriteLE32(layout->header + LumpEntryAt(lump) + 4, static_cast<int32_t>(bytes.size()));
    layout->pieces.push_back({bytes.data(), bytes.size()});
    layout->pieces.push_back({kFiller, static_cast<size_t>(padding)});
    position += static_cast<int64_t>(bytes.size()) + padding;
  }
  layout->size = position;
  return layout;
}

bool SaveWouldChangeFile(const Map& map, const MapLayout& layout, bool renumbered) {
  if (renumbered || layout.size != map.file_size) return true;
  size_t at = 0;
  for (const ByteRange& piece : layout.pieces) {
    if (piece.size != 0 && std::memcmp(map.file.get() + at, piece.data, piece.size) != 0) return true;
    at += piece.size;
  }
  return false;
}

void SaveBSPFile(const Map&, const MapLayout& layout, const std::string& path, const FileStamp* expected) {
  ReplacementFile out(path, expected);
  out.Write(layout.pieces);
  out.Commit();
}
