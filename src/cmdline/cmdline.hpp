#pragma once

// Reading the first argument straight from the raw command line, the way the
// process received it: the program name is passed over by the tool's own
// quoting rule, then a decimal bit count is read. Pure and constexpr, so the
// tables of cases are also checked at compile time.

#include <cstdint>

namespace ticklow {

inline constexpr std::uint32_t MAX_BITS = 64;
inline constexpr std::uint32_t BAD_ARGUMENT = 65;
// The only code that is negative as a signed 32-bit number: the entry tells
// it from BAD_ARGUMENT by the sign alone.
inline constexpr std::uint32_t NO_ARGUMENT = 0x8000'0000;

constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Compared as raw bytes: a byte of 128 or above wraps far past 9, never into
// the digits, whether plain char is signed or not.
constexpr bool IsDigit(char c) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) - std::uint32_t{'0'} <= 9;
}

constexpr std::uint32_t DigitValue(char c) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) - std::uint32_t{'0'};
}

// Gives the first character after the program name and the blanks behind it
// (possibly the terminating NUL). A quotation mark anywhere in the name flips
// the quoted state, two adjacent ones stand for an ordinary character, and only
// a space outside quotes ends the name; tabs count as blanks only after that.
constexpr char const* SkipProgramName(char const* line) {
  bool quoted = false;
  char c = *line++;
  while (c != '\0') {
    if (c == '"') {
      char const next = *line++;
      if (next == '\0') {
        c = next;
        break;
      }
      if (next == '"') {
        c = *line++;
        continue;
      }
      quoted = !quoted;
      // The character behind a mark is judged under the state it has just set.
      c = next;
    }
    if (!quoted && c == ' ') {
      break;
    }
    c = *line++;
  }
  while (IsBlank(c)) {
    c = *line++;
  }
  return line - 1;
}

// Gives the bit count 0 to 64, BAD_ARGUMENT or NO_ARGUMENT. The accumulator
// starts at the NO_ARGUMENT mark, which the first digit wipes out because
// 0x80000000 * 10 leaves nothing in 32 bits. Reading stops at the first digit
// that carries the value past 64, so the accumulator stays below 650 and
// cannot overflow however long the digit string is.
constexpr std::uint32_t ParseBitCount(char const* position) {
  std::uint32_t accumulator = NO_ARGUMENT;
  char c = *position++;
  while (IsDigit(c)) {
    accumulator = accumulator * 10 + DigitValue(c);
    if (accumulator > MAX_BITS) {
      break;  // c is a digit, so the end test below rejects it
    }
    c = *position++;
  }
  return (c == '\0' || IsBlank(c)) ? accumulator : BAD_ARGUMENT;
}

}  // namespace ticklow
