// compact.cpp: dropping the planes that no face, node or clipnode refers to.
// The surviving planes are renumbered in order of first reference; plane
// records themselves are moved whole and never altered.
#include "optimize/compact.h"

#include <cstring>
#include <vector>

#include "common/console.h"

namespace {

// Where each referring lump keeps its plane index: faces as an unsigned
// 16-bit value, nodes and clipnodes as a signed 32-bit one, each at the start
// of the record. Listed in the order of first reference.
struct Referrer {
  LumpIndex lump;
  const char* kind;
  bool wide;
};
constexpr Referrer kReferrers[] = {
    {kLumpFaces, "face", false}, {kLumpNodes, "node", true}, {kLumpClipnodes, "clipnode", true}};

int64_t PlaneOf(const Referrer& r, const unsigned char* record) {
  return r.wide ? int64_t{ReadLE32(record)} : int64_t{ReadLE16(record)};
}

void CheckReferences(const Map& map, int32_t planes) {
  for (const Referrer& r : kReferrers) {
    const size_t size = static_cast<size_t>(kLumpKinds[r.lump].record_size);
    const std::span<unsigned char>& bytes = map.lump[r.lump];
    for (size_t at = 0; at < bytes.size(); at += size) {
      int64_t plane = PlaneOf(r, bytes.data() + at);
      if (plane < 0 || plane >= planes) [[unlikely]]
        FatalError("%s %zu refers to plane %lld, but the map has %i planes", r.kind, at / size,
                   static_cast<long long>(plane), planes);
    }
  }
}

// Gives each plane its new index at its first reference. Note: branch-free,
// since whether a plane is met for the first time is as good as random and a
// mispredicted branch costs more than the store.
int32_t Renumber(std::vector<int32_t>& next_index, int32_t& kept, int64_t plane) {
  int32_t& slot = next_index[static_cast<size_t>(plane)];
  bool first = slot == -1;
  slot = first ? kept : slot;
  kept += first;
  return slot;
}

}  // namespace

PlaneCounts CompactPlanes(Map& map) {
  PlaneCounts counts;
  counts.before = map.Count(kLumpPlanes);
  CheckReferences(map, counts.before);

  std::vector<int32_t> next_index(static_cast<size_t>(counts.before), -1);
  for (const Referrer& r : kReferrers) {
    const size_t size = static_cast<size_t>(kLumpKinds[r.lump].record_size);
    const std::span<unsigned char>& bytes = map.lump[r.lump];
    for (size_t at = 0; at < bytes.size(); at += size) {
      unsigned char* record = bytes.data() + at;
      int64_t plane = PlaneOf(r, record);
      int32_t index = Renumber(next_index, counts.after, plane);
      counts.renumbered |= index != plane;
      // Faces come first, so fewer than 65536 planes have been met when the
      // last face is renumbered: its new index fits 16 bits.
      if (r.wide)
        WriteLE32(record, index);
      else
        WriteLE16(record, static_cast<uint16_t>(index));
    }
  }

  std::vector<unsigned char> kept(static_cast<size_t>(counts.after) * kPlaneSize);
  const unsigned char* old_planes = map.lump[kLumpPlanes].data();
  for (size_t i = 0; i < next_index.size(); ++i)
    if (next_index[i] != -1)
      std::memcpy(&kept[static_cast<size_t>(next_index[i]) * kPlaneSize], old_planes + i * kPlaneSize, kPlaneSize);
  counts.renumbered |= counts.after != counts.before;
  map.own[kLumpPlanes] = std::move(kept);
  map.lump[kLumpPlanes] = map.own[kLumpPlanes];
  return counts;
}
