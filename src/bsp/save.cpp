// save.cpp: writing a map to a map file.
// The header is laid out first; the lumps are then written in the layout's
// order, as gathered writes to a temporary file that replaces the map only
// once it is complete and durable. A lump the save does not change is handed
// to the file where it lies in the map's bytes; the planes and the records
// that refer to planes are renumbered as they are copied into a staging
// buffer, which goes out with the pieces before it whenever it is full.
#include "bsp/save.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "common/console.h"

namespace {

const unsigned char kFiller[3] = {0, 0, 0};

// The most a save stages. Note: small on purpose: the buffer stays in the
// cache, and a fresh one costs a page fault per 4 KiB, which on a map of a
// few MiB cost more (0.5 ms with 1 MiB) than the extra gathered writes.
constexpr int64_t kStagingSize = int64_t{64} << 10;

// The length a lump is written with: the planes shrink to the kept ones.
int64_t WrittenLength(const Map& map, LumpIndex lump) {
  if (lump == kLumpPlanes && map.renumbering.Changes())
    return static_cast<int64_t>(map.renumbering.kept.size()) * kPlaneSize;
  return static_cast<int64_t>(map.lump[lump].size());
}

int64_t Padding(int64_t length) { return -length & 3; }

const PlaneReferrer* ReferrerOf(LumpIndex lump) {
  for (const PlaneReferrer& r : kPlaneReferrers)
    if (r.lump == lump) return &r;
  return nullptr;
}

// Hands the new file its bytes in order, in as few gathered writes as the
// staging buffer allows: pieces pile up until the buffer is full or the map
// is done. The buffer is no larger than the map needs (nothing when its
// planes keep their numbers).
class PieceWriter {
 public:
  PieceWriter(ReplacementFile& out, size_t staging)
      : out_(out), staging_(std::make_unique_for_overwrite<unsigned char[]>(staging)), capacity_(staging) {}

  // A piece that is written as it stands; it must last until Flush.
  void Add(const void* data, size_t size) {
    if (size != 0) pieces_.push_back({data, size});
  }

  // Room in the staging buffer for between 1 and count records of size
  // bytes, after a Flush when not even one fits; the caller fills it all.
  // Note: size must not exceed the buffer (see StagingSize).
  std::span<unsigned char> Stage(size_t count, size_t size) {
    if (capacity_ - used_ < size) Flush();
    size_t bytes = std::min(count, (capacity_ - used_) / size) * size;
    unsigned char* at = staging_.get() + used_;
    used_ += bytes;
    if (!pieces_.empty() && static_cast<const unsigned char*>(pieces_.back().data) + pieces_.back().size == at)
      pieces_.back().size += bytes;
    else
      pieces_.push_back({at, bytes});
    return {at, bytes};
  }

  void Flush() {
    out_.Write(pieces_);
    pieces_.clear();
    used_ = 0;
  }

