// mapbuilder.cpp: map files from lump contents, and the sample map.
// Encoders write field by field in file order, never a struct's memory, so
// the bytes do not depend on the host.
#include "mapbuilder.h"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <vector>

std::string Le16(uint16_t value) {
  return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}

std::string Le32(uint32_t value) {
  return Le16(static_cast<uint16_t>(value & 0xffff)) + Le16(static_cast<uint16_t>(value >> 16));
}

std::string LeFloat(float value) { return Le32(std::bit_cast<uint32_t>(value)); }

namespace {

std::string Le16s(int16_t value) { return Le16(static_cast<uint16_t>(value)); }
std::string Le32s(int32_t value) { return Le32(static_cast<uint32_t>(value)); }

template <typename T, size_t N, typename Encode>
std::string EncodeAll(const T (&values)[N], Encode encode) {
  std::string bytes;
  for (const T& v : values) bytes += encode(v);
  return bytes;
}

std::string Bytes4(const uint8_t (&b)[4]) { return std::string(reinterpret_cast<const char*>(b), 4); }

}  // namespace

std::string EncodePlane(const PlaneRecord& r) {
  return EncodeAll(r.normal, LeFloat) + LeFloat(r.dist) + Le32s(r.type);
}

std::string EncodeVertex(const VertexRecord& r) { return EncodeAll(r.point, LeFloat); }

std::string EncodeNode(const NodeRecord& r) {
  return Le32s(r.planenum) + EncodeAll(r.children, Le16s) + EncodeAll(r.mins, Le16s) + EncodeAll(r.maxs, Le16s) +
         Le16(r.firstface) + Le16(r.numfaces);
}

std::string EncodeTexinfo(const TexinfoRecord& r) {
  return EncodeAll(r.vecs[0], LeFloat) + EncodeAll(r.vecs[1], LeFloat) + Le32s(r.miptex) + Le32s(r.flags);
}

std::string EncodeFace(const FaceRecord& r) {
  return Le16(r.planenum) + Le16s(r.side) + Le32s(r.firstedge) + Le16s(r.numedges) + Le16s(r.texinfo) +
         Bytes4(r.styles) + Le32s(r.lightofs);
}

std::string EncodeClipnode(const ClipnodeRecord& r) { return Le32s(r.planenum) + EncodeAll(r.children, Le16s); }

std::string EncodeLeaf(const LeafRecord& r) {
  return Le32s(r.contents) + Le32s(r.visofs) + EncodeAll(r.mins, Le16s) + EncodeAll(r.maxs, Le16s) +
         Le16(r.firstmarksurface) + Le16(r.nummarksurfaces) + Bytes4(r.ambient_level);
}

std::string EncodeEdge(const EdgeRecord& r) { return EncodeAll(r.v, Le16); }

std::string EncodeModel(const ModelRecord& r) {
  return EncodeAll(r.mins, LeFloat) + EncodeAll(r.maxs, LeFloat) + EncodeAll(r.origin, LeFloat) +
         EncodeAll(r.headnode, Le32s) + Le32s(r.visleafs) + Le32s(r.firstface) + Le32s(r.numfaces);
}

int32_t GetInt32(const std::string& file, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(file.at(offset + i));
  return static_cast<int32_t>(v);
}

void PutInt32(std::string& file, size_t offset, int32_t value) {
  file.replace(offset, 4, Le32s(value));
}

LumpEntry GetLumpEntry(const std::string& file, int lump) {
  return {GetInt32(file, 4 + 8 * lump), GetInt32(file, 8 + 8 * lump)};
}

void SetLumpEntry(std::string& file, int lump, int32_t offset, int32_t length) {
  PutInt32(file, 4 + 8 * lump, offset);
  PutInt32(file, 8 + 8 * lump, length);
}

void SetVersion(std::string& file, int32_t version) { PutInt32(file, 0, version); }

std::string BuildMap(const MapLumps& lumps) {
  std::string file(kHeaderSize, '\0');
  SetVersion(file, lumps.version);
  for (LumpIndex lump : kLumpWriteOrder) {
    const std::string& data = lumps.lump[lump];
    SetLumpEntry(file, lump, static_cast<int32_t>(file.size()), static_cast<int32_t>(data.size()));
    file += data;
    file.append(-data.size() & 3, '\0');
  }
  return file;
}

