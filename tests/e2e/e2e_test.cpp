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

#include "e2e/targets.hpp"
#include "expected_output.hpp"
#include "reference/counter_reference.hpp"

namespace ticklow::testing {
namespace {

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
    ExpectWritten(result, outputCase.expected, outputCase.bits);
  }
}

// For every n, the value is the processor's count modulo 2^n at a moment
// between two readings the test makes itself, with no code of the tool.
TEST_P(EndToEnd, EachCountIsTheCountModuloTwoToTheNBetweenTwoReadings) {
  for (unsigned n = 0; n <= 64; ++n) {
    std::uint64_t const before = CountNow(GetParam());
    RunResult const result = RunTool({std::to_string(n)});
    std::uint64_t const after = CountNow(GetParam());
    std::uint64_t value = 0;
    // The whole run, so that a lost line says how the run ended.
    ASSERT_TRUE(IsCounterLine(result.out, n, &value))
        << "n = " << n << ", exit status " << result.exitCode << ", signal " << result.termSignal
        << ", standard error " << ::testing::PrintToString(result.err);
    EXPECT_TRUE(IsBracketed(value, n, before, after)) << "n = " << n;
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "");
  }
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

// What a batch script does with the tool: capture a 16-bit value with for /f,
// in Windows' own cmd or Wine's.
TEST_P(WindowsEndToEnd, ABatchFileCapturesTheValueWithForF) {
  if (GetParam().runner == Runner::Emulator) {
    GTEST_SKIP() << "cmd /c needs Wine itself; the emulator runs ticklow.exe alone";
  }
  fs::path const directory = MakeTempDirectory(GetParam().name + " batch");
  CopyInto(directory);
  std::ofstream{directory / "capture.bat", std::ios::binary}
      << "@echo off\r\n"
         "for /f %%t in ('ticklow 16') do set T=%%t\r\n"
         "if %T% LSS 65536 echo value %T%\r\n";
  RunOptions options;
  options.workingDirectory = directory.string();
  std::vector<std::string> command = GetParam().launcher;
  command.insert(command.end(), {"cmd", "/c", "capture.bat"});
  RunResult const result = RunProcess(command, options);
  ASSERT_TRUE(result.out.starts_with("value ")) << result.out;
  EXPECT_TRUE(IsCounterLine(result.out.substr(6), 16));
  EXPECT_EQ(result.err, "");
}

// A build without a Windows executable has no cases here.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WindowsEndToEnd);
INSTANTIATE_TEST_SUITE_P(Executables, WindowsEndToEnd, ::testing::ValuesIn(WindowsTargets()),
                         TargetName);

#if !defined(_WIN32)
// A short write must not pass for a whole one: with the file limited to five
// bytes the rest cannot follow, and the run has failed.
TEST(HostEndToEnd, AShortWriteIsAFailure) {
  fs::path const file = MakeTempDirectory("short") / "out";
  RunOptions options;
  options.output = Output::File;
  options.stdoutPath = file.string();
  options.fileSizeLimit = 5;
  RunResult const result = RunHost({"x"}, options);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.termSignal, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(fs::file_size(file), 5U);
}
#endif

}  // namespace
}  // namespace ticklow::testing
