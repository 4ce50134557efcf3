// GetStdHandle, GetCommandLineA and WriteFile for the layers on file
// descriptors, on top of each layer's own WriteDescriptor.

#include "platform/descriptor_calls.hpp"

#include "app/platform_calls.hpp"
#include "platform/command_line.hpp"

namespace {

// The process's command line, laid out once before the entry runs, as Windows
// lays it out before a program starts; read-only from then on.
char processCommandLine[ticklow::COMMAND_LINE_CAPACITY];

}  // namespace

void ticklow::LayOutCommandLine(int argc, char const* const* argv) {
  BuildCommandLine(argc, argv, processCommandLine);
}

extern "C" {

ticklow::HANDLE GetStdHandle(ticklow::DWORD which) { return ticklow::HandleFor(which); }

char* GetCommandLineA() { return processCommandLine; }

ticklow::BOOL WriteFile(ticklow::HANDLE file, void const* bytes, ticklow::DWORD length,
                        ticklow::DWORD* written, void* /*overlapped*/) {
  return ticklow::WriteAll(ticklow::WriteDescriptor, file, bytes, length, written);
}
}
