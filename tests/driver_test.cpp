// driver_test.cpp: the command line as a user meets it (the built tool run in
// a scratch directory, exact console bytes and exit status), and the path-name
// rules behind the names it prints.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/paths.h"
#include "driver/run.h"
#include "mapbuilder.h"
#include "refusal.h"
#include "testutil.h"

namespace {

const std::string kUsage =
    "usage: flatcull [-nopause] [-check] [-quiet] [-json] [-shrink-only] [-r] [-out DIR] [-logfile log_filename] [--] filename...\n\n"
    "-nopause : skip keypress prompt on completion\n"
    "-logfile : specify file log_filename to use for logging screen output\n"
    "-check   : report what would change and write nothing (status 2 if a map would be rewritten)\n"
    "-quiet   : print one line per map, and no banner or table\n"
    "-out     : write each map into the folder DIR under its own file name, leaving the map as it is\n"
    "-json    : print one JSON object per map and one for the summary (implies -quiet and -nopause)\n"
    "-shrink-only : leave a map as it is unless it loses planes\n"
    "-r       : a folder stands for the maps in it and in all its subfolders\n"
    "-help    : show this usage\n"
    "-version : show the version\n"
    "--       : take every later argument as a file name\n"
    "\nEach switch may also start with --. A map name without an extension gets .bsp, a log name .log.\n"
    "A name that names no file is taken with .bsp added when that names one. A folder, or a name\n"
    "that ends in a separator, stands for the maps (*.bsp) directly in it, in name order; with -r,\n"
    "for the maps of its whole tree.\n"
    "Exit status: 0 when every map was saved or already compact,\n"
    "             1 when a map failed or the run was refused,\n"
    "             2 with -check when a map would be rewritten and none failed.\n";
const std::string kBanner = Banner(), kHelp = kBanner.substr(2) + kUsage;
const std::string kNoMap = "Please specify a file to optimize or drag and drop a file onto the program.\n\n";

std::string Unknown(const std::string& arg) { return "Unknown switch '" + arg + "'.\n\n" + kUsage; }
std::string BadLog(const std::string& why) { return "Unable to open log file $D/" + why + "\n\n" + kUsage; }

std::string NotFound(const std::string& name) { return "File '$D/" + name + "' not found.\n"; }

// The run's summary when both maps are missing.
std::string AllMissing(const std::string& a, const std::string& b) {
  return "\n2 maps: 0 rewritten, 0 already compact, 2 failed. Planes: 0 before, 0 after. Bytes: 0 before, 0 after, in the 0 maps handled.\n"
         "Failed: $D/" + a + ": " + NotFound(a) + "Failed: $D/" + b + ": " + NotFound(b);
}

// Replaces every "$D" with dir as the tool sees it, links resolved (and on
// wine's drive Z: for a Windows exe).
std::string Expand(std::string text, const std::string& scratch) {
  std::string dir = ToolDir(std::filesystem::canonical(scratch).string());
  for (size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir);
  return text;
}

std::string CurrentDir() {
  std::vector<char> buf(4096);
  if (!getcwd(buf.data(), buf.size())) throw std::runtime_error("getcwd failed");
  return buf.data();
}

// Runs the rest of a test in dir and returns to the old directory afterwards.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : old_(CurrentDir()) {
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed");
  }
  ~InDirectory() { (void)!chdir(old_.c_str()); }

 private:
  std::string old_;
};

