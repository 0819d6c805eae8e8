// refusal.h: checks shared by the tests that run the tool on maps it must
// refuse, or whose save or load must fail: the map sits alone in a scratch
// directory, and a refused run must end with status 1, the error banner and
// a one-line message, leaving the directory exactly as it was.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"

namespace refusal {

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
  std::string expected = message;
  if (size_t at = expected.find("{path}"); at != std::string::npos) expected.replace(at, 6, path);
  EXPECT_EQ(ErrorMessage(Cull(dir, before_exec)), expected);
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(ListDir(dir), kJustTheMap);
}

}  // namespace refusal
