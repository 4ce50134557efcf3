// The POSIX layer's rebuilding of a Windows command line from an argument
// vector: the quoting, the stop after the first argument, the size limit, and
// that the entry's own reading finds the first argument in what it builds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "cmdline/cmdline.hpp"
#include "platform/command_line.hpp"
#include "quoted_argument.hpp"

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

// The layout written out plainly from the Windows rules, with no limit: the
// name quoted when empty or holding a blank or a quotation mark, each mark in
// it doubled; the first argument quoted by the usual convention; a space
// before it, and one behind it when more arguments follow.
std::string QuotedName(std::string const& name) {
  if (!name.empty() && name.find_first_of(" \t\"") == std::string::npos) {
    return name;
  }
  std::string quoted = "\"";
  for (char const c : name) {
    quoted += c == '"' ? "\"\"" : std::string(1, c);
  }
  return quoted + '"';
}

std::string WindowsLine(std::vector<std::string> const& argv) {
  std::string line = QuotedName(argv.empty() ? "" : argv[0]);
  if (argv.size() > 1) {
    line += ' ' + ticklow::testing::QuotedArgument(argv[1]) + (argv.size() > 2 ? " " : "");
  }
  return line;
}

// Each byte the layout adds (the quotes around a name, a doubled mark, the
// space before the argument, its quotes and backslashes, the space behind it)
// is made the first one past the room, and the one just inside it, by padding
// the front of the name or the argument. The room is the real one and a small
// one, which puts the padding on the other side of the buffer's own limits.
template <std::size_t Capacity>
void ExpectTheWindowsAnswerAtTheEdge() {
  struct EdgeCase {
    std::string name;  // padded at the front
    std::vector<std::string> arguments;
  };
  std::vector<EdgeCase> const cases{
      {"n", {}},        {"a b", {}},        {"a\"b", {}},     {"a\"", {}},
      {"n", {"31"}},    {"n", {"31", "7"}}, {"a b", {"31"}},  {"n", {""}},
      {"n", {"", "7"}}, {"n", {"a\"b"}},    {"n", {"a b\\"}}, {"n", {"x\\\"y z", "7"}},
      {"n", {"\t"}},    {"n", {"a\\b"}},
  };
  constexpr std::size_t LONGEST = Capacity - 1;
  for (EdgeCase const& edge : cases) {
    for (bool const padArgument : {false, true}) {
      // Padding an empty argument would take its quotes away.
      if (padArgument && (edge.arguments.empty() || edge.arguments[0].empty())) {
        continue;
      }
      std::vector<std::string> argv{edge.name};
      argv.insert(argv.end(), edge.arguments.begin(), edge.arguments.end());
      std::string& padded = argv[padArgument ? 1 : 0];
      std::size_t const unpadded = WindowsLine(argv).size();
      std::string const original = padded;
      // Lines from 12 bytes short of the room to 4 past it.
      for (std::size_t length = LONGEST - 12; length <= LONGEST + 4; ++length) {
        padded = std::string(length - unpadded, 'p') + original;
        std::string const expected = WindowsLine(argv);
        ASSERT_EQ(expected.size(), length);
        std::vector<char const*> pointers;
        pointers.reserve(argv.size());
        for (std::string const& argument : argv) {
          pointers.push_back(argument.c_str());
        }
        static char buffer[Capacity];
        bool const fits = BuildCommandLine(static_cast<int>(argv.size()), pointers.data(), buffer);
        std::string const line{buffer};
        // The end of a line tells the case; the padding would drown it.
        auto const tail = [](std::string const& text) {
          return ::testing::PrintToString(
              text.substr(text.size() - std::min<std::size_t>(16, text.size())));
        };
        EXPECT_EQ(fits, length <= LONGEST) << length << " bytes ending " << tail(expected);
        EXPECT_TRUE(line == (length <= LONGEST ? expected : OVERSIZED_COMMAND_LINE))
            << "room " << LONGEST << ", " << length << " bytes ending " << tail(expected)
            << ", laid out as " << line.size() << " bytes ending " << tail(line);
      }
    }
  }
}

TEST(CommandLine, EachByteTheLayoutAddsFitsExactlyAsWindowsWouldHaveIt) {
  ExpectTheWindowsAnswerAtTheEdge<COMMAND_LINE_CAPACITY>();
  ExpectTheWindowsAnswerAtTheEdge<48>();
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
