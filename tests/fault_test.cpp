// fault_test.cpp: every call through which a save or a load can fail is made
// to fail in turn, in the built tool, by the preloaded faultshim library.
// Each failure must end the run with status 1, the error banner and a clear
// message, the map byte for byte as it was and no temporary file beside it;
// and the shim must report that the failure really happened.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapbuilder.h"
#include "refusal.h"
#include "testutil.h"

namespace {

// Runs the tool on a fresh copy of map with FLATCULL_FAIL=fault preloaded;
// returns the result and sets fired when the shim made the call fail.
RunResult RunFailing(const std::string& dir, const std::string& fault, bool& fired) {
  std::string log = dir + "/../fault.log";
  std::remove(log.c_str());
  RunResult r = refusal::Cull(dir, [&] {
    setenv("LD_PRELOAD", FAULTSHIM_PATH, 1);
    setenv("FLATCULL_FAIL", fault.c_str(), 1);
    setenv("FLATCULL_FAIL_LOG", log.c_str(), 1);
    // A sanitizer build's runtime must come first among the libraries; the
    // shim is only a wrapper around libc and does not mind.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
  });
  fired = FileExists(log) && ReadFile(log).find(fault.substr(0, fault.find(':'))) == 0;
  std::remove(log.c_str());
  return r;
}

// The map's directory, inside a scratch directory of its own, so the shim's
// log can sit beside it without being taken for a leftover.
std::string FreshMapDir(const std::string& map) {
  std::string dir = std::filesystem::canonical(MakeTempDir()).string() + "/maps";
  std::filesystem::create_directory(dir);
  WriteFile(dir + "/m.bsp", map);
  return dir;
}

void ExpectFailureLeftNoTrace(const std::string& fault, const std::string& message) {
  SCOPED_TRACE(fault);
  const std::string map = BuildSampleMap();
  std::string dir = FreshMapDir(map);
  std::string path = dir + "/m.bsp";
  bool fired = false;
  RunResult r = RunFailing(dir, fault, fired);
  EXPECT_TRUE(fired) << "the injected failure did not happen";
  std::string expected = message;
  if (size_t at = expected.find("{path}"); at != std::string::npos) expected.replace(at, 6, path);
  EXPECT_EQ(refusal::ErrorMessage(r), expected);
  EXPECT_EQ(r.out.find("Optimized!"), std::string::npos);
  EXPECT_EQ(ReadFile(path), map);
  EXPECT_EQ(ListDir(dir), refusal::kJustTheMap);
}

bool Preloadable() {
  // A runner (an emulator) would have the shim preloaded into itself.
  const char* runner = std::getenv("FLATCULL_TEST_RUNNER");
  return !runner || !*runner;
}

TEST(FaultTest, ReadingFailuresRefuseTheMap) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  // The first open only checks that the map exists; the second reads it.
  ExpectFailureLeftNoTrace("fopen:2", "Error opening {path}: Permission denied");
  ExpectFailureLeftNoTrace("fstat", "Error reading {path}: Input/output error");
  ExpectFailureLeftNoTrace("fread", "File read failure");
}

// The header and then each non-empty lump are read one by one: every read
// fails in turn, and the first run with no read left to fail saves the map.
TEST(FaultTest, EveryReadOfTheLoadFailing) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const MapLumps sample = SampleMapLumps();
  int reads = 1;
  for (const std::string& lump : sample.lump) reads += lump.empty() ? 0 : 1;
  for (int n = 1; n <= reads; ++n) ExpectFailureLeftNoTrace("fread:" + std::to_string(n), "File read failure");

  std::string dir = FreshMapDir(BuildMap(sample));
  bool fired = true;
  RunResult r = RunFailing(dir, "fread:" + std::to_string(reads + 1), fired);
  EXPECT_FALSE(fired) << "the load read more often than counted";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
}

TEST(FaultTest, MapThatCannotBeOpenedIsReportedMissing) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const std::string map = BuildSampleMap();
  std::string dir = FreshMapDir(map);
  bool fired = false;
  RunResult r = RunFailing(dir, "fopen:1", fired);
  EXPECT_TRUE(fired);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("File '" + dir + "/m.bsp' not found."), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), map);
}

TEST(FaultTest, EachStepOfTheSaveFailing) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const struct {
    const char* fault;
    const char* message;
  } faults[] = {
      {"mkstemp", "Error opening {path}.XXXXXX: Permission denied"},
      {"fchmod", "Error writing {path}: Operation not permitted"},
      {"fdopen", "Error writing {path}: Cannot allocate memory"},
      {"fseek", "Error writing {path}: Illegal seek"},
      {"fflush", "Error writing {path}: No space left on device"},
      {"fsync:1", "Error writing {path}: Input/output error"},
      {"fclose", "Error writing {path}: Disk quota exceeded"},
      {"rename", "Error writing {path}: Invalid cross-device link"},
  };
  for (const auto& f : faults) ExpectFailureLeftNoTrace(f.fault, f.message);
}

// Every write of the temporary file fails in turn; the first run in which
// no write is left to fail must save the map as usual.
TEST(FaultTest, EveryWriteOfTheSaveFailing) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  // The header, each non-empty lump and its filler, and the header again.
  const MapLumps culled = SampleMapLumps(3, true);
  int writes = 2;
  for (const std::string& lump : culled.lump) writes += (lump.empty() ? 0 : 1) + (lump.size() % 4 != 0 ? 1 : 0);
  for (int n = 1; n <= writes; ++n)
    ExpectFailureLeftNoTrace("fwrite:" + std::to_string(n), "Error writing {path}: No space left on device");

  std::string dir = FreshMapDir(BuildSampleMap());
  bool fired = true;
  RunResult r = RunFailing(dir, "fwrite:" + std::to_string(writes + 1), fired);
  EXPECT_FALSE(fired) << "the save wrote more often than counted";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(culled));
}

// Syncing the directory comes after the rename: the map is already saved,
// so a failure there is not a failed save.
TEST(FaultTest, DirectorySyncFailingAfterTheRenameKeepsTheSave) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  std::string dir = FreshMapDir(BuildSampleMap());
  bool fired = false;
  RunResult r = RunFailing(dir, "fsync:2", fired);
  EXPECT_TRUE(fired);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\nOptimized!\n"), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(dir), refusal::kJustTheMap);
}

}  // namespace
