// Runs a Windows console program such as ticklow.exe on an emulated CPU
// (Unicorn): 32-bit x86, x64 or ARM64, whichever the image is for, so that
// each real executable is tested end to end on any host, Wine or not. The
// image is loaded as the Windows loader loads one like ours: the headers and each section at its
// RVA with the protection its characteristics give, the base relocations applied when it is asked
// to load elsewhere, the imports bound by name to the four KERNEL32 functions modelled here.
// Anything else is refused, and anything that goes wrong while it runs ends the run with a status
// of its own and one line on standard error; it is never taken for a pass.
//
//   ticklow_emulate [OPTION...] EXE [ARGUMENT...]
//     --line HEX      the exact command line, hex-encoded (as ticklow_launch.exe
//                     takes it), instead of one laid out from EXE and ARGUMENTs
//     --stdout MODE   what GetStdHandle gives for standard output: inherit (tied
//                     to this process's descriptor 1, the default), null, invalid
//     --base ADDRESS  load at this base instead of the preferred one
//     --runs N        run N times in a row; the statuses must agree
//     --budget N      instructions allowed from the entry to ExitProcess
//     --count         print the instructions of the last run on standard error
//
// The exit status is the one the program hands ExitProcess.

#include <fcntl.h>
#include <unicorn/unicorn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/command_line.hpp"

