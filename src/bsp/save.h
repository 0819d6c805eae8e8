// save.h: writing a map back to a map file.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bsp/bspfile.h"
#include "common/fileio.h"

// A map laid out for writing: the header, then every lump in the writing
// order (planes, leaves, vertexes, nodes, texinfos, faces, clipnodes,
// marksurfaces, surfedges, edges, models, lightdata, visdata, entdata,
// texdata), each followed by zero filler up to a multiple of 4 bytes. The
// header gives each lump's offset and unpadded length. A map with a new
// numbering of its planes (map.renumbering) has only the kept planes, and
// its faces, nodes and clipnodes refer to planes by that numbering; every
// other byte is the file's. Holds no pointer.
struct MapLayout {
  unsigned char header[kHeaderSize];
  int64_t size = 0;
};

// Lays the map out; raises "SaveBSPFile: the %s lump would end past 2 GiB
// (...)" when lumps that overlapped in the file add up to more than an offset
// can hold. Reads the lumps' sizes, the renumbering, the version (29 or 30,
// written back as it was read) and the map's name.
std::unique_ptr<MapLayout> LayOutMap(const Map& map);

// Whether writing the map's layout would give other bytes than the file it
// was loaded from holds. It would whenever the map has a new numbering of
// its planes (compaction records one exactly when it changes a plane
// reference or drops a plane).
bool SaveWouldChangeFile(const Map& map, const MapLayout& layout);

// Writes the map by its layout (LayOutMap of the map as it is now) to path
// through a ReplacementFile, which keeps the file's identity: any failure
// leaves it unchanged. Refuses a read-only file and, when expected is given
// (the stamp of the file the map was loaded from), a file that no longer has
// it (see ReplacementFile); new_mode is the bits a new file gets (see
// ReplacementFile). Lumps are written from the map's own bytes; the
// planes and the records that refer to planes, when renumbered, go through a
// staging buffer of at most 64 KiB, so the save holds no more than that.
void SaveBSPFile(const Map& map, const MapLayout& layout, const std::string& path,
                 const FileStamp* expected = nullptr, std::optional<unsigned> new_mode = std::nullopt);
