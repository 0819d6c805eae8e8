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
void CheckLump(const LumpEntry& entry, int lump, int32_t file_size) {
  if (entry.length % kLumpKinds[lump].record_size != 0) FatalError("LoadBSPFile: odd lump size");
  if (entry.offset < 0 || entry.length < 0 || entry.offset > file_size - entry.length ||
      (entry.length > 0 && entry.offset < kHeaderSize))
    FatalError("LoadBSPFile: %s lump lies outside the file (offset %i, length %i, file size %i)",
               kLumpKinds[lump].name, entry.offset, entry.length, file_size);
}

}  // namespace

Map LoadBSPFile(const std::string& path, FileStamp* stamp) {
  FileBytes bytes = ReadWholeFile(path);
  if (bytes.size < kHeaderSize)
    FatalError("%s is too short to be a map: %i bytes, less than its %i-byte header", path.c_str(), bytes.size,
               kHeaderSize);
  const unsigned char* file = bytes.data.get();
  int32_t version = ReadLE32(file);
  if (version != kBspVersion) FatalError("%s is version %i, not %i", path.c_str(), version, kBspVersion);

  LumpEntry entries[kNumLumps];
  for (LumpIndex lump : kLumpCheckOrder) {
    entries[lump] = EntryOf(file, lump);
    CheckLump(entries[lump], lump, bytes.size);
  }
  Map map;
  map.file = std::move(bytes.data);
  map.file_size = bytes.size;
  if (stamp) *stamp = bytes.stamp;
  for (int lump = 0; lump < kNumLumps; ++lump)
    map.lump[lump] = {map.file.get() + entries[lump].offset, static_cast<size_t>(entries[lump].length)};
  return map;
}
