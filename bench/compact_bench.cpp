// compact_bench.cpp: CompactPlanes alone on the full-capacity map, timed with
// Google Benchmark.
// The map is loaded once through the tool's own loader. Compaction changes
// no byte of it and only records a new numbering of the planes in the map;
// before each timed call that numbering is freed, outside the timing, so that
// every call starts from the map as loaded. The benchmark's table goes to
// standard error.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "benchmaps.h"
#include "bsp/bspfile.h"
#include "bsp/load.h"
#include "common/console.h"
#include "optimize/compact.h"

namespace {

struct Loaded {
  Map map;
  PlaneCounts counts;            // the first compaction's result
  PlaneRenumbering renumbering;  // and its numbering
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
  } catch (const std::runtime_error& failure) {  // a MapFailure or a FileFailure
    std::fprintf(stderr, "compact_bench: %s\n", failure.what());
    std::remove(path);
    std::exit(1);
  }
  std::remove(path);
}

// One compaction before any timing, as the result every timed call must give.
void CompactOnce() {
  loaded.counts = CompactPlanes(loaded.map);
  loaded.renumbering = std::move(loaded.map.renumbering);
}

void BM_CompactPlanesFullMap(benchmark::State& state) {
  PlaneCounts counts;
  for (auto _ : state) {
    state.PauseTiming();
    loaded.map.renumbering = PlaneRenumbering();  // freed here, outside the timing
    state.ResumeTiming();
    counts = CompactPlanes(loaded.map);
  }
  const PlaneRenumbering& last = loaded.map.renumbering;
  if (counts.before != loaded.counts.before || counts.after != loaded.counts.after ||
      last.new_index != loaded.renumbering.new_index || last.kept != loaded.renumbering.kept)
    state.SkipWithError("the last call numbered the planes otherwise than the first");
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
