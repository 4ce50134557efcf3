// Starts a Windows program the way an ordinary launch never does: with a
// command line given byte for byte and a chosen standard-output handle, as
// many times in a row as asked. The end-to-end tests run it under Wine.
//
//   ticklow_launch PROGRAM OUTPUT RUNS LINE_IN_HEX
//
// OUTPUT is "inherit" (this launcher's own standard output), "null" or
// "invalid" (a handle value that names nothing). The line comes in hex so that
// no quoting or code page on the way can alter it. The exit status is the
// program's, when every run gave the same one; 255 when they differed, 254
// when the program could not be started.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int RUNS_DIFFERED = 255;
constexpr int NOT_STARTED = 254;

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

bool FromHex(char const* hex, std::string& bytes) {
  std::size_t const length = std::strlen(hex);
  if (length % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < length; i += 2) {
    int const high = HexValue(hex[i]);
    int const low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

bool OutputHandle(std::string const& mode, HANDLE& handle) {
  if (mode == "inherit") {
    handle = GetStdHandle(STD_OUTPUT_HANDLE);
  } else if (mode == "null") {
    handle = nullptr;
  } else if (mode == "invalid") {
    handle = reinterpret_cast<HANDLE>(std::uintptr_t{0xBAD0});  // NOLINT(performance-no-int-to-ptr)
  } else {
    return false;
  }
  return true;
}

// Starts the program with the standard handles given and no console at all.
// A console program whose parent has none gets a console of its own, and
// Wine then puts that console's handles in place of every null standard
// handle: the "null" output would name the console, and the write succeed.
// This launcher has a console only while Wine's console host for it runs, so
// the run would depend on it; detached, the program never gets one.
//
// Under a heavily loaded host, 64-bit Wine has been seen
// to fail a start now and then, once in thousands; the program never ran, so
// the start is tried again, up to three times, and reported if all fail (a
// report would fail the cases that want nothing on standard error). A run
// that did start is never repeated.
bool Start(char const* program, std::string& line, STARTUPINFOA& startup,
           PROCESS_INFORMATION& process) {
  DWORD error = 0;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (CreateProcessA(program, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                       nullptr, &startup, &process) != 0) {
      return true;
    }
    error = GetLastError();
    Sleep(100);
  }
  std::fprintf(stderr, "launch: cannot start %s: error %lu\n", program, error);
  return false;
}

// One run; gives the exit status, or -1 when the program did not start.
long RunOnce(char const* program, std::string line, STARTUPINFOA& startup) {
  PROCESS_INFORMATION process{};
  if (!Start(program, line, startup, process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(status);
}

}  // namespace

int main(int argc, char** argv) {
  std::string line;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  int const runs = argc == 5 ? std::atoi(argv[3]) : 0;
  if (runs < 1 || !OutputHandle(argv[2], startup.hStdOutput) || !FromHex(argv[4], line)) {
    std::fprintf(stderr, "usage: ticklow_launch PROGRAM inherit|null|invalid RUNS LINE_IN_HEX\n");
    return NOT_STARTED;
  }
  long first = -1;
  for (int run = 0; run < runs; ++run) {
    long const status = RunOnce(argv[1], line, startup);
    if (status < 0) {
      return NOT_STARTED;
    }
    if (run > 0 && status != first) {
      return RUNS_DIFFERED;
    }
    first = status;
  }
  return static_cast<int>(first);
}
