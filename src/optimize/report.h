// report.h: the table of how full each lump is against the classic maxima.
#pragma once

#include <cstdint>
#include <vector>

#include "bsp/bspfile.h"

// Prints one row for a record lump and returns count * record size.
int64_t ReportFixedLump(const char* name, int32_t count, int32_t maximum, int32_t record_size);

// Prints one row for a byte lump and returns length.
int64_t ReportVariableLump(const char* name, int32_t length, int32_t maximum);

// Prints the usage table of all fifteen lumps of the map and the total size
// of their data.
void ReportLumpUsage(const Map& map);

// One row of the usage table, as -json gives it.
struct LumpRow {
  const char* name;
  int32_t count;    // records, or bytes for a byte lump
  int32_t maximum;  // the classic maximum, in the same unit
  double full;      // the percentage, rounded as the table prints it
};

// The rows of the usage table of the map, in its order.
std::vector<LumpRow> LumpRows(const Map& map);