// None of these runs has a map to load, so none may leave a file behind.
TEST(DriverTest, ArgumentsGiveExactConsoleOutputAndStatus) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // "$D" stands for the working directory
    int status;
  };
  const Case cases[] = {
      // Standard input is not a terminal here: there is never a pause.
      {{}, kBanner + kNoMap + kUsage, 0},
      {{"-nopause"}, kBanner + kNoMap + kUsage, 0},
      {{"start"}, kBanner + NotFound("start.bsp"), 1},
      {{"-NOPAUSE", "start"}, kBanner + NotFound("start.bsp"), 1},
      {{"start", "-NoPause"}, kBanner + NotFound("start.bsp"), 1},
      {{"maps.old/start", "-nopause"}, kBanner + NotFound("maps.old/start.bsp"), 1},
      {{"sub\\start.old", "-nopause"}, kBanner + NotFound(ToolIsWindowsExe() ? "sub/start.old" : "sub\\start.old"), 1},
      // A '\' separates folders on Windows only: elsewhere the dot is in the last name.
      {{"a.b\\start", "-nopause"}, kBanner + NotFound(ToolIsWindowsExe() ? "a.b/start.bsp" : "a.b\\start"), 1},
      {{"100%d/a", "-nopause"}, kBanner + NotFound("100%d/a.bsp"), 1},
      {{"/no/such/dir/a", "-nopause"}, kBanner + "File '/no/such/dir/a.bsp' not found.\n", 1},
      // Windows leaves a pattern that matches nothing as it was typed.
      {{"*.bsp"}, kBanner + (ToolIsWindowsExe() ? refusal::kErrorBanner + "No file matches *.bsp\n" : NotFound("*.bsp")), 1},
      // Several maps: each named before its own output, then the summary.
      {{"first", "second", "-nopause"},
       kBanner + "\n==== Map 1 of 2: $D/first.bsp\n" + NotFound("first.bsp") + "\n==== Map 2 of 2: $D/second.bsp\n" +
           NotFound("second.bsp") + AllMissing("first.bsp", "second.bsp"),
       1},
      {{"-nopause", "--", "-x", "--"},
       kBanner + "\n==== Map 1 of 2: $D/-x.bsp\n" + NotFound("-x.bsp") + "\n==== Map 2 of 2: $D/--.bsp\n" +
           NotFound("--.bsp") + AllMissing("-x.bsp", "--.bsp"),
       1},
      // One line per map, its failure's message included; no banner, no heading.
      {{"--QUIET", "--nopause", "a", "b"},
       "$D/a.bsp: failed: " + NotFound("a.bsp") + "$D/b.bsp: failed: " + NotFound("b.bsp") + AllMissing("a.bsp", "b.bsp"), 1},
      {{"-CHECK", "start"}, kBanner + NotFound("start.bsp"), 1},
      // The run ends while the arguments are read: no banner, no pause. (The
      // other refusals of the walk: ArgumentsParseIntoOptionsOrARefusal.)
      {{"-nopausex"}, Unknown("-nopausex"), 1},
      {{"-nopausex", "-json"}, "{\"error\":\"Unknown switch '-nopausex'.\"}\n", 1},
      // A missing -out folder is made only where its parent is, and only once nothing refuses the run.
      {{"-out", "no/ne", "start"}, "Unable to write to folder $D/no/ne: its parent folder $D/no does not exist\n", 1},
      {{"-out", "new", "-logfile", "new/run", "start"}, BadLog("new/run.log: No such file or directory"), 1},
      {{"-check", "-out", "new", "start"}, kBanner + NotFound("start.bsp"), 1},
      {{"-logfile", "missing/run", "start"}, BadLog("missing/run.log: No such file or directory"), 1},
      {{"start", "--HELP"}, kHelp, 0},
      {{"-h"}, kHelp, 0},
      {{"-?", "start"}, kHelp, 0},
      {{"-help"}, kHelp, 0},
      {{"start", "-Version"}, "flatcull 1.5.0\n", 0},
      {{"--version"}, "flatcull 1.5.0\n", 0},
  };
  for (const Case& c : cases) {
    std::string args;
    for (const auto& a : c.args) args += " " + a;
    SCOPED_TRACE("args:" + args);
    std::string dir = MakeTempDir();
    RunResult r = RunTool(c.args, dir, "\n");
    EXPECT_EQ(r.out, Expand(c.expected, dir));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
  }
}

// The walk of the arguments, in this process: the options it gives, or how
// it ends, with the refusal the tool prints before its usage block.
TEST(DriverTest, ArgumentsParseIntoOptionsOrARefusal) {
  const std::string dir = std::filesystem::canonical(MakeTempDir()).string();
  InDirectory in(dir);
  const std::string kLog = "Please specify a log file to use.\n\n";
  struct Case {
    std::vector<std::string> args;
    Walk walk;
    std::string refusal;
    std::vector<std::string> maps = {};  // "$D" stands for the working directory
    std::string flags = "";              // p: no pause, c: -check, q: -quiet
    std::string log = "", out = "";
  };
  const Case cases[] = {
      {{"-nopausex"}, Walk::kFail, "Unknown switch '-nopausex'.\n\n"},
      {{"start", "-verbose", "-nopause"}, Walk::kFail, "Unknown switch '-verbose'.\n\n", {"$D/start.bsp"}, "p"},
      {{"-"}, Walk::kFail, "Unknown switch '-'.\n\n"},
      {{"-logfile"}, Walk::kFail, kLog},
      {{"start", "-nopause", "-LOGFILE"}, Walk::kFail, kLog, {"$D/start.bsp"}, "p"},
      {{"--check", "--logfile"}, Walk::kFail, kLog, {}, "c"},
      {{"start", "--OUT"}, Walk::kFail, "Please specify a folder to write the maps to.\n\n", {"$D/start.bsp"}},
      // The first switch that ends the run decides how.
      {{"-x", "-help", "-logfile"}, Walk::kFail, "Unknown switch '-x'.\n\n"},
      {{"-version", "-x", "-?"}, Walk::kVersion, ""},
      {{"-?", "start", "--Version"}, Walk::kHelp, "", {"$D/start.bsp"}},
      {{"-NoPause", "--check", "-QUIET", "--logfile=run", "-out", "o", "a", "b.old"}, Walk::kRun, "",
       {"$D/a.bsp", "$D/b.old"}, "pcq", "$D/run.log", "$D/o"},
      {{"-logfile", "-nopause", "--out=", "--", "-check", "--"}, Walk::kRun, "", {"$D/-check.bsp", "$D/--.bsp"}, "",
       "$D/-nopause.log", "$D/"},
  };
  for (const Case& c : cases) {
    std::string args;
    for (const auto& a : c.args) args += " " + a;
    SCOPED_TRACE("args:" + args);
    const auto expand = [&](std::string text) {
      for (size_t at; (at = text.find("$D")) != std::string::npos;) text.replace(at, 2, dir);
      return text;
    };
    Parsed parsed = ParseArguments(c.args);
    EXPECT_EQ(parsed.walk, c.walk);
    EXPECT_EQ(parsed.refusal, c.refusal);
    std::vector<std::string> maps;
    for (const auto& m : c.maps) maps.push_back(expand(m));
    EXPECT_EQ(parsed.options.maps, maps);
    std::string flags = std::string(parsed.options.pause ? "" : "p") + (parsed.options.check ? "c" : "") +
                        (parsed.options.quiet ? "q" : "");
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(parsed.options.log_name, expand(c.log));
    EXPECT_EQ(parsed.options.out_dir, expand(c.out));
  }
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
}

