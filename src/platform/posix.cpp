// The platform layer for POSIX hosts: it supplies the three calls the entry
// makes, with the Windows contract the entry relies on, and the real main.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "app/entry.hpp"
#include "app/platform_calls.hpp"
#include "platform/command_line.hpp"

namespace {

// The process's command line, laid out by main once before the entry runs, as
// Windows lays it out before a program starts; read-only from then on.
char processCommandLine[ticklow::COMMAND_LINE_CAPACITY];

// A handle is the file descriptor itself; anything but the three standard
// handles is invalid, and so is the descriptor -1 it maps to.
constexpr ticklow::DWORD STD_INPUT_HANDLE = static_cast<ticklow::DWORD>(-10);
constexpr ticklow::DWORD STD_ERROR_HANDLE = static_cast<ticklow::DWORD>(-12);

int DescriptorOf(ticklow::HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

}  // namespace

extern "C" {

ticklow::HANDLE GetStdHandle(ticklow::DWORD which) {
  std::intptr_t descriptor = -1;
  if (which == STD_INPUT_HANDLE) {
    descriptor = STDIN_FILENO;
  } else if (which == ticklow::STD_OUTPUT_HANDLE) {
    descriptor = STDOUT_FILENO;
  } else if (which == STD_ERROR_HANDLE) {
    descriptor = STDERR_FILENO;
  }
  return reinterpret_cast<ticklow::HANDLE>(descriptor);  // NOLINT(performance-no-int-to-ptr)
}

char* GetCommandLineA() { return processCommandLine; }

// Like WriteFile on a synchronous handle, report success only once every byte
// is out. A short write (a file that hit its size limit, a full disk) is
// carried on from where it stopped, so that its failure is seen rather than
// taken for success. In every ordinary run this is one write call.
ticklow::BOOL WriteFile(ticklow::HANDLE file, void const* bytes, ticklow::DWORD length,
                        ticklow::DWORD* written, void* /*overlapped*/) {
  auto const* const start = static_cast<char const*>(bytes);
  ticklow::DWORD done = 0;
  while (done < length) {
    ssize_t const count = write(DescriptorOf(file), start + done, length - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    done += static_cast<ticklow::DWORD>(count);
  }
  if (written != nullptr) {
    *written = done;
  }
  return done == length ? 1 : 0;
}
}

int main(int argc, char** argv) {
  // A reader that went away must be a failed write, not a death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  ticklow::BuildCommandLine(argc, argv, processCommandLine);
  return static_cast<int>(ticklow::TicklowEntry());
}
