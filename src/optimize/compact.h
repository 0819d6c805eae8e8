// compact.h: dropping the planes that nothing refers to.
#pragma once

// Drops every plane of g_map that no face, node or clipnode refers to,
// renumbers the rest in order of first reference (faces, then nodes, then
// clipnodes), rewrites those references and prints the plane counts before
// and after. Refuses through FatalError, before changing anything, a map with
// a reference outside its planes lump. Returns 0, the run's status.
int CompactPlanes();
