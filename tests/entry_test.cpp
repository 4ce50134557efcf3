// The entry against the recording fake: which output it picks, the exact
// bytes, one write, the order of the platform calls and the exit status.

#include <gtest/gtest.h>

#include <string>

#include "app/entry.hpp"
#include "expected_output.hpp"
#include "fake_platform.hpp"
#include "reference/counter_reference.hpp"

namespace ticklow::testing {
namespace {

enum class Output { Usage, BadArgument, Counter };

struct EntryCase {
  char const* commandLine;
  Output output;
  unsigned bits;  // for Output::Counter
};

constexpr EntryCase ENTRY_CASES[] = {
    {"ticklow", Output::Usage, 0},
    {"ticklow   ", Output::Usage, 0},
    {"ticklow \t \t", Output::Usage, 0},
    {"", Output::Usage, 0},
    {"ticklow 65", Output::BadArgument, 0},
    {"ticklow 100", Output::BadArgument, 0},
    {"ticklow x", Output::BadArgument, 0},
    {"ticklow -1", Output::BadArgument, 0},
    {"ticklow \"31\"", Output::BadArgument, 0},
    {"ticklow 0", Output::Counter, 0},
    {"ticklow 1", Output::Counter, 1},
    {"ticklow 31", Output::Counter, 31},
    {"ticklow 32 extra", Output::Counter, 32},
    {R"("C:\Program Files\ticklow.exe" 33)", Output::Counter, 33},
    {"ticklow 064", Output::Counter, 64},
};

TEST(Entry, WritesTheChosenOutputOnceAndReturnsTheWriteFlag) {
  for (EntryCase const& entryCase : ENTRY_CASES) {
    SCOPED_TRACE(::testing::PrintToString(std::string{entryCase.commandLine}));
    ResetFake(entryCase.commandLine);

    EXPECT_EQ(TicklowEntry(), 1U);

    ASSERT_EQ(Fake().writes.size(), 1U);
    std::string const& written = Fake().writes.front();
    switch (entryCase.output) {
      case Output::Usage:
        EXPECT_EQ(written, EXPECTED_USAGE);
        break;
      case Output::BadArgument:
        EXPECT_EQ(written, EXPECTED_BAD_ARGUMENT);
        break;
      case Output::Counter:
        EXPECT_TRUE(IsCounterLine(written, entryCase.bits));
        break;
    }
  }
}

// Every count the entry accepts: the line is the processor's count modulo
// 2^n at a moment between two readings the test makes itself (0 bits: "0").
TEST(Entry, WritesTheCountModuloTwoToTheNForEveryN) {
  for (unsigned n = 0; n <= 64; ++n) {
    ResetFake("ticklow " + std::to_string(n));
    std::uint64_t const before = ReferenceCount();
    TicklowEntry();
    std::uint64_t const after = ReferenceCount();
    ASSERT_EQ(Fake().writes.size(), 1U);
    std::uint64_t value = 0;
    ASSERT_TRUE(IsCounterLine(Fake().writes.front(), n, &value)) << "n = " << n;
    EXPECT_TRUE(IsBracketed(value, n, before, after)) << "n = " << n;
  }
}

TEST(Entry, TakesTheOutputHandleBeforeTheCommandLineAndWritesToIt) {
  ResetFake("ticklow 12");
  TicklowEntry();
  EXPECT_EQ(Fake().calls,
            (std::vector<std::string>{"GetStdHandle", "GetCommandLineA", "WriteFile"}));
  EXPECT_EQ(Fake().stdHandleRequests, std::vector<DWORD>{static_cast<DWORD>(-11)});
  EXPECT_EQ(Fake().writeHandles, std::vector<HANDLE>{FAKE_STDOUT});
  EXPECT_TRUE(Fake().writtenCountGiven);
  EXPECT_FALSE(Fake().overlappedGiven);
}

// The exit status is the write's own flag, whatever was written.
TEST(Entry, ReturnsTheWriteFlagBothWays) {
  for (char const* line : {"ticklow 16", "ticklow", "ticklow x"}) {
    for (BOOL const flag : {0, 1, 7}) {
      ResetFake(line, flag);
      EXPECT_EQ(TicklowEntry(), static_cast<std::uint32_t>(flag)) << line;
      EXPECT_EQ(Fake().writes.size(), 1U) << line;
    }
  }
}

}  // namespace
}  // namespace ticklow::testing
