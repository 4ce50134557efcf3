#pragma once

// The executables under test and the fixture that runs them: this tree's
// tool, and each Windows executable the build names, on the CPU emulator and
// under its Wine where the host runs it. Built as a Windows program, the
// Windows-native suite: each ticklow.exe the machine runs, started directly.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <sstream>
#endif

#include "e2e/process.hpp"
#include "expected_output.hpp"
#include "reference/counter_reference.hpp"

namespace ticklow::testing {

namespace fs = std::filesystem;

// How a target's executable is started.
enum class Runner {
  Native,    // directly, or under qemu-user in a tree for another processor
  Wine,      // a Windows executable under its Wine, where the host runs it
  Emulator,  // a Windows executable on the CPU emulator, on every host
};

// The clock a target's counter keeps: the processor's own (the time-stamp
// counter, or on AArch64 the virtual count), or one that QEMU's ARM64
// processor shows at its 62.5 MHz: on the CPU emulator, Unicorn's, the host's
// monotonic clock; under qemu-user, the host's real-time clock, to the
// microsecond; or the ARM64 count as the launcher beside the suite reads it,
// for a suite that runs under x64 emulation on ARM64 Windows.
enum class Counter { Processor, Monotonic62500kHz, Realtime62500kHz, FromLauncher };

struct Target {
  std::string name;
  Runner runner;
  std::vector<std::string> launcher;  // what starts the executable, if anything
  std::string executable;
  // How many runs in a row the monotonic test makes. Fewer under qemu-user,
  // where every run starts a whole emulator.
  int runsInARow;
  Counter counter = Counter::Processor;
  // Under Wine: ticklow_launch.exe built for the same processor, which starts
  // the executable with exact command lines and chosen handles; natively, the
  // one that reads the counter where Counter::FromLauncher says so.
  std::string windowsLauncher{};  // NOLINT(readability-redundant-string-init): -Wextra asks for it
  // Where this host has no such Wine: why, and each case skips with it.
  std::string skipped{};  // NOLINT(readability-redundant-string-init): -Wextra asks for it
};

inline void PrintTo(Target const& target, std::ostream* out) { *out << target.name; }

// The count the target's counter shows now, read without any of the tool's code.
inline std::uint64_t CountNow(Counter counter) {
  if (counter != Counter::Processor) {
    timespec now{};
    clock_gettime(counter == Counter::Monotonic62500kHz ? CLOCK_MONOTONIC : CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U +
            static_cast<std::uint64_t>(now.tv_nsec)) /
           16;
  }
  return ReferenceCount();
}

inline std::uint64_t CountNow(Target const& target) {
  if (target.counter != Counter::FromLauncher) {
    return CountNow(target.counter);
  }
  return std::stoull(RunProcess({target.windowsLauncher, "count"}).out, nullptr, 16);
}

#if !defined(_WIN32)
// The tool of this tree, as it is started from the tests.
inline Target HostTarget() {
  std::string_view const qemu{TICKLOW_HOST_LAUNCHER};
  if (qemu.empty()) {
    return {"Host", Runner::Native, {}, TICKLOW_HOST_EXE, 2'000};
  }
  return {"Host", Runner::Native, {std::string{qemu}}, TICKLOW_HOST_EXE, 200};
}
#endif

// The build's executable, or another build of it that TICKLOW_<PRESET>_EXE
// names in the environment, such as a signed copy.
inline char const* Chosen(std::string_view preset, char const* built) {
  std::string variable{"TICKLOW_"};
  for (char const c : preset) {
    variable += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  char const* const chosen = std::getenv((variable + "_EXE").c_str());
  return chosen != nullptr && *chosen != '\0' ? chosen : built;
}

#if !defined(_WIN32)
// One Windows build of the project's list, as the host tree passes it: its
// preset, its executable, and where this host runs it under Wine, the script
// that does and the launcher built beside it (both empty elsewhere), or else
// why its Wine does not run here, in the words each of its cases skips with.
struct WindowsBuild {
  std::string_view preset;
  char const* executable;
  char const* wine;
  char const* launcher;
  char const* noWine;
};

// What the tests know of each build's processor: on the CPU emulator, the
// target's name there ("<name>At<base>" at another base), the bases ASLR
// might choose instead (empty for none), and the clock its counter keeps;
// under its Wine, that clock and the most runs in a row. Wine always uses the
// preferred base, so only the emulated runs elsewhere prove an image movable:
// the 32-bit one at two bases below 4 GiB, one of them above 2 GiB, and the
// 64-bit ones at a base above 4 GiB, as high-entropy ASLR would place them.
// Wine for ARM64 runs under qemu-user, where each start takes a few tenths of
// a second: one batch of runs.
struct Processor {
  std::string_view preset;
  char const* name;
  char const* otherBases[2];
  Counter counter;
  Counter wineCounter;
  int wineRuns;
};

inline constexpr Processor PROCESSORS[] = {
    {"win32",
     "Emulated",
     {"0x10000000", "0xA0000000"},
     Counter::Processor,
     Counter::Processor,
     2'000},
    {"win64", "EmulatedX64", {"0x7FF6A0000000", ""}, Counter::Processor, Counter::Processor, 2'000},
    {"winarm64",
     "EmulatedArm64",
     {"0x7FF6A0000000", ""},
     Counter::Monotonic62500kHz,
     Counter::Realtime62500kHz,
     100},
};

// The targets of one build: under Wine, named after its preset (Win32 for
// win32), where the host runs it, and on the CPU emulator at every base.
inline void AddTargets(WindowsBuild const& build, std::vector<Target>& targets) {
  char const* const executable = Chosen(build.preset, build.executable);
  Processor const* facts = nullptr;
  for (Processor const& known : PROCESSORS) {
    facts = known.preset == build.preset ? &known : facts;
  }
  if (facts == nullptr) {
    // A build the tests know nothing of would go unemulated without a word.
    std::fprintf(stderr, "targets.hpp: no processor facts for the build %.*s\n",
                 static_cast<int>(build.preset.size()), build.preset.data());
    std::abort();
  }
  Counter const counter = facts->counter;
  std::string name{build.preset};
  name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  if (*build.wine != '\0') {
    targets.push_back({name,
                       Runner::Wine,
                       {build.wine},
                       executable,
                       facts->wineRuns,
                       facts->wineCounter,
                       build.launcher});
  } else if (*build.noWine != '\0') {
    targets.push_back(
        {name, Runner::Wine, {}, executable, 0, facts->wineCounter, "", build.noWine});
  }
  if (std::string_view{TICKLOW_EMULATOR}.empty()) {
    return;
  }
  targets.push_back(
      {facts->name, Runner::Emulator, {TICKLOW_EMULATOR}, executable, 2'000, counter});
  for (char const* base : facts->otherBases) {
    if (*base != '\0') {
      targets.push_back({std::string{facts->name} + "At" + (base + 2),
                         Runner::Emulator,
                         {TICKLOW_EMULATOR, "--base", base},
                         executable,
                         2'000,
                         counter});
    }
  }
}

// Each Windows build the host tree names, in the order of the project's list.
inline std::vector<Target> WindowsTargets() {
  std::vector<Target> targets;
  for (WindowsBuild const& build : std::initializer_list<WindowsBuild>{TICKLOW_WINDOWS_BUILDS}) {
    AddTargets(build, targets);
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
#else
// The Windows-native suite's targets: the ticklow.exe of each tree that
// TICKLOW_WINDOWS_TREES names (by default the tree the suite was built in),
// found from where the suite lies, build/<tree>/tests/, and started directly.
// An ARM64 image's count comes from the ARM64 launcher beside it, as this
// suite is an x86 or x64 program.
inline std::vector<Target> WindowsTargets() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  fs::path const build = fs::path{self}.parent_path().parent_path().parent_path();
  char const* const listed = std::getenv("TICKLOW_WINDOWS_TREES");
  std::istringstream trees{listed != nullptr && *listed != '\0' ? listed : TICKLOW_WINDOWS_TREE};
  std::vector<Target> targets;
  for (std::string tree; trees >> tree;) {
    std::string name = tree;
    name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    bool const arm64 = tree == "winarm64";
    targets.push_back({name,
                       Runner::Native,
                       {},
                       Chosen(tree, (build / tree / "ticklow.exe").string().c_str()),
                       300,
                       arm64 ? Counter::FromLauncher : Counter::Processor,
                       arm64 ? (build / tree / "tests" / "ticklow_launch.exe").string() : ""});
  }
  return targets;
}

inline std::vector<Target> Targets() { return WindowsTargets(); }
#endif

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

#if !defined(_WIN32)
// Wine's errors during one case, in a file of the case's own in the build
// tree (RunProcess moves them there from Wine's standard error), and the end
// of it.
inline fs::path WineLog() {
  ::testing::TestInfo const* const test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string{test->test_suite_name()} + "." + test->name();
  for (char& c : name) {
    c = c == '/' ? '.' : c;
  }
  return fs::path{TICKLOW_WINE_LOGS} / (name + ".log");
}

inline std::string EndOfWineLog() {
  std::error_code missing;
  std::uintmax_t const size = fs::file_size(WineLog(), missing);
  if (missing || size == 0) {
    return "(Wine logged no error)";
  }
  constexpr std::uintmax_t SHOWN = 4'000;
  std::string text(static_cast<std::size_t>(std::min(size, SHOWN)), '\0');
  std::ifstream log{WineLog(), std::ios::binary};
  log.seekg(static_cast<std::streamoff>(size - text.size()));
  log.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}
#endif

class EndToEnd : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override {
    if (!GetParam().skipped.empty()) {
      GTEST_SKIP() << GetParam().skipped;
    }
#if !defined(_WIN32)
    if (GetParam().runner == Runner::Wine) {
      fs::create_directories(WineLog().parent_path());
      fs::remove(WineLog());
      setenv("TICKLOW_WINE_LOG", WineLog().c_str(), 1);
    }
#endif
  }

#if !defined(_WIN32)
  void TearDown() override {
    if (GetParam().runner == Runner::Wine && HasFailure()) {
      std::cout << "Wine's errors in this case (" << WineLog().string() << "):\n"
                << EndOfWineLog() << "\n";
    }
    unsetenv("TICKLOW_WINE_LOG");
  }
#endif

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

#if !defined(_WIN32)
// The host tool with these arguments, outside the parameterised suites.
inline RunResult RunHost(std::vector<std::string> const& arguments,
                         RunOptions const& options = {}) {
  return RunTarget(HostTarget(), arguments, options);
}
#endif

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
