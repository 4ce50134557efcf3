#!/usr/bin/env python3
"""Runs the README's recipes as they stand there, each marked by a
"<!-- recipe: NAME -->" line above its code block: live, with readings the
test sets, and the status recipes in every case a user meets: the write
worked; it failed (a stand-in that writes nothing and exits with 0); the
redirection failed, so ticklow never ran, after a command that left status 1;
ticklow is not found. Only the last two may write to standard error: cmd's
or the shell's own message.
    check_recipes.py batch WINE_SCRIPT TICKLOW_EXE...  the batch recipes in
                                                    cmd with each executable,
                                                    Windows' own cmd where
                                                    WINE_SCRIPT is -
    check_recipes.py posix TICKLOW                  the POSIX ones in sh,
                                                    against the kernel's rate
                                                    too; the pick line on
                                                    counters that step; and
                                                    the copies in the manual
                                                    page and the zips' text"""

import collections
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

from check_figures import zips_readmes

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LARGEST_31 = 2**31 - 1

# Readings the test sets, right across the 31-bit wrap among them, and the
# difference the elapsed recipe's arithmetic line must give.
ELAPSED = [(5, 10, 5), (2147483640, 3, 11), (LARGEST_31, 0, 1), (0, LARGEST_31, LARGEST_31),
           (7, 7, 0)]
# Readings and the face the dice line must give: every face, multiples of a
# counter's step, the largest remainder, whose cube's first product is the
# largest, and the ends.
DICE = [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 6), (21, 4), (42, 2), (46336, 5),
        (46337, 1), (LARGEST_31, 4)]
# Elapsed ticks the milliseconds recipe turns into time, at its own rate.
ELAPSED_TICKS = [0, 5 * 3_000_000 + 7, LARGEST_31]
# Counters that step by 1, by 21 (an AMD EPYC's), and by a power of two, read
# back to back: each pick 100,000 to 100,020 steps after the last, whatever
# the step. Of PICKS picks, each face must come within FACE_BOUND of a sixth,
# and each of the 36 pairs of back-to-back faces within PAIR_BOUND of a 36th.
STEPS = [1, 21, 1024]
PICKS = 36_000
FACE_BOUND, PAIR_BOUND = 0.05, 0.2
BATCH = ["variable", "status", "undefined", "elapsed", "milliseconds", "dice", "name"]
NO_NUMBER = "no number from ticklow"
# What replaces ticklow's name where it is not found.
MISSING = "ticklow-not-installed"
# Ends each case's output, so that a case may write any number of lines.
END = "--- end of case ---"


def recipes():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        found = re.findall(r"<!-- recipe: ([\w-]+) -->\n```\w+\n(.*?)```", readme.read(), re.S)
    return {name: code.splitlines() for name, code in found}


def arithmetic(lines):
    """The recipe's one set /a line."""
    return [line for line in lines if line.startswith("set /a")]


def set_a(line):
    """A set /a line as Python: each "NAME=EXPR" it assigns, with % for %%,
    where the expression holds nothing but names, numbers, +, *, % and
    brackets, whose meaning on values below 2^31 the two languages share."""
    parts = [part.strip().strip('"').split("=", 1) for part in line[len("set /a "):].split(",")]
    for name, expression in parts:
        if not re.fullmatch(r"[\w +*%()]+", expression):
            sys.exit(f"check_recipes: cannot follow the arithmetic {expression!r}")
    return [(name, compile(expression.replace("%%", "%"), name, "eval"))
            for name, expression in parts]


def pick(assignments, reading):
    values = {"R": reading}
    for name, expression in assignments:
        values[name] = eval(expression, {}, values)  # pylint: disable=eval-used
    return values["DIE"]


def pick_pattern(line):
    """What the dice line's faces show on counters that step, read back to
    back: faces and pairs of faces further from even than the bounds."""
    assignments = set_a(line)
    failures = []
    for step in STEPS:
        steps = random.Random(step)
        count = steps.randrange(2**40)
        faces = []
        for _ in range(PICKS):
            faces.append(pick(assignments, count * step % 2**31))
            count += 100_000 + steps.randrange(21)
        shown = collections.Counter(faces)
        pairs = collections.Counter(zip(faces, faces[1:]))
        uneven = [f"face {face}: {shown[face]}" for face in range(1, 7)
                  if abs(shown[face] - PICKS / 6) > FACE_BOUND * PICKS / 6]
        uneven += [f"{first} then {second}: {pairs[first, second]}"
                   for first in range(1, 7) for second in range(1, 7)
                   if abs(pairs[first, second] - PICKS / 36) > PAIR_BOUND * PICKS / 36]
        if uneven:
            failures.append(f"{PICKS} picks on a counter stepping by {step}: {', '.join(uneven)}")
    return failures


