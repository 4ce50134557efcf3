#!/usr/bin/python3
"""Checks a shipped Windows executable itself, as a security review and a
user would, for its processor (x86, x64 or arm64), reading it with pefile, a
reader outside the toolchains that wrote it. One line a row: what was
found, or why the row does not apply to this image; each row that fails
names itself and the value found, and the check exits 1:
- at most MAX_SIZE bytes, and its only imports the four KERNEL32 functions,
  so no C runtime DLL came along;
- a console program for that processor (PE32 on x86, PE32+ otherwise),
  large-address aware, with no time stamp;
- a relocation directory, so that no loader can take the image for one that
  must stay at its preferred base; on x86, whose code holds absolute
  addresses, one that is not empty;
- exactly one counter read (rdtsc, or mrs of CNTVCT_EL0), as OBJDUMP, a
  disassembler for all three processors, shows the code;
- a PE checksum that matches the file;
- every public PE rule of Microsoft's BinSkim that needs no debug symbols
  (BA...): ASLR, NX, no section both writable and executable, the import
  tables out of executable memory, control-flow guard where the linker's
  version calls for it, shadow-stack compatibility on x86 and x64, and the
  rest, the warning-level BA2025 included; and one of the project's own
  (TL0001): no header flag the project does not set on purpose, since
  Windows enforces some that Wine ignores;
- a version resource that says VERSION, DESCRIPTION and the LICENSE's
  copyright line: its fixed part whole, against what a release must say (its
  versions, no flag set under the full mask, the OS, type and subtype, and
  no date); the resource where the data directory says, inside one
  section's bytes, with no time stamp at any level; and the strings found
  the way Windows finds them, read here from the format's documentation
  rather than through pefile: the resource of type RT_VERSION and ID 1, a
  VS_VERSIONINFO block whose every length, key and 32-bit alignment holds,
  the fixed part's signature, and the language and code page in
  \\VarFileInfo\\Translation, which Explorer reads first to name the string
  table it shows, leading to a table of that name holding the strings;
- and, as an outside opinion, what PESEC (Debian's pesec) says: ASLR yes,
  DEP/NX yes, and on x86 SEH no.

    check_image.py OBJDUMP PESEC EXE ARCH MAX_SIZE VERSION DESCRIPTION LICENSE"""

import re
import struct
import subprocess
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


RESOURCE_ENTRY = 2


def fixed_version(version):
    parts = [int(part) for part in version.split(".")] + [0] * 4
    return (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])


def copyright_line(license_path):
    with open(license_path, encoding="utf-8") as license_file:
        return next(line.strip() for line in license_file if line.startswith("Copyright "))


def check_placement(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        fail("has no resource directory")
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE_ENTRY]
    start, end = directory.VirtualAddress, directory.VirtualAddress + directory.Size
    if not any(s.VirtualAddress <= start and end <= s.VirtualAddress + s.SizeOfRawData
               for s in pe.sections):
        fail(f"its resource directory {start:#x}-{end:#x} is not within one section's bytes")
    levels = [pe.DIRECTORY_ENTRY_RESOURCE]
    while levels:
        level = levels.pop()
        if level.struct.TimeDateStamp:
            fail(f"a resource directory has the time stamp {level.struct.TimeDateStamp}")
        for entry in level.entries:
            if hasattr(entry, "directory"):
                levels.append(entry.directory)
            elif not start <= entry.data.struct.OffsetToData <= end - entry.data.struct.Size:
                fail("a resource's data lies outside the resource directory's range")


def expected_strings(version, description, holder):
    return {"FileDescription": description, "FileVersion": version, "ProductName": "ticklow",
            "ProductVersion": version, "LegalCopyright": holder,
            "OriginalFilename": "ticklow.exe", "InternalName": "ticklow.exe"}


def check_version(pe, version, description, holder):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail("has no version resource")
    fixed = pe.VS_FIXEDFILEINFO[0]
    shown = {"file version": (fixed.FileVersionMS, fixed.FileVersionLS),
             "product version": (fixed.ProductVersionMS, fixed.ProductVersionLS),
             "flags, mask": (fixed.FileFlags, fixed.FileFlagsMask),
             "OS, type, subtype": (fixed.FileOS, fixed.FileType, fixed.FileSubtype),
             "date": (fixed.FileDateMS, fixed.FileDateLS)}
    # A release: no flag (debug, prerelease, patched, private or special
    # build) among the six a mask may name; Windows NT with the 32-bit
    # interface; an application, which has no subtype; no date.
    expected = {"file version": fixed_version(version), "product version": fixed_version(version),
                "flags, mask": (0, 0x3F), "OS, type, subtype": (0x40004, 1, 0), "date": (0, 0)}
    if shown != expected:
        fail(f"fixed part {shown}, expected {expected}")
    tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for table in info.StringTable]
    strings = expected_strings(version, description, holder)
    found = [(table.LangID.upper(), {key.decode(): value.decode()
                                     for key, value in table.entries.items()})
             for table in tables]
    if found != [(b"040904B0", strings)]:
        fail(f"strings {found}, expected US English, Unicode: {strings}")


RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class Block:
    """One block of VS_VERSIONINFO: wLength, wValueLength, wType, the key in
    UTF-16 ending in a NUL, the value and the children, each on a 32-bit
    boundary, the children filling the block to its wLength."""

    def __init__(self, data, at, end):
        if at + 6 > end:
            fail(f"a version block at {at:#x} runs past its parent")
        self.length, self.value_length, self.type = struct.unpack_from("<HHH", data, at)
        self.end = at + self.length
        if self.length < 6 or self.end > end:
            fail(f"a version block at {at:#x} says {self.length} bytes, "
                      f"{end - at} remain in its parent")
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end + 2 > self.end:
                fail(f"the key of the version block at {at:#x} has no end")
        self.key = data[at + 6:key_end].decode("utf-16-le")
        self.value_at = (key_end + 2 + 3) & ~3
        size = self.value_length * (2 if self.type == 1 else 1)
        if self.value_at + size > self.end:
            fail(f"the value of {self.key} runs past its block")
        self.value = data[self.value_at:self.value_at + size]
        self.children = []
        child = (self.value_at + size + 3) & ~3
        while child < self.end:
            self.children.append(Block(data, child, self.end))
            child = (self.children[-1].end + 3) & ~3

    def child(self, key):
        found = [block for block in self.children if block.key.upper() == key.upper()]
        if len(found) != 1:
            fail(f"{self.key} holds {len(found)} blocks named {key}")
        return found[0]


