// compact.cpp: dropping the planes that no face, node or clipnode refers to.
// The surviving planes are renumbered in order of first reference. Nothing
// here changes a byte of the map: the new numbering is recorded in the map,
// and the save applies it as it writes the planes and the references.
#include "optimize/compact.h"

#include <algorithm>
#include <vector>

#include "common/console.h"

namespace {

size_t RecordSize(LumpIndex lump) { return static_cast<size_t>(kLumpKinds[lump].record_size); }

// Refuses the first record of the referrer's lump whose plane index is not
// below planes. The scan for the smallest and largest index has no branch in
// its loop; only a map that fails it is scanned again for the record to name.
template <bool kWide>
void CheckLump(const Map& map, const PlaneReferrer& referrer, int32_t planes) {
  std::span<const unsigned char> bytes = map.lump[referrer.lump];
  const size_t size = RecordSize(referrer.lump);
  int64_t low = 0, high = -1;
  for (size_t at = 0; at < bytes.size(); at += size) {
    int64_t plane = PlaneIndexField<kWide>::Read(bytes.data() + at);
    low = std::min(low, plane);
    high = std::max(high, plane);
  }
  if (low >= 0 && high < planes) return;
  for (size_t at = 0; at < bytes.size(); at += size) {
    int64_t plane = PlaneIndexField<kWide>::Read(bytes.data() + at);
    if (plane < 0 || plane >= planes)
      FatalError("%s %zu refers to plane %lld, but the map has %i planes (%s lump of %s)", referrer.record,
                 at / size, static_cast<long long>(plane), planes, kLumpKinds[referrer.lump].name, map.path.c_str());
  }
}

// Gives each plane the lump refers to its new index at its first reference.
// Note: branch-free, since whether a plane is met for the first time is as
// good as random and a mispredicted branch costs more than the store.
template <bool kWide>
void NumberLump(std::span<const unsigned char> bytes, size_t size, std::vector<int32_t>& new_index,
                PlaneCounts& counts) {
  int32_t kept = counts.after;
  bool changed = false;
  for (size_t at = 0; at < bytes.size(); at += size) {
    int64_t plane = PlaneIndexField<kWide>::Read(bytes.data() + at);
    int32_t& slot = new_index[static_cast<size_t>(plane)];
    bool first = slot == -1;
    slot = first ? kept : slot;
    kept += first;
    changed |= slot != plane;
  }
  counts.after = kept;
  counts.renumbered |= changed;
}

}  // namespace

PlaneCounts CompactPlanes(Map& map) {
  PlaneCounts counts;
  counts.before = map.Count(kLumpPlanes);
  for (const PlaneReferrer& r : kPlaneReferrers)
    (r.wide ? CheckLump<true> : CheckLump<false>)(map, r, counts.before);

  // Faces come first, so fewer than 65536 planes have been met when the last
  // face is numbered: every face's new index fits its 16 bits.
  PlaneRenumbering renumbering;
  renumbering.new_index.assign(static_cast<size_t>(counts.before), -1);
  for (const PlaneReferrer& r : kPlaneReferrers)
    (r.wide ? NumberLump<true> : NumberLump<false>)(map.lump[r.lump], RecordSize(r.lump), renumbering.new_index,
                                                    counts);
  counts.renumbered |= counts.after != counts.before;
  map.renumbering = {};
  if (!counts.renumbered) return counts;

  // A dropped plane (-1, the largest unsigned value) lands in the slot past
  // the kept ones, which is cut off afterwards: no branch in the loop.
  const auto after = static_cast<uint32_t>(counts.after);
  renumbering.kept.resize(after + size_t{1});
  for (size_t old = 0; old < renumbering.new_index.size(); ++old)
    renumbering.kept[std::min(static_cast<uint32_t>(renumbering.new_index[old]), after)] = static_cast<int32_t>(old);
  renumbering.kept.pop_back();
  map.renumbering = std::move(renumbering);
  return counts;
}