def failing(lines):
    """The lines with each ticklow run replaced by one whose write failed."""
    return [re.sub(r"ticklow \d+", "cmd /c exit 0", line) for line in lines]


def unredirectable(lines):
    """The lines, after a command that left status 1, with each output file
    in a folder that does not exist."""
    return ["cmd /c exit 1"] + [re.sub(r"> (\S+)", r"> no-such-folder\\\1", line) for line in lines]


def missing(lines):
    return [re.sub(r"\bticklow(?= \d)", MISSING, line) for line in lines]


def one(pattern, largest=LARGEST_31):
    """A predicate: one line, a number in its first group at most largest."""
    return lambda out: (len(out) == 1 and (found := re.fullmatch(pattern, out[0])) is not None
                        and int(found.group(1)) <= largest)


def batch_cases(book):
    """Each case: the batch lines it runs, what the lines it writes must be,
    as a predicate and a description, and whether cmd writes a message of
    its own, which only a case whose ticklow does not run may."""
    cases = [
        (book["variable"], one(r"(\d+)"), "the variable holds a 31-bit value"),
        (book["status"] + ["type stamp.txt"], lambda out: len(out) == 2
         and out[0] == "stamp written" and out[1].isdigit(), "a written stamp"),
        (failing(book["status"]), lambda out: out == ["no stamp: 0"],
         "a failed write's status"),
        (unredirectable(book["status"]), lambda out: out == ["no stamp: 0"],
         "a redirection that failed, after status 1", True),
        (missing(book["status"]), lambda out: out == ["no stamp: 9009"],
         "ticklow not found", True),
        (book["undefined"], lambda out: out == [], "a written value is defined"),
        (failing(book["undefined"]), lambda out: out == [NO_NUMBER],
         "a failed write leaves the variable undefined"),
        ([line.replace("ticklow 31", "ticklow 3l") for line in book["undefined"]],
         lambda out: out == [NO_NUMBER], "a mistyped count leaves a word, not a number"),
        (missing(book["undefined"]), lambda out: out == [NO_NUMBER],
         "ticklow not found leaves the variable undefined", True),
    ]
    for first, second, difference in ELAPSED:
        cases.append(([f"set T1={first}", f"set T2={second}", *arithmetic(book["elapsed"]),
                       "echo %ELAPSED%"], lambda out, d=difference: out == [str(d)],
                      f"elapsed from {first} to {second} is {difference}"))
    for reading, face in DICE:
        cases.append(([f"set R={reading}", *arithmetic(book["dice"]), "echo %DIE%"],
                      lambda out, f=face: out == [str(f)], f"reading {reading} gives face {face}"))
    khz = int(re.search(r"^set KHZ=(\d+)$", "\n".join(book["milliseconds"]), re.M)[1])
    for ticks in ELAPSED_TICKS:
        shown = f"{ticks // khz} ms, of at most {LARGEST_31 // khz} ms"
        cases.append(([f"set ELAPSED={ticks}", *book["milliseconds"]],
                      lambda out, s=shown: out == [s], f"{ticks} ticks at {khz} kHz: {shown}"))
    cases.append((book["elapsed"], one(r"(\d+) ticks"), "live elapsed ticks, 0 to 2^31 - 1"))
    cases.append((book["dice"], lambda out: out in [[face] for face in "123456"],
                  "live face, 1 to 6"))
    for _ in range(2):
        cases.append((book["name"], lambda out: len(out) == 1
                      and re.fullmatch(r"writing run-\d{20}\.log", out[0]),
                      "a file name, of 20 digits"))
    # The README's words on && and ||, where cmd heeds a program's status:
    # Wine's runs both after any program. Last, so that the status it leaves,
    # ticklow's 1, is the one the file would end with but for its own.
    cases.append((["cmd /c exit 1 && echo heeds no status", "ticklow 31 > nul && echo and ran",
                   "ticklow 31 > nul || echo or ran"],
                  lambda out: out in (["or ran"], ["heeds no status", "and ran", "or ran"]),
                  "&& runs only after a failed write, || only after a written one"))
    return cases


def check_batch(book, wine, *exes):
    return [f"{exe}: {failure}" if len(exes) > 1 else failure
            for exe in exes for failure in check_batch_with(book, wine, exe)]


