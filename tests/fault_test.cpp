// fault_test.cpp: every call through which a load or a save can fail is made
// to fail in turn, in the built tool, by the preloaded faultshim library, and
// reads and writes are made to come up short. A failure must end the run with
// status 1, its exact message, the map byte for byte as it was and no
// temporary file beside it; a short transfer must not change what is saved.
// Each case checks the shim's log, so that a fault that never fired fails.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mapbuilder.h"
#include "refusal.h"
#include "save/journal.h"
#include "testutil.h"

namespace {

// What the shim does: the call to fail and the call to cut short, as
// FLATCULL_FAIL and FLATCULL_SHORT take them ("" for none).
struct Shim {
  const char* fail;
  const char* cut;
};

// Runs the tool on dir/m.bsp with the shim preloaded; returns the result and
// sets log to what the shim logged: one "NAME N" line per fault that fired.
RunResult RunWithShim(const std::string& dir, const Shim& shim, std::string& log) {
  std::string log_path = dir + "/../fault.log";
  std::remove(log_path.c_str());
  RunResult r = refusal::Cull(dir, [&] {
    PreloadIntoTool(FAULTSHIM_PATH, {{"FLATCULL_FAIL", shim.fail},
                                     {"FLATCULL_SHORT", shim.cut},
                                     {"FLATCULL_FAIL_LOG", log_path}});
  });
  log = FileExists(log_path) ? ReadFile(log_path) : "";
  std::remove(log_path.c_str());
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

std::string Expand(std::string text, const std::string& dir) {
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{path}", dir + "/m.bsp"}, {"{dir}", dir}})
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  return text;
}

struct FailingRun {
  Shim shim;
  const char* log;      // what the shim must log
  const char* message;  // the message after the error banner
};

void ExpectFailureLeftNoTrace(const FailingRun& run) {
  SCOPED_TRACE(std::string("fail ") + run.shim.fail + ", short " + run.shim.cut);
  const std::string map = BuildSampleMap();
  std::string dir = FreshMapDir(map);
  std::string log;
  RunResult r = RunWithShim(dir, run.shim, log);
  EXPECT_EQ(log, run.log);
  EXPECT_EQ(refusal::ErrorMessage(r), Expand(run.message, dir));
  EXPECT_EQ(r.out.find("Optimized!"), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), map);
  EXPECT_EQ(ListDir(dir), refusal::kJustTheMap);
}

// Runs the shim on the sample map and expects the usual save: status 0, the
// compacted map byte for byte, nothing else left, and the shim's log.
void ExpectSaved(const Shim& shim, const std::string& expected_log) {
  SCOPED_TRACE(std::string("fail ") + shim.fail + ", short " + shim.cut);
  std::string dir = FreshMapDir(BuildSampleMap());
  std::string log;
  RunResult r = RunWithShim(dir, shim, log);
  EXPECT_EQ(log, expected_log);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\nOptimized!\n"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir + "/m.bsp"), BuildMap(SampleMapLumps(3, true)));
  EXPECT_EQ(ListDir(dir), refusal::kJustTheMap);
}

TEST(FaultTest, ReadingFailuresRefuseTheMap) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const FailingRun runs[] = {
      {{"open", ""}, "open 1\n", "Error opening {path}: Permission denied"},
      {{"fstat", ""}, "fstat 1\n", "Error reading {path}: Input/output error"},
      {{"read", ""}, "read 1\n", "File read failure ({path}: Input/output error)"},
      // The read after a short one fails too.
      {{"read:2", "read:1"}, "read 1\nread 2\n", "File read failure ({path}: Input/output error)"},
  };
  for (const FailingRun& run : runs) ExpectFailureLeftNoTrace(run);
}

TEST(FaultTest, EachStepOfTheSaveFailing) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const FailingRun runs[] = {
      {{"tmpfile,create", ""}, "tmpfile 1\ncreate 1\n",
       "Error writing {path}: cannot create a file in {dir}: Permission denied"},
      {{"fchmod", ""}, "fchmod 1\n", "Error writing {path}: Operation not permitted"},
      {{"writev", ""}, "writev 1\n", "Error writing {path}: No space left on device"},
      // The write after a short one fails too.
      {{"writev:2", "writev:1"}, "writev 1\nwritev 2\n", "Error writing {path}: No space left on device"},
      {{"fsync:1", ""}, "fsync 1\n", "Error writing {path}: Input/output error"},
      {{"close", ""}, "close 1\n", "Error writing {path}: Disk quota exceeded"},
      {{"linkat", ""}, "linkat 1\n", "Error writing {path}: Too many links"},
      {{"renameat", ""}, "renameat 1\n", "Error writing {path}: Invalid cross-device link"},
      // A file system without unnamed files: the named new file goes too.
      {{"tmpfile,renameat", ""}, "tmpfile 1\nrenameat 1\n", "Error writing {path}: Invalid cross-device link"},
  };
  for (const FailingRun& run : runs) ExpectFailureLeftNoTrace(run);
}

