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

// Windows' limit: 32,767 characters and the NUL.
constexpr std::size_t LONGEST_LINE = 32'767;

// "ticklow " and 32,759 more characters: the longest line there is.
TEST(CommandLine, ALineThatJustFitsIsKept) {
  std::string const argument = std::string(LONGEST_LINE - 8 - 2, '0') + "31";
  Built const built = Build({"ticklow", argument});
  EXPECT_TRUE(built.fits);
  EXPECT_EQ(built.line.size(), LONGEST_LINE);
  EXPECT_EQ(ParseBitCount(SkipProgramName(built.line.c_str())), 31U);
}

// One byte more and no part of the line survives: the argument must not be
// cut into another number.
TEST(CommandLine, ALineThatDoesNotFitBecomesABadArgument) {
  std::string const argument = std::string(LONGEST_LINE - 8 - 1, '0') + "31";
  for (Built const& built : {Build({"ticklow", argument}), Build({std::string(40'000, 'n'), "31"}),
                             Build({"ticklow", std::string(LONGEST_LINE, ' ')}),
                             Build({"ticklow", std::string(LONGEST_LINE / 2, '"')})}) {
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
  struct ArgumentCase {
    char const* argument;
    std::uint32_t code;
  };
  constexpr ArgumentCase ARGUMENTS[] = {
      {"31", 31},           {"064", 64},          {"65", BAD_ARGUMENT}, {"x", BAD_ARGUMENT},
      {"", BAD_ARGUMENT},   {" 5", BAD_ARGUMENT}, {"5 ", BAD_ARGUMENT}, {"\"5\"", BAD_ARGUMENT},
      {"\t", BAD_ARGUMENT},
  };
  for (std::string const& name : names) {
    for (ArgumentCase const& argumentCase : ARGUMENTS) {
      Built const built = Build({name, argumentCase.argument, "7"});
      EXPECT_EQ(ParseBitCount(SkipProgramName(built.line.c_str())), argumentCase.code)
          << ::testing::PrintToString(built.line);
    }
    EXPECT_EQ(ParseBitCount(SkipProgramName(Build({name}).line.c_str())), NO_ARGUMENT) << name;
  }
}

}  // namespace
}  // namespace ticklow