// The log gets exactly what the console shows from the moment it is opened,
// after whatever it already held.
TEST(DriverTest, LogFileReceivesConsoleOutputAppended) {
  struct Case {
    std::vector<std::string> args;
    std::string log;      // file name in the working directory
    std::string earlier;  // content the log holds before the run
    std::string expected;
    int status;
    size_t logged = std::string::npos;     // how much of the console output the log gets
    std::function<void()> hook = nullptr;  // runs in the tool's process before it starts
  };
  const Case cases[] = {
      {{"-logfile", "run", "start"}, "run.log", "", kBanner + NotFound("start.bsp"), 1},
      {{"start", "-LogFile", "run"}, "run.log", "earlier run\n", kBanner + NotFound("start.bsp"), 1},
      {{"-nopause", "-logfile", "out.txt"}, "out.txt", "x", kBanner + kNoMap + kUsage, 0},
      // The name after -logfile is taken as it stands, even like a switch.
      {{"-logfile", "-nopause", "start"}, "-nopause.log", "", kBanner + NotFound("start.bsp"), 1},
      // A second -logfile without a name still reports to the first log.
      {{"-logfile", "first", "-logfile"}, "first.log", "", "Please specify a log file to use.\n\n" + kUsage, 1},
      // Refused before a byte is logged: a map, by any name, or a FIFO (no wait); a log that fills up fails the run.
      {{"-logfile", "m.bsp", "-check", "m.bsp"}, "m.bsp", "map\n", BadLog("m.bsp: it is the map $D/m.bsp"), 1, 0},
      {{"-logfile", "b.bsp", "a", "./b"}, "b.bsp", "map\n", BadLog("b.bsp: it is the map $D/b.bsp"), 1, 0},
      {{"-logfile", "m.bsp", "-help", "m.bsp"}, "m.bsp", "map\n", BadLog("m.bsp: it is the map $D/m.bsp"), 1, 0},
      {{"-logfile", "f"}, "f.log", "", BadLog("f.log: not a regular file"), 1, 0, [] { mkfifo("f.log", 0600); }},
      {{"-check", "-logfile", "run"}, "run.log", std::string(4000, '.'), "\n\nTessavar by Orlwen, v1.5 (" FLATCULL_BUILD_DATE ")\n"
       "\nError writing log file $D/run.log: File too large\nBased on code by Hollin Software\n" + kNoMap + kUsage, 1,
       10, [] { rlimit size{4010, 4010}; setrlimit(RLIMIT_FSIZE, &size); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("log " + c.log);
    if (c.hook && ToolCommand().size() > 1) continue;  // the limits would be the runner's
    std::string dir = MakeTempDir(), log = dir + "/" + c.log;
    if (!c.earlier.empty()) WriteText(log, c.earlier);
    RunResult r = RunTool(c.args, dir, "", c.hook);
    EXPECT_EQ(r.out, Expand(c.expected, dir));
    EXPECT_EQ(r.status, c.status);
    ASSERT_EQ(ListDir(dir), std::vector<std::string>{c.log});
    EXPECT_EQ(std::filesystem::is_fifo(log) ? "" : ReadText(log), c.earlier + r.out.substr(0, c.logged));
  }
}

// b (a header, then 5 Mi planes of sparse zeros) fits under the limit, but not also compaction's index of its planes.
TEST(DriverTest, MapBeyondTheMemoryLimitFailsAlone) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit";
#endif
  if (ToolCommand().size() > 1) GTEST_SKIP() << "the limit would be the runner's";
  std::string dir = MakeTempDir(), b = Le32(kBspVersion) + std::string(8, '\0') + Le32(kHeaderSize) + Le32(100 << 20);
  for (std::string m : {"a", "b", "c"}) WriteFile(dir + "/" + m + ".bsp", m == "b" ? b : BuildSampleMap());
  std::filesystem::resize_file(dir + "/b.bsp", kHeaderSize + (100 << 20));
  RunResult r = RunTool({"-nopause", "-logfile", "run", "a", "b", "c"}, dir, "",
                        [] { rlimit memory{114 << 20, 114 << 20}; setrlimit(RLIMIT_AS, &memory); });
  std::string message = Expand("Error processing $D/b.bsp: not enough memory for a map of 104857724 bytes\n", dir);
  EXPECT_TRUE(r.status == 1 && r.out.find(message) != std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with(" 1 failed. Planes: 120 before, 44 after. Bytes: 16264 before, 14744 after, in the 2 maps handled.\nFailed: " +
                              Expand("$D/b.bsp: ", dir) + message));
  EXPECT_TRUE(ReadFile(dir + "/run.log") == r.out && ReadFile(dir + "/c.bsp") == BuildMap(SampleMapLumps(3, true)));
}

// The native rules: only a leading '/' makes a name absolute, and '\' and ':'
// are ordinary characters. (The Windows exe's rules: HostTest, under wine.)
TEST(PathsTest, FullNameKeepsAbsoluteNamesAndJoinsOthersWithSlash) {
  std::string dir = MakeTempDir();
  InDirectory in(dir);
  std::string cwd = CurrentDir();
  const std::string absolute[] = {"/data/a.bsp", "/", "/a\\b"};
  for (const auto& p : absolute) EXPECT_EQ(FullName(p), p);
  const std::string relative[] = {"", "a", ":a", "maps/a.bsp", "..\\a", "a/", "-logfile", "\\data\\a", "C:\\m", "x:"};
  for (const auto& p : relative) EXPECT_EQ(FullName(p), cwd + "/" + p) << "path '" << p << "'";
}

// Names are printed without "/./" or a doubled separator.
TEST(PathsTest, FullNameIsCleaned) {
  InDirectory in("/");
  const std::pair<std::string, std::string> cases[] = {
      {"a", "/a"}, {".", "/"}, {"//x/./y//z/.", "/x/y/z/"}, {"./.a/..", "/.a/.."}};
  for (const auto& [arg, want] : cases) EXPECT_EQ(FullName(arg), want) << arg;
  EXPECT_EQ(CleanName("//srv/share//m.bsp", true), "//srv/share/m.bsp");
}

TEST(PathsTest, BaseNameIsWhatFollowsTheLastSlash) {
  const std::pair<std::string, std::string> cases[] = {
      {"/maps/a.bsp", "a.bsp"}, {"/d\\x/m.bsp", "m.bsp"}, {"/d\\m.bsp", "d\\m.bsp"}, {"/C:m", "C:m"}, {"/d/", ""}};
  for (const auto& [full, want] : cases) EXPECT_EQ(BaseName(full), want) << full;
}

// Only a dot in the last name counts, and not one that begins the whole text.
TEST(PathsTest, AddDefaultExtensionAppendsOnlyWithoutExtension) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:/maps.old/start", "C:/maps.old/start.bsp"},
      {"C:/maps/start.BSP", "C:/maps/start.BSP"},
      {"map.old", "map.old"},
      {"a.", "a."},
      {".hidden", ".hidden.bsp"},
      {"dir/.hidden", "dir/.hidden"},
      {"a\\b.c\\d", "a\\b.c\\d"},  // one name: '\' separates nothing here
      {"dir/", "dir/.bsp"},
      {"a", "a.bsp"},
      {"", ".bsp"},
  };
  for (auto [in, want] : cases) {
    SCOPED_TRACE("path '" + in + "'");
    AddDefaultExtension(in, ".bsp");
    EXPECT_EQ(in, want);
  }
}

TEST(PathsTest, LongNamesAreNotCut) {
  std::string dir = MakeTempDir();
  InDirectory in(dir);
  std::string longname(5000, 'n');
  EXPECT_EQ(FullName("/" + longname), "/" + longname);
  std::string name = FullName(longname);
  AddDefaultExtension(name, ".log");
  EXPECT_EQ(name, CurrentDir() + "/" + longname + ".log");
}

}  // namespace
