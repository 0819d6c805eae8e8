// crossmaps.cpp: writes the cross-host maps into a new directory, for
// scripts/cross-check.sh to run every build on the same files.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "hostmaps.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: crossmaps DIR\n");
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  for (const HostMap& map : CrossHostMaps()) {
    std::string path = std::string(argv[1]) + "/" + map.name + ".bsp";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(map.input.data(), static_cast<std::streamsize>(map.input.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "crossmaps: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
