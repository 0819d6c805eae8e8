// makebench.cpp: writes the benchmark's input maps with the map builder.
//   makebench mid OUT ROOMS           a compiler-like map of ROOMS box rooms,
//                                     most of whose planes nothing refers to
//   makebench full OUT                every record lump at its store capacity,
//                                     the four byte lumps at the report's maxima
//   makebench light OUT BYTES         a 1000-room map whose lightdata lump
//                                     holds BYTES bytes
//   makebench folder DIR COUNT MIN MAX  COUNT maps of MIN to MAX bytes each
//                                     (sizes spread evenly on a log scale)
// Every map is deterministic, so each run of the benchmark times the same
// bytes.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "benchmaps.h"
#include "mapbuilder.h"

namespace {

void WriteFileOrDie(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "makebench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// The sample map's bytes grow about linearly with its rooms; this picks the
// room count whose map comes closest to bytes from below, at least one.
int RoomsForSize(double bytes) {
  int rooms = static_cast<int>(bytes / 2510.0);
  return rooms < 1 ? 1 : rooms;
}

void MakeFolder(const std::string& dir, int count, double min_bytes, double max_bytes) {
  for (int i = 0; i < count; ++i) {
    double t = count == 1 ? 0.0 : static_cast<double>(i) / (count - 1);
    double bytes = min_bytes * std::pow(max_bytes / min_bytes, t);
    char name[32];
    std::snprintf(name, sizeof name, "/map%03d.bsp", i);
    WriteFileOrDie(dir + name, BuildSampleMap(RoomsForSize(bytes)));
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: makebench mid OUT ROOMS | full OUT | light OUT BYTES | folder DIR COUNT MIN MAX\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string kind = argv[1], out = argv[2];
  if (kind == "mid" && argc == 4) {
    WriteFileOrDie(out, BuildSampleMap(std::atoi(argv[3])));
  } else if (kind == "full" && argc == 3) {
    WriteFileOrDie(out, BuildMap(FullMap()));
  } else if (kind == "light" && argc == 4) {
    WriteFileOrDie(out, BuildMap(LightMap(std::strtoull(argv[3], nullptr, 10))));
  } else if (kind == "folder" && argc == 6) {
    MakeFolder(out, std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]));
  } else {
    return Usage();
  }
  return 0;
}
