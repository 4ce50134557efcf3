#pragma once

// The executables under test and the fixture that runs them: the host tool
// directly, and ticklow.exe under Wine where the build names one.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "counter/counter.hpp"
#include "e2e/process.hpp"
#include "expected_output.hpp"

namespace ticklow::testing {

namespace fs = std::filesystem;

struct Target {
  char const* name;
  std::vector<std::string> launcher;  // what runs the executable: nothing, or Wine
  char const* executable;
};

inline void PrintTo(Target const& target, std::ostream* out) { *out << target.name; }

inline std::vector<Target> WindowsTargets() {
  if (std::string_view{TICKLOW_WIN32_EXE}.empty()) {
    return {};
  }
  return {{"Win32", {TICKLOW_WINE}, TICKLOW_WIN32_EXE}};
}

inline std::vector<Target> Targets() {
  std::vector<Target> targets{{"Host", {}, TICKLOW_HOST_EXE}};
  for (Target const& target : WindowsTargets()) {
    targets.push_back(target);
  }
  return targets;
}

inline std::uint64_t ReadCounterNow() {
  CounterValue const value = ReadCounter();
  return (std::uint64_t{value.high} << 32) | value.low;
}

inline fs::path MakeTempDirectory(std::string const& name) {
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

// The host tool with these arguments, outside the parameterised suites.
inline RunResult RunHost(std::vector<std::string> arguments, RunOptions const& options = {}) {
  arguments.insert(arguments.begin(), TICKLOW_HOST_EXE);
  return RunProcess(arguments, options);
}

// A run that wrote its output: exactly expected, or a counter line for bits
// when expected is empty; exit status 1 and nothing on standard error.
inline void ExpectWritten(RunResult const& result, std::string_view expected, unsigned bits) {
  if (expected.empty()) {
    EXPECT_TRUE(IsCounterLine(result.out, bits));
  } else {
    EXPECT_EQ(result.out, expected);
  }
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "");
}

inline std::string TargetName(::testing::TestParamInfo<Target> const& info) {
  return info.param.name;
}

}  // namespace ticklow::testing
