// What only a real Windows loader shows: where it maps each image. Each asks
// for ASLR, so the loader should place it away from its preferred base.

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <fstream>
#include <string>

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
// image base its process block records, the 32-bit block's for a 32-bit
// process under a 64-bit one.
std::uint64_t MappedBase(HANDLE process, QueryProcess query) {
  void* wow64Block = nullptr;
  if (query(process, ProcessWow64Information, &wow64Block, sizeof wow64Block, nullptr) == 0 &&
      wow64Block != nullptr) {
    std::uint32_t base = 0;
    ReadProcessMemory(process, static_cast<char*>(wow64Block) + 8, &base, sizeof base, nullptr);
    return base;
  }
  PROCESS_BASIC_INFORMATION basic{};
  query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr);
  std::uintptr_t base = 0;
  ReadProcessMemory(process, reinterpret_cast<char*>(basic.PebBaseAddress) + 2 * sizeof(void*),
                    &base, sizeof base, nullptr);
  return base;
}

class RealLoader : public EndToEnd {};

TEST_P(RealLoader, MapsTheImageAwayFromItsPreferredBase) {
  HMODULE const ntdll = GetModuleHandleA("ntdll.dll");
  if (GetProcAddress(ntdll, "wine_get_version") != nullptr) {
    GTEST_SKIP()
        << "Wine loads an EXE at its preferred base; only Windows shows where ASLR puts it";
  }
  // Through a generic function type first, as GetProcAddress's own is not this one.
  auto const query = reinterpret_cast<QueryProcess>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
  std::string line = "ticklow 31";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(GetParam().executable.c_str(), line.data(), nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup,
                             &process) != 0);
  std::uint64_t const mapped = MappedBase(process.hProcess, query);
  TerminateProcess(process.hProcess, 0);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::uint64_t const preferred = PreferredBase(GetParam().executable);
  ASSERT_NE(mapped, 0U);
  if (mapped == preferred && GetParam().name == "Win32") {
    GTEST_SKIP() << "the 32-bit image's ASLR has few bits, and this boot placed it at its "
                    "preferred base";
  }
  EXPECT_NE(mapped, preferred) << "mapped at 0x" << std::hex << mapped;
}

INSTANTIATE_TEST_SUITE_P(Executables, RealLoader, ::testing::ValuesIn(Targets()), TargetName);

}  // namespace
}  // namespace ticklow::testing
