#pragma once

// A second, deliberately plain reading of the first argument, written from the
// rules rather than from the tool's code: find where the program name ends,
// pass the blanks, then judge the digit string as text, so that no arithmetic
// can overflow and no early stop can hide a mistake. Slow and obvious; the
// exhaustive test and the fuzzer hold the real code to it.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cmdline/cmdline.hpp"

namespace ticklow::reference {

struct ArgumentReading {
  std::size_t position;  // where the argument starts; the line's length for its NUL
  std::uint32_t code;
};

inline bool IsPlainBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsPlainDigit(char c) { return c >= '0' && c <= '9'; }

// The index of the space that ends the program name, or the line's length.
inline std::size_t ProgramNameEnd(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') {
      if (i + 1 < line.size() && line[i + 1] == '"') {
        ++i;  // a pair is one ordinary character and leaves the state alone
      } else {
        quoted = !quoted;
      }
    } else if (line[i] == ' ' && !quoted) {
      return i;
    }
  }
  return line.size();
}

// What the argument at the front of text reads as.
inline std::uint32_t ArgumentCode(std::string_view text) {
  std::size_t digits = 0;
  while (digits < text.size() && IsPlainDigit(text[digits])) {
    ++digits;
  }
  // A number that passes 64 is refused whatever stands behind it.
  std::string_view number = text.substr(0, digits);
  while (number.size() > 1 && number.front() == '0') {
    number.remove_prefix(1);
  }
  bool const small = number.size() < 2 || (number.size() == 2 && number <= "64");
  if (!small) {
    return BAD_ARGUMENT;
  }
  bool const ends = digits == text.size() || IsPlainBlank(text[digits]);
  if (!ends) {
    return BAD_ARGUMENT;
  }
  if (number.empty()) {
    return NO_ARGUMENT;
  }
  std::uint32_t value = 0;
  for (char const c : number) {
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

// The whole reading of a line, which ends at its first NUL if it holds one.
inline ArgumentReading ReadArgument(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  std::size_t position = ProgramNameEnd(line);
  while (position < line.size() && IsPlainBlank(line[position])) {
    ++position;
  }
  return {position, ArgumentCode(line.substr(position))};
}

}  // namespace ticklow::reference
