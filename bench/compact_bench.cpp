// compact_bench.cpp: CompactPlanes alone on the full-capacity map, timed with
// Google Benchmark.
// The map is loaded once through the tool's own loader; before each timed
// call the lumps that compaction rewrites are put back as loaded, outside
// the timing: the bytes of faces, nodes and clipnodes, and the planes lump's
// view of the file (compaction gives the map new plane bytes of its own and
// leaves the file's untouched). The benchmark's table goes to standard error.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "benchmaps.h"
#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "common/console.h"
#include "optimize/compact.h"

namespace {

constexpr LumpIndex kRewritten[] = {kLumpFaces, kLumpNodes, kLumpClipnodes};

struct Loaded {
  Map map;
  std::span<unsigned char> planes;              // the planes lump as loaded
  std::vector<unsigned char> bytes[kNumLumps];  // the rewritten lumps as loaded
  PlaneCounts counts;                           // the first compaction's result
  std::vector<unsigned char> compacted_planes;  // and its planes
};

Loaded loaded;

void LoadFullMap() {
  char path[] = "/tmp/compact_bench_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    std::perror("compact_bench: mkstemp");
    std::exit(1);
  }
  close(fd);
  std::string bytes = BuildMap(FullMap());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  try {
    loaded.map = LoadBSPFile(path);
  } catch (const MapFailure& failure) {
    std::fprintf(stderr, "compact_bench: %s\n", failure.what());
    std::remove(path);
    std::exit(1);
  }
  std::remove(path);
  loaded.planes = loaded.map.lump[kLumpPlanes];
  for (LumpIndex lump : kRewritten)
    loaded.bytes[lump].assign(loaded.map.lump[lump].begin(), loaded.map.lump[lump].end());
}

void RestoreLoadedLumps() {
  Map& m = loaded.map;
  m.lump[kLumpPlanes] = loaded.planes;
  // Freed here, outside the timing: a map as loaded has no planes of its own.
  std::vector<unsigned char>().swap(m.own[kLumpPlanes]);
  for (LumpIndex lump : kRewritten)
    std::memcpy(m.lump[lump].data(), loaded.bytes[lump].data(), loaded.bytes[lump].size());
}

// One compaction before any timing, as the result every timed call must give.
void CompactOnce() {
  loaded.counts = CompactPlanes(loaded.map);
  const std::span<unsigned char>& planes = loaded.map.lump[kLumpPlanes];
  loaded.compacted_planes.assign(planes.begin(), planes.end());
}

void BM_CompactPlanesFullMap(benchmark::State& state) {
  PlaneCounts counts;
  for (auto _ : state) {
    state.PauseTiming();
    RestoreLoadedLumps();
    state.ResumeTiming();
    counts = CompactPlanes(loaded.map);
  }
  // A restore that missed a lump would have the last call compact another map.
  const std::span<unsigned char>& planes = loaded.map.lump[kLumpPlanes];
  if (counts.before != loaded.counts.before || counts.after != loaded.counts.after ||
      !std::equal(planes.begin(), planes.end(), loaded.compacted_planes.begin(), loaded.compacted_planes.end()))
    state.SkipWithError("the last call compacted another map than the loaded one");
  state.counters["planes_kept"] = counts.after;
}
BENCHMARK(BM_CompactPlanesFullMap)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  LoadFullMap();
  CompactOnce();
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