std::string LumpBytes(const std::string& file, int lump) {
  LumpEntry e = GetLumpEntry(file, lump);
  if (e.offset < 0 || e.length < 0 || static_cast<size_t>(e.offset) + e.length > file.size()) return "";
  return file.substr(static_cast<size_t>(e.offset), static_cast<size_t>(e.length));
}

// ---- The sample map ------------------------------------------------------
//
// Room k is the box x in [256k, 256k+128], y in [-64, 64], z in [0, 128],
// closed by six 16-unit-thick brushes. The world's BSP tree splits the rooms
// apart on their outer west walls, then bounds each room by its six inner
// surfaces; the clipping hull (a 32x32x72 box) does the same with the inner
// surfaces pushed in by the hull's size.

namespace {

struct AxialPlane {
  int axis;  // 0, 1, 2: the normal is +x, +y or +z
  int dist;
  bool flipped;
};

// The planes lump under construction. In a full map every brush side and
// hull plane is declared up front, in front and back orientation; in a culled
// map a plane gets its index when it is first referred to.
struct PlaneList {
  bool culled;
  std::vector<AxialPlane> planes;
};

int FindPlane(const PlaneList& list, int axis, int dist, bool flipped) {
  for (size_t i = 0; i < list.planes.size(); ++i) {
    const AxialPlane& p = list.planes[i];
    if (p.axis == axis && p.dist == dist && p.flipped == flipped) return static_cast<int>(i);
  }
  return -1;
}

void DeclarePlane(PlaneList& list, int axis, int dist) {
  if (list.culled || FindPlane(list, axis, dist, false) >= 0) return;
  list.planes.push_back({axis, dist, false});
  list.planes.push_back({axis, -dist, true});
}

int RefPlane(PlaneList& list, int axis, int dist) {
  int index = FindPlane(list, axis, dist, false);
  if (index >= 0) return index;
  if (!list.culled) throw std::logic_error("sample map refers to an undeclared plane");
  list.planes.push_back({axis, dist, false});
  return static_cast<int>(list.planes.size()) - 1;
}

std::string PlanesLump(const PlaneList& list) {
  std::string bytes;
  for (const AxialPlane& p : list.planes) {
    PlaneRecord r{};
    r.normal[p.axis] = p.flipped ? -1.0f : 1.0f;
    r.dist = static_cast<float>(p.dist);
    r.type = p.axis;
    bytes += EncodePlane(r);
  }
  return bytes;
}

constexpr int kRoomSpacing = 256, kRoomSize = 128, kWall = 16, kHalfWidth = 64;
constexpr int kHullHalfWidth = 16, kHullBelow = 36, kHullAbove = 36;
constexpr int kSolidContents = -2, kEmptyContents = -1;
constexpr int kLightmapBytes = 9 * 9 * 3;  // 128 units at 16 units a sample, RGB

int RoomX(int room) { return room * kRoomSpacing; }

// The interior extent of room along axis: {low, high}.
void RoomExtent(int room, int axis, int inset, int below, int above, int out[2]) {
  int lo = axis == 0 ? RoomX(room) : axis == 1 ? -kHalfWidth : 0;
  out[0] = lo + (axis == 2 ? below : inset);
  out[1] = lo + kRoomSize - (axis == 2 ? above : inset);
}

void DeclareRoomBrushes(PlaneList& list, int room) {
  // Floor, ceiling, west, east, south, north: each a box given by the low and
  // high edge along each axis.
  int x0 = RoomX(room), x1 = x0 + kRoomSize, y0 = -kHalfWidth, y1 = kHalfWidth;
  const int boxes[6][3][2] = {
      {{x0 - kWall, x1 + kWall}, {y0 - kWall, y1 + kWall}, {-kWall, 0}},
      {{x0 - kWall, x1 + kWall}, {y0 - kWall, y1 + kWall}, {kRoomSize, kRoomSize + kWall}},
      {{x0 - kWall, x0}, {y0 - kWall, y1 + kWall}, {0, kRoomSize}},
      {{x1, x1 + kWall}, {y0 - kWall, y1 + kWall}, {0, kRoomSize}},
      {{x0, x1}, {y0 - kWall, y0}, {0, kRoomSize}},
      {{x0, x1}, {y1, y1 + kWall}, {0, kRoomSize}}};
  for (const auto& box : boxes)
    for (int axis = 0; axis < 3; ++axis)
      for (int side = 0; side < 2; ++side) DeclarePlane(list, axis, box[axis][side]);
}

void DeclareHullPlanes(PlaneList& list, int room) {
  for (int axis = 0; axis < 3; ++axis) {
    int ext[2];
    RoomExtent(room, axis, kHullHalfWidth, kHullBelow, kHullAbove, ext);
    DeclarePlane(list, axis, ext[0]);
    DeclarePlane(list, axis, ext[1]);
  }
}

// A room's six bounding surfaces, in the order faces, nodes and clipnodes
// visit them: floor, ceiling, west, east, south, north. `high` is true when
// the room lies behind the plane.
struct Surface {
  int axis;
  bool high;
};
constexpr Surface kSurfaces[6] = {{2, false}, {2, true}, {0, false}, {0, true}, {1, false}, {1, true}};

struct Geometry {
  // Edge 0 is never used: a surfedge's sign could not tell its direction.
  std::vector<std::pair<int, int>> edge_list{{0, 0}};
  std::string vertexes, edges = EncodeEdge({{0, 0}}), surfedges, faces, marksurfaces, lightdata;
};

int CornerVertex(int room, const int c[3]) { return room * 8 + c[0] + 2 * c[1] + 4 * c[2]; }

// The signed surfedge for the edge from vertex a to vertex b.
int32_t SurfedgeFor(Geometry& g, int a, int b) {
  for (size_t i = 1; i < g.edge_list.size(); ++i) {
    if (g.edge_list[i] == std::pair{a, b}) return static_cast<int32_t>(i);
    if (g.edge_list[i] == std::pair{b, a}) return -static_cast<int32_t>(i);
  }
  g.edge_list.emplace_back(a, b);
  g.edges += EncodeEdge({{static_cast<uint16_t>(a), static_cast<uint16_t>(b)}});
  return static_cast<int32_t>(g.edge_list.size()) - 1;
}

void AddRoomFaces(Geometry& g, PlaneList& planes, int room, int& face) {
  for (int c = 0; c < 8; ++c) {
    int corner[3] = {c & 1, c >> 1 & 1, c >> 2 & 1};
    int ext[3][2];
    for (int axis = 0; axis < 3; ++axis) RoomExtent(room, axis, 0, 0, 0, ext[axis]);
    g.vertexes += EncodeVertex({{static_cast<float>(ext[0][corner[0]]), static_cast<float>(ext[1][corner[1]]),
                                 static_cast<float>(ext[2][corner[2]])}});
  }
  for (const Surface& s : kSurfaces) {
    int ext[2];
    RoomExtent(room, s.axis, 0, 0, 0, ext);
    int u = (s.axis + 1) % 3, v = (s.axis + 2) % 3;
    const int loop[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    int first_surfedge = static_cast<int>(g.surfedges.size() / 4);
    for (int i = 0; i < 4; ++i) {
      // The far side winds the other way, so both face into the room.
      const int* from = loop[s.high ? (4 - i) % 4 : i];
      const int* to = loop[s.high ? (3 - i) % 4 : (i + 1) % 4];
      int a[3], b[3];
      a[s.axis] = b[s.axis] = s.high;
      a[u] = from[0], a[v] = from[1], b[u] = to[0], b[v] = to[1];
      g.surfedges += Le32s(SurfedgeFor(g, CornerVertex(room, a), CornerVertex(room, b)));
    }
    FaceRecord f{};
    f.planenum = static_cast<uint16_t>(RefPlane(planes, s.axis, ext[s.high]));
    f.side = s.high;
    f.firstedge = first_surfedge;
    f.numedges = 4;
    f.texinfo = static_cast<int16_t>(s.axis == 2 ? 2 : s.axis);
    f.styles[1] = f.styles[2] = f.styles[3] = 255;  // one light style
    f.lightofs = face * kLightmapBytes;
    g.faces += EncodeFace(f);
    g.marksurfaces += Le16(static_cast<uint16_t>(face));
    for (int i = 0; i < kLightmapBytes; ++i) g.lightdata += static_cast<char>(96 + (face * 37 + i * 5) % 128);
    ++face;
  }
}

// Bounds of rooms [first, last) including their walls, as int16 mins/maxs.
void RoomBounds(int first, int last, int16_t mins[3], int16_t maxs[3]) {
  const int lo[3] = {RoomX(first) - kWall, -kHalfWidth - kWall, -kWall};
  const int hi[3] = {RoomX(last - 1) + kRoomSize + kWall, kHalfWidth + kWall, kRoomSize + kWall};
  for (int i = 0; i < 3; ++i) mins[i] = static_cast<int16_t>(lo[i]), maxs[i] = static_cast<int16_t>(hi[i]);
}

// The trees under construction: draw nodes in preorder, so that every record
// refers to its plane in array order.
struct Trees {
  std::vector<NodeRecord> nodes;
  std::vector<ClipnodeRecord> clipnodes;
};

// Node children: >= 0 a node, < 0 leaf -(child + 1). Leaf 0 is the solid leaf
// shared by all, leaf 1 + k is room k.
int16_t AddNodes(Trees& t, PlaneList& planes, int first, int last) {
  auto index = static_cast<int16_t>(t.nodes.size());
  if (last - first > 1) {
    int mid = (first + last) / 2;
    NodeRecord n{};
    n.planenum = RefPlane(planes, 0, RoomX(mid) - kWall);
    RoomBounds(first, last, n.mins, n.maxs);
    t.nodes.push_back(n);
    int16_t back = AddNodes(t, planes, first, mid);
    int16_t front = AddNodes(t, planes, mid, last);
    t.nodes[index].children[0] = front;
    t.nodes[index].children[1] = back;
    return index;
  }
  for (int i = 0; i < 6; ++i) {
    const Surface& s = kSurfaces[i];
    int ext[2];
    RoomExtent(first, s.axis, 0, 0, 0, ext);
    NodeRecord n{};
    n.planenum = RefPlane(planes, s.axis, ext[s.high]);
    int16_t inside = i == 5 ? static_cast<int16_t>(-(first + 2)) : static_cast<int16_t>(index + i + 1);
    n.children[s.high] = inside;
    n.children[!s.high] = -1;
    RoomBounds(first, first + 1, n.mins, n.maxs);
    n.firstface = static_cast<uint16_t>(first * 6 + i);
    n.numfaces = 1;
    t.nodes.push_back(n);
  }
  return index;
}

// Clipnode children: >= 0 a clipnode, < 0 the contents.
int16_t AddClipnodes(Trees& t, PlaneList& planes, int first, int last) {
  auto index = static_cast<int16_t>(t.clipnodes.size());
  if (last - first > 1) {
    int mid = (first + last) / 2;
    t.clipnodes.push_back({RefPlane(planes, 0, RoomX(mid) - kWall), {0, 0}});
    int16_t back = AddClipnodes(t, planes, first, mid);
    int16_t front = AddClipnodes(t, planes, mid, last);
    t.clipnodes[index].children[0] = front;
    t.clipnodes[index].children[1] = back;
    return index;
  }
  for (int i = 0; i < 6; ++i) {
    const Surface& s = kSurfaces[i];
    int ext[2];
    RoomExtent(first, s.axis, kHullHalfWidth, kHullBelow, kHullAbove, ext);
    ClipnodeRecord c{RefPlane(planes, s.axis, ext[s.high]), {0, 0}};
    c.children[s.high] = i == 5 ? static_cast<int16_t>(kEmptyContents) : static_cast<int16_t>(index + i + 1);
    c.children[!s.high] = static_cast<int16_t>(kSolidContents);
    t.clipnodes.push_back(c);
  }
  return index;
}

std::string MiptexHeader(const char* name) {
  char padded[16] = {};
  std::strncpy(padded, name, sizeof padded - 1);
  std::string bytes(padded, sizeof padded);
  bytes += Le32(64) + Le32(64);
  for (int i = 0; i < 4; ++i) bytes += Le32(0);  // pixels live in an external texture file
  return bytes;
}

std::string EntityString(int rooms) {
  std::string s = "{\n\"wad\" \"sample.wad\"\n\"classname\" \"worldspawn\"\n}\n";
  s += "{\n\"origin\" \"64 0 36\"\n\"classname\" \"info_player_start\"\n}\n";
  for (int k = 0; k < rooms; ++k)
    s += "{\n\"origin\" \"" + std::to_string(RoomX(k) + 64) + " 0 96\"\n\"light\" \"200\"\n\"classname\" \"light\"\n}\n";
  return s + '\0';
}

}  // namespace

MapLumps SampleMapLumps(int rooms, bool culled) {
  PlaneList planes{culled, {}};
  for (int k = 0; k < rooms; ++k) DeclareRoomBrushes(planes, k);
  for (int k = 0; k < rooms; ++k) DeclareHullPlanes(planes, k);

  MapLumps m;
  Geometry g;
  int face = 0;
  for (int k = 0; k < rooms; ++k) AddRoomFaces(g, planes, k, face);
  Trees t;
  AddNodes(t, planes, 0, rooms);
  AddClipnodes(t, planes, 0, rooms);
  for (const NodeRecord& n : t.nodes) m.lump[kLumpNodes] += EncodeNode(n);
  for (const ClipnodeRecord& c : t.clipnodes) m.lump[kLumpClipnodes] += EncodeClipnode(c);
  m.lump[kLumpPlanes] = PlanesLump(planes);

  LeafRecord solid{};
  solid.contents = kSolidContents;
  solid.visofs = -1;
  m.lump[kLumpLeaves] = EncodeLeaf(solid);
  for (int k = 0; k < rooms; ++k) {
    LeafRecord leaf{};
    leaf.contents = kEmptyContents;
    leaf.visofs = k;
    RoomBounds(k, k + 1, leaf.mins, leaf.maxs);
    leaf.firstmarksurface = static_cast<uint16_t>(6 * k);
    leaf.nummarksurfaces = 6;
    leaf.ambient_level[2] = 16;
    m.lump[kLumpLeaves] += EncodeLeaf(leaf);
    // Each room sees only itself: one row of one bit per visible leaf.
    for (int byte = 0; byte < (rooms + 7) / 8; ++byte)
      m.lump[kLumpVisibility] += static_cast<char>(byte == k / 8 ? 1 << (k % 8) : 0);
  }

  // Walls facing x, walls facing y, floors and ceilings.
  const TexinfoRecord texinfos[3] = {{{{0, 1, 0, 0}, {0, 0, -1, 0}}, 0, 0},
                                     {{{1, 0, 0, 0}, {0, 0, -1, 0}}, 0, 0},
                                     {{{1, 0, 0, 0}, {0, -1, 0, 0}}, 1, 0}};
  for (const TexinfoRecord& ti : texinfos) m.lump[kLumpTexinfo] += EncodeTexinfo(ti);
  m.lump[kLumpTextures] = Le32(2) + Le32(12) + Le32(52) + MiptexHeader("BRICK_WALL") + MiptexHeader("FLOOR_TILE");

  ModelRecord world{};
  int16_t mins[3], maxs[3];
  RoomBounds(0, rooms, mins, maxs);
  for (int i = 0; i < 3; ++i) world.mins[i] = mins[i], world.maxs[i] = maxs[i];
  world.visleafs = rooms;
  world.numfaces = face;
  m.lump[kLumpModels] = EncodeModel(world);

  m.lump[kLumpVertexes] = g.vertexes;
  m.lump[kLumpEdges] = g.edges;
  m.lump[kLumpSurfedges] = g.surfedges;
  m.lump[kLumpFaces] = g.faces;
  m.lump[kLumpMarksurfaces] = g.marksurfaces;
  m.lump[kLumpLighting] = g.lightdata;
  m.lump[kLumpEntities] = EntityString(rooms);
  return m;
}

std::string BuildSampleMap(int rooms) { return BuildMap(SampleMapLumps(rooms)); }
