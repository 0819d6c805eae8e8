// common_test.cpp: message output to the console and the log, fatal errors,
// and whole-file reading.
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/fileio.h"
#include "testutil.h"

namespace {

const std::string kErrorBanner = "\n************ ERROR ************\n";

// A scratch directory removed by this object, not at exit: a death-test child
// inherits the exit handler behind MakeTempDir and would remove that
// directory, with the output it wrote, before the parent could read it.
struct Scratch {
  std::string path;
  Scratch() {
    path = (std::filesystem::temp_directory_path() / "flatcull-common-XXXXXX").string();
    if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

std::string Drain(FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) text.append(buf, n);
  return text;
}

// Runs body in a child process with standard output and the log sent to
// files, and expects it to end with status 1 leaving expected in both.
void ExpectFatal(const std::function<void()>& body, const std::string& expected) {
  Scratch s;
  std::string out = s.path + "/out", log = s.path + "/log";
  EXPECT_EXIT(
      {
        if (!std::freopen(out.c_str(), "w", stdout)) std::_Exit(99);
        LogFile = std::fopen(log.c_str(), "w");
        body();
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(ReadFile(out), expected);
  EXPECT_EQ(ReadFile(log), expected);
}

TEST(ConsoleTest, TeePrintWritesSameBytesToConsoleAndLog) {
  static const std::string x(2000, 'x');
  struct Case {
    const char* name;
    std::function<void()> print;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", [] { TeePrint("\nOptimized!\n"); }, "\nOptimized!\n"},
      {"integer", [] { TeePrint("Planes in map: %i\n", 42); }, "Planes in map: 42\n"},
      {"percent from format", [] { TeePrint("%5.1f%%\n", 12.34); }, " 12.3%\n"},
      {"percent from value", [] { TeePrint("%s", "100%d %s %%"); }, "100%d %s %%"},
      {"empty", [] { TeePrint("%s", ""); }, ""},
      {"1023 kept", [] { TeePrint("%s", x.substr(0, 1023).c_str()); }, x.substr(0, 1023)},
      {"1024 cut", [] { TeePrint("%s", x.substr(0, 1024).c_str()); }, x.substr(0, 1023)},
      {"2000 cut", [] { TeePrint("ab%s\n", x.c_str()); }, "ab" + x.substr(0, 1021)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogFile = std::tmpfile();
    ASSERT_NE(LogFile, nullptr);
    testing::internal::CaptureStdout();
    c.print();
    std::string out = testing::internal::GetCapturedStdout();
    std::string log = Drain(LogFile);
    std::fclose(LogFile);
    LogFile = nullptr;
    EXPECT_EQ(out, c.expected);
    EXPECT_EQ(log, c.expected);
  }
}

TEST(ConsoleTest, TeePrintWithoutLogWritesConsoleOnly) {
  LogFile = nullptr;
  testing::internal::CaptureStdout();
  TeePrint("File '%s' not found.", "/m/a.bsp");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "File '/m/a.bsp' not found.");
}

// Each message is on the console before anything else happens, so output
// that a later crash or hang follows is not lost.
TEST(ConsoleDeathTest, TeePrintFlushesStandardOutput) {
  Scratch s;
  std::string out = s.path + "/out";
  EXPECT_EXIT(
      {
        if (!std::freopen(out.c_str(), "w", stdout)) std::_Exit(99);
        TeePrint("kept %d", 1);
        std::_Exit(3);
      },
      testing::ExitedWithCode(3), "");
  EXPECT_EQ(ReadFile(out), "kept 1");
}

TEST(ConsoleDeathTest, FatalErrorFramesMessageAndExitsWithStatusOne) {
  const std::string y(2000, 'y');
  ExpectFatal([] { FatalError("%s is version %i, not %i", "/m/a.bsp", 29, 30); },
              kErrorBanner + "/m/a.bsp is version 29, not 30\n");
  ExpectFatal([] { FatalError("Error opening %s: %s", "C:/100%d/a.bsp", "%s"); },
              kErrorBanner + "Error opening C:/100%d/a.bsp: %s\n");
  ExpectFatal([&] { FatalError("%s", y.c_str()); }, kErrorBanner + y.substr(0, 1023) + "\n");
  // Output already written stays ahead of the error in the log.
  ExpectFatal(
      [] {
        TeePrint("\nPlanes in map: %i\n", 3);
        FatalError("File read failure");
      },
      "\nPlanes in map: 3\n" + kErrorBanner + "File read failure\n");
}

// The byte after the file's last byte is always zero, an empty file included.
TEST(FileIoTest, ReadWholeFileReturnsBytesAndTrailingZero) {
  Scratch s;
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 256);
  const std::string contents[] = {"", "a", std::string("\0\x01\xff\0", 4), big};
  for (const std::string& bytes : contents) {
    SCOPED_TRACE("length " + std::to_string(bytes.size()));
    std::string path = s.path + "/f" + std::to_string(bytes.size());
    WriteFile(path, bytes);
    FileImage image = ReadWholeFile(path.c_str());
    ASSERT_EQ(image.length, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data.get()), bytes.size()), bytes);
    EXPECT_EQ(image.data[bytes.size()], 0);
  }
}

TEST(FileIoDeathTest, ReadWholeFileRefusesMissingFileAndDirectory) {
  Scratch s;
  std::string missing = s.path + "/100%d.bsp";
  ExpectFatal([&] { ReadWholeFile(missing.c_str()); },
              kErrorBanner + "Error opening " + missing + ": " + std::strerror(ENOENT) + "\n");
  ExpectFatal([&] { ReadWholeFile(s.path.c_str()); },
              kErrorBanner + "Error opening " + s.path + ": " + std::strerror(EISDIR) + "\n");
}

}  // namespace
