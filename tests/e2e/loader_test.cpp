// What only a real Windows loader shows: where it maps each image, and the
// exploit mitigations a child runs with. Each image asks for ASLR, so the
// loader should place it away from its preferred base; and each mitigation
// the hosted workflow forces for ticklow.exe must be in effect in the child.

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "e2e/targets.hpp"

namespace ticklow::testing {
namespace {

// The base the image asks for, from its optional header.
std::uint64_t PreferredBase(std::string const& executable) {
  std::ifstream file{executable, std::ios::binary};
  std::uint32_t headers = 0;
  file.seekg(0x3C).read(reinterpret_cast<char*>(&headers), 4);
  std::uint16_t magic = 0;
  file.seekg(headers + 24).read(reinterpret_cast<char*>(&magic), 2);
  std::uint64_t base = 0;
  if (magic == 0x20B) {
    file.seekg(headers + 24 + 24).read(reinterpret_cast<char*>(&base), 8);
  } else {
    file.seekg(headers + 24 + 28).read(reinterpret_cast<char*>(&base), 4);
  }
  return base;
}

using QueryProcess = NTSTATUS(WINAPI*)(HANDLE, PROCESSINFOCLASS, void*, ULONG, ULONG*);

// Where the loader mapped the main image of a process started suspended: the
// image base its process block records. A 64-bit suite reads a 32-bit
// child's from the child's 32-bit block, which Windows gives as the child's
// WoW64 information; a 32-bit suite has only 32-bit children, whose block
// is the basic information's, as it is under Wine, which gives a flag alone
// as the WoW64 information.
std::uint64_t MappedBase(HANDLE process, QueryProcess query) {
  if constexpr (sizeof(void*) == 8) {
    void* wow64Block = nullptr;
    if (query(process, ProcessWow64Information, &wow64Block, sizeof wow64Block, nullptr) == 0 &&
        wow64Block != nullptr) {
      std::uint32_t base = 0;
      ReadProcessMemory(process, static_cast<char*>(wow64Block) + 8, &base, sizeof base, nullptr);
      return base;
    }
  }
  PROCESS_BASIC_INFORMATION basic{};
  query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr);
  std::uintptr_t base = 0;
  ReadProcessMemory(process, reinterpret_cast<char*>(basic.PebBaseAddress) + 2 * sizeof(void*),
                    &base, sizeof base, nullptr);
  return base;
}

// Whether an image's headers begin at base in the process: "MZ", and "PE\0\0"
// where the DOS header points. A base read from the wrong field has neither.
bool HeadersAt(HANDLE process, std::uint64_t base) {
  char const* const image = reinterpret_cast<char const*>(static_cast<std::uintptr_t>(base));
  std::array<char, 2> dos{};
  std::uint32_t headers = 0;
  std::array<char, 4> pe{};
  return ReadProcessMemory(process, image, dos.data(), dos.size(), nullptr) != 0 &&
         std::string_view{dos.data(), dos.size()} == "MZ" &&
         ReadProcessMemory(process, image + 0x3C, &headers, sizeof headers, nullptr) != 0 &&
         ReadProcessMemory(process, image + headers, pe.data(), pe.size(), nullptr) != 0 &&
         std::string_view{pe.data(), pe.size()} == std::string_view{"PE\0\0", 4};
}

// A function of a system DLL by name, through a generic function type first,
// as GetProcAddress's own is not the one asked for.
template <typename Function>
Function Named(char const* dll, char const* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA(dll), name)));
}

bool UnderWine() { return Named<void (*)()>("ntdll.dll", "wine_get_version") != nullptr; }

// The target started with "ticklow 31" and left suspended, before its first
// instruction: the loader has mapped it and fixed its mitigations.
PROCESS_INFORMATION StartSuspended(std::string const& executable) {
  std::string line = "ticklow 31";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  CreateProcessA(executable.c_str(), line.data(), nullptr, nullptr, FALSE,
                 CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup, &process);
  return process;
}