 private:
  ReplacementFile& out_;
  std::unique_ptr<unsigned char[]> staging_;
  size_t capacity_, used_ = 0;
  std::vector<ByteRange> pieces_;
};

// The bytes the renumbered planes and references take, up to kStagingSize:
// never less than one record of a lump that is staged, as it is at least
// that lump's size.
size_t StagingSize(const Map& map) {
  if (!map.renumbering.Changes()) return 0;
  int64_t staged = WrittenLength(map, kLumpPlanes);
  for (const PlaneReferrer& r : kPlaneReferrers) staged += static_cast<int64_t>(map.lump[r.lump].size());
  return static_cast<size_t>(std::min(staged, kStagingSize));
}

void WriteKeptPlanes(const Map& map, PieceWriter& writer) {
  const std::vector<int32_t>& kept = map.renumbering.kept;
  const unsigned char* planes = map.lump[kLumpPlanes].data();
  for (size_t done = 0; done < kept.size();) {
    std::span<unsigned char> room = writer.Stage(kept.size() - done, kPlaneSize);
    for (size_t at = 0; at < room.size(); at += kPlaneSize, ++done)
      std::memcpy(room.data() + at, planes + static_cast<size_t>(kept[done]) * kPlaneSize, kPlaneSize);
  }
}

// Copies the lump's records with their plane index renumbered; compaction
// has checked that every index has a new one.
template <bool kWide>
void WriteRenumbered(std::span<const unsigned char> bytes, size_t size, const std::vector<int32_t>& new_index,
                     PieceWriter& writer) {
  for (size_t done = 0; done < bytes.size();) {
    std::span<unsigned char> room = writer.Stage((bytes.size() - done) / size, size);
    const unsigned char* from = bytes.data() + done;
    std::memcpy(room.data(), from, room.size());
    for (size_t at = 0; at < room.size(); at += size)
      PlaneIndexField<kWide>::Write(room.data() + at,
                                    new_index[static_cast<size_t>(PlaneIndexField<kWide>::Read(from + at))]);
    done += room.size();
  }
}

void WriteLump(const Map& map, LumpIndex lump, PieceWriter& writer) {
  std::span<const unsigned char> bytes = map.lump[lump];
  const PlaneReferrer* referrer = ReferrerOf(lump);
  if (map.renumbering.Changes() && lump == kLumpPlanes)
    WriteKeptPlanes(map, writer);
  else if (map.renumbering.Changes() && referrer)
    (referrer->wide ? WriteRenumbered<true> : WriteRenumbered<false>)(
        bytes, static_cast<size_t>(kLumpKinds[lump].record_size), map.renumbering.new_index, writer);
  else
    writer.Add(bytes.data(), bytes.size());
  writer.Add(kFiller, static_cast<size_t>(Padding(WrittenLength(map, lump))));
}

}  // namespace

std::unique_ptr<MapLayout> LayOutMap(const Map& map) {
  auto layout = std::make_unique<MapLayout>();
  std::memset(layout->header, 0, kHeaderSize);
  WriteLE32(layout->header, map.version);
  int64_t position = kHeaderSize;
  for (LumpIndex lump : kLumpWriteOrder) {
    int64_t length = WrittenLength(map, lump);
    if (position + length + Padding(length) > INT32_MAX)
      FatalError("SaveBSPFile: the %s lump would end past 2 GiB (%s lump of %s)", kLumpKinds[lump].name,
                 kLumpKinds[lump].name, map.path.c_str());
    WriteLE32(layout->header + LumpEntryAt(lump), static_cast<int32_t>(position));
    WriteLE32(layout->header + LumpEntryAt(lump) + 4, static_cast<int32_t>(length));
    position += length + Padding(length);
  }
  layout->size = position;
  return layout;
}

bool SaveWouldChangeFile(const Map& map, const MapLayout& layout) {
  if (map.renumbering.Changes() || layout.size != map.file_size) return true;
  const unsigned char* file = map.file.get();
  if (std::memcmp(file, layout.header, kHeaderSize) != 0) return true;
  size_t at = kHeaderSize;
  for (LumpIndex lump : kLumpWriteOrder) {
    std::span<const unsigned char> bytes = map.lump[lump];
    auto padding = static_cast<size_t>(Padding(static_cast<int64_t>(bytes.size())));
    if ((!bytes.empty() && std::memcmp(file + at, bytes.data(), bytes.size()) != 0) ||
        std::memcmp(file + at + bytes.size(), kFiller, padding) != 0)
      return true;
    at += bytes.size() + padding;
  }
  return false;
}

