#pragma once

// One argument quoted by the usual Windows convention, as Microsoft's C
// runtime reads it back: in quotation marks when it is empty or holds a
// blank or a mark, each mark escaped by a backslash, and the backslashes
// before a mark or the closing one doubled.

#include <cstddef>
#include <string>

namespace ticklow::testing {

inline std::string QuotedArgument(std::string const& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
    return argument;
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char const c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  return quoted.append(backslashes * 2, '\\') + '"';
}

}  // namespace ticklow::testing
