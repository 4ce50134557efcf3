#pragma once

// Runs a program as a child process and captures what it did: its standard
// output and error, its exit status or the signal that ended it.

#include <string>
#include <vector>

namespace ticklow::testing {

// Where the child's standard output goes.
enum class Output {
  Captured,    // a pipe that is read to its end
  File,        // the file at RunOptions::stdoutPath
  Closed,      // no descriptor at all
  ReaderGone,  // a pipe whose reading end is already closed, with SIGPIPE at its default
};

struct RunOptions {
  std::string workingDirectory;  // empty: the test's own
  Output output = Output::Captured;
  std::string stdoutPath;   // for Output::File
  long fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; -1: none
};

struct RunResult {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when a signal ended it
  int termSignal = 0;
};

RunResult RunProcess(std::vector<std::string> const& argv, RunOptions const& options = {});

}  // namespace ticklow::testing
