#pragma once

// Runs a program as a child process and captures what it did: its standard
// output and error, its exit status or the signal that ended it.

#include <string>
#include <vector>

namespace ticklow::testing {

struct RunOptions {
  std::string workingDirectory;  // empty: the test's own
  std::string stdoutPath;        // empty: a pipe that is captured
  long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; -1: none
};

struct RunResult {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when a signal ended it
  int termSignal = 0;
};

RunResult RunProcess(std::vector<std::string> const& argv, RunOptions const& options = {});

}  // namespace ticklow::testing
