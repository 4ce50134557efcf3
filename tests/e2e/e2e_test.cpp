// The real executables as processes: the host tool, and ticklow.exe under
// Wine where the build names one. Exact bytes, exit status, silence on
// standard error, and the counter's value against the clock it reads.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "counter/counter.hpp"
#include "expected_output.hpp"
#include "process.hpp"

namespace ticklow::testing {
namespace {

namespace fs = std::filesystem;

struct Target {
  char const* name;
  std::vector<std::string> launcher;  // what runs the executable: nothing, or Wine
  char const* executable;
};

void PrintTo(Target const& target, std::ostream* out) { *out << target.name; }

std::vector<Target> WindowsTargets() {
  if (std::string_view{TICKLOW_WIN32_EXE}.empty()) {
    return {};
  }
  return {{"Win32", {TICKLOW_WINE}, TICKLOW_WIN32_EXE}};
}

std::vector<Target> Targets() {
  std::vector<Target> targets{{"Host", {}, TICKLOW_HOST_EXE}};
  for (Target const& target : WindowsTargets()) {
    targets.push_back(target);
  }
  return targets;
}

std::uint64_t ReadCounterNow() {
  CounterValue const value = ReadCounter();
  return (std::uint64_t{value.high} << 32) | value.low;
}

fs::path MakeTempDirectory(std::string const& name) {
  fs::path directory = fs::path{::testing::TempDir()} / ("ticklow e2e " + name);
  fs::remove_all(directory);
  fs::create_directories(directory);
  return directory;
}

class EndToEnd : public ::testing::TestWithParam<Target> {
 protected:
  [[nodiscard]] static RunResult RunTool(std::vector<std::string> const& arguments,
                                         RunOptions const& options = {},
                                         std::string const& executable = "") {
    std::vector<std::string> argv = GetParam().launcher;
    argv.emplace_back(executable.empty() ? GetParam().executable : executable);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProcess(argv, options);
  }

  // A copy of the executable under another name, for runs that care where it lives.
  static fs::path CopyInto(fs::path const& directory) {
    fs::path copy = directory / fs::path{GetParam().executable}.filename();
    fs::copy_file(GetParam().executable, copy, fs::copy_options::overwrite_existing);
    return copy;
  }
};

std::string TargetName(::testing::TestParamInfo<Target> const& info) { return info.param.name; }

struct OutputCase {
  std::vector<std::string> arguments;
  std::string_view expected;  // empty: a counter line
  unsigned bits;
};

std::vector<OutputCase> const& OutputCases() {
  static std::vector<OutputCase> const cases{
      {{}, EXPECTED_USAGE, 0},
      {{""}, EXPECTED_BAD_ARGUMENT, 0},
      {{"65"}, EXPECTED_BAD_ARGUMENT, 0},
      {{"100"}, EXPECTED_BAD_ARGUMENT, 0},
      {{"x"}, EXPECTED_BAD_ARGUMENT, 0},
      {{"-1"}, EXPECTED_BAD_ARGUMENT, 0},
      {{"\"31\""}, EXPECTED_BAD_ARGUMENT, 0},
      {{"3 1"}, EXPECTED_BAD_ARGUMENT, 0},
      {{"0"}, "0\r\n", 0},
      {{"1"}, "", 1},
      {{"16"}, "", 16},
      {{"31"}, "", 31},
      {{"32"}, "", 32},
      {{"33"}, "", 33},
      {{"064"}, "", 64},
      {{"31", "65", "x"}, "", 31},
  };
  return cases;
}

TEST_P(EndToEnd, WritesEachOutputExactlyAndExitsWithOne) {
  for (OutputCase const& outputCase : OutputCases()) {
    SCOPED_TRACE(::testing::PrintToString(outputCase.arguments));
    RunResult const result = RunTool(outputCase.arguments);
    if (outputCase.expected.empty()) {
      EXPECT_TRUE(IsCounterLine(result.out, outputCase.bits));
    } else {
      EXPECT_EQ(result.out, outputCase.expected);
    }
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "");
  }
}

TEST_P(EndToEnd, AFailedWriteExitsWithZero) {
  for (std::vector<std::string> const& arguments :
       {std::vector<std::string>{"31"}, std::vector<std::string>{},
        std::vector<std::string>{"x"}}) {
    RunOptions options;
    options.stdoutPath = "/dev/full";
    RunResult const result = RunTool(arguments, options);
    EXPECT_EQ(result.exitCode, 0) << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.err, "");
  }
}

