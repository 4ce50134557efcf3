// The Windows write contract on top of a descriptor write: interrupted writes
// are retried, short ones carried on, and only a complete one succeeds.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/descriptor_calls.hpp"

namespace ticklow {
namespace {

static_assert(DescriptorFor(STD_INPUT_HANDLE) == 0);
static_assert(DescriptorFor(STD_OUTPUT_HANDLE) == 1);
static_assert(DescriptorFor(STD_ERROR_HANDLE) == 2);
static_assert(DescriptorFor(0) == -1 && DescriptorFor(static_cast<DWORD>(-13)) == -1);

struct WriteCase {
  std::vector<std::int64_t> results;  // what each successive write gives
  BOOL succeeded;
  DWORD written;
  std::size_t calls;
};

TEST(WriteAll, RetriesInterruptionsCarriesOnShortWritesAndFailsOnErrors) {
  constexpr DWORD LENGTH = 10;
  std::vector<WriteCase> const cases{
      {{10}, 1, 10, 1},
      {{4, 6}, 1, 10, 2},
      {{WRITE_INTERRUPTED, 10}, 1, 10, 2},
      {{3, WRITE_INTERRUPTED, 7}, 1, 10, 3},
      {{5, -28}, 0, 5, 2},  // -ENOSPC after a short write
      {{-9}, 0, 0, 1},      // -EBADF
      {{0}, 0, 0, 1},       // nothing taken: no progress, so no endless loop
  };
  for (WriteCase const& writeCase : cases) {
    std::size_t calls = 0;
    int descriptor = -1;
    auto const write = [&](int to, char const* /*bytes*/, DWORD /*length*/) {
      descriptor = to;
      return writeCase.results[calls++];
    };
    DWORD written = 99;
    char const bytes[LENGTH] = {};
    BOOL const succeeded = WriteAll(write, HandleFor(STD_OUTPUT_HANDLE), bytes, LENGTH, &written);
    SCOPED_TRACE(::testing::PrintToString(writeCase.results));
    EXPECT_EQ(succeeded, writeCase.succeeded);
    EXPECT_EQ(written, writeCase.written);
    EXPECT_EQ(calls, writeCase.calls);
    EXPECT_EQ(descriptor, 1);
  }
}

}  // namespace
}  // namespace ticklow
