#!/usr/bin/env python3
"""Runs the recipes of the README's "Using the numbers" as they stand there,
each marked by a "<!-- recipe: NAME -->" line above its code block.
    check_recipes.py batch WINE_SCRIPT TICKLOW_EXE  the batch recipes in cmd,
                                                    Windows' own where
                                                    WINE_SCRIPT is -
    check_recipes.py posix TICKLOW                  the POSIX one in sh, and
                                                    the manual page's copies"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LARGEST_31 = 2**31 - 1

# Readings the test sets, right across the 31-bit wrap among them, and the
# difference the elapsed recipe's arithmetic line must give.
ELAPSED = [(5, 10, 5), (2147483640, 3, 11), (LARGEST_31, 0, 1), (0, LARGEST_31, LARGEST_31),
           (7, 7, 0)]
# Readings and the face the dice line must give: every face, and the ends.
DICE = [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 6), (6, 1), (LARGEST_31, 2)]


def recipes():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        found = re.findall(r"<!-- recipe: (\w+) -->\n```\w+\n(.*?)```", readme.read(), re.S)
    return {name: code.splitlines() for name, code in found}


def arithmetic(lines):
    """The recipe's one set /a line."""
    return [line for line in lines if line.startswith("set /a")]


def batch_cases(book):
    """Each case: the batch lines it runs, and what the one line it echoes
    must be, as a predicate and a description."""
    cases = []
    for first, second, difference in ELAPSED:
        cases.append(([f"set T1={first}", f"set T2={second}", *arithmetic(book["elapsed"]),
                       "echo %ELAPSED%"], lambda out, d=difference: out == str(d),
                      f"elapsed from {first} to {second} is {difference}"))
    for reading, face in DICE:
        cases.append(([f"set R={reading}", *arithmetic(book["dice"]), "echo %DIE%"],
                      lambda out, f=face: out == str(f), f"reading {reading} gives face {face}"))
    cases.append((book["elapsed"], lambda out: re.fullmatch(r"\d+ ticks", out)
                  and int(out.split()[0]) <= LARGEST_31, "live elapsed ticks, 0 to 2^31 - 1"))
    cases.append((book["dice"], lambda out: out in "123456" and len(out) == 1, "live face, 1 to 6"))
    for _ in range(2):
        cases.append((book["name"], lambda out: re.fullmatch(r"writing run-\d+\.log", out),
                      "a file name"))
    return cases


def check_batch(book, wine, exe):
    cases = batch_cases(book)
    with tempfile.TemporaryDirectory() as work:
        shutil.copy(exe, os.path.join(work, "ticklow.exe"))
        lines = ["@echo off"] + [line for case, _, _ in cases for line in case]
        with open(os.path.join(work, "recipes.bat"), "wb") as script:
            script.write(("\r\n".join(lines) + "\r\n").encode())
        # Wine's errors go to a log of this check's own in the build tree.
        log = os.path.abspath(f"wine-logs/recipes.{os.path.basename(wine)}.log")
        os.makedirs(os.path.dirname(log), exist_ok=True)
        if os.path.exists(log):
            os.remove(log)
        start = [] if wine == "-" else [wine]
        ran = subprocess.run(start + ["cmd", "/c", "recipes.bat"], cwd=work, capture_output=True,
                             check=False, env=dict(os.environ, TICKLOW_WINE_LOG=log))
    # Wine's own lines, its err channel's, go to the log; cmd's must be none.
    wine_line = re.compile(rb"^([0-9a-f]+:)?[0-9a-f]+:(err|fixme|warn|trace):")
    lines = ran.stderr.splitlines(keepends=True)
    with open(log, "ab") as errors:
        errors.write(b"".join(line for line in lines if wine_line.match(line)))
    ran.stderr = b"".join(line for line in lines if not wine_line.match(line))
    out = ran.stdout.decode(errors="replace").split("\r\n")
    padded = out + [""] * len(cases)
    failures = [f"{what}: got {got!r}" for (_, good, what), got in zip(cases, padded)
                if not good(got)]
    names = padded[len(cases) - 2:len(cases)]
    if names[0] == names[1]:
        failures.append(f"two runs in a row made the same name, {names[0]}")
    if ran.returncode != 0 or ran.stderr:
        failures.append(f"cmd exited with {ran.returncode}: {ran.stderr.decode(errors='replace')}")
    if failures:
        with open(log, encoding="utf-8", errors="replace") as errors:
            failures.append(f"Wine's errors ({log}):\n{errors.read()[-4000:] or '(none)'}")
    return failures


def check_posix(book, tool):
    env = dict(os.environ, PATH=os.path.dirname(os.path.abspath(tool)) + os.pathsep
               + os.environ["PATH"])
    ran = subprocess.run(["sh", "-c", "\n".join(book["posix"])], env=env, capture_output=True,
                         check=False)
    failures = []
    if not re.fullmatch(rb"\d{1,10}\n", ran.stdout) or int(ran.stdout) > LARGEST_31:
        failures.append(f"the POSIX recipe wrote {ran.stdout!r}")
    if ran.returncode != 0 or ran.stderr:
        failures.append(f"sh exited with {ran.returncode}: {ran.stderr.decode(errors='replace')}")
    page = subprocess.run(["mandoc", "-T", "ascii", os.path.join(ROOT, "docs/ticklow.1.in")],
                          capture_output=True, check=True).stdout.decode()
    shown = {line.strip() for line in page.splitlines()}
    failures += [f"the manual page lacks the {name} line {line!r}"
                 for name, lines in book.items() for line in lines if line.strip() not in shown]
    return failures


def main(argv):
    book = recipes()
    if len(book) != 4:
        sys.exit(f"check_recipes: the README has recipes {sorted(book)}, not four")
    check = check_batch if argv[0] == "batch" else check_posix
    failures = check(book, *argv[1:])
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(sys.argv[1:])
