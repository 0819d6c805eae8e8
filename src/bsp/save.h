// save.h: writing a map back to a map file.
#pragma once

#include <string>
#include <vector>

#include "bsp/bspfile.h"
#include "common/fileio.h"

// A map laid out for writing: the header, then every lump in the writing
// order (planes, leaves, vertexes, nodes, texinfos, faces, clipnodes,
// marksurfaces, surfedges, edges, models, lightdata, visdata, entdata,
// texdata), each followed by zero filler up to a multiple of 4 bytes. The
// header gives each lump's offset and unpadded length.
struct MapLayout {
  unsigned char header[kHeaderSize];
  std::vector<ByteRange> pieces;  // the header first; views into the map
  int64_t size = 0;
};

// Lays the map out; raises "SaveBSPFile: the %s lump would end past 2 GiB"
// when lumps that overlapped in the file add up to more than an offset can
// hold. The layout refers to map, which must outlive it. Not copyable: the
// first piece points at the header.
std::unique_ptr<MapLayout> LayOutMap(const Map& map);

// Whether writing the map's layout would give other bytes than the file it
// was loaded from holds. renumbered says whether compaction changed any plane
// reference: those are rewritten in the file's own bytes, so the bytes alone
// cannot tell.
bool SaveWouldChangeFile(const Map& map, const MapLayout& layout, bool renumbered);

// Writes the map's layout to path through a ReplacementFile, which keeps the
// file's identity: any failure leaves it unchanged. Refuses a read-only file
// and, when expected is given (the stamp of the file the map was loaded
// from), a file that no longer has it (see ReplacementFile).
void SaveBSPFile(const Map& map, const MapLayout& layout, const std::string& path,
                 const FileStamp* expected = nullptr);
