#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace ticklow::testing {
namespace {

[[noreturn]] void ChildFail(char const* what) {
  std::perror(what);
  _exit(127);
}

// The descriptor that becomes the child's standard output; -1 for none.
int OutputDescriptor(RunOptions const& options, int outPipe) {
  switch (options.output) {
    case Output::Captured:
      return outPipe;
    case Output::File: {
      int const file = open(options.stdoutPath.c_str(),  // NOLINT(*-vararg)
                            O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (file < 0) {
        ChildFail("open");
      }
      return file;
    }
    case Output::Closed:
      return -1;
    case Output::Unwritable: {
      int const full = open("/dev/full", O_WRONLY);  // NOLINT(*-vararg)
      if (full < 0) {
        ChildFail("open /dev/full");
      }
      return full;
    }
    case Output::ReaderGone: {
      int ends[2];
      if (pipe(ends) != 0) {
        ChildFail("pipe");
      }
      close(ends[0]);
      // The tool must survive this on its own, not by a disposition inherited from the test.
      std::signal(SIGPIPE, SIG_DFL);
      return ends[1];
    }
  }
  return outPipe;
}

void StartChild(std::vector<std::string> const& argv, RunOptions const& options, int outPipe,
                int errPipe) {
  if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
    ChildFail("chdir");
  }
  int const out = OutputDescriptor(options, outPipe);
  if (options.fileSizeLimit >= 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit const limit{static_cast<rlim_t>(options.fileSizeLimit),
                       static_cast<rlim_t>(options.fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  int const devNull = open("/dev/null", O_RDONLY);  // NOLINT(*-vararg)
  dup2(devNull, STDIN_FILENO);
  if (out < 0) {
    close(STDOUT_FILENO);
  } else {
    dup2(out, STDOUT_FILENO);
  }
  dup2(errPipe, STDERR_FILENO);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (std::string const& arg : argv) {
    // execvp takes char* for historical reasons and does not write through it.
    args.push_back(
        const_cast<char*>(arg.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  }
  args.push_back(nullptr);
  execvp(args[0], args.data());
  ChildFail(args[0]);
}

// Reads both pipes to their ends together, so that neither can fill and block
// the child.
void Drain(int outFd, int errFd, RunResult& result) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char chunk[4096];
      ssize_t const count = read(fds[i].fd, chunk, sizeof chunk);
      if (count > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(count));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// Under a Wine whose err channel a case turned on (TICKLOW_WINE_LOG, see
// scripts/wine-run), Wine's lines ("0024:err:module:...", and the one Wine
// 10's display driver writes where XDG_RUNTIME_DIR is unset) leave the
// program's standard error for the end of that file: the program's own must
// stay empty.
void MoveWineLines(std::string& err) {
  char const* const log = std::getenv("TICKLOW_WINE_LOG");
  if (log == nullptr || err.empty()) {
    return;
  }
  static std::regex const wineLine{
      "^(([0-9a-f]+:)?[0-9a-f]+:(err|fixme|warn|trace):|"
      "error: XDG_RUNTIME_DIR is invalid or not set in the environment\\.\r?\n?$)"};
  std::ofstream file{log, std::ios::binary | std::ios::app};
  std::string kept;
  for (std::size_t start = 0; start < err.size();) {
    std::size_t const end = std::min(err.find('\n', start), err.size() - 1) + 1;
    std::string const line = err.substr(start, end - start);
    if (std::regex_search(line, wineLine)) {
      file << line;
    } else {
      kept += line;
    }
    start = end;
  }
  err = kept;
}

}  // namespace

RunResult RunProcess(std::vector<std::string> const& argv, RunOptions const& options) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    std::abort();
  }
  pid_t const child = fork();
  if (child == 0) {
    StartChild(argv, options, outPipe[1], errPipe[1]);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  Drain(outPipe[0], errPipe[0], result);
  MoveWineLines(result.err);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
  return result;
}

}  // namespace ticklow::testing
