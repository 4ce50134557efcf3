// Starts a Windows program the way an ordinary launch never does: with a
// command line given byte for byte and a chosen standard-output handle, as
// many times in a row as asked. The end-to-end tests run it under Wine.
//
//   ticklow_launch PROGRAM OUTPUT RUNS LINE_IN_HEX
//   ticklow_launch count
//
// OUTPUT is "inherit" (this launcher's own standard output), "null" or
// "invalid" (a handle value that names nothing). The line comes in hex so that
// no quoting or code page on the way can alter it. The exit status is the
// program's, when every run gave the same one; 255 when they differed, 254
// when the program could not be started or the arguments were wrong. With
// "count" it writes the processor's count instead, in 16 hex digits and CR
// LF: the Windows-native suite, an x64 program, reads an emulated time-stamp
// counter on ARM64 Windows, and takes the ARM64 count from this launcher.
//
// It is built as ticklow.exe is, with no C runtime, because ARM64 has none
// here: it reads its own command line and calls nothing but KERNEL32.

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Compilers call these for zeroing and copying structures; with no C library
// the program brings its own. Volatile, so that the loops are not turned back
// into calls of themselves.
extern "C" void* memset(void* destination, int value, std::size_t size) {
  auto* const bytes = static_cast<unsigned char volatile*>(destination);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<unsigned char>(value);
  }
  return destination;
}

extern "C" void* memcpy(void* destination, void const* source, std::size_t size) {
  auto* const to = static_cast<unsigned char volatile*>(destination);
  auto const* const from = static_cast<unsigned char const*>(source);
  for (std::size_t i = 0; i < size; ++i) {
    to[i] = from[i];
  }
  return destination;
}

namespace {

constexpr DWORD RUNS_DIFFERED = 255;
constexpr DWORD NOT_STARTED = 254;
// Small enough that no buffer needs the stack probes a C runtime would supply.
constexpr std::size_t PATH_LIMIT = 512;
constexpr std::size_t LINE_LIMIT = 1'024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool AtEnd(char const* line) {
  while (IsBlank(*line)) {
    ++line;
  }
  return *line == '\0';
}

// Past the program name: up to the first blank outside quotes.
char const* SkipProgramName(char const* line) {
  bool quoted = false;
  for (; *line != '\0' && (quoted || !IsBlank(*line)); ++line) {
    quoted = (*line == '"') != quoted;
  }
  return line;
}

