#pragma once

// Rebuilds, from a POSIX argument vector, the one command line Windows would
// have handed the same program: the name, then the arguments separated by one
// space, each one that is empty or holds a blank or a quotation mark quoted by
// the usual Windows convention. The entry never reads past the first argument,
// so the line stops behind it. Pure and heap-free, so that any platform layer
// of ours can share it, with or without a C library.

#include <cstddef>
#include <cstdint>

namespace ticklow {

// Windows' own limit for a command line, its NUL included.
inline constexpr std::size_t COMMAND_LINE_CAPACITY = 32'768;

// Stands in for a line that does not fit: a quoted argument, which the entry
// answers with the bad-argument output. Cutting the line short instead could
// turn a long argument into a different, valid-looking number.
inline constexpr char OVERSIZED_COMMAND_LINE[] = "ticklow \"command line too long\"";

struct LineCursor {
  char* next;
  char const* end;  // one past the last byte the text may take; the NUL still needs one more
};

constexpr bool Put(LineCursor& cursor, char c) {
  if (cursor.next == cursor.end) {
    return false;
  }
  *cursor.next++ = c;
  return true;
}

constexpr bool PutRepeated(LineCursor& cursor, char c, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!Put(cursor, c)) {
      return false;
    }
  }
  return true;
}

enum class PlainCopy { DONE, FULL, NEEDS_QUOTES };

// Copies text as it stands while nothing in it needs quotes: it is not empty
// and holds no blank or quotation mark. Copying and checking in one pass keeps
// a run's cost per character of the program name low. On NEEDS_QUOTES the
// cursor is back where it was, for the caller to start over with quotes.
constexpr PlainCopy PutIfPlain(LineCursor& cursor, char const* text) {
  if (*text == '\0') {
    return PlainCopy::NEEDS_QUOTES;
  }
  char* const start = cursor.next;
  for (; *text != '\0'; ++text) {
    char const c = *text;
    // All three lie below '#', so one comparison passes nearly every character.
    if (static_cast<unsigned char>(c) <= '"' && (c == ' ' || c == '\t' || c == '"')) {
      cursor.next = start;
      return PlainCopy::NEEDS_QUOTES;
    }
    if (!Put(cursor, c)) {
      return PlainCopy::FULL;
    }
  }
  return PlainCopy::DONE;
}

constexpr bool PutPlain(LineCursor& cursor, char const* text) {
  for (; *text != '\0'; ++text) {
    if (!Put(cursor, *text)) {
      return false;
    }
  }
  return true;
}

// The program name is read by the tool's own rule, which knows no escapes: a
// quotation mark inside the quotes is doubled, and a doubled mark reads as an
// ordinary character wherever it stands, so the name always ends at the space
// behind the closing mark.
constexpr bool PutProgramName(LineCursor& cursor, char const* name) {
  if (PlainCopy const copied = PutIfPlain(cursor, name); copied != PlainCopy::NEEDS_QUOTES) {
    return copied == PlainCopy::DONE;
  }
  if (!Put(cursor, '"')) {
    return false;
  }
  for (; *name != '\0'; ++name) {
    if (*name == '"' && !Put(cursor, '"')) {
      return false;
    }
    if (!Put(cursor, *name)) {
      return false;
    }
  }
  return Put(cursor, '"');
}

// The Windows convention for an argument: backslashes are literal unless they
// precede a quotation mark, in which case they are doubled and the mark is
// escaped; backslashes before the closing mark are doubled too.
constexpr bool PutArgument(LineCursor& cursor, char const* argument) {
  if (PlainCopy const copied = PutIfPlain(cursor, argument); copied != PlainCopy::NEEDS_QUOTES) {
    return copied == PlainCopy::DONE;
  }
  if (!Put(cursor, '"')) {
    return false;
  }
  std::size_t backslashes = 0;
  for (; *argument != '\0'; ++argument) {
    if (*argument == '\\') {
      ++backslashes;
      continue;
    }
    bool const quote = *argument == '"';
    if (!PutRepeated(cursor, '\\', quote ? backslashes * 2 + 1 : backslashes) ||
        !Put(cursor, *argument)) {
      return false;
    }
    backslashes = 0;
  }
  return PutRepeated(cursor, '\\', backslashes * 2) && Put(cursor, '"');
}

constexpr bool PutCommandLine(LineCursor& cursor, int argc, char const* const* argv) {
  // An exec with an empty argument vector has no name at all: an empty one.
  if (!PutProgramName(cursor, argc > 0 ? argv[0] : "")) {
    return false;
  }
  if (argc < 2) {
    return true;
  }
  if (!Put(cursor, ' ') || !PutArgument(cursor, argv[1])) {
    return false;
  }
  return argc == 2 || Put(cursor, ' ');
}

// Lays the line out in buffer, always NUL-terminated. Gives false when it did
// not fit, and the buffer then holds OVERSIZED_COMMAND_LINE.
template <std::size_t Capacity>
constexpr bool BuildCommandLine(int argc, char const* const* argv, char (&buffer)[Capacity]) {
  static_assert(Capacity >= sizeof(OVERSIZED_COMMAND_LINE));
  LineCursor cursor{buffer, buffer + Capacity - 1};
  bool const fits = PutCommandLine(cursor, argc, argv);
  if (!fits) {
    cursor = LineCursor{buffer, buffer + Capacity - 1};
    PutPlain(cursor, OVERSIZED_COMMAND_LINE);
  }
  *cursor.next = '\0';
  return fits;
}

}  // namespace ticklow
