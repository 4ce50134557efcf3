#!/usr/bin/python3
"""Reads a Windows executable's version resource back with pefile, a reader
outside the toolchains that wrote it, and checks what Explorer's Details and
PowerShell's VersionInfo would show against the project's version, its
description and the licence's copyright line:

    check_version_resource.py EXE VERSION DESCRIPTION LICENSE

Also that the resource is where the data directory says, inside one
section's bytes in the file, and that no level of it carries a time stamp."""

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


def check_version(exe, pe, version, description, holder):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail(exe, "has no version resource")
    fixed = pe.VS_FIXEDFILEINFO[0]
    shown = {"file version": (fixed.FileVersionMS, fixed.FileVersionLS),
             "product version": (fixed.ProductVersionMS, fixed.ProductVersionLS),
             "OS, type": (fixed.FileOS, fixed.FileType)}
    expected = {"file version": fixed_version(version), "product version": fixed_version(version),
                "OS, type": (0x40004, 1)}
    if shown != expected:
        fail(exe, f"fixed part {shown}, expected {expected}")
    tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for table in info.StringTable]
    strings = {"FileDescription": description, "FileVersion": version, "ProductName": "ticklow",
               "ProductVersion": version, "LegalCopyright": holder,
               "OriginalFilename": "ticklow.exe", "InternalName": "ticklow.exe"}
    found = [(table.LangID.upper(), {key.decode(): value.decode()
                                     for key, value in table.entries.items()})
             for table in tables]
    if found != [(b"040904B0", strings)]:
        fail(exe, f"strings {found}, expected US English, Unicode: {strings}")


def main(exe, version, description, license_path):
    pe = pefile.PE(exe)
    check_placement(exe, pe)
    check_version(exe, pe, version, description, copyright_line(license_path))
    print(f"{exe}: version resource {version}, \"{description}\", read back by pefile")


if __name__ == "__main__":
    main(*sys.argv[1:])