def version_resource(pe):
    """The bytes Windows' version functions load: RT_VERSION, ID 1, the first
    language."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_VERSION:
            continue
        for name in kind.directory.entries:
            if name.id == 1:
                entry = name.directory.entries[0].data.struct
                return pe.get_data(entry.OffsetToData, entry.Size)
    fail("has no resource of type RT_VERSION and ID 1")


def check_as_windows_reads(pe, strings):
    data = version_resource(pe)
    root = Block(data, 0, len(data))
    if root.key != "VS_VERSION_INFO" or root.type != 0 or root.value_length != 52:
        fail(f"the version root is {root.key!r}, type {root.type}, "
                  f"a value of {root.value_length} bytes")
    signature, structure = struct.unpack_from("<II", root.value)
    if signature != FIXED_SIGNATURE or structure != 0x10000:
        fail(f"the fixed part's signature is {signature:#x}, version {structure:#x}")
    translation = root.child("VarFileInfo").child("Translation")
    if translation.type != 0 or len(translation.value) % 4 or not translation.value:
        fail("\\VarFileInfo\\Translation holds no language and code page")
    language, code_page = struct.unpack_from("<HH", translation.value)
    table = root.child("StringFileInfo").child(f"{language:04X}{code_page:04X}")
    found = {}
    for string in table.children:
        text = string.value.decode("utf-16-le")
        if string.type != 1 or not text.endswith("\0") or "\0" in text[:-1]:
            fail(f"the string {string.key} is not one text ending in its NUL")
        found[string.key] = text[:-1]
    if found != strings:
        fail(f"Windows would find {found} in table {table.key}, expected {strings}")


def fail(message):
    raise Fails(message)


# Each processor's machine type and optional-header magic.
MACHINES = {"x86": (X86, 0x10B), "x64": (X64, 0x20B), "arm64": (ARM64, 0x20B)}
EXECUTABLE_IMAGE, LARGE_ADDRESS_AWARE = 0x2, 0x20
IMPORTS = ["ExitProcess", "GetCommandLineA", "GetStdHandle", "WriteFile"]


class Image:
    """The file, as pefile and the tools outside it read it."""

    def __init__(self, exe, arch, objdump, pesec):
        self.exe, self.arch, self.objdump, self.pesec = exe, arch, objdump, pesec
        with open(exe, "rb") as file:
            self.bytes = file.read()
        self.pe = pefile.PE(data=self.bytes)


def size(image, max_size):
    if len(image.bytes) > max_size:
        fail(f"{len(image.bytes)} bytes, more than {max_size}")
    return f"{len(image.bytes)} bytes"


def machine(image):
    pe = image.pe
    found = (pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic)
    if found != MACHINES[image.arch]:
        wanted = " ".join(f"{value:#x}" for value in MACHINES[image.arch])
        fail(f"machine {found[0]} and magic {found[1]}, expected {wanted} for {image.arch}")
    stamp = pe.FILE_HEADER.TimeDateStamp
    if stamp:
        fail(f"has the time stamp {stamp}, so no two builds match")
    if pe.OPTIONAL_HEADER.Subsystem != 3:
        fail(f"is not a console program (subsystem {pe.OPTIONAL_HEADER.Subsystem})")
    if not pe.FILE_HEADER.Characteristics & LARGE_ADDRESS_AWARE:
        fail("lacks large address awareness")
    return f"{image.arch}, a console program, large-address aware, no time stamp"


def relocations(image):
    # A block with no fixup, its header and two padding entries, takes 12 bytes.
    directory = image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    if not directory.VirtualAddress:
        fail("has no relocation directory")
    if image.arch == "x86" and directory.Size <= 12:
        fail("has no base relocation, yet its absolute addresses need them at another base")
    return f"a relocation directory of {directory.Size} bytes"


def imports(image):
    entries = getattr(image.pe, "DIRECTORY_ENTRY_IMPORT", [])
    dlls = [entry.dll.decode() for entry in entries]
    names = sorted(i.name.decode() for entry in entries for i in entry.imports)
    if dlls != ["KERNEL32.dll"] or names != IMPORTS:
        fail(f"imports {';'.join(dlls)}: {';'.join(names)}, expected exactly KERNEL32.dll: "
             f"{';'.join(IMPORTS)}")
    return f"KERNEL32.dll: {', '.join(names)}"


def counter_reads(image):
    # One counter read, so that both halves of the count come from one
    # instant: a second read disagrees only when the low half wraps between
    # the two, which no run can be relied on to show.
    code = subprocess.run([image.objdump, "-d", image.exe], capture_output=True, text=True,
                          check=True).stdout
    pattern = r"\tmrs\t[a-z0-9]+, CNTVCT_EL0" if image.arch == "arm64" else r"\trdtsc"
    count = len(re.findall(pattern, code))
    if count != 1:
        fail(f"reads the counter {count} times, expected once")
    return "one counter read"


def checksum(image):
    stated, computed = image.pe.OPTIONAL_HEADER.CheckSum, image.pe.generate_checksum()
    if stated != computed:
        fail(f"its PE checksum says {stated:#x}, the file sums to {computed:#x}")
    return f"checksum {stated:#x}"


def outside_opinion(image):
    opinion = subprocess.run([image.pesec, image.exe], capture_output=True, text=True,
                             check=True).stdout
    verdicts = ["ASLR: +yes", "DEP/NX: +yes"] + (["SEH: +no"] if image.arch == "x86" else [])
    for verdict in verdicts:
        if not re.search(verdict, opinion):
            fail(f"pesec does not say {verdict}:\n{opinion}")
    return "pesec: " + ", ".join(verdict.replace(" +", " ") for verdict in verdicts)


def version(image, version_name, description, license_path):
    holder = copyright_line(license_path)
    check_placement(image.pe)
    check_version(image.pe, version_name, description, holder)
    check_as_windows_reads(image.pe, expected_strings(version_name, description, holder))
    return f"version resource {version_name}, \"{description}\""


def rows(max_size, version_name, description, license_path):
    """Each row: its name, what it checks, and the check, given the image."""
    return [
        ("size", "at most the bytes the build allows", lambda image: size(image, max_size)),
        ("header", "a console program for its processor", machine),
        ("relocations", "a relocation directory", relocations),
        ("imports", "the four KERNEL32 functions alone", imports),
        ("counter", "one counter read", counter_reads),
        ("checksum", "a PE checksum that matches", checksum),
        *[(rule, what, lambda image, check=check: check(image.pe)) for rule, what, check in RULES],
        ("version", "the version resource, as Windows finds it",
         lambda image: version(image, version_name, description, license_path)),
        ("pesec", "an outside opinion", outside_opinion),
    ]


def main(objdump, pesec, exe, arch, max_size, version_name, description, license_path):
    image = Image(exe, arch, objdump, pesec)
    failures = []
    for name, what, check in rows(int(max_size), version_name, description, license_path):
        try:
            print(f"{name} pass: {what}: {check(image)}")
        except DoesNotApply as why:
            print(f"{name} does not apply: {why}")
        except Fails as value:
            failures.append(f"{exe}: {name} fails ({what}): {value}" if name[:2] in ("BA", "TL")
                            else f"{exe}: {value}")
    if failures:
        sys.exit("\n".join(failures))


if __name__ == "__main__":
    main(*sys.argv[1:])
