#!/usr/bin/env python3
"""Recomputes every figure the docs compute, in the README, the manual page
as man shows it in the C locale, and each zip's README.txt:
- the wrap table: 2^n ticks at the rate its heading names, rounded as shown;
- "N bits wrap every T at R" in the prose;
- the share of N-bit values above 2^31 - 1;
- the dice counts: how many of a prime's remainders each face gets, once
  cubed modulo that prime as the dice line does, and that it is a prime;
- each "0 to M" beside a bit count, in a table's row or in a sentence, and
  each "M (2^N - 1)".
The manual page's table must also come out in one piece, with no blank row
and no character the C locale cannot show.
    check_figures.py"""

import collections
import importlib.machinery
import math
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECONDS = {"us": 1e-6, "µs": 1e-6, "ms": 1e-3, "s": 1, "min": 60, "h": 3600, "days": 86400,
           "years": 365.25 * 86400}
HERTZ = {"GHz": 1e9, "MHz": 1e6}
FIGURE = r"([\d.,]+) (us|µs|ms|s|min|h|days|years)"
RATE = r"([\d.]+) (GHz|MHz)"
# What each document must hold, so that a figure reworded out of reach of the
# patterns below is noticed rather than left unchecked.
KINDS = ["table", "wrap", "share", "dice", "range"]


def as_shown(exact, shown):
    """exact rounded to the precision shown: its decimals, or its significant
    digits where it has none."""
    digits = shown.replace(",", "")
    if "." in digits:
        places = len(digits.split(".")[1])
        return math.isclose(round(exact, places), float(digits), abs_tol=10**-places / 100)
    step = 10 ** (len(digits) - len(digits.rstrip("0"))) if digits.strip("0") else 1
    return round(exact / step) * step == int(digits)


def wrap_seconds(bits, rate):
    """How long 2^bits ticks last at a rate such as ("19.2", "MHz")."""
    return 2**bits / (float(rate[0]) * HERTZ[rate[1]])


def wrap_time(bits, rate, figure):
    number, unit = figure
    return as_shown(wrap_seconds(bits, rate) / SECONDS[unit], number)


def table_rows(text):
    """The wrap table: its two rates, and each row's bit count and times."""
    lines = text.splitlines()
    for start, line in enumerate(lines):
        rates = re.findall(RATE, line)
        if len(rates) == 2 and re.match(r"[\s|]*\S*n\S*\s*\|?\s+at ", line):
            break
    else:
        return None, []
    rows = []
    for line in lines[start + 1:]:
        if re.fullmatch(r"[\s|:-]*", line) and "-" in line:
            continue  # a Markdown table's rule
        found = re.fullmatch(rf"[\s|]*(\d+)[\s|]+{FIGURE}[\s|]+{FIGURE}[\s|]*", line)
        if not found:
            break
        rows.append((int(found[1]), (found[2], found[3]), (found[4], found[5])))
    return rates, rows


