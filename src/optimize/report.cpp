// report.cpp: the lump usage table.
// Each row compares a lump's size with the format's maximum; the warning
// thresholds are compared against the percentage in single precision, as
// the table prints it.
#include "optimize/report.h"

#include "bsp/bspfile.h"
#include "common/console.h"

namespace {

double Percent(int32_t count, int32_t maximum) {
  return maximum == 0 ? 0.0 : static_cast<double>(count) * 100.0 / static_cast<double>(maximum);
}

// Ends the row with a warning when the lump is close to or over its maximum.
// Note: the float is promoted and compared with the double thresholds, so a
// lump at exactly 99.9 percent (whose float lies just above) overflows.
void PrintFullness(float percent) {
  if (percent > 99.9)
    TeePrint("SIZE OVERFLOW!!!\n");
  else if (percent > 95.0)
    TeePrint("SIZE DANGER!\n");
  else if (percent > 80.0)
    TeePrint("VERY FULL!\n");
  else
    TeePrint("\n");
}

}  // namespace

int64_t ReportFixedLump(const char* name, int32_t count, int32_t maximum, int32_t record_size) {
  auto percent = static_cast<float>(Percent(count, maximum));
  long long used = int64_t{count} * record_size, room = int64_t{maximum} * record_size;
  TeePrint("%-12s  %7i/%-7i  %7lld/%-7lld  (%4.1f%%)", name, count, maximum, used, room, percent);
  PrintFullness(percent);
  return used;
}

int64_t ReportVariableLump(const char* name, int32_t length, int32_t maximum) {
  double percent = Percent(length, maximum);
  TeePrint("%-12s     [variable]    %7i/%-7i  (%4.1f%%)", name, length, maximum, percent);
  PrintFullness(static_cast<float>(percent));
  return length;
}

void ReportLumpUsage() {
  const MapStore& m = g_map;
  TeePrint("\n");
  TeePrint("Object names  Objects/Maxobjs  Memory / Maxmem  Fullness\n");
  TeePrint("------------  ---------------  ---------------  --------\n");
  int64_t total = 0;
  total += ReportFixedLump("models", m.nummodels, 400, sizeof(ModelRecord));
  total += ReportFixedLump("planes", m.numplanes, 32767, sizeof(PlaneRecord));
  total += ReportFixedLump("vertexes", m.numvertexes, 65535, sizeof(VertexRecord));
  total += ReportFixedLump("nodes", m.numnodes, 32767, sizeof(NodeRecord));
  total += ReportFixedLump("texinfos", m.numtexinfo, 32767, sizeof(TexinfoRecord));
  total += ReportFixedLump("faces", m.numfaces, 131071, sizeof(FaceRecord));
  total += ReportFixedLump("clipnodes", m.numclipnodes, 32767, sizeof(ClipnodeRecord));
  total += ReportFixedLump("leaves", m.numleaves, 8192, sizeof(LeafRecord));
  total += ReportFixedLump("marksurfaces", m.nummarksurfaces, 65535, sizeof(uint16_t));
  total += ReportFixedLump("surfedges", m.numsurfedges, 512000, sizeof(int32_t));
  total += ReportFixedLump("edges", m.numedges, 256000, sizeof(EdgeRecord));
  total += ReportVariableLump("texdata", m.texdatasize, 4194304);
  total += ReportVariableLump("lightdata", m.lightdatasize, 4194304);
  total += ReportVariableLump("visdata", m.visdatasize, 2097152);
  total += ReportVariableLump("entdata", m.entdatasize, 524288);
  TeePrint("=== Total BSP file data space used: %lld bytes ===\n", static_cast<long long>(total));
}
