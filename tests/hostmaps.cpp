// hostmaps.cpp: maps with known compacted bytes, built with the map builder,
// so that they are the same little-endian bytes on every host.
#include "hostmaps.h"

#include <numeric>

#include "mapbuilder.h"

namespace {

PlaneRecord Plane(int i) {
  return {{0.25f * static_cast<float>(i), -1.5f - static_cast<float>(i), 3.0f / static_cast<float>(i + 7)},
          100.0f + static_cast<float>(i), i % 6};
}

// Planes 0 to 5; faces refer to 4, 2, 4, nodes to 2 and 5, clipnodes to 0:
// planes 4, 2, 5, 0 stay, in that order.
HostMap WorkedExample() {
  auto lumps = [](const int (&planes)[6], int nplanes, const int (&refs)[6]) {
    MapLumps m;
    for (int i = 0; i < nplanes; ++i) m.lump[kLumpPlanes] += EncodePlane(Plane(planes[i]));
    for (int i = 0; i < 3; ++i)
      m.lump[kLumpFaces] += EncodeFace({static_cast<uint16_t>(refs[i]), 0, 0, 0, 0, {0, 0, 0, 0}, -1});
    for (int i = 3; i < 5; ++i) m.lump[kLumpNodes] += EncodeNode({refs[i], {-1, -1}, {0, 0, 0}, {0, 0, 0}, 0, 0});
    m.lump[kLumpClipnodes] = EncodeClipnode({refs[5], {-1, -2}});
    return BuildMap(m);
  };
  return {"worked-example", lumps({0, 1, 2, 3, 4, 5}, 6, {4, 2, 4, 2, 5, 0}),
          lumps({4, 2, 5, 0, 0, 0}, 4, {0, 1, 0, 1, 2, 3})};
}

// Every 2- and 4-byte field holds bytes that differ from each other and from
// every other field's, so a field left unswapped, swapped twice or moved
// changes the output. Faces refer to plane 3, nodes to 1 and 3, the clipnode
// to 4: planes 3, 1, 4 stay as 0, 1, 2.
HostMap EveryFieldDistinct() {
  auto lumps = [](bool culled) {
    auto face_ref = static_cast<uint16_t>(culled ? 0 : 3);
    int32_t node_refs[2] = {1, culled ? 0 : 3}, clip_ref = culled ? 2 : 4;
    MapLumps m;
    const int kept[] = {3, 1, 4}, all[] = {0, 1, 2, 3, 4};
    if (culled)
      for (int i : kept) m.lump[kLumpPlanes] += EncodePlane(Plane(i));
    else
      for (int i : all) m.lump[kLumpPlanes] += EncodePlane(Plane(i));
    m.lump[kLumpFaces] = EncodeFace({face_ref, 0x0102, 0x03040506, 0x0708, 0x090a, {11, 12, 13, 14}, 0x0f101112}) +
                         EncodeFace({face_ref, -0x1314, -0x15161718, 0x191a, 0x1b1c, {29, 30, 31, 32}, 0x21222324});
    for (int32_t ref : node_refs)
      m.lump[kLumpNodes] += EncodeNode({ref, {0x2526, -0x2728}, {0x292a, -0x2b2c, 0x2d2e}, {0x2f30, 0x3132, -0x3334},
                                        0x3536, 0x3738});
    m.lump[kLumpClipnodes] = EncodeClipnode({clip_ref, {0x393a, -0x3b3c}});
    m.lump[kLumpLeaves] =
        EncodeLeaf({-0x3d3e3f40, 0x41424344, {0x4546, -0x4748, 0x494a}, {0x4b4c, 0x4d4e, -0x4f50}, 0x5152, 0x5354,
                    {0x55, 0x56, 0x57, 0x58}});
    m.lump[kLumpVertexes] = EncodeVertex({{1.0e-3f, -2.5e7f, 3.14159f}});
    m.lump[kLumpTexinfo] =
        EncodeTexinfo({{{0.5f, -0.75f, 1.25f, 17.0f}, {-8.5f, 9.75f, 0.125f, -64.0f}}, 0x595a5b5c, 0x5d5e5f60});
    m.lump[kLumpMarksurfaces] = Le16(0x6162) + Le16(0x6364);
    m.lump[kLumpSurfedges] = Le32(0x65666768) + Le32(static_cast<uint32_t>(-0x696a6b6c));
    m.lump[kLumpEdges] = EncodeEdge({{0x6d6e, 0x6f70}});
    m.lump[kLumpModels] = EncodeModel({{-1.5f, -2.5f, -3.5f}, {4.5f, 5.5f, 6.5f}, {7.0f, 8.0f, 9.0f},
                                       {0x71727374, -0x75767778, 0x797a7b7c, 0x7d7e7f01}, 0x02030405, 0x06070809,
                                       0x0a0b0c0d});
    m.lump[kLumpLighting] = "\x81\x82\x83\x84\x85";  // 5 bytes: the writer pads to 8
    m.lump[kLumpVisibility] = "\x86\x87\x88";
    m.lump[kLumpEntities] = std::string("{\n\"classname\" \"worldspawn\"\n}\n") + '\0';
    // The texture directory: a count of 2 and two offsets, then the textures.
    m.lump[kLumpTextures] = Le32(2) + Le32(12) + Le32(0x10111213) + "\x91\x92\x93\x94\x95\x96\x97\x98";
    return BuildMap(m);
  };
  return {"every-field", lumps(false), lumps(true)};
}

// Plane indices with a distinct byte in each place: faces refer to planes
// 0x0102 down to 0 (and become 0 to 0x0102), nodes to 0x00010203 and 0x0102,
// the clipnode to 0x00010000. A 16- or 32-bit index read or written in the
// host's order, or with a byte misplaced, changes the output.
HostMap WideIndices() {
  auto lumps = [](const std::vector<int>& planes, const std::vector<int>& faces, const std::vector<int>& nodes,
                  int clipnode) {
    MapLumps m;
    for (int i : planes) m.lump[kLumpPlanes] += EncodePlane(Plane(i));
    for (int ref : faces) m.lump[kLumpFaces] += EncodeFace({static_cast<uint16_t>(ref), 0, 0, 0, 0, {0, 0, 0, 0}, -1});
    for (int ref : nodes) m.lump[kLumpNodes] += EncodeNode({ref, {-1, -1}, {0, 0, 0}, {0, 0, 0}, 0, 0});
    m.lump[kLumpClipnodes] = EncodeClipnode({clipnode, {-1, -2}});
    return BuildMap(m);
  };
  std::vector<int> all(0x10204), in_order(0x103), down(0x103);
  std::iota(all.begin(), all.end(), 0);
  std::iota(in_order.begin(), in_order.end(), 0);
  std::iota(down.rbegin(), down.rend(), 0);
  std::vector<int> kept = down;
  kept.insert(kept.end(), {0x10203, 0x10000});
  return {"wide-indices", lumps(all, down, {0x10203, 0x102}, 0x10000), lumps(kept, in_order, {0x103, 0}, 0x104)};
}

}  // namespace

std::vector<HostMap> CrossHostMaps() {
  std::vector<HostMap> maps = {WorkedExample(), EveryFieldDistinct(), WideIndices()};
  for (int rooms : {1, 3, 8})
    maps.push_back({"sample-" + std::to_string(rooms), BuildSampleMap(rooms), BuildMap(SampleMapLumps(rooms, true))});
  return maps;
}
