#pragma once

// Runs a program as a child process and captures what it did: its standard
// output and error, its exit status or the signal that ended it.

#include <string>
#include <string_view>
#include <vector>

namespace ticklow::testing {

// Where the child's standard output goes.
enum class Output {
  Captured,    // a pipe that is read to its end
  File,        // the file at RunOptions::stdoutPath
  Closed,      // no descriptor at all
  ReaderGone,  // a pipe whose reading end is already closed, with SIGPIPE at its default
  Unwritable,  // one that refuses every write: /dev/full, or on Windows a file open for reading
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

#if defined(_WIN32)
// Windows starts a program with a command line rather than arguments: program
// with exactly this line, and as its standard output this launcher's own
// ("inherit"), none ("null") or a handle value that names nothing ("invalid"),
// this many times in a row. The runs' output together, and their exit status
// when all agree (-1 otherwise).
RunResult RunCommandLine(std::string const& program, std::string const& line,
                         std::string_view output, int runs);
#endif

}  // namespace ticklow::testing
