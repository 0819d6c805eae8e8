// compact_bench.cpp: CompactPlanes alone on the full-capacity map, timed with
// Google Benchmark.
// The map is loaded once through the tool's own loader; before each timed
// call the arrays that compaction rewrites are put back as loaded, outside
// the timing. The plane counts that CompactPlanes prints go to /dev/null and
// the benchmark's table to standard error.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "benchmaps.h"
#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "optimize/compact.h"

namespace {

struct LoadedArrays {
  std::vector<PlaneRecord> planes;
  std::vector<FaceRecord> faces;
  std::vector<NodeRecord> nodes;
  std::vector<ClipnodeRecord> clipnodes;
  int32_t numplanes = 0;
};

LoadedArrays loaded;

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
  LoadBSPFile(path);
  std::remove(path);
  const MapStore& m = g_map;
  loaded.planes.assign(m.planes, m.planes + m.numplanes);
  loaded.faces.assign(m.faces, m.faces + m.numfaces);
  loaded.nodes.assign(m.nodes, m.nodes + m.numnodes);
  loaded.clipnodes.assign(m.clipnodes, m.clipnodes + m.numclipnodes);
  loaded.numplanes = m.numplanes;
}

void RestoreLoadedArrays() {
  MapStore& m = g_map;
  std::memcpy(m.planes, loaded.planes.data(), loaded.planes.size() * sizeof(PlaneRecord));
  std::memcpy(m.faces, loaded.faces.data(), loaded.faces.size() * sizeof(FaceRecord));
  std::memcpy(m.nodes, loaded.nodes.data(), loaded.nodes.size() * sizeof(NodeRecord));
  std::memcpy(m.clipnodes, loaded.clipnodes.data(), loaded.clipnodes.size() * sizeof(ClipnodeRecord));
  m.numplanes = loaded.numplanes;
}

void BM_CompactPlanesFullMap(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    RestoreLoadedArrays();
    state.ResumeTiming();
    CompactPlanes();
  }
  state.counters["planes_kept"] = g_map.numplanes;
}
BENCHMARK(BM_CompactPlanesFullMap)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  LoadFullMap();
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
