// Argument reading, rule by rule: the program-name quoting rule, blank
// skipping, and the bit-count reading, in tables also checked at compile time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "cmdline/cmdline.hpp"

namespace ticklow {
namespace {

// Where SkipProgramName stops, as an offset into the line.
constexpr std::ptrdiff_t SkipOffset(char const* line) { return SkipProgramName(line) - line; }

constexpr std::uint32_t ReadLine(char const* line) { return ParseBitCount(SkipProgramName(line)); }

// A table row: a text and what reading it must give. Every table is checked
// twice: at compile time, and at run time on the target's own code paths.
template <class Result>
struct Row {
  char const* text;
  Result expected;
};

template <class Result, std::size_t N, class Read>
constexpr bool AllRowsHold(Row<Result> const (&rows)[N], Read read) {
  return std::ranges::all_of(
      rows, [read](Row<Result> const& row) { return read(row.text) == row.expected; });
}

template <class Result, std::size_t N, class Read>
void ExpectAllRows(Row<Result> const (&rows)[N], Read read) {
  for (Row<Result> const& row : rows) {
    EXPECT_EQ(read(row.text), row.expected) << ::testing::PrintToString(std::string{row.text});
  }
}

constexpr Row<std::uint32_t> PARSE_CASES[] = {
    {"", NO_ARGUMENT},
    {"0", 0},
    {"1", 1},
    {"31", 31},
    {"63", 63},
    {"64", 64},
    {"064", 64},
    {"0000000064", 64},
    {"00", 0},
    {"31 anything", 31},
    {"31\tanything", 31},
    {"31 65", 31},
    {"65", BAD_ARGUMENT},
    {"100", BAD_ARGUMENT},
    {"640", BAD_ARGUMENT},
    {"6400000000000000000000000", BAD_ARGUMENT},
    {"6x", BAD_ARGUMENT},
    {"31,", BAD_ARGUMENT},
    {"31\r", BAD_ARGUMENT},
    {"31\n", BAD_ARGUMENT},
    {"x", BAD_ARGUMENT},
    {"-1", BAD_ARGUMENT},
    {"+5", BAD_ARGUMENT},
    {"\"31\"", BAD_ARGUMENT},
    {"3\"1\"", BAD_ARGUMENT},
    {"/", BAD_ARGUMENT},  // the bytes on either side of the digits
    {":", BAD_ARGUMENT},
    {"3\x80", BAD_ARGUMENT},
    {"\xb3", BAD_ARGUMENT},
    {"\xff", BAD_ARGUMENT},
    // A blank where the argument starts reads as no digit at all; the entry
    // never sees one there, since blank skipping has passed them.
    {" 5", NO_ARGUMENT},
};

static_assert(AllRowsHold(PARSE_CASES, ParseBitCount));

TEST(ParseBitCount, GivesTheCodeOfEachArgumentInTheTable) {
  ExpectAllRows(PARSE_CASES, ParseBitCount);
}

TEST(ParseBitCount, AcceptsEveryCountWithAndWithoutLeadingZeros) {
  for (std::uint32_t n = 0; n <= MAX_BITS; ++n) {
    std::string const plain = std::to_string(n);
    EXPECT_EQ(ParseBitCount(plain.c_str()), n);
    EXPECT_EQ(ParseBitCount(("000" + plain).c_str()), n);
    EXPECT_EQ(ParseBitCount((plain + " 99").c_str()), n);
  }
}

// No byte but the ten digits may count as one, and none but NUL, space and
// tab may end a number.
TEST(ParseBitCount, TreatsOnlyTheTenDigitsAsDigits) {
  for (int byte = 1; byte < 256; ++byte) {
    char const c = static_cast<char>(byte);
    std::string const alone{c};
    std::string const behind{'7', c};
    bool const digit = byte >= '0' && byte <= '9';
    bool const ends = byte == ' ' || byte == '\t';
    std::uint32_t const aloneCode =
        digit ? static_cast<std::uint32_t>(byte - '0') : (ends ? NO_ARGUMENT : BAD_ARGUMENT);
    EXPECT_EQ(ParseBitCount(alone.c_str()), aloneCode) << "byte " << byte;
    // 7 followed by a digit is 70 or more, past 64.
    EXPECT_EQ(ParseBitCount(behind.c_str()), ends ? 7U : BAD_ARGUMENT) << "byte " << byte;
  }
}

// Reading stops at the digit that passes 64, so no length can overflow it.
TEST(ParseBitCount, LongDigitStringsNeitherOverflowNorWrap) {
  std::string const zeros(30'000, '0');
  EXPECT_EQ(ParseBitCount((zeros + "64").c_str()), 64U);
  EXPECT_EQ(ParseBitCount((zeros + "65").c_str()), BAD_ARGUMENT);
  EXPECT_EQ(ParseBitCount(zeros.c_str()), 0U);
  EXPECT_EQ(ParseBitCount(std::string(30'000, '9').c_str()), BAD_ARGUMENT);
  // 429496729 * 10 + 6 wraps 32 bits to 0: a reading that did not stop early
  // would take this for 0.
  EXPECT_EQ(ParseBitCount("4294967296"), BAD_ARGUMENT);
  EXPECT_EQ(ParseBitCount("4294967360"), BAD_ARGUMENT);
}

// Where the argument starts.
constexpr Row<std::ptrdiff_t> SKIP_CASES[] = {
    {"", 0},
    {"ticklow", 7},
    {"ticklow 31", 8},
    {"ticklow  \t \t12", 12},
    {"ticklow\t31", 10},  // a tab does not end the name
    {" 31", 1},           // a leading space ends an empty name
    {"\t31", 3},
    {R"("C:\Program Files\ticklow.exe" 31)", 31},
    {R"("C:\Program Files\ticklow.exe"31)", 32},  // glued on: all name
    {"\"a b\"\t31", 8},                           // a tab after a closing mark does not end it
    {"\"\"ticklow 7", 10},                        // a doubled mark changes nothing
    {"tick\"low 5", 10},                          // a mark mid-name opens quotes...
    {"tick\"low\" 5", 10},                        // ...and a later one closes them
    {"a\" b 5", 6},                               // opened before a space, never closed
    {R"("a b"" 5")", 9},                          // a doubled mark inside quotes keeps them open
    {R"("a b""" 5)", 8},                          // doubled, then closed
    {"ticklow\"", 8},                             // a lone mark at the very end
    {"\"", 1},
    {"\"\"", 2},
    {"\"\" 3", 3},
    {"\" 3", 3},
};

static_assert(AllRowsHold(SKIP_CASES, SkipOffset));

TEST(SkipProgramName, StopsWhereTheArgumentStartsInEachLineOfTheTable) {
  ExpectAllRows(SKIP_CASES, SkipOffset);
}

constexpr Row<std::uint32_t> LINE_CASES[] = {
    {"ticklow", NO_ARGUMENT},
    {"ticklow ", NO_ARGUMENT},
    {"ticklow \t 12", 12},
    {R"("C:\Program Files\ticklow.exe" 31)", 31},
    {R"("C:\Program Files\ticklow.exe"31)", NO_ARGUMENT},
    {"ticklow\t31", NO_ARGUMENT},
    {" 31", 31},
    {"\"\"ticklow 7", 7},
    {"a\" b 5", NO_ARGUMENT},
    {R"("a b"" 5)", NO_ARGUMENT},
    {"ticklow\"", NO_ARGUMENT},
    {"ticklow 31 65", 31},
    {"ticklow \"31\"", BAD_ARGUMENT},
    {"ticklow 65", BAD_ARGUMENT},
};

static_assert(AllRowsHold(LINE_CASES, ReadLine));

TEST(ArgumentReading, GivesTheCodeOfTheFirstArgumentOfEachLineInTheTable) {
  ExpectAllRows(LINE_CASES, ReadLine);
}

}  // namespace
}  // namespace ticklow
