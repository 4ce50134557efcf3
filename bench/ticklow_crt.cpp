// The same tool written the ordinary way, for comparison only: main behind
// the C runtime's start-up, the argument from argv, the line from printf.
// Standard output is in text mode, so each \n goes out as CR LF.

#include <x86intrin.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char USAGE[] =
    "\nDisplays lower n (0..64) bits of CPU timer.  https://ticklow.example.org 12/08/2026\n"
    "eg: ticklow 31\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return std::fputs(USAGE, stdout) >= 0 ? 1 : 0;
  }
  char* end = nullptr;
  unsigned long const n = std::strtoul(argv[1], &end, 10);
  if (std::isdigit(static_cast<unsigned char>(argv[1][0])) == 0 || *end != '\0' || n > 64) {
    return std::printf("*** bad argument\n%s", USAGE) >= 0 ? 1 : 0;
  }
  unsigned long long value = __rdtsc();
  if (n < 64) {
    value &= (1ULL << n) - 1;
  }
  return std::printf("%llu\n", value) >= 0 ? 1 : 0;
}
