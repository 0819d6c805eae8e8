// benchmaps.cpp: the benchmark's synthetic maps.
#include "benchmaps.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "maprecords.h"

namespace {

// A small fixed-seed generator, so that the maps do not depend on the
// standard library's.
struct Lcg {
  uint64_t state;
  uint32_t Next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t Below(uint32_t bound) { return Next() % bound; }
};

// A byte lump of length bytes of varied content.
std::string ByteLump(size_t length, Lcg& rng) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; i += 4) {
    uint32_t v = rng.Next();
    std::memcpy(&bytes[i], &v, std::min<size_t>(4, length - i));
  }
  return bytes;
}

}  // namespace

MapLumps FullMap() {
  // References go to the first two thirds of the planes in random order, so
  // that compaction drops the last third and renumbers all the others.
  const uint32_t used_planes = kMaxPlanes / 3 * 2;
  Lcg rng{30};
  MapLumps m;
  std::string& planes = m.lump[kLumpPlanes];
  for (int32_t i = 0; i < kMaxPlanes; ++i) {
    PlaneRecord p{{0, 0, 1}, static_cast<float>(i), 2};
    planes += EncodePlane(p);
  }
  for (int32_t i = 0; i < kMaxFaces; ++i) {
    FaceRecord f{};
    f.planenum = static_cast<uint16_t>(rng.Below(used_planes));
    f.firstedge = static_cast<int32_t>(rng.Below(kMaxSurfedges - 8));
    f.numedges = 4;
    f.texinfo = static_cast<int16_t>(rng.Below(kMaxTexinfos));
    f.lightofs = -1;
    m.lump[kLumpFaces] += EncodeFace(f);
  }
  for (int32_t i = 0; i < kMaxNodes; ++i) {
    NodeRecord n{};
    n.planenum = static_cast<int32_t>(rng.Below(used_planes));
    n.children[0] = static_cast<int16_t>(-1 - static_cast<int>(rng.Below(kMaxLeaves)));
    n.children[1] = static_cast<int16_t>(rng.Below(kMaxNodes));
    m.lump[kLumpNodes] += EncodeNode(n);
  }
  for (int32_t i = 0; i < kMaxClipnodes; ++i) {
    ClipnodeRecord c{};
    c.planenum = static_cast<int32_t>(rng.Below(used_planes));
    c.children[0] = -1;
    c.children[1] = -2;
    m.lump[kLumpClipnodes] += EncodeClipnode(c);
  }
  for (int32_t i = 0; i < kMaxModels; ++i) m.lump[kLumpModels] += EncodeModel(ModelRecord{});
  for (int32_t i = 0; i < kMaxVertexes; ++i)
    m.lump[kLumpVertexes] += EncodeVertex({{static_cast<float>(i), 0, static_cast<float>(-i)}});
  for (int32_t i = 0; i < kMaxLeaves; ++i) m.lump[kLumpLeaves] += EncodeLeaf(LeafRecord{-1, -1, {}, {}, 0, 0, {}});
  for (int32_t i = 0; i < kMaxTexinfos; ++i) m.lump[kLumpTexinfo] += EncodeTexinfo(TexinfoRecord{});
  for (int32_t i = 0; i < kMaxMarksurfaces; ++i) m.lump[kLumpMarksurfaces] += Le16(static_cast<uint16_t>(i));
  for (int32_t i = 0; i < kMaxSurfedges; ++i) m.lump[kLumpSurfedges] += Le32(rng.Below(kMaxEdges));
  for (int32_t i = 0; i < kMaxEdges; ++i)
    m.lump[kLumpEdges] += EncodeEdge({{static_cast<uint16_t>(rng.Below(kMaxVertexes)),
                                       static_cast<uint16_t>(rng.Below(kMaxVertexes))}});
  // A texture directory of one entry, then texture bytes.
  m.lump[kLumpTextures] = Le32(1) + Le32(8) + ByteLump(4194304 - 8, rng);
  m.lump[kLumpLighting] = ByteLump(4194304, rng);
  m.lump[kLumpVisibility] = ByteLump(2097152, rng);
  m.lump[kLumpEntities] = std::string(kMaxEntdata - 1, 'e') + '\0';
  return m;
}

MapLumps LightMap(size_t light_bytes) {
  MapLumps m = SampleMapLumps(1000);
  Lcg rng{15};
  m.lump[kLumpLighting] = ByteLump(light_bytes, rng);
  return m;
}
