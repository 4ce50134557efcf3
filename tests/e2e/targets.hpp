#pragma once

// The executables under test and the fixture that runs them: this tree's
// tool, and ticklow.exe on the CPU emulator and under Wine where the build
// names one.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/process.hpp"
#include "expected_output.hpp"

namespace ticklow::testing {

namespace fs = std::filesystem;

// How a target's executable is started.
enum class Runner {
  Native,    // directly, or under qemu-user in a tree for another processor
  Wine,      // ticklow.exe under Wine, where the host runs it
  Emulator,  // ticklow.exe on the CPU emulator, on every host
};

struct Target {
  char const* name;
  Runner runner;
  std::vector<std::string> launcher;  // what starts the executable, if anything
  char const* executable;
  // How many runs in a row the monotonic test makes. Fewer under qemu-user,
  // where every run starts a whole emulator.
  int runsInARow;
};

inline void PrintTo(Target const& target, std::ostream* out) { *out << target.name; }

// The tool of this tree, as it is started from the tests.
inline Target HostTarget() {
  std::string_view const qemu{TICKLOW_HOST_LAUNCHER};
  if (qemu.empty()) {
    return {"Host", Runner::Native, {}, TICKLOW_HOST_EXE, 2'000};
  }
  return {"Host", Runner::Native, {std::string{qemu}}, TICKLOW_HOST_EXE, 200};
}

// The Windows executable under test: the build's own, or another build of it
// that TICKLOW_WIN32_EXE names, such as a signed copy.
inline char const* Win32Executable() {
  char const* const chosen = std::getenv("TICKLOW_WIN32_EXE");
  return chosen != nullptr && *chosen != '\0' ? chosen : TICKLOW_WIN32_EXE;
}

inline std::vector<Target> WindowsTargets() {
  char const* const exe = Win32Executable();
  std::vector<Target> targets;
  if (!std::string_view{TICKLOW_WINE}.empty()) {
    targets.push_back({"Win32", Runner::Wine, {TICKLOW_WINE}, exe, 2'000});
  }
  if (!std::string_view{TICKLOW_EMULATOR}.empty()) {
    targets.push_back({"Emulated", Runner::Emulator, {TICKLOW_EMULATOR}, exe, 2'000});
    // Loaded elsewhere, as ASLR would, one base above 2 GiB: Wine always uses
    // the preferred base, so only these runs prove the relocation table whole.
    for (auto const& [name, base] : {std::pair{"EmulatedAt10000000", "0x10000000"},
                                     std::pair{"EmulatedAtA0000000", "0xA0000000"}}) {
      targets.push_back({name, Runner::Emulator, {TICKLOW_EMULATOR, "--base", base}, exe, 2'000});
    }
  }
  return targets;
}

inline std::vector<Target> Targets() {
  std::vector<Target> targets{HostTarget()};
  for (Target const& target : WindowsTargets()) {
    targets.push_back(target);
  }
  return targets;
}

inline fs::path MakeTempDirectory(std::string const& name) {
  fs::path directory = fs::path{::testing::TempDir()} / ("ticklow e2e " + name);
  fs::remove_all(directory);
  fs::create_directories(directory);
  return directory;
}

// Runs executable (the target's own when empty) with these arguments.
inline RunResult RunTarget(Target const& target, std::vector<std::string> const& arguments,
                           RunOptions const& options = {}, std::string const& executable = "") {
  std::vector<std::string> argv = target.launcher;
  argv.emplace_back(executable.empty() ? target.executable : executable);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv, options);
}

class EndToEnd : public ::testing::TestWithParam<Target> {
 protected:
  [[nodiscard]] static RunResult RunTool(std::vector<std::string> const& arguments,
                                         RunOptions const& options = {},
                                         std::string const& executable = "") {
    return RunTarget(GetParam(), arguments, options, executable);
  }

  // A copy of the executable in directory, for runs that care where it lives,
  // under the name a user runs it by (ticklow or ticklow.exe) whatever the
  // file under test is called: a signed copy may be signed.exe.
  static fs::path CopyInto(fs::path const& directory) {
    fs::path copy = directory / "ticklow";
    copy.replace_extension(fs::path{GetParam().executable}.extension());
    fs::copy_file(GetParam().executable, copy, fs::copy_options::overwrite_existing);
    return copy;
  }
};

// The host tool with these arguments, outside the parameterised suites.
inline RunResult RunHost(std::vector<std::string> const& arguments,
                         RunOptions const& options = {}) {
  return RunTarget(HostTarget(), arguments, options);
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
