// The platform layer for POSIX hosts with a C library: the real main, and the
// three calls the entry makes on top of write(2).

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "app/entry.hpp"
#include "app/platform_calls.hpp"
#include "platform/command_line.hpp"
#include "platform/descriptor_calls.hpp"

namespace {

// The process's command line, laid out by main once before the entry runs, as
// Windows lays it out before a program starts; read-only from then on.
char processCommandLine[ticklow::COMMAND_LINE_CAPACITY];

std::int64_t WriteDescriptor(int descriptor, char const* bytes, ticklow::DWORD length) {
  ssize_t const count = write(descriptor, bytes, length);
  if (count < 0) {
    return errno == EINTR ? ticklow::WRITE_INTERRUPTED : -1;
  }
  return count;
}

}  // namespace

extern "C" {

ticklow::HANDLE GetStdHandle(ticklow::DWORD which) { return ticklow::HandleFor(which); }

char* GetCommandLineA() { return processCommandLine; }

ticklow::BOOL WriteFile(ticklow::HANDLE file, void const* bytes, ticklow::DWORD length,
                        ticklow::DWORD* written, void* /*overlapped*/) {
  return ticklow::WriteAll(WriteDescriptor, file, bytes, length, written);
}
}

int main(int argc, char** argv) {
  // A reader that went away must be a failed write, not a death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  ticklow::BuildCommandLine(argc, argv, processCommandLine);
  return static_cast<int>(ticklow::TicklowEntry());
}
