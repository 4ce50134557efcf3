// The platform layer for Linux on x86-64 with no C library at all. The kernel
// starts the process at our own _start; the command line is rebuilt from the
// initial stack, and the write, the exit and the SIGPIPE setting are raw
// system calls. Nothing else runs, so a whole run is a few hundred
// instructions and four system calls.

#include <cstdint>

#include "app/entry.hpp"
#include "platform/descriptor_calls.hpp"

namespace {

constexpr long SYS_WRITE = 1;
constexpr long SYS_RT_SIGACTION = 13;
constexpr long SYS_EXIT_GROUP = 231;
constexpr long SIGNAL_BROKEN_PIPE = 13;  // SIGPIPE
constexpr long SIGNAL_IGNORE = 1;        // SIG_IGN

// The kernel's own sigaction layout, which differs from the C library's.
struct KernelSignalAction {
  long handler;
  unsigned long flags;
  long restorer;
  unsigned long mask;
};

// The kernel returns a result or -errno in rax and clobbers rcx and r11.
long SystemCall(long number, long first, long second = 0, long third = 0, long fourth = 0) {
  long result = 0;
  __asm__ volatile("mov %[fourth], %%r10\n\tsyscall"
                   : "=a"(result)
                   : "a"(number), "D"(first), "S"(second), "d"(third), [fourth] "r"(fourth)
                   : "rcx", "r10", "r11", "memory");
  return result;
}

// A reader that went away must be a failed write, not a death by signal.
void IgnoreBrokenPipe() {
  KernelSignalAction const ignore{SIGNAL_IGNORE, 0, 0, 0};
  SystemCall(SYS_RT_SIGACTION, SIGNAL_BROKEN_PIPE, reinterpret_cast<long>(&ignore), 0,
             sizeof ignore.mask);
}

}  // namespace

std::int64_t ticklow::WriteDescriptor(int descriptor, char const* bytes, DWORD length) {
  return SystemCall(SYS_WRITE, descriptor, reinterpret_cast<long>(bytes), length);
}

extern "C" {

// Called by _start with the initial stack: argc, then the argument vector.
[[noreturn]] void TicklowStart(long const* stack) {
  auto const argc = static_cast<int>(stack[0]);
  auto const* const argv = reinterpret_cast<char const* const*>(stack + 1);
  IgnoreBrokenPipe();
  ticklow::LayOutCommandLine(argc, argv);
  SystemCall(SYS_EXIT_GROUP, ticklow::TicklowEntry());
  __builtin_unreachable();
}
}

// The process entry: hand the initial stack pointer to TicklowStart with the
// stack aligned as a call expects, and no frame to return to.
__asm__(R"(
  .text
  .globl _start
  .type _start, @function
_start:
  xor %ebp, %ebp
  mov %rsp, %rdi
  and $-16, %rsp
  call TicklowStart
  hlt
)");
