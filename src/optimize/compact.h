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

// Drops every plane of the map that no face, node or clipnode refers to,
// renumbers the rest in order of first reference (faces, then nodes, then
// clipnodes) and rewrites those references; plane records move whole. First
// checks every reference, and raises a MapFailure naming the first one
// outside the planes lump ("%s %i refers to plane %lld, but the map has %i
// planes") before anything is changed. Prints nothing.
PlaneCounts CompactPlanes(Map& map);
