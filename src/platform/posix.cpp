// The platform layer for POSIX hosts with a C library: the real main, and
// the write the three platform calls are made of.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "app/entry.hpp"
#include "platform/descriptor_calls.hpp"

std::int64_t ticklow::WriteDescriptor(int descriptor, char const* bytes, DWORD length) {
  ssize_t const count = write(descriptor, bytes, length);
  if (count < 0) {
    return errno == EINTR ? WRITE_INTERRUPTED : -1;
  }
  return count;
}

int main(int argc, char** argv) {
  // A reader that went away must be a failed write, not a death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  ticklow::LayOutCommandLine(argc, argv);
  return static_cast<int>(ticklow::TicklowEntry());
}
