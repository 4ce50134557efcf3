// The Windows write contract on top of a descriptor write: interrupted writes
// are retried, short ones carried on from where they stopped, and only a
// complete one succeeds.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
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
};

// A device that takes what each result says from the bytes it is handed, and
// checks that every call carries on exactly where the last one stopped.
TEST(WriteAll, RetriesInterruptionsCarriesOnShortWritesAndFailsOnErrors) {
  constexpr std::string_view SOURCE = "0123456789";
  constexpr std::int64_t INTERRUPTED = -EINTR;  // what Linux's write gives
  std::vector<WriteCase> const cases{
      {{10}, 1, 10},
      {{4, 6}, 1, 10},
      {{4, 4, 2}, 1, 10},
      {{INTERRUPTED, 10}, 1, 10},
      {{3, INTERRUPTED, 7}, 1, 10},
      {{5, -ENOSPC}, 0, 5},
      {{-EBADF}, 0, 0},
      {{0}, 0, 0},  // nothing taken: no progress, so no endless loop
  };
  for (WriteCase const& writeCase : cases) {
    SCOPED_TRACE(::testing::PrintToString(writeCase.results));
    std::size_t calls = 0;
    std::string device;
    auto const write = [&](int descriptor, char const* bytes, DWORD length) {
      EXPECT_EQ(descriptor, 1);
      EXPECT_EQ(bytes, SOURCE.data() + device.size()) << "call " << calls;
      EXPECT_EQ(length, SOURCE.size() - device.size()) << "call " << calls;
      std::int64_t const result = writeCase.results.at(calls++);
      if (result > 0) {
        device.append(bytes, static_cast<std::size_t>(result));
      }
      return result;
    };
    DWORD written = 99;
    BOOL const succeeded = WriteAll(write, HandleFor(STD_OUTPUT_HANDLE), SOURCE.data(),
                                    static_cast<DWORD>(SOURCE.size()), &written);
    EXPECT_EQ(succeeded, writeCase.succeeded);
    EXPECT_EQ(written, writeCase.written);
    EXPECT_EQ(device, SOURCE.substr(0, writeCase.written));
    EXPECT_EQ(calls, writeCase.results.size());
  }
}

}  // namespace
}  // namespace ticklow
