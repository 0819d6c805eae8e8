// save.h: writing a map back to a map file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bsp/bspfile.h"
#include "common/fileio.h"
#include "save/transaction.h"

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

// Where a map of a run is saved, decided for the whole run before any map
// is touched.
struct SavePlan {
  std::string target;     // the file the map is saved to
  bool own_file = true;   // the map's own file: without -out, or -out naming its folder
  std::string refusal;    // the message that refuses the save (its output is another
                          // map of the run or an earlier output), or ""
};

// Plans every map's save: into out_dir ("" for none) under its name there
// (out_names, one for each map: its own file name, or with -r its name within
// the folder given, whose folders the driver creates), an output that is the
// map's own file (same folder, same name) being the map's ordinary save. An output that is the same file as a map of the run,
// an earlier output or the log (the same device and inode when it exists,
// the same folder and name when it does not) gets a refusal. log_refusal
// gets why the log may not be opened ("it is the map M", "it is the output
// O"), or "". Writes nothing.
std::vector<SavePlan> PlanSaves(const std::vector<std::string>& maps, const std::vector<std::string>& out_names,
                                const std::string& out_dir, const std::string& log, std::string& log_refusal);

// Checks that the map can be saved as planned, then, unless check_only,
// saves it by its layout (LayOutMap of the map as it is now). The map's own
// file (plan.own_file) goes through own, the map as OpenMapFile opened it, by
// a rename that keeps the file's identity or in place behind a journal (see
// ReplacementFile); an output is written at plan.target. Raises, changing
// nothing, for the plan's refusal and the checks of CheckMapSave or
// CheckOutputSave. Lumps are written from the map's own bytes; the planes
// and the records that refer to planes, when renumbered, go through a
// staging buffer of at most 64 KiB.
// With defer, a save by rename stops short of its sync: the new file, written
// and given the target's identity, is returned for the caller to make durable
// and put in place (ReplacementFile::Sync or a file system's sync, then
// Place); otherwise, and for a save in place, null once the save is done.
std::unique_ptr<ReplacementFile> SaveBSPFile(const Map& map, const MapLayout& layout, const SavePlan& plan,
                                             bool check_only, MapFile* own = nullptr, bool defer = false);
