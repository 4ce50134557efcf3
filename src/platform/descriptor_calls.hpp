#pragma once

// The three platform calls on file descriptors, shared by the layers for
// POSIX hosts, with a C library or without one (descriptor_calls.cpp defines
// them). Each layer brings only its own way to write, WriteDescriptor, and
// lays the command line out once with LayOutCommandLine before the entry runs.

#include <cstdint>

#include "app/platform_calls.hpp"

namespace ticklow {

inline constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
inline constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

// A handle is the file descriptor itself. Anything but the three standard
// handles maps to -1, a descriptor that every write refuses.
constexpr std::intptr_t DescriptorFor(DWORD which) {
  if (which == STD_INPUT_HANDLE) {
    return 0;
  }
  if (which == STD_OUTPUT_HANDLE) {
    return 1;
  }
  if (which == STD_ERROR_HANDLE) {
    return 2;
  }
  return -1;
}

inline HANDLE HandleFor(DWORD which) {
  return reinterpret_cast<HANDLE>(DescriptorFor(which));  // NOLINT(performance-no-int-to-ptr)
}

inline int DescriptorOf(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// What a layer's write gives back: the count of bytes written, this value
// when a signal interrupted it before anything was written (Linux's -EINTR),
// or any other negative value for a failure.
inline constexpr std::int64_t WRITE_INTERRUPTED = -4;

// Supplied by each layer: one write system call, its result as above.
std::int64_t WriteDescriptor(int descriptor, char const* bytes, DWORD length);

// Rebuilds the command line Windows would have handed the program, for
// GetCommandLineA to give out from then on.
void LayOutCommandLine(int argc, char const* const* argv);

// Like WriteFile on a synchronous handle, success only once every byte is
// out. A short write (a file that hit its size limit, a full disk) is carried
// on from where it stopped, so that its failure is seen rather than taken for
// success. In every ordinary run this is one write call.
template <class Write>
BOOL WriteAll(Write write, HANDLE file, void const* bytes, DWORD length, DWORD* written) {
  auto const* const start = static_cast<char const*>(bytes);
  int const descriptor = DescriptorOf(file);
  DWORD done = 0;
  while (done < length) {
    std::int64_t const count = write(descriptor, start + done, length - done);
    if (count == WRITE_INTERRUPTED) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    done += static_cast<DWORD>(count);
  }
  if (written != nullptr) {
    *written = done;
  }
  return done == length ? 1 : 0;
}

}  // namespace ticklow
