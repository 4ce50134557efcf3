#pragma once

// Both messages live in one block: the bad-argument output is all of it, the
// usage output its tail behind the first line. There is no second copy of the
// usage text.

#include <cstdint>

#include "counter/counter.hpp"

namespace ticklow {

inline constexpr char MessageBlock[] =
    "*** bad argument\r\n"
    "\r\n"
    "Displays lower n (0..64) bits of CPU timer.  https://ticklow.example.org 12/08/2026\r\n"
    "eg: ticklow 31\r\n";

inline constexpr std::uint32_t BAD_ARGUMENT_LINE_SIZE = 18;
// Both outputs end at the byte before the NUL, which is never written.
inline constexpr std::uint32_t MESSAGE_BLOCK_SIZE = sizeof(MessageBlock) - 1;

constexpr ByteRun BadArgumentOutput() { return {MessageBlock, MESSAGE_BLOCK_SIZE}; }

constexpr ByteRun UsageOutput() {
  return {MessageBlock + BAD_ARGUMENT_LINE_SIZE, MESSAGE_BLOCK_SIZE - BAD_ARGUMENT_LINE_SIZE};
}

static_assert(MessageBlock[BAD_ARGUMENT_LINE_SIZE - 2] == '\r' &&
                  MessageBlock[BAD_ARGUMENT_LINE_SIZE - 1] == '\n',
              "the bad-argument line is 18 bytes with its CR LF");
static_assert(MessageBlock[BAD_ARGUMENT_LINE_SIZE] == '\r',
              "the usage output opens with an empty line");
static_assert(MessageBlock[MESSAGE_BLOCK_SIZE - 1] == '\n',
              "the block ends in CR LF before its NUL");

}  // namespace ticklow
