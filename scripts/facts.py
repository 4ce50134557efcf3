"""The project's facts, each read from the one place that defines it, for the
scripts and the checks alike: the version from CMakeLists.txt's project(),
the Windows builds from cmake/windows-builds.txt, the addresses from
cmake/addresses.txt and the loaders from cmake/loaders.txt."""

import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rows(path):
    """The words of each line of a list in the tree, but its comments."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as file:
        return [line.split() for line in file if line.strip() and not line.startswith("#")]


def version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as file:
        return re.search(r"^project\(ticklow VERSION ([\d.]+)", file.read(), re.M)[1]


def windows_builds():
    """Each Windows build: its preset, its processor as the release names it,
    winget's and Scoop's names for that, and the script that runs it under
    Wine ("-": none)."""
    return [tuple(row[:5]) for row in rows("cmake/windows-builds.txt")]


def addresses():
    """The home page, the download folder (VERSION for the version) and the
    bug address, by name."""
    return dict(rows("cmake/addresses.txt"))


def loaders():
    """Each loader, and the preset of the build whose programs it runs."""
    return [tuple(row) for row in rows("cmake/loaders.txt")]
