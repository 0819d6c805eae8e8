// report.cpp: the lump usage table.
// Each row compares a lump's size with the format's maximum; the warning
// thresholds are compared against the percentage in single precision, as
// the table prints it.
#include "optimize/report.h"

#include <cstdio>
#include <cstdlib>

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

void ReportLumpUsage(const Map& map) {
  TeePrint("\n");
  TeePrint("Object names  Objects/Maxobjs  Memory / Maxmem  Fullness\n");
  TeePrint("------------  ---------------  ---------------  --------\n");
  int64_t total = 0;
  for (LumpIndex lump : kLumpTableOrder) {
    const LumpKind& kind = kLumpKinds[lump];
    if (kind.record_size > 1)
      total += ReportFixedLump(kind.name, map.Count(lump), kind.classic_max, kind.record_size);
    else
      total += ReportVariableLump(kind.name, map.Count(lump), kind.classic_max);
  }
  TeePrint("=== Total BSP file data space used: %lld bytes ===\n", static_cast<long long>(total));
}

std::vector<LumpRow> LumpRows(const Map& map) {
  std::vector<LumpRow> rows;
  for (LumpIndex lump : kLumpTableOrder) {
    const LumpKind& kind = kLumpKinds[lump];
    double percent = Percent(map.Count(lump), kind.classic_max);
    // A record lump's row prints the percentage in single precision.
    if (kind.record_size > 1) percent = static_cast<float>(percent);
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.1f", percent);
    rows.push_back({kind.name, map.Count(lump), kind.classic_max, std::strtod(printed, nullptr)});
  }
  return rows;
}
