#!/usr/bin/python3
"""Reads a Windows executable's version resource back with pefile, a reader
outside the toolchains that wrote it, and checks what Explorer's Details and
PowerShell's VersionInfo would show against the project's version, its
description and the licence's copyright line:

    check_version_resource.py EXE VERSION DESCRIPTION LICENSE

The fixed part is read whole, against what a release must say: its
versions, no flag set under the full mask, the OS, type and subtype, and no
date. Also that the resource is where the data directory says, inside one
section's bytes in the file, and that no level of it carries a time stamp;
and then that the strings can be found the way Windows finds them, read here
from the format's documentation rather than through pefile: the resource of
type RT_VERSION and ID 1, a VS_VERSIONINFO block whose every length, key and
32-bit alignment holds, the fixed part's signature, and the language and code
page in \\VarFileInfo\\Translation, which Explorer reads first to name the
string table it shows, leading to a table of that name holding the strings."""

import struct
import sys

import pefile

RESOURCE_ENTRY = 2


def fail(exe, message):
    sys.exit(f"{exe}: {message}")


def fixed_version(version):
    parts = [int(part) for part in version.split(".")] + [0] * 4
    return (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])


def copyright_line(license_path):
    with open(license_path, encoding="utf-8") as license_file:
        return next(line.strip() for line in license_file if line.startswith("Copyright "))


def check_placement(exe, pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        fail(exe, "has no resource directory")
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE_ENTRY]
    start, end = directory.VirtualAddress, directory.VirtualAddress + directory.Size
    if not any(s.VirtualAddress <= start and end <= s.VirtualAddress + s.SizeOfRawData
               for s in pe.sections):
        fail(exe, f"its resource directory {start:#x}-{end:#x} is not within one section's bytes")
    levels = [pe.DIRECTORY_ENTRY_RESOURCE]
    while levels:
        level = levels.pop()
        if level.struct.TimeDateStamp:
            fail(exe, f"a resource directory has the time stamp {level.struct.TimeDateStamp}")
        for entry in level.entries:
            if hasattr(entry, "directory"):
                levels.append(entry.directory)
            elif not start <= entry.data.struct.OffsetToData <= end - entry.data.struct.Size:
                fail(exe, "a resource's data lies outside the resource directory's range")


def expected_strings(version, description, holder):
    return {"FileDescription": description, "FileVersion": version, "ProductName": "ticklow",
            "ProductVersion": version, "LegalCopyright": holder,
            "OriginalFilename": "ticklow.exe", "InternalName": "ticklow.exe"}


def check_version(exe, pe, version, description, holder):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail(exe, "has no version resource")
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
        fail(exe, f"fixed part {shown}, expected {expected}")
    tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for table in info.StringTable]
    strings = expected_strings(version, description, holder)
    found = [(table.LangID.upper(), {key.decode(): value.decode()
                                     for key, value in table.entries.items()})
             for table in tables]
    if found != [(b"040904B0", strings)]:
        fail(exe, f"strings {found}, expected US English, Unicode: {strings}")


RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class Block:
    """One block of VS_VERSIONINFO: wLength, wValueLength, wType, the key in
    UTF-16 ending in a NUL, the value and the children, each on a 32-bit
    boundary, the children filling the block to its wLength."""

    def __init__(self, exe, data, at, end):
        if at + 6 > end:
            fail(exe, f"a version block at {at:#x} runs past its parent")
        self.length, self.value_length, self.type = struct.unpack_from("<HHH", data, at)
        self.end = at + self.length
        if self.length < 6 or self.end > end:
            fail(exe, f"a version block at {at:#x} says {self.length} bytes, "
                      f"{end - at} remain in its parent")
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end + 2 > self.end:
                fail(exe, f"the key of the version block at {at:#x} has no end")
        self.key = data[at + 6:key_end].decode("utf-16-le")
        self.value_at = (key_end + 2 + 3) & ~3
        size = self.value_length * (2 if self.type == 1 else 1)
        if self.value_at + size > self.end:
            fail(exe, f"the value of {self.key} runs past its block")
        self.value = data[self.value_at:self.value_at + size]
        self.children = []
        child = (self.value_at + size + 3) & ~3
        while child < self.end:
            self.children.append(Block(exe, data, child, self.end))
            child = (self.children[-1].end + 3) & ~3

    def child(self, exe, key):
        found = [block for block in self.children if block.key.upper() == key.upper()]
        if len(found) != 1:
            fail(exe, f"{self.key} holds {len(found)} blocks named {key}")
        return found[0]


def version_resource(exe, pe):
    """The bytes Windows' version functions load: RT_VERSION, ID 1, the first
    language."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_VERSION:
            continue
        for name in kind.directory.entries:
            if name.id == 1:
                entry = name.directory.entries[0].data.struct
                return pe.get_data(entry.OffsetToData, entry.Size)
    return fail(exe, "has no resource of type RT_VERSION and ID 1")


def check_as_windows_reads(exe, pe, strings):
    data = version_resource(exe, pe)
    root = Block(exe, data, 0, len(data))
    if root.key != "VS_VERSION_INFO" or root.type != 0 or root.value_length != 52:
        fail(exe, f"the version root is {root.key!r}, type {root.type}, "
                  f"a value of {root.value_length} bytes")
    signature, structure = struct.unpack_from("<II", root.value)
    if signature != FIXED_SIGNATURE or structure != 0x10000:
        fail(exe, f"the fixed part's signature is {signature:#x}, version {structure:#x}")
    translation = root.child(exe, "VarFileInfo").child(exe, "Translation")
    if translation.type != 0 or len(translation.value) % 4 or not translation.value:
        fail(exe, "\\VarFileInfo\\Translation holds no language and code page")
    language, code_page = struct.unpack_from("<HH", translation.value)
    table = root.child(exe, "StringFileInfo").child(exe, f"{language:04X}{code_page:04X}")
    found = {}
    for string in table.children:
        text = string.value.decode("utf-16-le")
        if string.type != 1 or not text.endswith("\0") or "\0" in text[:-1]:
            fail(exe, f"the string {string.key} is not one text ending in its NUL")
        found[string.key] = text[:-1]
    if found != strings:
        fail(exe, f"Windows would find {found} in table {table.key}, expected {strings}")


def main(exe, version, description, license_path):
    pe = pefile.PE(exe)
    check_placement(exe, pe)
    holder = copyright_line(license_path)
    check_version(exe, pe, version, description, holder)
    check_as_windows_reads(exe, pe, expected_strings(version, description, holder))
    print(f"{exe}: version resource {version}, \"{description}\", read back by pefile")


if __name__ == "__main__":
    main(*sys.argv[1:])