namespace {

// The statuses of a run that went wrong, apart from the 0 and 1 the tool
// itself exits with.
constexpr int BAD_USAGE = 100;
constexpr int REFUSED = 101;      // not an image this loader takes
constexpr int FAULT = 102;        // the CPU faulted, or an import was misused
constexpr int RETURNED = 103;     // the entry returned instead of calling ExitProcess
constexpr int OVER_BUDGET = 104;  // the instruction budget ran out
constexpr int RUNS_DIFFERED = 105;

constexpr std::uint32_t PAGE = 0x1000;
// The modelled KERNEL32: one stub per function, a trap for a return from the
// entry, all in one executable page far from the image. Every address of the
// model fits 32 bits, so a 64-bit image sees the same ones.
constexpr std::uint64_t STUBS = 0x7FF0'0000;
constexpr std::uint32_t STUB_SIZE = 16;
constexpr std::uint64_t RETURN_TRAP = STUBS + 0x800;
constexpr std::uint64_t PEB = 0x7FFD'F000;  // stands for the process block, all zeros
constexpr std::uint64_t COMMAND_LINE = 0x0002'0000;
constexpr std::uint64_t STACK_TOP = 0x0030'0000;

// Handles as the program sees them: DWORD -11 widened, as Windows does.
constexpr std::uint32_t STD_OUTPUT_HANDLE = 0xFFFF'FFF5;  // -11
constexpr std::uint64_t INVALID_HANDLE_VALUE = ~std::uint64_t{0};
constexpr std::uint64_t STDOUT_HANDLE = 0x54;  // any value that is neither

// What differs from one processor to the next, and nothing else: how the
// image says it is for it, how its code calls the model, and how the model
// returns. Arguments are in registers first, the rest on the stack above the
// return address at their place in the frame (x64 keeps a 32-byte home for
// the four register ones there; 32-bit x86 passes all on the stack).
struct Architecture {
  char const* name;
  std::uint32_t machine;
  std::uint32_t magic;  // of the optional header: PE32 or PE32+
  uc_arch arch;
  uc_mode mode;
  std::uint32_t pointer;         // bytes in an address
  std::uint32_t relocationType;  // the one base-relocation type it uses
  std::array<int, 5> argumentRegisters;
  int registerArguments;
  bool calleePops;                  // stdcall: the stub pops the arguments as it returns
  int stack, pc, result, link;      // link: the return-address register, or -1: on the stack
  std::array<std::uint8_t, 4> ret;  // the stub's return instruction
};

constexpr Architecture X86{
    "x86",          0x14C,          0x10B,          UC_ARCH_X86, UC_MODE_32,     4, 3, {}, 0, true,
    UC_X86_REG_ESP, UC_X86_REG_EIP, UC_X86_REG_EAX, -1,          {0xC2, 0, 0, 0}};
constexpr Architecture X64{"x64",
                           0x8664,
                           0x20B,
                           UC_ARCH_X86,
                           UC_MODE_64,
                           8,
                           10,
                           {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9},
                           4,
                           false,
                           UC_X86_REG_RSP,
                           UC_X86_REG_RIP,
                           UC_X86_REG_RAX,
                           -1,
                           {0xC3, 0xCC, 0xCC, 0xCC}};
constexpr Architecture ARM64{
    "arm64",
    0xAA64,
    0x20B,
    UC_ARCH_ARM64,
    UC_MODE_ARM,
    8,
    10,
    {UC_ARM64_REG_X0, UC_ARM64_REG_X1, UC_ARM64_REG_X2, UC_ARM64_REG_X3, UC_ARM64_REG_X4},
    5,
    false,
    UC_ARM64_REG_SP,
    UC_ARM64_REG_PC,
    UC_ARM64_REG_X0,
    UC_ARM64_REG_X30,
    {0xC0, 0x03, 0x5F, 0xD6}};  // ret
constexpr std::array<Architecture const*, 3> ARCHITECTURES{&X86, &X64, &ARM64};

enum class Function { ExitProcess, GetCommandLineA, GetStdHandle, WriteFile };

struct Import {
  std::string_view name;
  std::uint8_t argumentCount;
};

// Indexed by Function; each stub pops argumentCount words as it returns, as
// stdcall asks of the callee.
constexpr std::array<Import, 4> KERNEL32{{
    {"ExitProcess", 1},
    {"GetCommandLineA", 0},
    {"GetStdHandle", 1},
    {"WriteFile", 5},
}};

struct Options {
  std::string executable;
  std::string line;
  std::string output = "inherit";
  std::optional<std::uint64_t> base;
  long runs = 1;
  std::uint64_t budget = 100'000;
  bool count = false;
};

// One run's state, shared with the hooks.
struct Run {
  Options const* options;
  Architecture const* cpu;
  int output;  // our own copy of descriptor 1; -1 when it was closed
  std::vector<std::pair<std::uint64_t, std::uint64_t>> code;  // executable ranges
  std::uint64_t instructions = 0;
  std::optional<int> status;
  std::string why;
};

int Say(int status, std::string const& why) {
  std::fputs(("ticklow_emulate: " + why + "\n").c_str(), stderr);
  return status;
}

std::string Hex(std::uint64_t value) {
  std::array<char, 16> digits{};
  char* const end = std::to_chars(digits.begin(), digits.end(), value, 16).ptr;
  return "0x" + std::string(digits.data(), end);
}

std::uint32_t AlignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Little-endian reads from the file, bounds-checked.
std::optional<std::uint32_t> FileWord(std::vector<std::uint8_t> const& file, std::size_t offset,
                                      unsigned bytes = 4) {
  if (offset + bytes > file.size() || offset + bytes < offset) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (unsigned i = bytes; i-- > 0;) {
    value = value << 8 | file[offset + i];
  }
  return value;
}

// A little-endian word of bytes (4 or 8) from the emulated memory.
std::optional<std::uint64_t> MemoryWord(uc_engine* uc, std::uint64_t address,
                                        std::uint32_t bytes = 4) {
  std::uint64_t value = 0;
  if (uc_mem_read(uc, address, &value, bytes) != UC_ERR_OK) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> MemoryString(uc_engine* uc, std::uint64_t address) {
  std::string text;
  for (char c = 0; text.size() < 256; text.push_back(c)) {
    if (uc_mem_read(uc, address + text.size(), &c, 1) != UC_ERR_OK) {
      return std::nullopt;
    }
    if (c == '\0') {
      return text;
    }
  }
  return std::nullopt;
}

bool SameName(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

// The header fields the loader needs, with the offsets of the PE format.
struct Image {
  Architecture const* cpu;
  std::uint32_t headers;  // file offset of the PE signature
  std::uint64_t preferredBase, stackReserve;
  std::uint32_t entry, sectionAlignment, imageSize, headerSize, characteristics;
  std::uint32_t importsRva, relocationsRva, relocationsSize;
  std::uint32_t sections, sectionCount;
};

constexpr std::uint32_t RELOCS_STRIPPED = 0x0001;
constexpr std::uint32_t SCN_EXECUTE = 0x2000'0000;
constexpr std::uint32_t SCN_READ = 0x4000'0000;
constexpr std::uint32_t SCN_WRITE = 0x8000'0000;

std::optional<Image> ReadHeaders(std::vector<std::uint8_t> const& file, std::string& why) {
  Image image{};
  auto const pe = FileWord(file, 0x3C);
  if (FileWord(file, 0, 2) != 0x5A4D || !pe || FileWord(file, *pe) != 0x0000'4550) {
    why = "not a PE image";
    return std::nullopt;
  }
  image.headers = *pe;
  std::uint32_t const optional = *pe + 24;
  for (Architecture const* cpu : ARCHITECTURES) {
    if (FileWord(file, *pe + 4, 2) == cpu->machine && FileWord(file, optional, 2) == cpu->magic) {
      image.cpu = cpu;
    }
  }
  if (image.cpu == nullptr) {
    why = "not an image for 32-bit x86, x64 or ARM64";
    return std::nullopt;
  }
  // PE32+ widens the base and the stack sizes to 64 bits and drops BaseOfData,
  // which moves everything behind them.
  bool const wide = image.cpu->pointer == 8;
  std::uint32_t const tables = wide ? 112 : 96;
  auto const directories = FileWord(file, optional + tables - 4);
  auto const optionalSize = FileWord(file, *pe + 20, 2);
  auto field = [&](std::uint32_t offset, unsigned bytes = 4) {
    std::uint64_t const low = FileWord(file, optional + offset).value_or(0);
    return bytes == 8
               ? low | std::uint64_t{FileWord(file, optional + offset + 4).value_or(0)} << 32U
               : low;
  };
  image.characteristics = FileWord(file, *pe + 22, 2).value_or(0);
  image.sectionCount = FileWord(file, *pe + 6, 2).value_or(0);
  image.sections = optional + optionalSize.value_or(0);
  image.entry = static_cast<std::uint32_t>(field(16));
  image.preferredBase = wide ? field(24, 8) : field(28);
  image.sectionAlignment = static_cast<std::uint32_t>(field(32));
  image.imageSize = static_cast<std::uint32_t>(field(56));
  image.headerSize = static_cast<std::uint32_t>(field(60));
  image.stackReserve = field(72, image.cpu->pointer);
  if (!directories || *directories < 6 || !optionalSize || *optionalSize < tables + 6 * 8) {
    why = "the optional header lacks the import and relocation directories";
    return std::nullopt;
  }
  image.importsRva = static_cast<std::uint32_t>(field(tables + 8));
  image.relocationsRva = static_cast<std::uint32_t>(field(tables + 5 * 8));
  image.relocationsSize = static_cast<std::uint32_t>(field(tables + 5 * 8 + 4));
  if (image.sectionAlignment < PAGE || image.sectionAlignment % PAGE != 0) {
    why = "a section alignment below the page size is not modelled";
    return std::nullopt;
  }
  return image;
}

std::uint32_t Protection(std::uint32_t characteristics) {
  return ((characteristics & SCN_READ) != 0 ? UC_PROT_READ : 0) |
         ((characteristics & SCN_WRITE) != 0 ? UC_PROT_WRITE : 0) |
         ((characteristics & SCN_EXECUTE) != 0 ? UC_PROT_EXEC : 0);
}

bool MapSections(uc_engine* uc, std::vector<std::uint8_t> const& file, Image const& image,
                 std::uint64_t base, Run& run, std::string& why) {
  std::uint32_t const headerPages = AlignUp(image.headerSize, PAGE);
  if (headerPages > image.imageSize || uc_mem_map(uc, base, headerPages, UC_PROT_READ) != 0 ||
      uc_mem_write(uc, base, file.data(), std::min<std::size_t>(image.headerSize, file.size())) !=
          0) {
    why = "the headers do not fit the image";
    return false;
  }
  for (std::uint32_t i = 0; i < image.sectionCount; ++i) {
    std::uint32_t const header = image.sections + 40 * i;
    auto const virtualSize = FileWord(file, header + 8);
    auto const rva = FileWord(file, header + 12);
    auto const rawSize = FileWord(file, header + 16);
    auto const rawOffset = FileWord(file, header + 20);
    auto const characteristics = FileWord(file, header + 36);
    if (!virtualSize || !rva || !rawSize || !rawOffset || !characteristics) {
      why = "the section table is cut short";
      return false;
    }
    std::uint32_t const size =
        AlignUp(*virtualSize != 0 ? *virtualSize : *rawSize, image.sectionAlignment);
    std::size_t const copied = std::min<std::size_t>(*rawSize, size);
    if (*rva % PAGE != 0 || *rva + size > image.imageSize || *rawOffset + copied > file.size() ||
        uc_mem_map(uc, base + *rva, size, Protection(*characteristics)) != 0 ||
        uc_mem_write(uc, base + *rva, file.data() + *rawOffset, copied) != 0) {
      why = "section " + std::to_string(i) + " does not fit the image";
      return false;
    }
    if ((*characteristics & SCN_EXECUTE) != 0) {
      run.code.emplace_back(base + *rva, base + *rva + size);
    }
  }
  return true;
}

// Reads the relocation directory block by block, as the Windows loader would
// at another base, and refuses one it could misread: a block for a page
// outside the image, or one that does not end on a 32-bit boundary within the
// directory. Away from the preferred base, adds the distance to every address
// a block lists. As the Windows loader has it, an image marked "relocations
// stripped" loads only where it was linked.
bool Relocate(uc_engine* uc, Image const& image, std::uint64_t base, std::string& why) {
  std::uint64_t const delta = base - image.preferredBase;
  if (delta != 0 && (image.characteristics & RELOCS_STRIPPED) != 0) {
    why = "the image's relocations are stripped, so it cannot load at " + Hex(base);
    return false;
  }
  for (std::uint32_t block = 0; block < image.relocationsSize;) {
    auto const page = MemoryWord(uc, base + image.relocationsRva + block);
    auto const size = MemoryWord(uc, base + image.relocationsRva + block + 4);
    if (!page || !size || *page >= image.imageSize || *size < 8 || *size % 4 != 0 ||
        *size > image.relocationsSize - block) {
      why = "the relocation table is malformed at block " + Hex(block);
      return false;
    }
    for (std::uint32_t entry = 8; entry < *size; entry += 2) {
      std::uint16_t fixup = 0;
      if (uc_mem_read(uc, base + image.relocationsRva + block + entry, &fixup, 2) != UC_ERR_OK) {
        why = "the relocation table runs off the image";
        return false;
      }
      std::uint32_t const type = fixup >> 12U;
      std::uint64_t const where = base + *page + (fixup & 0xFFFU);
      if (type == 0) {
        continue;  // padding
      }
      // 3: a whole 32-bit address; 10: a whole 64-bit one.
      auto const value = MemoryWord(uc, where, image.cpu->pointer);
      if (type != image.cpu->relocationType || !value) {
        why = "relocation type " + std::to_string(type) + " at " + Hex(where) + " is not modelled";
        return false;
      }
      std::uint64_t const moved = *value + delta;
      uc_mem_write(uc, where, &moved, image.cpu->pointer);
    }
    block += static_cast<std::uint32_t>(*size);
  }
  return true;
}

// Points every import at the stub of the KERNEL32 function it names; any
// other DLL or function, or an import by ordinal, is refused.
bool BindImports(uc_engine* uc, Image const& image, std::uint64_t base, std::string& why) {
  std::uint32_t const pointer = image.cpu->pointer;
  std::uint64_t const byOrdinal = std::uint64_t{1} << (8 * pointer - 1);
  for (std::uint64_t descriptor = base + image.importsRva;; descriptor += 20) {
    auto const lookup = MemoryWord(uc, descriptor);
    auto const name = MemoryWord(uc, descriptor + 12);
    auto const addresses = MemoryWord(uc, descriptor + 16);
    if (!lookup || !name || !addresses) {
      why = "the import directory runs off the image";
      return false;
    }
    if (*name == 0 && *addresses == 0) {
      return true;
    }
    auto const dll = MemoryString(uc, base + *name);
    if (!dll || !SameName(*dll, "KERNEL32.dll")) {
      why = "imports from " + dll.value_or("?") + ", and only KERNEL32.dll is modelled";
      return false;
    }
    std::uint64_t const table = *lookup != 0 ? *lookup : *addresses;
    for (std::uint32_t slot = 0;; slot += pointer) {
      auto const thunk = MemoryWord(uc, base + table + slot, pointer);
      if (!thunk || *thunk == 0) {
        break;
      }
      auto const function =
          (*thunk & byOrdinal) != 0
              ? std::nullopt
              : MemoryString(uc, base + (*thunk & 0xFFFF'FFFFU) + 2);  // behind the hint
      std::size_t index = 0;
      while (index < KERNEL32.size() && KERNEL32[index].name != function.value_or("")) {
        ++index;
      }
      if (index == KERNEL32.size()) {
        why = "imports " + function.value_or("an ordinal") +
              " from KERNEL32.dll, which is not modelled";
        return false;
      }
      std::uint64_t const stub = STUBS + index * STUB_SIZE;
      uc_mem_write(uc, base + *addresses + slot, &stub, pointer);
    }
  }
}

// Each stub is one return instruction. On 32-bit x86 it is `ret 4 *
// argumentCount`: the callee pops its own arguments, so a caller that pushed
// another count finds its stack off.
bool MapModel(uc_engine* uc, Architecture const& cpu, std::string const& line) {
  std::array<std::uint8_t, PAGE> stubs{};  // zeros elsewhere: no valid code on ARM64
  if (cpu.arch == UC_ARCH_X86) {
    stubs.fill(0xCC);  // int3 everywhere else
  }
  for (std::size_t i = 0; i < KERNEL32.size(); ++i) {
    std::uint8_t* const stub = stubs.data() + i * STUB_SIZE;
    std::copy(cpu.ret.begin(), cpu.ret.end(), stub);
    if (cpu.calleePops) {
      stub[1] = static_cast<std::uint8_t>(KERNEL32[i].argumentCount * cpu.pointer);
    }
  }
  std::uint32_t const lineSize = AlignUp(static_cast<std::uint32_t>(line.size()) + 1, PAGE);
  return uc_mem_map(uc, STUBS, PAGE, UC_PROT_READ | UC_PROT_EXEC) == 0 &&
         uc_mem_write(uc, STUBS, stubs.data(), stubs.size()) == 0 &&
         uc_mem_map(uc, PEB, PAGE, UC_PROT_READ | UC_PROT_WRITE) == 0 &&
         uc_mem_map(uc, COMMAND_LINE, lineSize, UC_PROT_READ | UC_PROT_WRITE) == 0 &&
         uc_mem_write(uc, COMMAND_LINE, line.c_str(), line.size() + 1) == 0;
}

void Stop(uc_engine* uc, Run& run, int status, std::string why = "") {
  run.status = status;
  run.why = std::move(why);
  uc_emu_stop(uc);
}

bool WriteAll(int descriptor, std::vector<char> const& bytes) {
  std::size_t done = 0;
  while (descriptor >= 0 && done < bytes.size()) {
    ssize_t const count = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (count <= 0 && errno != EINTR) {
      break;
    }
    done += count > 0 ? static_cast<std::size_t>(count) : 0;
  }
  return done == bytes.size();
}

// WriteFile(handle, bytes, length, written, overlapped): every byte or a
// failure, *written set either way, and only standard output's handle works.
std::optional<std::uint64_t> ModelWriteFile(uc_engine* uc, Run& run,
                                            std::array<std::uint64_t, 5> const& argument,
                                            std::string& why) {
  auto const [handle, bytes, wideLength, written, overlapped] = argument;
  auto const length = static_cast<std::uint32_t>(wideLength);  // a DWORD
  if (overlapped != 0 || written == 0) {
    why = "WriteFile needs a byte count and no OVERLAPPED record on a synchronous handle";
    return std::nullopt;
  }
  std::vector<char> buffer(length);
  if (uc_mem_read(uc, bytes, buffer.data(), length) != UC_ERR_OK) {
    why = "WriteFile was handed " + std::to_string(length) + " bytes at " + Hex(bytes) +
          " that cannot be read";
    return std::nullopt;
  }
  bool const done = handle == STDOUT_HANDLE && WriteAll(run.output, buffer);
  std::uint32_t const count = done ? length : 0;  // a DWORD on every processor
  if (uc_mem_write(uc, written, &count, sizeof count) != UC_ERR_OK) {
    why = "WriteFile's byte count at " + Hex(written) + " cannot be written";
    return std::nullopt;
  }
  return done ? 1 : 0;
}

std::uint64_t ModelGetStdHandle(Run const& run, std::uint64_t which) {
  if (static_cast<std::uint32_t>(which) != STD_OUTPUT_HANDLE) {  // a DWORD
    return INVALID_HANDLE_VALUE;
  }
  std::string const& mode = run.options->output;
  return mode == "null" ? 0 : mode == "invalid" ? INVALID_HANDLE_VALUE : STDOUT_HANDLE;
}

bool InCode(Run const& run, std::uint64_t address) {
  return std::ranges::any_of(run.code, [address](auto const& range) {
    return address >= range.first && address < range.second;
  });
}

// An argument of a call into the model, where the processor's convention
// puts it: in a register, or on the stack above the return address.
std::optional<std::uint64_t> Argument(uc_engine* uc, Architecture const& cpu, std::uint32_t i) {
  std::uint64_t value = 0;
  if (static_cast<int>(i) < cpu.registerArguments) {
    uc_reg_read(uc, cpu.argumentRegisters[i], &value);
    return value;
  }
  std::uint64_t sp = 0;
  uc_reg_read(uc, cpu.stack, &sp);
  return MemoryWord(uc, sp + std::uint64_t{cpu.pointer} * (i + 1), cpu.pointer);
}

// A call into the model: the arguments are read where the convention puts
// them, the result goes to the result register, and the stub's own return
// instruction then goes back (and on 32-bit x86 pops them).
void CallModel(uc_engine* uc, Run& run, std::uint64_t address) {
  if (address == RETURN_TRAP) {
    return Stop(uc, run, RETURNED, "the entry returned instead of calling ExitProcess");
  }
  auto const index = (address - STUBS) / STUB_SIZE;
  if ((address - STUBS) % STUB_SIZE != 0 || index >= KERNEL32.size()) {
    return Stop(uc, run, FAULT, "a jump into KERNEL32's code at " + Hex(address));
  }
  Import const& import = KERNEL32[index];
  Architecture const& cpu = *run.cpu;
  std::optional<std::uint64_t> caller = 0;
  if (cpu.link >= 0) {
    uc_reg_read(uc, cpu.link, &*caller);
  } else {
    std::uint64_t sp = 0;
    uc_reg_read(uc, cpu.stack, &sp);
    caller = MemoryWord(uc, sp, cpu.pointer);
  }
  std::array<std::uint64_t, 5> argument{};
  for (std::uint32_t i = 0; i < import.argumentCount; ++i) {
    auto const word = Argument(uc, cpu, i);
    if (!word) {
      return Stop(uc, run, FAULT, std::string{import.name} + "'s arguments are off the stack");
    }
    argument[i] = *word;
  }
  if (!caller || !InCode(run, *caller)) {
    return Stop(uc, run, FAULT, std::string{import.name} + " called from outside the image");
  }
  std::uint64_t result = 0;
  switch (static_cast<Function>(index)) {
    case Function::ExitProcess:
      return Stop(uc, run, static_cast<int>(argument[0] & 0xFF));
    case Function::GetCommandLineA:
      result = COMMAND_LINE;
      break;
    case Function::GetStdHandle:
      result = ModelGetStdHandle(run, argument[0]);
      break;
    case Function::WriteFile: {
      std::string why;
      auto const written = ModelWriteFile(uc, run, argument, why);
      if (!written) {
        return Stop(uc, run, FAULT, why);
      }
      result = *written;
      break;
    }
  }
  uc_reg_write(uc, cpu.result, &result);
}

void OnInstruction(uc_engine* uc, std::uint64_t address, std::uint32_t /*size*/, void* data) {
  Run& run = *static_cast<Run*>(data);
  if (address >= STUBS && address < STUBS + PAGE) {
    CallModel(uc, run, address);
  } else if (++run.instructions > run.options->budget) {
    Stop(uc, run, OVER_BUDGET,
         "still running after " + std::to_string(run.options->budget) + " instructions");
  }
}

// As Windows starts a process: the entry is called with one argument, the
// process block, and would return into KERNEL32. On ARM64 the code runs at
// EL0 with user access to the virtual counter (CNTKCTL_EL1.EL0VCTEN), as
// Windows sets it, and no other counter: a read of the physical one traps.
bool StartLikeWindows(uc_engine* uc, Architecture const& cpu) {
  std::uint64_t sp = STACK_TOP - 16;
  std::uint64_t const peb = PEB;
  if (cpu.arch == UC_ARCH_ARM64) {
    uc_arm64_cp_reg counterAccess{14, 1, 3, 0, 0, 0b10};  // CNTKCTL_EL1: crn, crm, op0, op1, op2
    std::uint64_t const el0 = 0;                          // PSTATE.M: EL0t
    std::uint64_t const trap = RETURN_TRAP;
    return uc_reg_write(uc, UC_ARM64_REG_CP_REG, &counterAccess) == UC_ERR_OK &&
           uc_reg_write(uc, UC_ARM64_REG_PSTATE, &el0) == UC_ERR_OK &&
           uc_reg_write(uc, cpu.link, &trap) == UC_ERR_OK &&
           uc_reg_write(uc, cpu.argumentRegisters[0], &peb) == UC_ERR_OK &&
           uc_reg_write(uc, cpu.stack, &sp) == UC_ERR_OK;
  }
  // The return address on the stack and, on 32-bit x86, the argument above
  // it; x64 takes it in a register and leaves the stack 8 off 16-byte
  // alignment, as a call does.
  std::array<std::uint64_t, 2> const frame{RETURN_TRAP, PEB};
  sp -= std::uint64_t{cpu.pointer} * 2;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    uc_mem_write(uc, sp + cpu.pointer * i, &frame[i], cpu.pointer);
  }
  return (cpu.registerArguments == 0 ||
          uc_reg_write(uc, cpu.argumentRegisters[0], &peb) == UC_ERR_OK) &&
         uc_reg_write(uc, cpu.stack, &sp) == UC_ERR_OK;
}

// Loads the image afresh and runs it from its entry to ExitProcess.
int RunOnce(Options const& options, std::vector<std::uint8_t> const& file, int output,
            std::uint64_t& instructions) {
  std::string why;
  auto const image = ReadHeaders(file, why);
  if (!image) {
    return Say(REFUSED, options.executable + ": " + why);
  }
  Architecture const& cpu = *image->cpu;
  uc_engine* uc = nullptr;
  if (uc_open(cpu.arch, cpu.mode, &uc) != UC_ERR_OK) {
    return Say(BAD_USAGE, "the CPU emulator cannot start");
  }
  Run run{&options, &cpu, output, {}, 0, std::nullopt, ""};
  std::uint64_t const base = options.base.value_or(image->preferredBase);
  std::uint64_t const stackSize = AlignUp(
      static_cast<std::uint32_t>(std::clamp<std::uint64_t>(image->stackReserve, PAGE, 1U << 24U)),
      PAGE);
  bool const loaded = MapSections(uc, file, *image, base, run, why) &&
                      Relocate(uc, *image, base, why) && BindImports(uc, *image, base, why);
  if (!loaded || !MapModel(uc, cpu, options.line) ||
      uc_mem_map(uc, STACK_TOP - stackSize, stackSize, UC_PROT_READ | UC_PROT_WRITE) != 0 ||
      !StartLikeWindows(uc, cpu)) {
    uc_close(uc);
    return Say(REFUSED,
               options.executable + ": " + (why.empty() ? "does not fit beside the model" : why));
  }
  uc_hook hook = 0;
  uc_hook_add(uc, &hook, UC_HOOK_CODE,  // NOLINT(*-vararg)
              reinterpret_cast<void*>(&OnInstruction), &run, 1, 0);
  // The stop address is one no call reaches: the stubs take only their first bytes.
  uc_err const error = uc_emu_start(uc, base + image->entry, STUBS + PAGE - 4, 0, 0);
  std::uint64_t pc = 0;
  uc_reg_read(uc, cpu.pc, &pc);
  uc_close(uc);
  instructions = run.instructions;
  if (error != UC_ERR_OK) {
    return Say(FAULT, std::string{"CPU fault at "} + Hex(pc) + ": " + uc_strerror(error));
  }
  if (!run.status) {
    return Say(FAULT, "the CPU stopped at " + Hex(pc) + " without ExitProcess");
  }
  return run.why.empty() ? *run.status : Say(*run.status, run.why);
}

std::optional<std::string> FromHex(std::string_view hex) {
  std::string bytes;
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    int const high = digit(hex[i]);
    int const low = digit(hex[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return hex.size() % 2 == 0 ? std::optional{bytes} : std::nullopt;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  int i = 1;
  bool lineGiven = false;
  for (; i + 1 < argc && std::string_view{argv[i]}.starts_with("--"); ++i) {
    std::string_view const option = argv[i];
    char const* value = argv[i + 1];
    char* end = nullptr;
    if (option == "--count") {
      options.count = true;
      continue;
    }
    ++i;
    if (option == "--line") {
      auto const line = FromHex(value);
      lineGiven = line.has_value();
      options.line = line.value_or("");
      if (!lineGiven) {
        return false;
      }
    } else if (option == "--stdout") {
      options.output = value;
    } else if (option == "--base") {
      options.base = std::strtoull(value, &end, 0);
    } else if (option == "--runs") {
      options.runs = std::strtol(value, &end, 10);
    } else if (option == "--budget") {
      options.budget = std::strtoull(value, &end, 10);
    } else {
      return false;
    }
    if (end != nullptr && *end != '\0') {
      return false;
    }
  }
  if (i >= argc || options.runs < 1 || (options.base && *options.base % 0x1'0000 != 0) ||
      (options.output != "inherit" && options.output != "null" && options.output != "invalid")) {
    return false;
  }
  options.executable = argv[i];
  if (!lineGiven) {
    // The line Windows would have passed for these arguments, as our POSIX
    // layer lays it out.
    static char line[ticklow::COMMAND_LINE_CAPACITY];
    ticklow::BuildCommandLine(argc - i, argv + i, line);
    options.line = line;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a pipe whose reader is gone fails, as it does on Windows.
  std::signal(SIGPIPE, SIG_IGN);
  // Standard output as the caller left it, kept apart before anything opens a
  // file: a closed descriptor 1 stays closed for the program.
  int const output = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);  // NOLINT(*-vararg)
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    return Say(BAD_USAGE,
               "usage: ticklow_emulate [--line HEX] [--stdout inherit|null|invalid] "
               "[--base ADDRESS] [--runs N] [--budget N] [--count] EXE [ARGUMENT...]");
  }
  std::ifstream in{options.executable, std::ios::binary};
  std::vector<std::uint8_t> const file{std::istreambuf_iterator<char>{in}, {}};
  if (!in.is_open() || in.bad()) {
    return Say(BAD_USAGE, "cannot read " + options.executable);
  }
  int first = 0;
  std::uint64_t instructions = 0;
  for (long run = 0; run < options.runs; ++run) {
    int const status = RunOnce(options, file, output, instructions);
    if (status >= BAD_USAGE) {
      return status;  // said already
    }
    if (run > 0 && status != first) {
      return Say(RUNS_DIFFERED, "run " + std::to_string(run + 1) + " ended with " +
                                    std::to_string(status) + ", the first with " +
                                    std::to_string(first));
    }
    first = status;
  }
  if (options.count) {
    std::fputs(("instructions: " + std::to_string(instructions) + "\n").c_str(), stderr);
  }
  return first;
}
