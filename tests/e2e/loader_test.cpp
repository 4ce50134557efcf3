// What only a real Windows loader shows: where it maps each image. Each asks
// for ASLR, so the loader should place it away from its preferred base.

#include <windows.h>
#include <winternl.h>

#include <array>
#include <cstdint>
#include <fstream>
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

class RealLoader : public EndToEnd {};

TEST_P(RealLoader, MapsTheImageAwayFromItsPreferredBase) {
  HMODULE const ntdll = GetModuleHandleA("ntdll.dll");
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
  bool const headers = HeadersAt(process.hProcess, mapped);
  TerminateProcess(process.hProcess, 0);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Checked before anything can skip: a wrong field fails under Wine too.
  ASSERT_TRUE(headers) << "no image headers at 0x" << std::hex << mapped
                       << ", where the child's process block says its image lies";
  if (GetProcAddress(ntdll, "wine_get_version") != nullptr) {
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

INSTANTIATE_TEST_SUITE_P(Executables, RealLoader, ::testing::ValuesIn(Targets()), TargetName);

}  // namespace
}  // namespace ticklow::testing
