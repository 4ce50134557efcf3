#!/usr/bin/python3
"""Applies to a Windows image the public PE rules of Microsoft's BinSkim
that need no debug symbols, as a security scanner would, reading the image
with pefile, a reader outside the toolchains that wrote it. Prints one line a
rule: what was found, or why the rule does not apply to this image. Exits 1,
naming the rule and the value found, when any rule fails, the warning-level
BA2025 included. One rule of the project's own goes with them: no header flag
the project does not set on purpose, since Windows enforces some that Wine
ignores.

    check_pe_rules.py EXE"""

import struct
import sys

import pefile

X86, X64, ARM64 = 0x14C, 0x8664, 0xAA64
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, NO_SEH, GUARD_CF = 0x40, 0x20, 0x100, 0x400, 0x4000
RELOCS_STRIPPED = 0x1
SHARED, EXECUTE, WRITE = 0x10000000, 0x20000000, 0x80000000
CF_INSTRUMENTED, CF_FUNCTION_TABLE_PRESENT = 0x100, 0x400
DEFAULT_COOKIE_64 = 0x2B992DDFA232
DEFAULT_COOKIES_32 = (0xBB40E64E, 0xBB40)
DEBUG_TYPE_EX_DLLCHARACTERISTICS, EX_CET_COMPAT = 20, 0x1
# The header flags each image may carry, and the names of those it must not.
# Force integrity first: Windows refuses to start an unsigned image that
# carries it, and every release is unsigned.
ALLOWED_DLL_FLAGS = {X86: DYNAMIC_BASE | NX_COMPAT | NO_SEH,
                     X64: DYNAMIC_BASE | NX_COMPAT | HIGH_ENTROPY_VA,
                     ARM64: DYNAMIC_BASE | NX_COMPAT | HIGH_ENTROPY_VA | GUARD_CF | 0x8000}
DLL_FLAG_NAMES = {0x80: "FORCE_INTEGRITY", 0x200: "NO_ISOLATION", 0x800: "NO_BIND",
                  0x1000: "APPCONTAINER", 0x2000: "WDM_DRIVER"}
# Executable, stripped of line numbers, local symbols and debug information,
# large-address aware, and on x86 a 32-bit machine's.
ALLOWED_FILE_FLAGS = {X86: 0x32E, X64: 0x22E, ARM64: 0x22E}


class Fails(Exception):
    """A rule's failure, with the value found."""


class DoesNotApply(Exception):
    """Why a rule does not apply to this image."""


def section_at(pe, rva):
    for section in pe.sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + section.Misc_VirtualSize:
            return section
    return None


def described(section):
    name = section.Name.rstrip(b"\0").decode()
    return f"{name} ({section.Characteristics:#x})"


def load_config(pe):
    return pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct if hasattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG") \
        else None


def wide(pe):
    if pe.OPTIONAL_HEADER.Magic != 0x20B:
        raise DoesNotApply("a 32-bit image")


def dll_flags(pe, flags, names):
    found = pe.OPTIONAL_HEADER.DllCharacteristics
    if found & flags != flags:
        raise Fails(f"DLL characteristics {found:#x} lack {names}")
    return f"DLL characteristics {found:#x}"


def ba2001(pe):
    wide(pe)
    base = pe.OPTIONAL_HEADER.ImageBase
    if base <= 0xFFFFFFFF:
        raise Fails(f"preferred base {base:#x}")
    return f"preferred base {base:#x}"


def function_table(pe, config):
    """The function table's relative addresses: 4 bytes each, and as many
    more per entry as the flags' top four bits say."""
    stride = 4 + (config.GuardFlags >> 28)
    start = config.GuardCFFunctionTable - pe.OPTIONAL_HEADER.ImageBase
    data = pe.get_data(start, stride * config.GuardCFFunctionCount)
    return [struct.unpack_from("<I", data, stride * i)[0]
            for i in range(config.GuardCFFunctionCount)]


def ba2008(pe):
    version = (pe.OPTIONAL_HEADER.MajorLinkerVersion, pe.OPTIONAL_HEADER.MinorLinkerVersion)
    if version < (14, 0):
        raise DoesNotApply("linker version %d.%d precedes 14.0" % version)
    dll_flags(pe, GUARD_CF, "GUARD_CF")
    config = load_config(pe)
    if config is None:
        raise Fails("no load config directory")
    flags = config.GuardFlags
    if flags & (CF_INSTRUMENTED | CF_FUNCTION_TABLE_PRESENT) != \
            CF_INSTRUMENTED | CF_FUNCTION_TABLE_PRESENT:
        raise Fails(f"guard flags {flags:#x}, not instrumented with a function table")
    if not config.GuardCFCheckFunctionPointer:
        raise Fails("no guard check function pointer")
    if not config.GuardCFFunctionTable or not config.GuardCFFunctionCount:
        raise Fails(f"function table at {config.GuardCFFunctionTable:#x} "
                    f"of {config.GuardCFFunctionCount} entries")
    table = function_table(pe, config)
    for rva in table:
        where = section_at(pe, rva)
        if where is None or not where.Characteristics & EXECUTE:
            raise Fails(f"function table entry {rva:#x} lies in no code")
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    if entry not in table:
        raise Fails(f"the entry point {entry:#x} is not in the function table {table}")
    return (f"GUARD_CF, guard flags {flags:#x}, check pointer "
            f"{config.GuardCFCheckFunctionPointer:#x}, function table of "
            f"{len(table)}, the entry point among them")


