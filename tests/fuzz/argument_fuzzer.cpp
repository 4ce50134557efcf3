// Arbitrary bytes as the command line: argument reading must stay inside the
// line and agree with the reference reading, and every accepted count must
// give a well-formed counter line whose value fits in n bits.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cmdline/cmdline.hpp"
#include "counter/counter.hpp"
#include "reference/argument_model.hpp"

namespace ticklow {
namespace {

void Require(bool holds) {
  if (!holds) {
    std::abort();  // libFuzzer keeps the input that got here
  }
}

// Digits then CR LF, inside the buffer, no leading zero, at most 20 digits,
// and the value itself when one is given.
void RequireCounterLine(ByteRun run, LineBuffer const& buffer, std::uint32_t n,
                        std::uint64_t const* expected) {
  Require(run.start >= buffer.data() && run.start + run.length == buffer.data() + buffer.size());
  Require(run.length >= 3 && run.length <= MAX_DIGITS + 2);
  char const* const cr = run.start + run.length - 2;
  Require(cr[0] == '\r' && cr[1] == '\n');
  Require(run.length == 3 || run.start[0] != '0');
  std::uint64_t value = 0;
  auto const [end, error] = std::from_chars(run.start, cr, value);
  Require(error == std::errc{} && end == cr);
  Require(n == 64 || value >> n == 0);
  Require(expected == nullptr || value == *expected);
}

// A counter value taken from the input's last eight bytes, so that the fuzzer
// steers the value as well as the line.
std::uint64_t CounterFrom(std::uint8_t const* data, std::size_t size) {
  std::uint64_t value = 0;
  std::memcpy(&value, data + size - std::min<std::size_t>(size, 8), std::min<std::size_t>(size, 8));
  return value;
}

}  // namespace
}  // namespace ticklow

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  using namespace ticklow;
  // Exactly the line and its NUL, so that a read past the end is caught.
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  char const* const start = line.data();
  std::size_t const nul = std::strlen(start);

  char const* const position = SkipProgramName(start);
  Require(position >= start && position <= start + nul);
  std::uint32_t const code = ParseBitCount(position);
  Require(code <= MAX_BITS || code == BAD_ARGUMENT || code == NO_ARGUMENT);
  reference::ArgumentReading const expected = reference::ReadArgument({start, size});
  Require(static_cast<std::size_t>(position - start) == expected.position);
  Require(code == expected.code);
  Require(ParseBitCount(start) == reference::ArgumentCode({start, nul}));

  if (code <= MAX_BITS) {
    std::uint64_t const raw = CounterFrom(data, size);
    std::uint64_t const kept = code == 64 ? raw : raw & ((std::uint64_t{1} << code) - 1);
    LineBuffer buffer{};
    CounterValue const halves{static_cast<std::uint32_t>(raw),
                              static_cast<std::uint32_t>(raw >> 32)};
    RequireCounterLine(WriteCounterLine(KeepLowBits(halves, code), buffer), buffer, code, &kept);
    RequireCounterLine(BuildCounterLine(code, buffer), buffer, code, nullptr);
  }
  return 0;
}
