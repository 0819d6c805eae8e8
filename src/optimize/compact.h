// compact.h: dropping the planes that nothing refers to.
#pragma once

#include <cstdint>

#include "bsp/bspfile.h"

// The planes a map had and kept, and whether any plane reference changed.
struct PlaneCounts {
  int32_t before = 0;
  int32_t after = 0;
  bool renumbered = false;
};

// Drops every plane of the map that no face, node or clipnode refers to and
// renumbers the rest in order of first reference (faces, then nodes, then
// clipnodes); plane records move whole. Changes no byte of the map: the new
// numbering goes to map.renumbering (left empty when it is the file's own,
// counts.renumbered false), and the save writes the planes and the references
// by it. First checks every reference, and raises a MapFailure naming the
// first one outside the planes lump ("%s %zu refers to plane %lld, but the
// map has %i planes (%s lump of %s)", with map.path) before the map is
// changed. Prints nothing. Holds 8 bytes per plane of the map.
PlaneCounts CompactPlanes(Map& map);