TEST_P(EndToEnd, SixtyFourBitsAreTheCounterBetweenTwoReadings) {
  std::uint64_t const before = ReadCounterNow();
  RunResult const result = RunTool({"64"});
  std::uint64_t const after = ReadCounterNow();
  std::uint64_t value = 0;
  ASSERT_TRUE(IsCounterLine(result.out, 64, &value));
  EXPECT_LE(before, value);
  EXPECT_LE(value, after);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "");
}

TEST_P(EndToEnd, RunsFromAPathWithASpace) {
  fs::path const copy = CopyInto(MakeTempDirectory(std::string{GetParam().name} + " path"));
  RunResult const counted = RunTool({"31"}, {}, copy.string());
  EXPECT_TRUE(IsCounterLine(counted.out, 31));
  EXPECT_EQ(counted.exitCode, 1);
  RunResult const usage = RunTool({}, {}, copy.string());
  EXPECT_EQ(usage.out, EXPECTED_USAGE);
  EXPECT_EQ(usage.exitCode, 1);
  EXPECT_EQ(counted.err + usage.err, "");
}

INSTANTIATE_TEST_SUITE_P(Executables, EndToEnd, ::testing::ValuesIn(Targets()), TargetName);

class WindowsEndToEnd : public EndToEnd {};

// What a batch script does with the tool: capture a 16-bit value with for /f.
TEST_P(WindowsEndToEnd, ABatchFileCapturesTheValueWithForF) {
  fs::path const directory = MakeTempDirectory("batch");
  CopyInto(directory);
  std::ofstream{directory / "capture.bat", std::ios::binary}
      << "@echo off\r\n"
         "for /f %%t in ('ticklow 16') do set T=%%t\r\n"
         "if %T% LSS 65536 echo value %T%\r\n";
  RunOptions options;
  options.workingDirectory = directory.string();
  RunResult const result = RunProcess({TICKLOW_WINE, "cmd", "/c", "capture.bat"}, options);
  ASSERT_TRUE(result.out.starts_with("value ")) << result.out;
  EXPECT_TRUE(IsCounterLine(result.out.substr(6), 16));
  EXPECT_EQ(result.err, "");
}

// A build without a Windows executable has no cases here.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WindowsEndToEnd);
INSTANTIATE_TEST_SUITE_P(Executables, WindowsEndToEnd, ::testing::ValuesIn(WindowsTargets()),
                         TargetName);

RunResult RunHost(std::vector<std::string> argv, RunOptions const& options = {}) {
  argv.insert(argv.begin(), TICKLOW_HOST_EXE);
  return RunProcess(argv, options);
}

// A short write must not pass for a whole one: with the file limited to five
// bytes the rest cannot follow, and the run has failed.
TEST(HostEndToEnd, AShortWriteIsAFailure) {
  fs::path const file = MakeTempDirectory("short") / "out";
  RunOptions options;
  options.stdoutPath = file.string();
  options.fileSizeLimit = 5;
  RunResult const result = RunHost({"x"}, options);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.termSignal, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(fs::file_size(file), 5U);
}

TEST(HostEndToEnd, ACommandLineOverTheWindowsLimitIsABadArgument) {
  RunResult const result = RunHost({std::string(40'000, '0') + "31"});
  EXPECT_EQ(result.out, EXPECTED_BAD_ARGUMENT);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace ticklow::testing
