// results.h: the run's results as JSON Lines, for -json: one object per
// map, one per note, one for the summary or for a refusal of the whole run.
// Every string is valid UTF-8 (an invalid sequence becomes U+FFFD); a name
// that is not valid UTF-8 also goes out exactly, as hex, in "name_bytes".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "optimize/report.h"

// What became of one map, as its object gives it.
struct MapResult {
  std::string map;
  std::string status;   // "rewritten", "already compact", "would be rewritten", "left as it is", "failed"
  std::string message;  // a failure's message
  std::string out;      // the -out target, or "" for none
  bool counted = false;  // planes, bytes and lumps are known
  int64_t planes_before = 0, planes_after = 0, bytes_before = 0, bytes_after = 0;
  std::vector<LumpRow> lumps;
};

// The counts of the summary object.
struct SummaryCounts {
  int64_t maps = 0, rewritten = 0, compact = 0, would = 0, left = 0, failed = 0, interrupted = 0;
  int64_t planes_before = 0, planes_after = 0, bytes_before = 0, bytes_after = 0;
};

// Each of these gives one object as one line, with its line end. Never fail.
std::string MapResultLine(const MapResult& result);
std::string SummaryLine(const SummaryCounts& counts);
// {"error": message}: a refusal of the whole run.
std::string ErrorLine(const std::string& message);
// {"map": map, "note": text}, without "map" when map is "".
std::string NoteLine(const std::string& map, const std::string& text);
