#include "app/entry.hpp"

#include "app/message_block.hpp"
#include "app/platform_calls.hpp"
#include "cmdline/cmdline.hpp"
#include "counter/counter.hpp"

namespace ticklow {

std::uint32_t TicklowEntry() {
  HANDLE const output = GetStdHandle(STD_OUTPUT_HANDLE);
  std::uint32_t const code = ParseBitCount(SkipProgramName(GetCommandLineA()));

  LineBuffer line;  // filled by BuildCounterLine only when a count is written
  ByteRun chosen{};
  // One unsigned comparison separates the counts from both error codes; the
  // sign then tells NO_ARGUMENT (0x80000000) from BAD_ARGUMENT.
  if (code <= MAX_BITS) {
    chosen = BuildCounterLine(code, line);
  } else if (static_cast<std::int32_t>(code) < 0) {
    chosen = UsageOutput();
  } else {
    chosen = BadArgumentOutput();
  }

  DWORD written = 0;  // reported, never examined
  return static_cast<std::uint32_t>(
      WriteFile(output, chosen.start, chosen.length, &written, nullptr));
}

}  // namespace ticklow
