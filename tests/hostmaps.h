// hostmaps.h: maps whose compacted bytes are known in advance, to show that
// every build (native, Windows, big-endian) writes the same file.
#pragma once

#include <string>
#include <vector>

struct HostMap {
  std::string name;      // a file name, without extension
  std::string input;     // the map as written before the run
  std::string expected;  // the map as the tool must leave it
};

// The worked example of the plane compaction, a map in which every field of
// every record kind holds its own distinct bytes, one whose plane indices use
// every byte of their width, and sample maps of several sizes. Each loses planes, so its output differs from its input.
std::vector<HostMap> CrossHostMaps();
