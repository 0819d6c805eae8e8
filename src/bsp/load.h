// load.h: reading a map file.
#pragma once

#include <string>

#include "bsp/bspfile.h"
#include "common/fileio.h"
#include "save/transaction.h"

// Reads the map at path with one read of the whole file (see ReadWholeFile,
// which also says how a file that cannot be read is refused) and checks, in
// this order, before any lump is used: the file holds its header ("%s is too
// short to be a map: ..."), the version is 30 or 29 ("%s is version %i, not
// 30"), then for each record lump (models, vertexes, planes, leaves, nodes,
// texinfos, clipnodes, faces, marksurfaces, surfedges, edges) that it holds
// whole records ("LoadBSPFile: odd lump size (%s lump of %s: ...)") and lies
// inside the file, then the same for texdata, visdata, lightdata and entdata
// ("LoadBSPFile: %s lump lies outside the file (%s lump of %s: ...)"). Raises
// a MapFailure for the first fault. No count limits a lump: the file's size
// is the only bound. Each lump is a view of the file's bytes, which lumps may
// share; nothing is copied. The map keeps path and its version, which the
// save writes back (the file's stamp, which the save checks, is its
// MapFile's). A file of 2 GiB or more is refused ("%s is too large (%lld bytes):
// a map file must be smaller than 2 GiB"); the other failures of the read
// raise ReadWholeFile's FileFailure.
Map LoadBSPFile(const std::string& path);

// The checks and the map of LoadBSPFile, on bytes already read from the file
// at path (which names the map in messages and in the map). Takes the bytes
// over; raises a MapFailure for the first fault, as LoadBSPFile does, and
// nothing else. Reads no file.
Map LoadBSPBytes(FileBytes bytes, const std::string& path);

// The checks and the map of LoadBSPFile on the bytes of a map OpenMapFile
// opened (taken over). A cut-off map's journal whose new bytes are no map is
// refused as that journal (RefuseJournal), both files kept.
Map LoadMapFile(MapFile& file, const std::string& path);