// A read or a write that moves only part of its bytes is taken up where it
// stopped. The whole map is read in one read and written in one writev, so a
// second one, left to fail, never comes: the tables above cover every read
// and write.
TEST(FaultTest, ShortTransfersAndUnreachedFaultsStillSave) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const struct {
    Shim shim;
    const char* log;
  } runs[] = {
      {{"", "read:1"}, "read 1\n"},
      {{"", "writev:1"}, "writev 1\n"},
      {{"tmpfile", ""}, "tmpfile 1\n"},
      {{"read:2", ""}, ""},
      {{"writev:2", ""}, ""},
  };
  for (const auto& run : runs) ExpectSaved(run.shim, run.log);
}

// Syncing the directory comes after the rename: the map is already saved,
// so a failure there is not a failed save.
TEST(FaultTest, DirectorySyncFailingAfterTheRenameKeepsTheSave) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  ExpectSaved({"fsync:2", ""}, "fsync 2\n");
}

// A hard-linked map is written in place behind a journal. Should writing
// over it fail, its old bytes go back and the journal goes; should that fail
// too, the journal stays, and the next run finishes the save from it.
TEST(FaultTest, FailedWriteInPlaceLeavesTheOldMapOrItsJournal) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const struct {
    const char* fail;
    const char* log;
    const char* message;
  } runs[] = {
      // The marker goes first, then the rest: the second write fails.
      {"pwrite:2", "pwrite 2\n",
       "Error writing {path}: writing over it failed (No space left on device); its old bytes are back"},
      {"pwrite:2,pwrite:4", "pwrite 2\npwrite 4\n",
       "Error writing {path}: writing over it failed (No space left on device), and so did putting its old bytes "
       "back; running the tool on it again finishes the save from its journal {path}.flatcull-journal"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.fail);
    const std::string map = BuildSampleMap();
    std::string dir = FreshMapDir(map), log;
    std::filesystem::create_hard_link(dir + "/m.bsp", dir + "/other.bsp");
    RunResult r = RunWithShim(dir, {run.fail, ""}, log);
    EXPECT_EQ(log, run.log);
    EXPECT_EQ(refusal::ErrorMessage(r), Expand(run.message, dir));
    const bool journal = std::string(run.message).ends_with("journal");
    // Cut off with its journal, the map says so in its own first bytes.
    EXPECT_EQ(ReadFile(dir + "/m.bsp").substr(0, 8), journal ? "FCMARKED" : map.substr(0, 8));
    using Names = std::vector<std::string>;
    EXPECT_EQ(ListDir(dir), (journal ? Names{"m.bsp", "m.bsp.flatcull-journal", "other.bsp"} : Names{"m.bsp", "other.bsp"}));
    if (!journal) continue;
    // Readable as the map is, writable by its owner alone.
    EXPECT_EQ(std::filesystem::status(dir + "/m.bsp.flatcull-journal").permissions(), std::filesystem::perms(0644));
    r = RunTool({"-check", "-quiet", "-nopause", "m.bsp"}, dir);  // reports it, and changes nothing
    EXPECT_TRUE(r.status == 2 && r.out == Expand("{path} has a journal of a save that was cut off, {path}.flatcull-journal: "
                                                 "a run without -check finishes it\n{path}: would be rewritten\n", dir)) << r.out;
    r = RunWithShim(dir, {"", ""}, log);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(Expand("Finished the save of {path} that was cut off, from its journal {path}", dir)),
              std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dir + "/other.bsp"), BuildMap(SampleMapLumps(3, true)));
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"m.bsp", "other.bsp"}));
  }
}

