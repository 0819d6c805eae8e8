// makemap.cpp: writes the sample map to the file named on the command line,
// with three rooms or as many as asked (a larger map, for the crash checks).
// Used to show the tool at work on a realistic map.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "mapbuilder.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: makemap OUT.bsp [ROOMS]\n");
    return 2;
  }
  std::string map = BuildSampleMap(argc == 3 ? std::atoi(argv[2]) : 3);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(map.data(), static_cast<std::streamsize>(map.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "makemap: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
