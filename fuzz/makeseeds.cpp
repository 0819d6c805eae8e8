// makeseeds.cpp: writes the fuzzer's starting maps into the directory named
// on the command line: sample maps of one to three rooms, an already culled
// one, and a map with every lump empty.
#include <cstdio>
#include <fstream>
#include <string>

#include "mapbuilder.h"

namespace {

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: makeseeds DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  bool ok = true;
  for (int rooms = 1; rooms <= 3; ++rooms)
    ok &= Write(dir + "/seed-sample-" + std::to_string(rooms) + "-rooms", BuildSampleMap(rooms));
  ok &= Write(dir + "/seed-sample-culled", BuildMap(SampleMapLumps(1, true)));
  ok &= Write(dir + "/seed-empty-lumps", BuildMap(MapLumps{}));
  if (!ok) std::fprintf(stderr, "makeseeds: cannot write into %s\n", argv[1]);
  return ok ? 0 : 1;
}
