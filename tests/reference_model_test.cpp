// Argument reading against the plain reference reading on every line of up to
// five characters over the bytes that matter to it.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "cmdline/cmdline.hpp"
#include "reference/argument_model.hpp"

namespace ticklow {
namespace {

// One byte of every class argument reading tells apart, and of each class it
// must not mistake for one: the two blanks; the other control bytes, which
// are no blanks wherever they stand (BS below the tab, LF, VT, FF and CR above
// it); the quotation mark; digits at and around the limits, with '/' and ':'
// on either side of the digit range; and a byte above 127.
constexpr std::string_view ALPHABET{" \t\b\n\v\f\r\"/:04569\xB2", 15};
constexpr std::size_t LONGEST = 5;

// Every line up to LONGEST characters, in order of length: 813,616 of them.
constexpr std::size_t LineCount() {
  std::size_t total = 0;
  std::size_t ofLength = 1;
  for (std::size_t length = 0; length <= LONGEST; ++length) {
    total += ofLength;
    ofLength *= ALPHABET.size();
  }
  return total;
}
static_assert(LineCount() == 813'616);

// Steps the line to the next one of the same length, like an odometer; false
// once every line of that length has been seen.
bool NextLine(std::array<std::size_t, LONGEST>& digits, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (++digits[i] < ALPHABET.size()) {
      return true;
    }
    digits[i] = 0;
  }
  return false;
}

TEST(ReferenceModel, AgreesOnAll813616LinesOfUpToFiveCharacters) {
  std::size_t checked = 0;
  std::size_t mismatches = 0;
  for (std::size_t length = 0; length <= LONGEST; ++length) {
    std::array<std::size_t, LONGEST> digits{};
    do {
      std::array<char, LONGEST + 1> line{};  // NUL-terminated whatever the length
      for (std::size_t i = 0; i < length; ++i) {
        line[i] = ALPHABET[digits[i]];
      }
      reference::ArgumentReading const expected = reference::ReadArgument({line.data(), length});
      char const* const position = SkipProgramName(line.data());
      std::uint32_t const code = ParseBitCount(position);
      ++checked;
      if (position != line.data() + expected.position || code != expected.code) {
        if (++mismatches <= 10) {
          ADD_FAILURE() << ::testing::PrintToString(std::string{line.data(), length})
                        << ": position " << position - line.data() << " code " << code
                        << ", the reference reading gives position " << expected.position
                        << " code " << expected.code;
        }
      }
    } while (NextLine(digits, length));
  }
  EXPECT_EQ(checked, LineCount());
  EXPECT_EQ(mismatches, 0U);
  RecordProperty("lines_checked", static_cast<int>(checked));
}

}  // namespace
}  // namespace ticklow