def write_batch(path, lines):
    with open(path, "wb") as script:
        script.write(("\r\n".join(["@echo off", *lines]) + "\r\n").encode())


def check_batch_with(book, wine, exe):
    cases = [(*case, False)[:4] for case in batch_cases(book)]
    with tempfile.TemporaryDirectory() as work:
        shutil.copy(exe, os.path.join(work, "ticklow.exe"))
        # A case in which cmd speaks runs in a cmd of its own, whose standard
        # error goes to a file of its own.
        lines = []
        for number, (case, _, _, speaks) in enumerate(cases):
            if speaks:
                write_batch(os.path.join(work, f"case{number}.bat"), case)
                case = [f"cmd /c case{number}.bat 2>case{number}.err"]
            lines += [*case, f"echo {END}"]
        # A .bat file's status is that of the last command that set one, which
        # Windows' cmd keeps across set, for and echo, and Wine 8's clears on
        # set and for: the file states its own, so that cmd's says only that
        # the file ran to its end, on every cmd alike.
        write_batch(os.path.join(work, "recipes.bat"), [*lines, "exit /b 0"])
        # Wine's errors go to a log of this check's own in the build tree.
        log = os.path.abspath(f"wine-logs/recipes.{os.path.basename(wine)}.log")
        os.makedirs(os.path.dirname(log), exist_ok=True)
        if os.path.exists(log):
            os.remove(log)
        start = [] if wine == "-" else [wine]
        ran = subprocess.run(start + ["cmd", "/c", "recipes.bat"], cwd=work, capture_output=True,
                             check=False, env=dict(os.environ, TICKLOW_WINE_LOG=log))
        said = {number: apart_from_wine(read_text(os.path.join(work, f"case{number}.err")), log)
                for number, case in enumerate(cases) if case[3]}
    ran.stderr = apart_from_wine(ran.stderr.decode(errors="replace"), log).encode()
    written = ran.stdout.decode(errors="replace").split(f"{END}\r\n")
    outputs = [case.split("\r\n")[:-1] for case in written[:-1]]
    outputs += [["(the batch file ended before this case)"]] * (len(cases) - len(outputs))
    failures = [f"{what}: got {got!r}" for (_, good, what, _), got in zip(cases, outputs)
                if not good(got)]
    failures += [f"{cases[number][2]}: cmd said nothing of it" for number, text in said.items()
                 if not text.strip()]
    if outputs[-1][:1] == ["heeds no status"]:
        print("note: this cmd runs && and || after a program whatever its status, so the "
              "README's words on them are left to Windows' own cmd")
    if outputs[-3] == outputs[-2]:
        failures.append(f"two runs in a row made the same name, {outputs[-2]}")
    if ran.returncode != 0 or ran.stderr:
        failures.append(f"cmd exited with {ran.returncode}: {ran.stderr.decode(errors='replace')}")
    if failures:
        with open(log, encoding="utf-8", errors="replace") as errors:
            failures.append(f"Wine's errors ({log}):\n{errors.read()[-4000:] or '(none)'}")
    return failures


# Wine's own lines: its channels' (err, with TICKLOW_WINE_LOG), and the one
# Wine 10's display driver writes where XDG_RUNTIME_DIR is unset.
WINE_LINE = re.compile(r"^(([0-9a-f]+:)?[0-9a-f]+:(err|fixme|warn|trace):|"
                       r"error: XDG_RUNTIME_DIR is invalid or not set in the environment\.\r?$)")


def apart_from_wine(text, log):
    """text without Wine's own lines, which go to the end of log."""
    lines = text.splitlines(keepends=True)
    with open(log, "a", encoding="utf-8") as errors:
        errors.write("".join(line for line in lines if WINE_LINE.match(line)))
    return "".join(line for line in lines if not WINE_LINE.match(line))


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()
    except OSError:
        return ""


def posix_output(out):
    """What the POSIX recipe writes: a 63-bit value and its face."""
    found = re.fullmatch(rb"(\d{1,19}), a face from 1 to 6: [1-6]\n", out)
    return found and int(found[1]) < 2**63


def kernel_rate():
    """The counter's rate in kHz as the kernel found it: dmesg's, or where
    that cannot be read, /proc/cpuinfo's."""
    said = subprocess.run(["dmesg"], capture_output=True, text=True, check=False).stdout
    found = (re.findall(r"Refined TSC clocksource calibration: ([\d.]+) MHz", said)
             or re.findall(r"tsc: Detected ([\d.]+) MHz", said))
    if not found:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            found = re.findall(r"^cpu MHz\s*: ([\d.]+)", cpuinfo.read(), re.M)
    return float(found[-1]) * 1000 if found else None


