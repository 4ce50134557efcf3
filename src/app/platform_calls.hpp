#pragma once

// The three platform calls the entry makes, under Windows' own names and with
// Windows' contract. On Windows they are KERNEL32's; elsewhere our platform
// layer supplies them; the tests supply a recording fake. Only the shipped
// Windows executable binds them as KERNEL32 imports, so that the fake never
// collides with the real functions a Windows test program also links.

#include <cstdint>

namespace ticklow {
using HANDLE = void*;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;

inline constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
}  // namespace ticklow

#if defined(TICKLOW_KERNEL32)
#define TICKLOW_IMPORT __declspec(dllimport)
#define TICKLOW_WINAPI __stdcall
#else
#define TICKLOW_IMPORT
#define TICKLOW_WINAPI
#if defined(_WIN32)
// A Windows test program links KERNEL32 as well, for GoogleTest and the C++
// library. Where C names carry no decoration (everywhere but 32-bit x86) the
// fake's functions would clash with KERNEL32's, so there they go by names of
// their own; the code still calls them by Windows' names.
#define GetStdHandle TicklowFakeGetStdHandle
#define GetCommandLineA TicklowFakeGetCommandLineA
#define WriteFile TicklowFakeWriteFile
#endif
#endif

extern "C" {
TICKLOW_IMPORT ticklow::HANDLE TICKLOW_WINAPI GetStdHandle(ticklow::DWORD which);
// The whole command line as one NUL-terminated string, program name first.
TICKLOW_IMPORT char* TICKLOW_WINAPI GetCommandLineA();
// Nonzero once all bytes are written, 0 on failure.
TICKLOW_IMPORT ticklow::BOOL TICKLOW_WINAPI WriteFile(ticklow::HANDLE file, void const* bytes,
                                                      ticklow::DWORD length,
                                                      ticklow::DWORD* written, void* overlapped);
}
