// The real entry point of the CRT-free Windows executable. No C runtime runs
// before it: the loader jumps here directly.

#include <cstddef>
#include <cstdint>

#include "app/entry.hpp"

extern "C" {
[[noreturn]] __declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);

// Returning from here would end only this thread, and the exit status would
// wait on any worker threads the loader started; ExitProcess ends them all.
[[noreturn]] void mainCRTStartup() { ExitProcess(ticklow::TicklowEntry()); }
}

#if defined(TICKLOW_CONTROL_FLOW_GUARD)
// Control-flow guard on ARM64. The compiler instruments every indirect call
// to go through the loader's check first, and lld lists the functions such a
// call may reach. This program makes no indirect call of its own, so nothing
// is instrumented and the list holds only the entry point; the image test
// reads both back. There is no C runtime to supply the load configuration
// that tells the loader all this, so it is defined here. Its names are the
// ones the compiler and lld use; lld completes the __guard_* symbols.
extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming)
extern char const __guard_fids_table[];
extern char const __guard_fids_count[];
extern char const __guard_flags[];
extern char const __guard_iat_table[];
extern char const __guard_iat_count[];
extern char const __guard_longjmp_table[];
extern char const __guard_longjmp_count[];
// What an instrumented call would go through; the loader fills them in.
// Never read here: there is no such call.
[[gnu::section(".00cfg")]] void const* __guard_check_icall_fptr = nullptr;
[[gnu::section(".00cfg")]] void const* __guard_dispatch_icall_fptr = nullptr;
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)
}

namespace {
// The stack protector's cookie as the compiler's runtime would leave it for
// the loader to replace. Nothing here is built with the stack protector, and
// the load configuration says the cookie is unused; Wine replaces it all the
// same, so it lies in writable data, where that runtime keeps it.
constexpr std::uint64_t DEFAULT_SECURITY_COOKIE = 0x2B99'2DDF'A232;
constexpr std::uint32_t GUARD_SECURITY_COOKIE_UNUSED = 0x800;
std::uint64_t securityCookie = DEFAULT_SECURITY_COOKIE;

// IMAGE_LOAD_CONFIG_DIRECTORY64 as far as the long-jump table. A count lld
// gives is an absolute symbol: its address is the number. Every field the
// definition below leaves out is zero.
struct LoadConfig {
  std::uint32_t size{};
  std::uint32_t stampVersionsAndGlobalFlags[5]{};
  std::uint64_t heapAndAffinityLimits[6]{};
  std::uint32_t processHeapFlags{};
  std::uint16_t servicePack{}, dependentLoadFlags{};
  std::uint64_t editList{};
  void const* securityCookie{};
  void const* exceptionHandlerTable{};
  std::uint64_t exceptionHandlerCount{};
  void const* guardCheck{};
  void const* guardDispatch{};
  void const* guardFunctionTable{};
  void const* guardFunctionCount{};
  // The 32-bit GuardFlags and the first two 16-bit code-integrity fields,
  // which stay zero: C++ cannot narrow an address to 32 bits in a constant,
  // and __guard_flags, an absolute symbol, lies far below 2^32.
  void const* guardFlags{};
  std::uint32_t codeIntegrityCatalogOffset{}, codeIntegrityReserved{};
  void const* guardImportTable{};
  void const* guardImportCount{};
  void const* guardLongJumpTable{};
  void const* guardLongJumpCount{};
};
static_assert(offsetof(LoadConfig, securityCookie) == 0x58);
static_assert(offsetof(LoadConfig, guardFlags) == 0x90);
static_assert(sizeof(LoadConfig) == 0xC0);
}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" LoadConfig const _load_config_used{
    .size = sizeof(LoadConfig),
    .securityCookie = &securityCookie,
    .guardCheck = &__guard_check_icall_fptr,
    .guardDispatch = &__guard_dispatch_icall_fptr,
    .guardFunctionTable = __guard_fids_table,
    .guardFunctionCount = __guard_fids_count,
    .guardFlags = __guard_flags + GUARD_SECURITY_COOKIE_UNUSED,
    .guardImportTable = __guard_iat_table,
    .guardImportCount = __guard_iat_count,
    .guardLongJumpTable = __guard_longjmp_table,
    .guardLongJumpCount = __guard_longjmp_count,
};
#endif
