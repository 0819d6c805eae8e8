// compact.cpp: dropping the planes that no face, node or clipnode refers to.
// The surviving planes are renumbered in order of first reference; plane
// records themselves are moved whole and never altered.
#include "optimize/compact.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/console.h"

namespace {

// A plane index field at the start of each record of a lump: faces hold an
// unsigned 16-bit one, nodes and clipnodes a signed 32-bit one.
template <bool kWide>
struct IndexField {
  static int64_t Read(const unsigned char* record) {
    return kWide ? int64_t{ReadLE32(record)} : int64_t{ReadLE16(record)};
  }
  static void Write(unsigned char* record, int32_t index) {
    if constexpr (kWide)
      WriteLE32(record, index);
    else
      WriteLE16(record, static_cast<uint16_t>(index));
  }
};

// Refuses the first record whose plane index is not below planes. The scan
// for the smallest and largest index has no branch in its loop; only a map
// that fails it is scanned again for the record to name.
template <bool kWide>
void CheckLump(std::span<const unsigned char> bytes, size_t size, const char* kind, int32_t planes) {
  int64_t low = 0, high = -1;
  for (size_t at = 0; at < bytes.size(); at += size) {
    int64_t plane = IndexField<kWide>::Read(bytes.data() + at);
    low = std::min(low, plane);
    high = std::max(high, plane);
  }
  if (low >= 0 && high < planes) return;
  for (size_t at = 0; at < bytes.size(); at += size) {
    int64_t plane = IndexField<kWide>::Read(bytes.data() + at);
    if (plane < 0 || plane >= planes)
      FatalError("%s %zu refers to plane %lld, but the map has %i planes", kind, at / size,
                 static_cast<long long>(plane), planes);
  }
}

// Gives each plane its new index at its first reference and rewrites the
// lump's references. Note: branch-free, since whether a plane is met for the
// first time is as good as random and a mispredicted branch costs more than
// the store.
template <bool kWide>
void RenumberLump(std::span<unsigned char> bytes, size_t size, std::vector<int32_t>& next_index,
                  PlaneCounts& counts) {
  int32_t kept = counts.after;
  bool changed = false;
  for (size_t at = 0; at < bytes.size(); at += size) {
    unsigned char* record = bytes.data() + at;
    int64_t plane = IndexField<kWide>::Read(record);
    int32_t& slot = next_index[static_cast<size_t>(plane)];
    bool first = slot == -1;
    slot = first ? kept : slot;
    kept += first;
    changed |= slot != plane;
    IndexField<kWide>::Write(record, slot);
  }
  counts.after = kept;
  counts.renumbered |= changed;
}

size_t RecordSize(LumpIndex lump) { return static_cast<size_t>(kLumpKinds[lump].record_size); }

}  // namespace

PlaneCounts CompactPlanes(Map& map) {
  PlaneCounts counts;
  counts.before = map.Count(kLumpPlanes);
  CheckLump<false>(map.lump[kLumpFaces], RecordSize(kLumpFaces), "face", counts.before);
  CheckLump<true>(map.lump[kLumpNodes], RecordSize(kLumpNodes), "node", counts.before);
  CheckLump<true>(map.lump[kLumpClipnodes], RecordSize(kLumpClipnodes), "clipnode", counts.before);

  // Faces come first, so fewer than 65536 planes have been met when the last
  // face is renumbered: every face's new index fits its 16 bits.
  std::vector<int32_t> next_index(static_cast<size_t>(counts.before), -1);
  RenumberLump<false>(map.lump[kLumpFaces], RecordSize(kLumpFaces), next_index, counts);
  RenumberLump<true>(map.lump[kLumpNodes], RecordSize(kLumpNodes), next_index, counts);
  RenumberLump<true>(map.lump[kLumpClipnodes], RecordSize(kLumpClipnodes), next_index, counts);

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
