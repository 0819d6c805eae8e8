// results.cpp: the JSON Lines of -json, written by nlohmann::json, which
// keeps the keys in the order they are set and replaces invalid UTF-8.
#include "driver/results.h"

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

namespace {

// Whether text is valid UTF-8, as the library's strict dump judges it.
bool IsUtf8(const std::string& text) {
  try {
    (void)Json(text).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

// Sets the name under key, and its exact bytes when it is not UTF-8, so that
// a script can still find the file.
void PutName(Json& object, const char* key, const std::string& name) {
  object[key] = name;
  if (IsUtf8(name)) return;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : name) hex += {kHex[c >> 4], kHex[c & 15]};
  object["name_bytes"] = hex;
}

// {"before": before, "after": after}.
Json Pair(int64_t before, int64_t after) {
  Json pair = Json::object();
  pair["before"] = before;
  pair["after"] = after;
  return pair;
}

// The object on one line, any invalid UTF-8 in it replaced by U+FFFD.
std::string Line(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string MapResultLine(const MapResult& result) {
  Json object;
  PutName(object, "map", result.map);
  object["status"] = result.status;
  if (!result.out.empty()) object["out"] = result.out;
  if (!result.message.empty()) object["message"] = result.message;
  if (result.counted) {
    object["planes"] = Pair(result.planes_before, result.planes_after);
    object["bytes"] = Pair(result.bytes_before, result.bytes_after);
    // Note: set key by key, as an initializer list costs a batch twice as
    // much: it is copied, and checked for being an object.
    Json& lumps = object["lumps"] = Json::array();
    for (const LumpRow& row : result.lumps) {
      Json& entry = lumps.emplace_back(Json::object());
      entry["name"] = row.name;
      entry["count"] = row.count;
      entry["max"] = row.maximum;
      entry["full"] = row.full;
    }
  }
  return Line(object);
}

std::string SummaryLine(const SummaryCounts& c) {
  return Line({{"summary",
                {{"maps", c.maps}, {"rewritten", c.rewritten}, {"already compact", c.compact},
                 {"would be rewritten", c.would}, {"left as it is", c.left}, {"failed", c.failed},
                 {"interrupted", c.interrupted}, {"planes", Pair(c.planes_before, c.planes_after)},
                 {"bytes", Pair(c.bytes_before, c.bytes_after)}}}});
}

std::string ErrorLine(const std::string& message) { return Line({{"error", message}}); }

std::string NoteLine(const std::string& map, const std::string& text) {
  Json object;
  if (!map.empty()) PutName(object, "map", map);
  object["note"] = text;
  return Line(object);
}
