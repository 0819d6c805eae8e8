// compact.cpp: dropping the planes that no face, node or clipnode refers to.
// The surviving planes are renumbered in order of first reference; plane
// records themselves are moved whole and never altered.
#include "optimize/compact.h"

#include <new>
#include <vector>

#include "bsp/bspfile.h"
#include "common/console.h"

namespace {

// Maps an old plane index to its new one, handing out new indices in order of
// first reference. Refuses a reference outside the loaded planes before it is
// used as an index, so the table needs one entry per loaded plane only: a
// small map does not pay for filling a table sized for the largest.
struct PlaneRemap {
  std::vector<int32_t> next_index = std::vector<int32_t>(static_cast<size_t>(g_map.numplanes), -1);
  int32_t kept = 0;
};

[[noreturn]] void RefuseReference(const char* kind, int32_t record, int64_t plane) {
  FatalError("%s %i refers to plane %lld, but the map has %i planes", kind, record, static_cast<long long>(plane),
             g_map.numplanes);
}

// Note: runs once per face, node and clipnode; kept inline, with the refusal
// out of line, so that the loops stay tight.
inline int32_t Renumber(PlaneRemap& remap, int64_t plane, const char* kind, int32_t record) {
  if (plane < 0 || plane >= g_map.numplanes) [[unlikely]]
    RefuseReference(kind, record, plane);
  // Branch-free: whether a plane is met for the first time is as good as
  // random, and a mispredicted branch costs more than the store.
  int32_t& slot = remap.next_index[static_cast<size_t>(plane)];
  bool first = slot == -1;
  slot = first ? remap.kept : slot;
  remap.kept += first;
  return slot;
}

}  // namespace

int CompactPlanes() {
  PlaneRemap remap;
  MapStore& m = g_map;
  for (int32_t i = 0; i < m.numfaces; ++i)
    m.faces[i].planenum = static_cast<uint16_t>(Renumber(remap, m.faces[i].planenum, "face", i));
  for (int32_t i = 0; i < m.numnodes; ++i) m.nodes[i].planenum = Renumber(remap, m.nodes[i].planenum, "node", i);
  for (int32_t i = 0; i < m.numclipnodes; ++i)
    m.clipnodes[i].planenum = Renumber(remap, m.clipnodes[i].planenum, "clipnode", i);

  PlaneRecord* kept = new (std::nothrow) PlaneRecord[static_cast<size_t>(remap.kept) + 1];
  if (!kept) FatalError("CompactPlanes: unable to allocate memory for %i planes", remap.kept);
  for (int32_t i = 0; i < m.numplanes; ++i)
    if (remap.next_index[static_cast<size_t>(i)] != -1) kept[remap.next_index[static_cast<size_t>(i)]] = m.planes[i];
  for (int32_t i = 0; i < remap.kept; ++i) m.planes[i] = kept[i];
  delete[] kept;

  TeePrint("\nPlanes in map: %i\n", m.numplanes);
  TeePrint("Planes actually used: %i\n", remap.kept);
  m.numplanes = remap.kept;
  return 0;
}
