// The real entry point of the CRT-free Windows executable. No C runtime runs
// before it: the loader jumps here directly.

#include "app/entry.hpp"

extern "C" {
[[noreturn]] __declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);

// Returning from here would end only this thread, and the exit status would
// wait on any worker threads the loader started; ExitProcess ends them all.
[[noreturn]] void mainCRTStartup() { ExitProcess(ticklow::TicklowEntry()); }
}
