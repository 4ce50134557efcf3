// The POSIX layer's rebuilding of a Windows command line from an argument
// vector: the quoting, the stop after the first argument, the size limit, and
// that the entry's own reading finds the first argument in what it builds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline/cmdline.hpp"
#include "platform/command_line.hpp"

namespace ticklow {
namespace {

struct Built {
  bool fits;
  std::string line;
};

Built Build(std::vector<std::string> const& arguments) {
  std::vector<char const*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string const& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);
  static char buffer[COMMAND_LINE_CAPACITY];
  bool const fits = BuildCommandLine(static_cast<int>(arguments.size()), argv.data(), buffer);
  return {fits, buffer};
}

struct QuotingCase {
  std::vector<std::string> argv;
  char const* line;
};

TEST(CommandLine, QuotesLikeWindowsAndStopsAfterTheFirstArgument) {
  std::vector<QuotingCase> const cases{
      {{"ticklow"}, "ticklow"},
      {{"ticklow", "31"}, "ticklow 31"},
      {{"ticklow", "31", "x", "y"}, "ticklow 31 "},  // nothing behind the first is read
      {{"/opt/my tools/ticklow", "31"}, "\"/opt/my tools/ticklow\" 31"},
      {{"tab\tname", "1"}, "\"tab\tname\" 1"},
      {{R"(say"what)", "1"}, R"("say""what" 1)"},
      {{"", "5"}, "\"\" 5"},
      {{"ticklow", ""}, "ticklow \"\""},
      {{"ticklow", "3 1"}, "ticklow \"3 1\""},
      {{"ticklow", "\t"}, "ticklow \"\t\""},
      {{"ticklow", R"("5")"}, R"(ticklow "\"5\"")"},
      {{"ticklow", R"(a\"b)"}, R"(ticklow "a\\\"b")"},
      {{"ticklow", R"(a b\)"}, R"(ticklow "a b\\")"},
      {{"ticklow", R"(a\b)"}, R"(ticklow a\b)"},
      {{"ticklow", R"(\\x y)"}, R"(ticklow "\\x y")"}};
  for (QuotingCase const& quotingCase : cases) {
    Built const built = Build(quotingCase.argv);
    EXPECT_TRUE(built.fits);
    EXPECT_EQ(built.line, quotingCase.line) << ::testing::PrintToString(quotingCase.argv);
  }
}

TEST(CommandLine, AnEmptyArgumentVectorGivesAnEmptyName) {
  Built const built = Build({});
  EXPECT_TRUE(built.fits);
  EXPECT_EQ(built.line, "\"\"");
  EXPECT_EQ(ParseBitCount(SkipProgramName(built.line.c_str())), NO_ARGUMENT);
}

TEST(CommandLine, ALineThatJustFitsIsKept) {
  std::string const argument = "0000" + std::string(COMMAND_LINE_CAPACITY - 1 - 8 - 6, '0') + "31";
  Built const built = Build({"ticklow", argument});
  EXPECT_TRUE(built.fits);
  EXPECT_EQ(built.line.size(), COMMAND_LINE_CAPACITY - 1);
  EXPECT_EQ(ParseBitCount(SkipProgramName(built.line.c_str())), 31U);
}

// One byte more and no part of the line survives: the argument must not be
// cut into another number.
TEST(CommandLine, ALineThatDoesNotFitBecomesABadArgument) {
  std::string const argument = std::string(COMMAND_LINE_CAPACITY - 1 - 8 - 1, '0') + "31";
  for (Built const& built : {Build({"ticklow", argument}), Build({std::string(40'000, 'n'), "31"}),
                             Build({"ticklow", std::string(COMMAND_LINE_CAPACITY, ' ')}),
                             Build({"ticklow", std::string(COMMAND_LINE_CAPACITY / 2, '"')})}) {
    EXPECT_FALSE(built.fits);
    EXPECT_EQ(built.line, OVERSIZED_COMMAND_LINE);
    EXPECT_EQ(ParseBitCount(SkipProgramName(built.line.c_str())), BAD_ARGUMENT);
  }
}

// Whatever the program is called, the entry finds the first argument where the
// layer put it: a plain argument reads as itself, a quoted one is bad.
TEST(CommandLine, TheEntryReadsTheFirstArgumentBehindAnyName) {
  std::vector<std::string> const names{"ticklow", "",     "\"",   "\"\"", "a b",     "\"a b\"",
                                       "a\"b c",  "\" x", "x \"", "\t",   "a\"\" b", "\\\" z"};
  std::vector<std::string> const arguments{"31", "064", "65", "x", "", " 5", "5 ", "\"5\"", "\t"};
  for (std::string const& name : names) {
    for (std::string const& argument : arguments) {
      Built const built = Build({name, argument, "7"});
      bool const quoted = argument.empty() || argument.find_first_of(" \t\"") != std::string::npos;
      std::uint32_t const expected = quoted ? BAD_ARGUMENT : ParseBitCount(argument.c_str());
      EXPECT_EQ(ParseBitCount(SkipProgramName(built.line.c_str())), expected)
          << ::testing::PrintToString(built.line);
    }
    EXPECT_EQ(ParseBitCount(SkipProgramName(Build({name}).line.c_str())), NO_ARGUMENT) << name;
  }
}

}  // namespace
}  // namespace ticklow