// A save in place cut off on disk (the map marked, its journal beside it),
// then changed as a careless user or another user might; the next run
// finishes only from a journal it may trust, removes no file but the tool's
// own, and otherwise refuses, changing nothing.
TEST(FaultTest, CutOffSaveFinishesOnlyFromAJournalItMayTrust) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
  const std::string refused =
      "Error opening {path}: its rewrite was cut off, and its journal {path}.flatcull-journal can't finish it (";
  auto shell = [](const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; };
  const struct {
    const char* name;
    std::function<void(const std::string& dir)> change;  // after the cut-off save
    const char* run_on;
    std::string outcome;  // "new", or what the run prints (a part of it)
    const char* option = "-quiet";
    int status = -1;      // by default 0 for "new", else 1
  } cases[] = {
      {"its own journal", [](const std::string&) {}, "m.bsp", "new"},
      {"another user's", [&](const std::string& d) { shell("chown 65534 " + d + "/m.bsp.flatcull-journal"); },
       "m.bsp", refused + "its owner (user 65534) may not write the map)"},
      {"another user's, who may write the map",
       [&](const std::string& d) { shell("chown 65534 " + d + "/m.bsp.flatcull-journal; chmod 646 " + d + "/m.bsp"); },
       "m.bsp", "new"},
      {"another user's, whom an ACL lets write the map",
       [&](const std::string& d) {
         shell("chown 65534 " + d + "/m.bsp.flatcull-journal; setfacl -m u:65534:rw " + d + "/m.bsp");
       },
       "m.bsp", "new"},
      {"writable by others", [&](const std::string& d) { shell("chmod 666 " + d + "/m.bsp.flatcull-journal"); },
       "m.bsp", refused + "users other than its owner may write it)"},
      {"a second name", [&](const std::string& d) { shell("ln " + d + "/m.bsp.flatcull-journal " + d + "/../j"); },
       "m.bsp", refused + "it has 2 links)"},
      {"a terabyte of holes", [&](const std::string& d) { shell("truncate -s 1T " + d + "/m.bsp.flatcull-journal"); },
       "m.bsp", refused + "it is 1099511627776 bytes, not the "},
      {"a flipped bit", [&](const std::string& d) {
         shell("printf X | dd of=" + d + "/m.bsp.flatcull-journal bs=1 seek=900 conv=notrunc status=none");
       }, "m.bsp", refused + "its new bytes fail their checksum)"},
      {"missing", [&](const std::string& d) { shell("rm " + d + "/m.bsp.flatcull-journal"); }, "m.bsp",
       "Error opening {path}: its rewrite was cut off and its journal is missing"},
      {"run on its other name", [](const std::string&) {}, "other.bsp",
       "Error opening {dir}/other.bsp: its rewrite under another name was cut off"},
      {"made read-only since", [&](const std::string& d) { shell("chmod 444 " + d + "/m.bsp"); }, "m.bsp",
       "Error writing {path}: the file is read-only"},
      {"recompiled since: a stale journal", [&](const std::string& d) { shell("cp " + d + "/../old " + d + "/m.bsp"); },
       "m.bsp", "new"},
      {"another user's, beside a whole map",
       [&](const std::string& d) { shell("cp " + d + "/../old " + d + "/m.bsp; chown 65534 " + d + "/m.bsp.flatcull-journal"); },
       "m.bsp", "Error writing {path}: it must be written in place, and {path}.flatcull-journal (its owner (user 65534) "
                "may not write the map) is in the way of its journal"},
      {"two names, beside a whole map",
       [&](const std::string& d) { shell("cp " + d + "/../old " + d + "/m.bsp; ln " + d + "/m.bsp.flatcull-journal " + d + "/../j"); },
       "m.bsp", "{path}.flatcull-journal (it has 2 links) is in the way of its journal"},
      {"-check, beside a whole map", [&](const std::string& d) { shell("cp " + d + "/../old " + d + "/m.bsp"); }, "m.bsp",
       "{path} is whole; its spent journal {path}.flatcull-journal is left to a run without -check or -out\n", "-check", 2},
      {"-json, beside a whole map", [&](const std::string& d) { shell("cp " + d + "/../old " + d + "/m.bsp"); }, "m.bsp",
       "{\"map\":\"{path}\",\"note\":\"{path} is whole; removed its spent journal {path}.flatcull-journal\"}\n", "-json", 0},
      {"a journal that holds no map",
       [&](const std::string& d) {
         // A journal whose checksums hold, with the marker's nonce, of bytes that are no map.
         const std::string marked = ReadFile(d + "/m.bsp"), bytes = "no map at all";
         Nonce nonce;
         std::copy_n(marked.begin() + 8, nonce.size(), nonce.begin());
         JournalSumsPtr sums = StartJournal();
         AddToJournal(*sums, bytes.data(), bytes.size());
         const JournalHeader header = EndJournal(*sums, nonce, std::ssize(bytes));
         WriteFile(d + "/m.bsp.flatcull-journal", std::string(header.begin(), header.end()) + bytes);
       },
       "m.bsp", refused + "its new bytes are no map: {path} is too short to be a map"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string map = BuildSampleMap();
    std::string dir = FreshMapDir(map), log;
    WriteFile(dir + "/../old", map);
    std::filesystem::create_hard_link(dir + "/m.bsp", dir + "/other.bsp");
    // The map's owner gets the journal that root's save leaves.
    ASSERT_EQ(chown((dir + "/m.bsp").c_str(), 4321, 4321), 0);
    ASSERT_EQ(RunWithShim(dir, {"pwrite:2,pwrite:4", ""}, log).status, 1);
    struct stat journal {};
    ASSERT_EQ(stat((dir + "/m.bsp.flatcull-journal").c_str(), &journal), 0);
    EXPECT_TRUE(journal.st_uid == 4321 && journal.st_gid == 4321);
    ASSERT_EQ(chown((dir + "/m.bsp").c_str(), 0, 0), 0);
    ASSERT_EQ(chown((dir + "/m.bsp.flatcull-journal").c_str(), 0, 0), 0);
    // Files a user named beside the map, and a leftover of the tool's own.
    for (const char* name : {"m.bsp.flatcull-backup", "m.bsp.flatcull-before", "m.bsp.flatcull-unsaved-0123456789abcdef"})
      WriteFile(dir + "/" + name, "x");
    c.change(dir);
    const std::string before = ReadFile(dir + "/m.bsp");
    RunResult r = RunTool({"-nopause", c.option, c.run_on}, dir);
    const int status = c.status >= 0 ? c.status : c.outcome == "new" ? 0 : 1;
    using Names = std::vector<std::string>;
    Names left = {"m.bsp", "m.bsp.flatcull-backup", "m.bsp.flatcull-before"};
    EXPECT_EQ(r.status, status) << r.out;
    if (c.outcome != "new") {
      EXPECT_NE(r.out.find(Expand(c.outcome, dir)), std::string::npos) << r.out;
    }
    if (status == 0) {
      EXPECT_EQ(ReadFile(dir + "/other.bsp"), BuildMap(SampleMapLumps(3, true)));
    } else {
      EXPECT_EQ(ReadFile(dir + "/m.bsp"), before);
      if (std::string(c.name) != "missing") left.push_back("m.bsp.flatcull-journal");
      // A marked map's leftovers wait for the run that finishes its journal; -check removes none.
      if (!std::string(c.name).ends_with("beside a whole map") || status == 2)
        left.push_back("m.bsp.flatcull-unsaved-0123456789abcdef");
    }
    left.push_back("other.bsp");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(ListDir(dir), left);
  }
}