// The next argument, NUL-terminated in out: a word, or a quoted one with
// blanks in it (the program's path), which is all the tests pass. Anything
// that would need unquoting is refused. Gives the rest of the line, or
// nullptr.
char const* NextArgument(char const* line, char* out, std::size_t size) {
  while (IsBlank(*line)) {
    ++line;
  }
  bool const quoted = *line == '"';
  line += quoted ? 1 : 0;
  std::size_t length = 0;
  for (; *line != '\0' && (quoted ? *line != '"' : !IsBlank(*line)); ++line) {
    if (*line == '"' || length + 1 == size) {
      return nullptr;
    }
    out[length++] = *line;
  }
  if (quoted && *line++ != '"') {
    return nullptr;
  }
  out[length] = '\0';
  return length == 0 || (*line != '\0' && !IsBlank(*line)) ? nullptr : line;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// Decodes hex in place; false for anything but pairs of lowercase hex digits.
bool FromHex(char* text) {
  std::size_t length = 0;
  for (; text[2 * length] != '\0'; ++length) {
    int const high = HexValue(text[2 * length]);
    int const low = high < 0 ? -1 : HexValue(text[2 * length + 1]);
    if (low < 0) {
      return false;
    }
    text[length] = static_cast<char>(high * 16 + low);
  }
  text[length] = '\0';
  return true;
}

bool ReadCount(char const* text, DWORD& count) {
  count = 0;
  for (; *text >= '0' && *text <= '9' && count < 1'000'000; ++text) {
    count = count * 10 + static_cast<DWORD>(*text - '0');
  }
  return *text == '\0' && count > 0;
}

bool Equal(char const* text, char const* word) {
  for (; *text == *word; ++text, ++word) {
    if (*text == '\0') {
      return true;
    }
  }
  return false;
}

bool OutputHandle(char const* mode, HANDLE& handle) {
  if (Equal(mode, "inherit")) {
    handle = GetStdHandle(STD_OUTPUT_HANDLE);
  } else if (Equal(mode, "null")) {
    handle = nullptr;
  } else if (Equal(mode, "invalid")) {
    handle = reinterpret_cast<HANDLE>(std::uintptr_t{0xBAD0});  // NOLINT(performance-no-int-to-ptr)
  } else {
    return false;
  }
  return true;
}

void Report(char const* text) {
  std::size_t length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
}

void ReportNumber(DWORD number) {
  char digits[12] = {};
  std::size_t at = sizeof digits - 1;
  do {
    digits[--at] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  Report(digits + at);
}

// Starts the program with the standard handles given and no console at all.
// A console program whose parent has none gets a console of its own, and
// Wine then puts that console's handles in place of every null standard
// handle: the "null" output would name the console, and the write succeed.
// This launcher has a console only while Wine's console host for it runs, so
// the run would depend on it; detached, the program never gets one.
//
// Under a heavily loaded host, 64-bit Wine has been seen to fail a start now
// and then, once in thousands; the program never ran, so the start is tried
// again, up to three times, and reported if all fail (a report would fail the
// cases that want nothing on standard error). A run that did start is never
// repeated.
bool Start(char const* program, char* line, STARTUPINFOA& startup, PROCESS_INFORMATION& process) {
  DWORD error = 0;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (CreateProcessA(program, line, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                       &startup, &process) != 0) {
      return true;
    }
    error = GetLastError();
    Sleep(100);
  }
  Report("launch: cannot start ");
  Report(program);
  Report(": error ");
  ReportNumber(error);
  Report("\n");
  return false;
}

// One run; false when the program did not start. The line is copied first:
// CreateProcessA may write to the one it is given.
bool RunOnce(char const* program, char const* line, STARTUPINFOA& startup, DWORD& status) {
  char copy[LINE_LIMIT];
  memcpy(copy, line, LINE_LIMIT);
  PROCESS_INFORMATION process{};
  if (!Start(program, copy, startup, process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

std::uint64_t CountNow() {
#if defined(__aarch64__)
  std::uint64_t count = 0;
  __asm__ volatile("isb\n\tmrs %0, cntvct_el0" : "=r"(count));
  return count;
#else
  return __builtin_ia32_rdtsc();
#endif
}

DWORD WriteCount() {
  char text[18];
  std::uint64_t count = CountNow();
  for (int digit = 15; digit >= 0; --digit, count >>= 4U) {
    text[digit] = "0123456789abcdef"[count & 0xFU];
  }
  text[16] = '\r';
  text[17] = '\n';
  DWORD written = 0;
  return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text, &written, nullptr) != 0
             ? 0
             : NOT_STARTED;
}

DWORD Launch() {
  char program[PATH_LIMIT] = {};
  char output[16] = {};
  char runsText[16] = {};
  char line[LINE_LIMIT] = {};
  char const* rest = NextArgument(SkipProgramName(GetCommandLineA()), program, sizeof program);
  if (rest != nullptr && AtEnd(rest) && Equal(program, "count")) {
    return WriteCount();
  }
  rest = rest == nullptr ? nullptr : NextArgument(rest, output, sizeof output);
  rest = rest == nullptr ? nullptr : NextArgument(rest, runsText, sizeof runsText);
  rest = rest == nullptr ? nullptr : NextArgument(rest, line, sizeof line);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  DWORD runs = 0;
  if (rest == nullptr || !AtEnd(rest) || !ReadCount(runsText, runs) ||
      !OutputHandle(output, startup.hStdOutput) || !FromHex(line)) {
    Report("usage: ticklow_launch PROGRAM inherit|null|invalid RUNS LINE_IN_HEX\n");
    return NOT_STARTED;
  }
  DWORD first = 0;
  for (DWORD run = 0; run < runs; ++run) {
    DWORD status = 0;
    if (!RunOnce(program, line, startup, status)) {
      return NOT_STARTED;
    }
    if (run > 0 && status != first) {
      return RUNS_DIFFERED;
    }
    first = status;
  }
  return first;
}

}  // namespace

extern "C" [[noreturn]] void mainCRTStartup() { ExitProcess(Launch()); }