def check_rate(book, env):
    """The sh rate recipe, within 1 % of the kernel's rate: the middle of
    three runs, as a user on a busy machine would measure."""
    rates = []
    for _ in range(3):
        ran = subprocess.run(["sh", "-c", "\n".join(book["rate"])], env=env, capture_output=True,
                             text=True, check=False)
        found = re.fullmatch(r"(\d+) kHz\n", ran.stdout)
        if not found or ran.returncode or ran.stderr:
            return [f"the rate recipe gave {ran}"]
        rates.append(int(found[1]))
    kernel, rate = kernel_rate(), sorted(rates)[1]
    if kernel is None or abs(rate - kernel) > kernel / 100:
        return [f"the rate recipe gave {rates} kHz, the kernel {kernel} kHz"]
    print(f"the rate recipe: {rates} kHz; the kernel: {kernel:.0f} kHz")
    return []


def check_posix(book, tool):
    env = dict(os.environ, PATH=os.path.dirname(os.path.abspath(tool)) + os.pathsep
               + os.environ["PATH"])
    recipe = "\n".join(book["posix"])
    failures = []
    # As written, and in the strict modes scripts use, which must not end it.
    for shell in [["sh", "-c"], ["sh", "-ec"], ["bash", "-o", "pipefail", "-ec"]]:
        ran = subprocess.run(shell + [recipe], env=env, capture_output=True, check=False)
        if not posix_output(ran.stdout) or ran.returncode != 0 or ran.stderr:
            failures.append(f"{' '.join(shell)}: the POSIX recipe wrote {ran.stdout!r}, "
                            f"{ran.stderr!r} and exited with {ran.returncode}")
    # Readings the test sets, and the faces the dice line gives them.
    for reading, face in [*DICE, (2**63 - 1, 3)]:
        fed = f"ticklow() {{ printf '%s\\r\\n' {reading}; return 1; }}\n"
        ran = subprocess.run(["sh", "-c", fed + recipe], env=env, capture_output=True, check=False)
        if ran.stdout != f"{reading}, a face from 1 to 6: {face}\n".encode():
            failures.append(f"the POSIX recipe gave reading {reading} {ran.stdout!r}, not face {face}")
    # A failed write; ticklow not found, whose shell says so first; and a
    # mistyped count: in each, with and without set -e, the recipe says why
    # and stops.
    for before, why, shell_says in [
            ("ticklow() { return 0; }\n", "status 0", b""),
            (f"PATH={os.environ['PATH']}\n", "status 127", b"not found"),
            ("ticklow() { command ticklow 3l; }\n", "the count is not 0 to 64", b"")]:
        for shell in [["sh", "-c"], ["sh", "-ec"]]:
            ran = subprocess.run(shell + [before + recipe], env=env, capture_output=True,
                                 check=False)
            said = ran.stderr.splitlines()
            if (ran.returncode, ran.stdout, said[-1:]) != (
                    1, b"", [f"{NO_NUMBER}: {why}".encode()]) or (
                    shell_says not in b"".join(said[:-1]) or not shell_says and said[:-1]):
                failures.append(f"{' '.join(shell)}, {why}: the POSIX recipe gave {ran}")
    failures += pick_pattern(arithmetic(book["dice"])[0])
    failures += check_rate(book, env)
    page = subprocess.run(["mandoc", "-T", "ascii", os.path.join(ROOT, "docs/ticklow.1.in")],
                          capture_output=True, check=True).stdout.decode()
    zipped = [(where, text, BATCH + ["rate-powershell"]) for where, text in zips_readmes()]
    for where, shown, names in [("the manual page", page, BATCH + ["posix", "rate"]), *zipped]:
        lines = {line.strip() for line in shown.splitlines()}
        failures += [f"{where} lacks the {name} line {line!r}"
                     for name in names for line in book[name] if line.strip() not in lines]
    return failures


def main(argv):
    book = recipes()
    if sorted(book) != sorted(BATCH + ["posix", "inspect", "rate", "rate-powershell"]):
        sys.exit(f"check_recipes: the README has recipes {sorted(book)}")
    check = check_batch if argv[0] == "batch" else check_posix
    failures = check(book, *argv[1:])
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(sys.argv[1:])
