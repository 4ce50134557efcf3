#pragma once

// The executables under test and the fixture that runs them: this tree's
// tool, and each Windows executable the build names, on the CPU emulator and
// under Wine where the host runs it.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/process.hpp"
#include "expected_output.hpp"
#include "reference/counter_reference.hpp"

namespace ticklow::testing {

namespace fs = std::filesystem;

// How a target's executable is started.
enum class Runner {
  Native,    // directly, or under qemu-user in a tree for another processor
  Wine,      // a Windows executable under Wine (32- or 64-bit), where the host runs it
  Emulator,  // a Windows executable on the CPU emulator, on every host
};

// The clock a target's counter keeps: the processor's own (the time-stamp
// counter, or on AArch64 the virtual count), or, for ARM64 code on the CPU
// emulator, Unicorn's virtual count, which is the host's monotonic clock at
// QEMU's 62.5 MHz.
enum class Counter { Processor, Monotonic62500kHz };

struct Target {
  std::string name;
  Runner runner;
  std::vector<std::string> launcher;  // what starts the executable, if anything
  char const* executable;
  // How many runs in a row the monotonic test makes. Fewer under qemu-user,
  // where every run starts a whole emulator.
  int runsInARow;
  Counter counter = Counter::Processor;
  // Under Wine: ticklow_launch.exe built for the same processor, which starts
  // the executable with exact command lines and chosen handles.
  char const* windowsLauncher = "";
};

inline void PrintTo(Target const& target, std::ostream* out) { *out << target.name; }

// The count the target's counter shows now, read without any of the tool's code.
inline std::uint64_t CountNow(Counter counter) {
  if (counter == Counter::Monotonic62500kHz) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U +
            static_cast<std::uint64_t>(now.tv_nsec)) /
           16;
  }
  return ReferenceCount();
}

// The tool of this tree, as it is started from the tests.
inline Target HostTarget() {
  std::string_view const qemu{TICKLOW_HOST_LAUNCHER};
  if (qemu.empty()) {
    return {"Host", Runner::Native, {}, TICKLOW_HOST_EXE, 2'000};
  }
  return {"Host", Runner::Native, {std::string{qemu}}, TICKLOW_HOST_EXE, 200};
}

// A Windows executable under test: the build's own, or another build of it
// that the environment variable of the same name gives, such as a signed copy.
inline char const* Chosen(char const* variable, char const* built) {
  char const* const chosen = std::getenv(variable);
  return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

// One Windows build and the ways this host runs it.
struct WindowsBuild {
  char const* wineName;      // the target under Wine
  char const* emulatedName;  // and on the emulator; "<name>At<base>" elsewhere
  char const* executable;
  char const* wine;  // empty: not run under Wine here
  char const* launcher;
  char const* otherBases[2];  // where ASLR might put it instead; empty for none
  Counter counter;
};

inline void AddTargets(WindowsBuild const& build, std::vector<Target>& targets) {
  if (*build.executable == '\0') {
    return;
  }
  if (*build.wine != '\0') {
    targets.push_back({build.wineName,
                       Runner::Wine,
                       {build.wine},
                       build.executable,
                       2'000,
                       build.counter,
                       build.launcher});
  }
  if (std::string_view{TICKLOW_EMULATOR}.empty()) {
    return;
  }
  targets.push_back({build.emulatedName,
                     Runner::Emulator,
                     {TICKLOW_EMULATOR},
                     build.executable,
                     2'000,
                     build.counter});
  for (char const* base : build.otherBases) {
    if (base != nullptr && *base != '\0') {
      targets.push_back({std::string{build.emulatedName} + "At" + (base + 2),
                         Runner::Emulator,
                         {TICKLOW_EMULATOR, "--base", base},
                         build.executable,
                         2'000,
                         build.counter});
    }
  }
}

// Each Windows executable the build names: 32-bit x86 under Wine where the
// host runs it, x64 under 64-bit Wine, and all three on the CPU emulator. Wine
// always uses the preferred base, so only the emulated runs elsewhere prove an
// image movable: the 32-bit one at two bases below 4 GiB, one of them above
// 2 GiB, and the 64-bit ones at a base above 4 GiB, as high-entropy ASLR
// would place them.
inline std::vector<Target> WindowsTargets() {
  std::vector<Target> targets;
  AddTargets({"Win32",
              "Emulated",
              Chosen("TICKLOW_WIN32_EXE", TICKLOW_WIN32_EXE),
              TICKLOW_WINE,
              TICKLOW_WIN32_LAUNCHER,
              {"0x10000000", "0xA0000000"},
              Counter::Processor},
             targets);
  AddTargets({"Win64",
              "EmulatedX64",
              Chosen("TICKLOW_WIN64_EXE", TICKLOW_WIN64_EXE),
              TICKLOW_WINE64,
              TICKLOW_WIN64_LAUNCHER,
              {"0x7FF6A0000000", ""},
              Counter::Processor},
             targets);
  AddTargets({"",
              "EmulatedArm64",
              Chosen("TICKLOW_WINARM64_EXE", TICKLOW_WINARM64_EXE),
              "",
              "",
              {"0x7FF6A0000000", ""},
              Counter::Monotonic62500kHz},
             targets);
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
