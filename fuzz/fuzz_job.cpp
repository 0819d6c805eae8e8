// fuzz_job.cpp: the whole job (load, report, compaction, save) on arbitrary
// bytes, checked on every input.
// The bytes are written to a map file in a private scratch directory and the
// tool's own run sequence is called on it. Then either the run refused the
// map, and the file still holds exactly the input, or the saved file loads
// again, every plane in it is referred to, every face, node and clipnode
// refers to a plane with the same 20 bytes as before, and everything else in
// the file is the same as in the input. Either way the directory holds
// nothing but the map afterwards, and no file is left open. Any other outcome
// aborts, which the fuzzer and the replay driver report.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "common/console.h"
#include "driver/run.h"

namespace {

std::string scratch_dir;
std::string map_path;

void RemoveScratch() {
  std::error_code ec;
  std::filesystem::remove_all(scratch_dir, ec);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "\nfuzz_job: %s\n", what);
  std::abort();
}

std::string ReadBack() {
  std::ifstream in(map_path, std::ios::binary);
  if (!in) Fail("the map file is gone");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fails when anything but the map is in the scratch directory (a temporary
// file left behind) or the map itself is missing.
void CheckOnlyTheMap() {
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_dir)) {
    ++entries;
    if (entry.path().filename() != "map.bsp") Fail("a file other than the map is left in its directory");
  }
  if (entries != 1) Fail("the map file is gone");
}

// The process's open descriptors: a run, refused or not, must not leave one
// open, or a long batch would run out of them.
int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

uint32_t Le32(const std::string& file, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(file[at + i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

uint16_t Le16(const std::string& file, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(file[at]) | static_cast<unsigned char>(file[at + 1]) << 8);
}

// A lump as a file's header places it; the run already checked it is inside.
struct Lump {
  size_t offset, length;
};

Lump LumpOf(const std::string& file, int lump) {
  auto offset = static_cast<int32_t>(Le32(file, 4 + 8 * static_cast<size_t>(lump)));
  auto length = static_cast<int32_t>(Le32(file, 8 + 8 * static_cast<size_t>(lump)));
  if (offset < 0 || length < 0 || static_cast<size_t>(offset) + static_cast<size_t>(length) > file.size())
    Fail("a lump lies outside a file the tool accepted or wrote");
  return {static_cast<size_t>(offset), static_cast<size_t>(length)};
}

// The record lumps whose records refer to planes, and the reference's width
// (int32 rather than uint16); the reference is each record's first field.
struct Referrer {
  int lump;
  bool wide;
};
constexpr Referrer kReferrers[] = {{kLumpFaces, false}, {kLumpNodes, true}, {kLumpClipnodes, true}};

uint32_t PlaneRef(const std::string& file, size_t at, bool wide) { return wide ? Le32(file, at) : Le16(file, at); }

// Checks the saved file against the input the run accepted.
void CheckSaved(const std::string& input, const std::string& saved) {
  if (saved.size() < static_cast<size_t>(kHeaderSize) || Le32(saved, 0) != Le32(input, 0))
    Fail("the saved file has not the input's version");
  Lump old_planes = LumpOf(input, kLumpPlanes), new_planes = LumpOf(saved, kLumpPlanes);
  const size_t plane_size = kPlaneSize;
  size_t plane_count = new_planes.length / plane_size;
  if (new_planes.length % plane_size != 0) Fail("the saved planes lump is not whole records");
  std::vector<bool> used(plane_count, false);

  for (int lump = 0; lump < kNumLumps; ++lump) {
    if (lump == kLumpPlanes) continue;
    Lump before = LumpOf(input, lump), after = LumpOf(saved, lump);
    if (before.length != after.length) Fail("a lump other than planes changed its length");
    const Referrer* referrer = nullptr;
    for (const Referrer& r : kReferrers)
      if (r.lump == lump) referrer = &r;
    if (!referrer) {
      if (input.compare(before.offset, before.length, saved, after.offset, after.length) != 0)
        Fail("a lump other than planes changed");
      continue;
    }
    const size_t ref_width = referrer->wide ? 4 : 2;
    const auto record_size = static_cast<size_t>(kLumpKinds[lump].record_size);
    for (size_t at = 0; at < before.length; at += record_size) {
      if (input.compare(before.offset + at + ref_width, record_size - ref_width, saved,
                        after.offset + at + ref_width, record_size - ref_width) != 0)
        Fail("a face, node or clipnode changed beyond its plane reference");
      uint32_t old_ref = PlaneRef(input, before.offset + at, referrer->wide);
      uint32_t new_ref = PlaneRef(saved, after.offset + at, referrer->wide);
      if (new_ref >= plane_count) Fail("a saved reference lies outside the saved planes");
      size_t old_at = old_planes.offset + size_t{old_ref} * plane_size;
      if (old_ref >= old_planes.length / plane_size) Fail("the run accepted a reference past the planes");
      if (input.compare(old_at, plane_size, saved, new_planes.offset + size_t{new_ref} * plane_size, plane_size) != 0)
        Fail("a reference now leads to a plane with different bytes");
      used[new_ref] = true;
    }
  }
  for (bool u : used)
    if (!u) Fail("the saved file holds a plane nothing refers to");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The tool's messages are not the fuzzer's business; its own go to stderr.
  if (!std::freopen("/dev/null", "w", stdout)) Fail("cannot silence standard output");
  const char* base = std::getenv("FLATCULL_FUZZ_DIR");
  if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/flatcull-fuzz-XXXXXX";
  if (!mkdtemp(templ.data())) Fail("cannot make a scratch directory");
  scratch_dir = templ;
  map_path = scratch_dir + "/map.bsp";
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch_dir.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
  std::string input(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(map_path, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
    if (!out) Fail("cannot write the input map");
  }

  std::string arg0 = "flatcull", arg1 = "-nopause";
  std::string arg2 = map_path;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  const int descriptors = OpenDescriptors();
  const int status = RunFlatcull(3, argv);
  if (status != 0 && status != 1) Fail("the run ended with a status other than 0 or 1");
  if (OpenDescriptors() != descriptors) Fail("the run left a file open");
  CheckOnlyTheMap();
  std::string after = ReadBack();
  if (status == 1) {
    if (after != input) Fail("a refused map was changed");
    return 0;
  }
  CheckSaved(input, after);
  try {
    Map reloaded = LoadBSPFile(map_path);
    if (reloaded.Count(kLumpPlanes) != static_cast<int32_t>(LumpOf(after, kLumpPlanes).length / kPlaneSize))
      Fail("the saved map reloads with another plane count");
  } catch (const std::runtime_error&) {  // a MapFailure or a FileFailure
    Fail("the saved map does not load again");
  }
  if (OpenDescriptors() != descriptors) Fail("reloading the saved map left a file open");
  return 0;
}
