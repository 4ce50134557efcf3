// RunProcess on Windows, for the suite built as a Windows program: the child
// is started with CreateProcess and its standard output and error read from
// pipes. A Windows process ends with an exit status, never a signal.

#include <windows.h>

#include <future>
#include <string>
#include <string_view>
#include <vector>

#include "process.hpp"
#include "quoted_argument.hpp"

namespace ticklow::testing {
namespace {

std::string ReadAll(HANDLE pipe) {
  std::string text;
  char buffer[4'096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(pipe);
  return text;
}

struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
};

Pipe InheritedPipe() {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Pipe pipe;
  CreatePipe(&pipe.read, &pipe.write, &inherit, 0);
  SetHandleInformation(pipe.read, HANDLE_FLAG_INHERIT, 0);
  return pipe;
}

// The handle that becomes the child's standard output.
HANDLE OutputHandle(RunOptions const& options, HANDLE captured) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  switch (options.output) {
    case Output::Captured:
      return captured;
    case Output::File:
      return CreateFileA(options.stdoutPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    case Output::Unwritable: {
      char path[MAX_PATH];
      char name[MAX_PATH];
      GetTempPathA(MAX_PATH, path);
      GetTempFileNameA(path, "tlw", 0, name);
      return CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         &inherit, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    case Output::ReaderGone: {
      Pipe const gone = InheritedPipe();
      CloseHandle(gone.read);
      return gone.write;
    }
    case Output::Closed:
      break;
  }
  return nullptr;
}

// Starts program (or the first word of line, where it is null) with the
// command line and these handles, and waits for it; its status, or -1 where
// it could not be started.
int RunToEnd(char const* program, std::string line, STARTUPINFOA& startup,
             std::string const& directory, DWORD flags = 0) {
  PROCESS_INFORMATION process{};
  if (CreateProcessA(program, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                     directory.empty() ? nullptr : directory.c_str(), &startup, &process) == 0) {
    return -1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

}  // namespace

RunResult RunProcess(std::vector<std::string> const& argv, RunOptions const& options) {
  std::string line;
  for (std::string const& argument : argv) {
    if (!line.empty()) {
      line += ' ';
    }
    line += QuotedArgument(argument);
  }
  Pipe const out = InheritedPipe();
  Pipe const err = InheritedPipe();
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = OutputHandle(options, out.write);
  startup.hStdError = err.write;
  auto reading = std::async(std::launch::async, ReadAll, out.read);
  auto readingErrors = std::async(std::launch::async, ReadAll, err.read);
  RunResult result;
  result.exitCode = RunToEnd(nullptr, line, startup, options.workingDirectory);
  if (startup.hStdOutput != out.write && startup.hStdOutput != nullptr) {
    CloseHandle(startup.hStdOutput);
  }
  CloseHandle(out.write);
  CloseHandle(err.write);
  result.out = reading.get();
  result.err = readingErrors.get();
  return result;
}

RunResult RunCommandLine(std::string const& program, std::string const& line,
                         std::string_view output, int runs) {
  Pipe const out = InheritedPipe();
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output == "null"      ? nullptr
                       : output == "invalid" ? INVALID_HANDLE_VALUE
                                             : out.write;
  auto reading = std::async(std::launch::async, ReadAll, out.read);
  RunResult result;
  for (int run = 0; run < runs; ++run) {
    // Detached, as the launcher starts it: a console of its own would fill in
    // the null handle.
    int const status = RunToEnd(program.c_str(), line, startup, "", DETACHED_PROCESS);
    result.exitCode = run == 0 || result.exitCode == status ? status : -1;
    if (status == -1) {
      break;
    }
  }
  CloseHandle(out.write);
  result.out = reading.get();
  return result;
}

}  // namespace ticklow::testing
