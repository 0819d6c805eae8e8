// load.h: reading a map file into the map store.
#pragma once

// Reads the map at path into g_map, in host byte order. Refuses through
// FatalError, before any lump is read: a file that cannot be opened or is not
// a regular file (see OpenForReading), a file shorter than its header, a version
// other than 30 ("%s is version %i, not %i"), a record lump that is not a
// whole number of records ("LoadBSPFile: odd lump size"), a lump that lies
// outside the file, a lump larger than its store capacity, and a byte lump
// that cannot be allocated ("AllocLump: unable to allocate memory"); then, a
// file that yields fewer bytes than its size promised ("File read failure").
// Each lump is read straight into the store; the file is never held whole.
void LoadBSPFile(const char* path);

// Frees the texdata, visdata and lightdata buffers and empties the store, so
// that another map can be loaded; harmless when nothing was loaded.
void ReleaseBSPData();
