#pragma once

// The tool's outputs, written out byte for byte independently of the code
// that produces them, and a checker for the counter line, whose digits differ
// from run to run.

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <string_view>

namespace ticklow::testing {

inline constexpr std::string_view EXPECTED_USAGE =
    "\r\n"
    "Displays lower n (0..64) bits of CPU timer.  https://ticklow.example.org 12/08/2026\r\n"
    "eg: ticklow 31\r\n";

inline constexpr std::string_view EXPECTED_BAD_ARGUMENT =
    "*** bad argument\r\n"
    "\r\n"
    "Displays lower n (0..64) bits of CPU timer.  https://ticklow.example.org 12/08/2026\r\n"
    "eg: ticklow 31\r\n";

// A counter line for n bits is 1 to 20 digits with no leading zero, then
// CR LF, and its value is below 2^n. The value goes to *value when asked for.
inline ::testing::AssertionResult IsCounterLine(std::string_view line, unsigned n,
                                                std::uint64_t* value = nullptr) {
  auto failure = [&line]() {
    return ::testing::AssertionFailure() << "line \"" << ::testing::PrintToString(line) << "\": ";
  };
  if (line.size() < 3 || !line.ends_with("\r\n")) {
    return failure() << "no digits followed by CR LF";
  }
  std::string_view const digits = line.substr(0, line.size() - 2);
  if (digits.size() > 20 || (digits.size() > 1 && digits.front() == '0')) {
    return failure() << "more than 20 digits or a leading zero";
  }
  std::uint64_t parsed = 0;
  auto const [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  if (error != std::errc{} || end != digits.data() + digits.size()) {
    return failure() << "not a decimal number that fits 64 bits";
  }
  if (n < 64 && parsed >> n != 0) {
    return failure() << "value " << parsed << " is not below 2^" << n;
  }
  if (value != nullptr) {
    *value = parsed;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace ticklow::testing