// A batch makes its new files durable with one sync of their file system;
// should that fail, every map of the window fails with the system's reason,
// nothing is renamed and no new file is left. Each map's text comes whole,
// in order, after the sync.
TEST(FaultTest, FailedSyncOfABatchFailsItsWholeWindow) {
  if (!Preloadable()) GTEST_SKIP() << "the tool runs through FLATCULL_TEST_RUNNER";
  const std::string map = BuildSampleMap();
  for (const char* fail : {"syncfs", ""}) {
    SCOPED_TRACE(fail);
    std::string dir = FreshMapDir(map), log;
    WriteFile(dir + "/n.bsp", map);
    WriteFile(dir + "/bad.bsp", "not a map");
    RunResult r = RunTool({"-nopause", "-quiet", "m.bsp", "bad.bsp", "n.bsp"}, dir, "", [&] {
      PreloadIntoTool(FAULTSHIM_PATH, {{"FLATCULL_FAIL", fail}, {"FLATCULL_FAIL_LOG", dir + "/../fault.log"}});
    });
    const bool failed = *fail != '\0';
    const std::string bad = dir + "/bad.bsp: failed: " + dir + "/bad.bsp is too short to be a map: 9 bytes, less than its 124-byte header\n";
    auto line = [&](const char* name) {
      return dir + "/" + name + (failed ? ".bsp: failed: Error writing " + dir + "/" + name + ".bsp: Input/output error\n"
                                        : ".bsp: planes 60 -> 22, bytes 8132 -> 7372, rewritten\n");
    };
    EXPECT_EQ(r.out.substr(0, r.out.find("\n\n3 maps") + 1), line("m") + bad + line("n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(dir + "/m.bsp"), failed ? map : BuildMap(SampleMapLumps(3, true)));
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"bad.bsp", "m.bsp", "n.bsp"}));
  }
}

}  // namespace
