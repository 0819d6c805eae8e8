// refusal.h: checks shared by the tests of maps the tool must refuse, or
// whose save or load must fail. In the test process: the exact message that
// loading and compacting the map's bytes raises, which the tool prints after
// its error banner. Through the built tool: the map sits alone in a scratch
// directory, and a refused run must end with status 1, the error banner and
// a one-line message, leaving the directory exactly as it was.
#pragma once

#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bsp/load.h"
#include "common/console.h"
#include "common/fileio.h"
#include "optimize/compact.h"
#include "testutil.h"

namespace refusal {

// The name the in-process checks give a map; "{path}" in a message stands
// for it.
inline const std::string kMapPath = "/maps/m.bsp";

// Replaces every "{path}" in text with path.
inline std::string WithPath(std::string text, const std::string& path) {
  for (size_t at; (at = text.find("{path}")) != std::string::npos;) text.replace(at, 6, path);
  return text;
}

// What the tool does to a map before its save, in this process: load (the
// file at path, or bytes as if read from it) and compact the planes. Returns
// the message of the MapFailure or FileFailure raised, which the tool prints
// after its error banner; "" when the map is accepted.
inline std::string LoadRefusal(const std::function<Map()>& load) {
  try {
    Map map = load();
    CompactPlanes(map);
  } catch (const std::runtime_error& failure) {  // a MapFailure or a FileFailure
    return failure.what();
  }
  return "";
}

// LoadRefusal of bytes, as if read from the file kMapPath. They are copied
// to a block of their exact size, so that AddressSanitizer sees a read past
// the end.
inline std::string BytesRefusal(const std::string& bytes) {
  return LoadRefusal([&] {
    FileBytes file;
    file.data = std::make_unique<unsigned char[]>(bytes.size());
    if (!bytes.empty()) std::memcpy(file.data.get(), bytes.data(), bytes.size());
    file.size = static_cast<int32_t>(bytes.size());
    return LoadBSPBytes(std::move(file), kMapPath);
  });
}

// Expects bytes to be refused with exactly message ("{path}" standing for
// the map's name), in this process.
inline void ExpectBytesRefused(const std::string& bytes, const std::string& message) {
  EXPECT_EQ(BytesRefusal(bytes), WithPath(message, kMapPath));
}

inline const std::string kErrorBanner = "\n************ ERROR ************\n";
inline const std::vector<std::string> kJustTheMap = {"m.bsp"};

// A scratch directory holding bytes as m.bsp, by its real path (the tool
// names the map by the current directory, links resolved).
inline std::string MapDir(const std::string& bytes) {
  std::string dir = std::filesystem::canonical(MakeTempDir()).string();
  WriteFile(dir + "/m.bsp", bytes);
  return dir;
}

inline RunResult Cull(const std::string& dir, const std::function<void()>& before_exec = nullptr) {
  return RunTool({"-nopause", "m.bsp"}, dir, "", before_exec);
}

// The message after the error banner, which must end the output on one line,
// with status 1; "" (and a failure) when there is no banner.
inline std::string ErrorMessage(const RunResult& r) {
  EXPECT_EQ(r.status, 1);
  size_t at = r.out.find(kErrorBanner);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no error banner in:\n" << r.out;
    return "";
  }
  std::string message = r.out.substr(at + kErrorBanner.size());
  EXPECT_TRUE(message.size() > 1 && message.find('\n') == message.size() - 1) << message;
  return message.substr(0, message.size() - 1);
}

// Runs the tool on bytes as m.bsp and expects a refusal with exactly message
// ("{path}" standing for the map's full name), the map untouched and nothing
// else left beside it.
inline void ExpectRefused(const std::string& bytes, const std::string& message,
                          const std::function<void()>& before_exec = nullptr) {
  std::string dir = MapDir(bytes);
  std::string path = dir + "/m.bsp";
  EXPECT_EQ(ErrorMessage(Cull(dir, before_exec)), WithPath(message, path));
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(ListDir(dir), kJustTheMap);
}

}  // namespace refusal