namespace {

// A file as the plan compares it: the same device and inode when it exists,
// else the same folder (device and inode) and name.
struct FileKey {
  uint64_t device = 0, inode = 0;
  std::string name;  // empty when it exists
  bool operator==(const FileKey&) const = default;
};

FileKey KeyOf(const std::string& path, bool follow_links) {
  FileFacts facts = LookAtFile(path, follow_links);
  if (facts.exists) return {facts.device, facts.inode, ""};
  FileFacts folder = LookAtFile(FolderOf(path), true);
  return {folder.device, folder.inode, NameInFolder(path)};
}

std::string Joined(const std::string& folder, const std::string& name) {
  return folder + (folder.ends_with('/') ? "" : "/") + name;
}

// A name with its ASCII letters in lower case: two maps whose file names
// differ only so would still be one file in a Windows folder.
std::string LowerCase(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

}  // namespace

std::vector<SavePlan> PlanSaves(const std::vector<std::string>& maps, const std::vector<std::string>& out_names,
                                const std::string& out_dir, const std::string& log, std::string& log_refusal) {
  std::vector<FileKey> map_keys;
  map_keys.reserve(maps.size());
  for (const std::string& map : maps) map_keys.push_back(KeyOf(map, true));
  const std::optional<FileKey> log_key = log.empty() ? std::nullopt : std::optional(KeyOf(log, true));
  std::vector<SavePlan> plans;
  std::map<std::string, size_t> outputs;  // by LowerCase, and the first map of each
  for (size_t i = 0; i < maps.size(); ++i) {
    SavePlan plan{maps[i], true, ""};
    if (!out_dir.empty()) {
      const FileKey out_key = KeyOf(FolderOf(Joined(out_dir, out_names[i])), true);
      plan.own_file = KeyOf(FolderOf(maps[i]), true) == out_key && out_key.name.empty();
      if (!plan.own_file) plan.target = Joined(out_dir, out_names[i]);
    }
    const FileKey key = plan.own_file ? map_keys[i] : KeyOf(plan.target, false);
    auto [first, fresh] = outputs.try_emplace(LowerCase(Joined(out_dir, out_names[i])), i);
    if (!out_dir.empty() && !fresh)
      plan.refusal = maps[i] + " has the same file name as " + maps[first->second] +
                     ", earlier in this run: only the first is written to " + plan.target;
    for (size_t j = 0; j < maps.size() && plan.refusal.empty(); ++j)
      if (map_keys[j] == key && !plan.own_file)
        plan.refusal = "Error writing " + plan.target + ": it is the map " + maps[j] + " of this run";
    if (log_key && *log_key == map_keys[i] && log_refusal.empty()) log_refusal = "it is the map " + maps[i];
    if (log_key && *log_key == key && log_refusal.empty()) log_refusal = "it is the output " + plan.target;
    plans.push_back(plan);
  }
  return plans;
}

std::unique_ptr<ReplacementFile> SaveBSPFile(const Map& map, const MapLayout& layout, const SavePlan& plan,
                                             bool check_only, MapFile* own, bool defer) {
  if (!plan.refusal.empty()) FatalError("%s", plan.refusal.c_str());
  // A new output gets the map's permission bits, and may be written by its maker.
  const unsigned new_mode = plan.own_file ? 0 : (LookAtFile(map.path, true).mode & 07777) | 0200;
  if (check_only) {
    if (own) CheckMapSave(*own);
    if (!plan.own_file) CheckOutputSave(plan.target, new_mode);
    return nullptr;
  }
  std::unique_ptr<ReplacementFile> out =
      plan.own_file && own
          ? std::make_unique<ReplacementFile>(*own, std::span<const unsigned char>(map.file.get(),
                                                                                 static_cast<size_t>(map.file_size)))
          : std::make_unique<ReplacementFile>(plan.target, new_mode);
  PieceWriter writer(*out, StagingSize(map));
  writer.Add(layout.header, kHeaderSize);
  for (LumpIndex lump : kLumpWriteOrder) WriteLump(map, lump, writer);
  writer.Flush();
  if (defer && !out->InPlace()) {
    out->Ready();
    return out;
  }
  out->Commit();
  return nullptr;
}
