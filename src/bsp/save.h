// save.h: writing the map store back to a map file.
#pragma once

// Writes g_map to path in the fixed writing order, each lump padded to a
// 4-byte boundary, and replaces the file atomically (see fileio.h). Leaves
// the store in file byte order. Any failure ends through FatalError with the
// file at path unchanged.
void SaveBSPFile(const char* path);