void End(PROCESS_INFORMATION const& process) {
  TerminateProcess(process.hProcess, 0);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Each mitigation Set-ProcessMitigation forces by name, and the bit of the
// policy's flags that GetProcessMitigationPolicy reads back where it is in
// effect.
struct Mitigation {
  std::string_view name;
  PROCESS_MITIGATION_POLICY policy;
  unsigned bit;
};

constexpr std::array<Mitigation, 7> MITIGATIONS{{
    {"BottomUp", ProcessASLRPolicy, 0},
    {"ForceRelocateImages", ProcessASLRPolicy, 1},
    {"HighEntropy", ProcessASLRPolicy, 2},
    {"RequireInfo", ProcessASLRPolicy, 3},
    {"BlockDynamicCode", ProcessDynamicCodePolicy, 0},
    {"CFG", ProcessControlFlowGuardPolicy, 0},
    {"StrictCFG", ProcessControlFlowGuardPolicy, 2},
}};

using QueryPolicy = BOOL(WINAPI*)(HANDLE, PROCESS_MITIGATION_POLICY, void*, SIZE_T);

// A policy's flags as the child runs with them, or why they cannot be read:
// the call fails, or succeeds and fills nothing, as a stub would. Each policy
// read here is one word of flags, whose reserved bits Windows leaves clear,
// so two patterns that both come back untouched are no answer.
struct PolicyRead {
  DWORD flags = 0;
  std::string unanswered;
};

PolicyRead ReadPolicy(HANDLE process, PROCESS_MITIGATION_POLICY policy) {
  auto const query = Named<QueryPolicy>("kernel32.dll", "GetProcessMitigationPolicy");
  if (query == nullptr) {
    return {0, "kernel32 has no GetProcessMitigationPolicy"};
  }
  std::array<DWORD, 2> read{0xA5A5A5A5U, 0x5A5A5A5AU};
  std::array<DWORD, 2> const patterns = read;
  for (DWORD& flags : read) {
    if (query(process, policy, &flags, sizeof flags) == 0) {
      return {0, "GetProcessMitigationPolicy fails with error " + std::to_string(GetLastError())};
    }
  }
  if (read == patterns) {
    return {0, "GetProcessMitigationPolicy reports success and fills nothing"};
  }
  return {read[0], ""};
}

// The mitigations the hosted workflow forced for ticklow.exe, by their
// Set-ProcessMitigation names, comma-separated.
std::vector<std::string> Forced() {
  char const* const named = std::getenv("TICKLOW_FORCED_MITIGATIONS");
  std::vector<std::string> forced;
  std::istringstream list{named != nullptr ? named : ""};
  for (std::string name; std::getline(list, name, ',');) {
    forced.push_back(name);
  }
  return forced;
}

class RealLoader : public EndToEnd {};

TEST_P(RealLoader, MapsTheImageAwayFromItsPreferredBase) {
  auto const query = Named<QueryProcess>("ntdll.dll", "NtQueryInformationProcess");
  PROCESS_INFORMATION const process = StartSuspended(GetParam().executable);
  ASSERT_NE(process.hProcess, nullptr) << "CreateProcess: error " << GetLastError();
  std::uint64_t const mapped = MappedBase(process.hProcess, query);
  bool const headers = HeadersAt(process.hProcess, mapped);
  End(process);
  // Checked before anything can skip: a wrong field fails under Wine too.
  ASSERT_TRUE(headers) << "no image headers at 0x" << std::hex << mapped
                       << ", where the child's process block says its image lies";
  if (UnderWine()) {
    GTEST_SKIP()
        << "Wine loads an EXE at its preferred base; only Windows shows where ASLR puts it";
  }
  std::uint64_t const preferred = PreferredBase(GetParam().executable);
  if (mapped == preferred && GetParam().name == "Win32") {
    GTEST_SKIP() << "the 32-bit image's ASLR has few bits, and this boot placed it at its "
                    "preferred base";
  }
  EXPECT_NE(mapped, preferred) << "mapped at 0x" << std::hex << mapped;
}

// Set-ProcessMitigation forces a mitigation for a file name, and
// Get-ProcessMitigation shows only what is set for that name: the child is
// the one place that says what it runs with.
TEST_P(RealLoader, RunsWithEveryForcedMitigation) {
  std::vector<std::string> const forced = Forced();
  if (forced.empty()) {
    GTEST_SKIP() << "no mitigation forced: TICKLOW_FORCED_MITIGATIONS names none";
  }
  PROCESS_INFORMATION const process = StartSuspended(GetParam().executable);
  ASSERT_NE(process.hProcess, nullptr) << "CreateProcess: error " << GetLastError();
  std::string unanswered;
  for (std::string const& name : forced) {
    auto const* const known = std::find_if(MITIGATIONS.begin(), MITIGATIONS.end(),
                                           [&](Mitigation const& m) { return m.name == name; });
    if (known == MITIGATIONS.end()) {
      ADD_FAILURE() << "TICKLOW_FORCED_MITIGATIONS names " << name << ", which is not read here";
      continue;
    }
    PolicyRead const read = ReadPolicy(process.hProcess, known->policy);
    if (!read.unanswered.empty()) {
      unanswered = read.unanswered;
      continue;
    }
    EXPECT_NE(read.flags & (1U << known->bit), 0U)
        << name << " is forced, and not in effect in the child: its policy's flags are 0x"
        << std::hex << read.flags;
  }
  End(process);
  if (!unanswered.empty() && UnderWine()) {
    GTEST_SKIP() << "Wine's " << unanswered << "; only Windows shows the child's policies";
  }
  EXPECT_EQ(unanswered, "") << "so the forced mitigations cannot be read from the child";
}

INSTANTIATE_TEST_SUITE_P(Executables, RealLoader, ::testing::ValuesIn(Targets()), TargetName);

}  // namespace
}  // namespace ticklow::testing
