// load.cpp: reading a map file into a Map.
// The file is untrusted: every offset and length is checked against the
// file's size before a lump is used.
#include "bsp/load.h"

#include "common/console.h"
#include "common/fileio.h"

namespace {

struct LumpEntry {
  int32_t offset;
  int32_t length;
};

LumpEntry EntryOf(const unsigned char* file, int lump) {
  return {ReadLE32(file + LumpEntryAt(lump)), ReadLE32(file + LumpEntryAt(lump) + 4)};
}

// Refuses a lump that is not a whole number of records, or that does not lie
// wholly between the header and the end of the file. An empty lump may sit
// anywhere up to the end.
void CheckLump(const LumpEntry& entry, int lump, int32_t file_size, const std::string& path) {
  const LumpKind& kind = kLumpKinds[lump];
  if (entry.length % kind.record_size != 0)
    FatalError("LoadBSPFile: odd lump size (%s lump of %s: %i bytes is not a whole number of %i-byte records)",
               kind.name, path.c_str(), entry.length, kind.record_size);
  if (entry.offset < 0 || entry.length < 0 || entry.offset > file_size - entry.length ||
      (entry.length > 0 && entry.offset < kHeaderSize))
    FatalError("LoadBSPFile: %s lump lies outside the file (%s lump of %s: offset %i, length %i, file size %i)",
               kind.name, kind.name, path.c_str(), entry.offset, entry.length, file_size);
}

}  // namespace

Map LoadBSPFile(const std::string& path) { return LoadBSPBytes(ReadWholeFile(path), path); }

Map LoadBSPBytes(FileBytes bytes, const std::string& path) {
  if (bytes.size < kHeaderSize)
    FatalError("%s is too short to be a map: %i bytes, less than its %i-byte header", path.c_str(), bytes.size,
               kHeaderSize);
  const unsigned char* file = bytes.data.get();
  int32_t version = ReadLE32(file);
  if (version != kBspVersion && version != kBspVersion29)
    FatalError("%s is version %i, not %i", path.c_str(), version, kBspVersion);

  LumpEntry entries[kNumLumps];
  for (LumpIndex lump : kLumpCheckOrder) {
    entries[lump] = EntryOf(file, lump);
    CheckLump(entries[lump], lump, bytes.size, path);
  }
  Map map;
  map.file = std::move(bytes.data);
  map.file_size = bytes.size;
  map.version = version;
  map.path = path;
  for (int lump = 0; lump < kNumLumps; ++lump)
    map.lump[lump] = {map.file.get() + entries[lump].offset, static_cast<size_t>(entries[lump].length)};
  return map;
}

Map LoadMapFile(MapFile& file, const std::string& path) {
  if (!file.cut_off) return LoadBSPBytes(std::move(file.bytes), path);
  try {
    return LoadBSPBytes(std::move(file.bytes), path);
  } catch (const MapFailure& failure) {
    RefuseJournal(file, path, std::string("its new bytes are no map: ") + failure.what());
  }
}