def check(name, text):
    failures, seen = [], set()
    rates, rows = table_rows(text)
    if len(rows) >= 5:
        seen.add("table")
    for bits, *figures in rows:
        for rate, figure in zip(rates, figures):
            if not wrap_time(bits, rate, figure):
                failures.append(f"{name}: {bits} bits at {' '.join(rate)} last "
                                f"{wrap_seconds(bits, rate):.6g} s, not {' '.join(figure)}")
    flat = re.sub(r"\s+", " ", text)
    for found in re.finditer(rf"(\d+) bits wrap every {FIGURE} at {RATE}", flat):
        seen.add("wrap")
        if not wrap_time(int(found[1]), (found[4], found[5]), (found[2], found[3])):
            failures.append(f"{name}: {found[0]!r} is wrong")
    for found in re.finditer(r"([\d.]+) % (?:of the values )?at (\d+) bits", flat):
        seen.add("share")
        if not as_shown(100 * (1 - 2**31 / 2 ** int(found[2])), found[1]):
            failures.append(f"{name}: {found[0]!r}: the share above 2^31 - 1 is wrong")
    for found in re.finditer(r"faces 1 to 5 each get ([\d,]+) of the ([\d,]+) remainders and "
                             r"face 6 gets ([\d,]+)", flat, re.I):
        seen.add("dice")
        prime = int(found[2].replace(",", ""))
        faces = collections.Counter(x**3 % prime % 6 + 1 for x in range(prime))
        stated = [int(found[1].replace(",", ""))] * 5 + [int(found[3].replace(",", ""))]
        if [faces[face] for face in range(1, 7)] != stated:
            failures.append(f"{name}: {found[0]!r}: faces 1 to 6 get "
                            f"{[faces[face] for face in range(1, 7)]}")
    for found in re.finditer(r"(\d+) is a prime", flat):
        if any(int(found[1]) % divisor == 0 for divisor in range(2, math.isqrt(int(found[1])) + 1)):
            failures.append(f"{name}: {found[1]} is not a prime")
    row = r"(?m)^[\s|]*(\d+)[\s|]+0 to (\d+)\b.*$"
    for found in re.finditer(row, text):
        seen.add("range")
        if int(found[2]) != 2 ** int(found[1]) - 1:
            failures.append(f"{name}: {found[0].strip()!r}: {found[1]} bits reach "
                            f"{2 ** int(found[1]) - 1}")
    # In a sentence, each "0 to M" past the bit counts belongs to the last
    # bit count before it there: "a 31-bit value, 0 to 2147483647".
    for sentence in re.split(r"(?<=\.)\s", re.sub(r"\s+", " ", re.sub(row, "", text))):
        for found in re.finditer(r"0 to (\d+)", sentence):
            if int(found[1]) <= 64:
                continue  # a range of bit counts
            bits = re.findall(r"(\d+)(?:-bit| low bits| bits)\b", sentence[:found.start()])
            seen.add("range")
            if not bits:
                failures.append(f"{name}: '0 to {found[1]}' with no bit count before it")
            elif int(found[1]) != 2 ** int(bits[-1]) - 1:
                failures.append(f"{name}: '0 to {found[1]}' after {bits[-1]} bits: they "
                                f"reach {2 ** int(bits[-1]) - 1}")
    for found in re.finditer(r"(\d+) \(2\^(\d+) - 1\)", flat):
        seen.add("range")
        if int(found[1]) != 2 ** int(found[2]) - 1:
            failures.append(f"{name}: {found[0]!r} is wrong")
    return failures, seen


def manual_page():
    """The page as man shows it where nothing but ASCII can be shown."""
    shown = subprocess.run(["man", "-l", os.path.join(ROOT, "docs/ticklow.1.in")],
                           capture_output=True, check=True, text=True,
                           env=dict(os.environ, LC_ALL="C", MANWIDTH="80")).stdout
    failures = [f"the manual page shows {mark!r} in the C locale"
                for mark in set(re.findall(r"<[a-z-]+>", shown))]
    # groff breaks a table at a page's length unless told not to, even when
    # man shows the page as one: a blank row, which the parsing below stops at.
    lines = shown.splitlines()
    head = next((number for number, line in enumerate(lines) if re.match(r" +n +\D", line)), 0)
    rows = [number for number, line in enumerate(lines[head:head + 12], head)
            if re.match(r" +\d+ +[\d.,]+ ", line)]
    if rows and any(not line.strip() for line in lines[head:rows[-1]]):
        failures.append("the manual page's wrap table has a blank row:\n"
                        + "\n".join(lines[head:rows[-1] + 1]))
    return shown, failures


def zips_readmes():
    """Each zip's README.txt, as scripts/dist writes it."""
    loader = importlib.machinery.SourceFileLoader("dist", os.path.join(ROOT, "scripts/dist"))
    dist = loader.load_module()  # pylint: disable=deprecated-method
    return [(f"the {arch} zip's README.txt", dist.readme_for(arch, dist.facts.version()))
            for _, arch, _, _ in dist.WINDOWS]


def main():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as file:
        readme = file.read()
    page, failures = manual_page()
    for name, text in [("README.md", readme), ("the manual page", page), *zips_readmes()]:
        found, seen = check(name, text)
        failures += found
        failures += [f"{name}: no {kind} figure found to check" for kind in KINDS
                     if kind not in seen]
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
