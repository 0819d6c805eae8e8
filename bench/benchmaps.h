// benchmaps.h: the benchmark's synthetic maps, built with the map builder.
// Both are deterministic: every run times the same bytes.
#pragma once

#include <cstddef>

#include "mapbuilder.h"

// Every record lump at the classic engine's largest size (kMax* in
// tools/maprecords.h: 65535 planes, as many as a face can refer to) and
// texdata, lightdata, visdata and entdata at the usage report's maxima
// (4194304, 4194304, 2097152 and 524288 bytes). Faces, nodes and clipnodes
// refer to the first two thirds of the planes in random order, so compaction
// renumbers nearly all of those and drops the rest.
MapLumps FullMap();

// The 1000-room sample map with a lightdata lump of light_bytes bytes.
MapLumps LightMap(size_t light_bytes);
