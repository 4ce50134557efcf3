#pragma once

// A recording stand-in for the three platform calls: the test sets the
// command line and the write's result, runs the entry, and reads back what
// was called, in which order, and which bytes were written.

#include <string>
#include <vector>

#include "app/platform_calls.hpp"

namespace ticklow::testing {

struct FakePlatform {
  std::string commandLine;
  BOOL writeResult = 1;

  std::vector<std::string> calls;
  std::vector<DWORD> stdHandleRequests;
  std::vector<HANDLE> writeHandles;
  std::vector<std::string> writes;
  bool writtenCountGiven = true;
  bool overlappedGiven = false;
};

// The one fake every call records into; Reset before each run.
FakePlatform& Fake();
void ResetFake(std::string commandLine, BOOL writeResult = 1);

// The handle the fake hands out for standard output: the address of an
// object of its own, so it can be equal to nothing else.
inline char fakeStdoutObject = 0;
inline HANDLE const FAKE_STDOUT = &fakeStdoutObject;

}  // namespace ticklow::testing