def ba2009(pe):
    if pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED:
        raise Fails("relocations stripped")
    return dll_flags(pe, DYNAMIC_BASE, "DYNAMIC_BASE") + ", relocations not stripped"


def ba2010(pe):
    found = []
    for index, name in ((1, "import directory"), (12, "import address table")):
        rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[index].VirtualAddress
        where = section_at(pe, rva)
        if where is None or where.Characteristics & EXECUTE:
            raise Fails(f"{name} at {rva:#x} in "
                        f"{described(where) if where else 'no section'}")
        found.append(f"{name} in {described(where)}")
    return ", ".join(found)


def ba2012(pe):
    config = load_config(pe)
    if config is None:
        return "no load config directory"
    cookie = config.SecurityCookie - pe.OPTIONAL_HEADER.ImageBase
    where = section_at(pe, cookie)
    if where is None:
        raise Fails(f"security cookie at {config.SecurityCookie:#x} lies in no section")
    if pe.OPTIONAL_HEADER.Magic == 0x20B:
        value = pe.get_qword_at_rva(cookie)
        good = value == DEFAULT_COOKIE_64
    else:
        value = pe.get_dword_at_rva(cookie)
        good = value in DEFAULT_COOKIES_32
    if not good:
        raise Fails(f"security cookie {value:#x}, not the default")
    return f"default security cookie {value:#x} in {described(where)}"


def ba2015(pe):
    wide(pe)
    return dll_flags(pe, HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA")


def ba2016(pe):
    return dll_flags(pe, NX_COMPAT, "NX_COMPAT")


def ba2018(pe):
    if pe.FILE_HEADER.Machine != X86:
        raise DoesNotApply("not 32-bit x86")
    config = load_config(pe)
    if config is not None and config.SEHandlerTable:
        return f"a SafeSEH table of {config.SEHandlerCount}"
    return dll_flags(pe, NO_SEH, "NO_SEH and a SafeSEH table")


def sections_without(pe, marks, what):
    for section in pe.sections:
        if section.Characteristics & marks == marks:
            raise Fails(f"section {described(section)} is {what}")
    return f"none of {len(pe.sections)} sections"


def ba2019(pe):
    return sections_without(pe, WRITE | SHARED, "writable and shared")


def ba2021(pe):
    return sections_without(pe, WRITE | EXECUTE, "writable and executable")


def ba2025(pe):
    if pe.FILE_HEADER.Machine not in (X86, X64):
        raise DoesNotApply("shadow stacks are for x86 and x64")
    for debug in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        entry = debug.struct
        if entry.Type != DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            continue
        where = section_at(pe, entry.AddressOfRawData)
        if where is None or entry.SizeOfData < 4 or pe.get_offset_from_rva(
                entry.AddressOfRawData) != entry.PointerToRawData:
            raise Fails(f"extended DLL characteristics at {entry.AddressOfRawData:#x} "
                        "lie in no section")
        flags = pe.get_dword_at_rva(entry.AddressOfRawData)
        if not flags & EX_CET_COMPAT:
            raise Fails(f"extended DLL characteristics {flags:#x} lack CET_COMPAT")
        return f"extended DLL characteristics {flags:#x} in {described(where)}"
    raise Fails("no debug directory entry of extended DLL characteristics")


def own_flags(pe):
    machine = pe.FILE_HEADER.Machine
    dll, file = pe.OPTIONAL_HEADER.DllCharacteristics, pe.FILE_HEADER.Characteristics
    extra = dll & ~ALLOWED_DLL_FLAGS[machine]
    if extra:
        names = [name for bit, name in DLL_FLAG_NAMES.items() if extra & bit] or [f"{extra:#x}"]
        raise Fails(f"DLL characteristics {dll:#x} carry {', '.join(names)}, "
                    "which the project does not set")
    if file & ~ALLOWED_FILE_FLAGS[machine]:
        raise Fails(f"characteristics {file:#x} carry {file & ~ALLOWED_FILE_FLAGS[machine]:#x}, "
                    "which the project does not set")
    return f"DLL characteristics {dll:#x}, characteristics {file:#x}"


RULES = (
    ("BA2001", "64-bit images load above 4 GB", ba2001),
    ("BA2008", "control-flow guard", ba2008),
    ("BA2009", "ASLR", ba2009),
    ("BA2010", "import tables in no executable section", ba2010),
    ("BA2012", "stack-protector cookie left as the loader expects", ba2012),
    ("BA2015", "high-entropy ASLR", ba2015),
    ("BA2016", "NX", ba2016),
    ("BA2018", "SafeSEH or NO_SEH", ba2018),
    ("BA2019", "no writable shared section", ba2019),
    ("BA2021", "no writable executable section", ba2021),
    ("BA2025", "shadow-stack compatible", ba2025),
    ("TL0001", "no header flag the project does not set", own_flags),
)


def main(exe):
    pe = pefile.PE(exe)
    failures = []
    for rule, what, check in RULES:
        try:
            print(f"{rule} pass: {what}: {check(pe)}")
        except DoesNotApply as why:
            print(f"{rule} does not apply: {why}")
        except Fails as value:
            failures.append(f"{exe}: {rule} fails ({what}): {value}")
    if failures:
        sys.exit("\n".join(failures))


if __name__ == "__main__":
    main(*sys.argv[1:])
