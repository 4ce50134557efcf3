#!/usr/bin/env python3
"""Measures ticklow against its peers, prints one table and writes it to
bench/results.md. Run by `make bench` once the host, posix and Windows trees
are built. Whole processes are timed with hyperfine and counted with callgrind
(instructions do not drift with machine noise) and strace; ticklow.exe's
instructions are counted on the CPU emulator; the in-process costs come from
Google Benchmark. Ratios are against a do-nothing process measured in the
same session, since absolute times move from run to run. Every command is run
once and its output and status checked before it is measured: one that fails
is reported with its status, never timed."""

import datetime
import json
import os
import platform
import re
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import facts  # noqa: E402 pylint: disable=wrong-import-position
LIBC_FREE_CALLS = ["execve", "rt_sigaction", "write", "exit_group"]
INSTRUCTION_BUDGET = 1000

EMULATOR = "build/host/tests/ticklow_emulate"
# What a run that did its job gives: the exit status and the whole output.
# The tool exits with 1 once its line is written.
NOTHING = (0, rb"")
COUNTER_LINE = (1, rb"\d{1,20}\r\n")
LINUX = [
    ("floor: a static do-nothing, no C library", ["build/host/bench/floor"], NOTHING),
    ("`build/host/ticklow 31`, no C library", ["build/host/ticklow", "31"], COUNTER_LINE),
    ("`build/posix/ticklow 31`, C library", ["build/posix/ticklow", "31"], COUNTER_LINE),
    ("`/bin/true`", ["/bin/true"], NOTHING),
    ("`date +%s%N`", ["date", "+%s%N"], (0, rb"\d+\n")),
]


# Each Windows build: its tree, its processor and the script that runs its
# programs under Wine ("-": none).
BUILDS = [(preset, processor, wine) for preset, processor, _, _, wine in facts.windows_builds()]


def wine_programs(tree, processor):
    """What runs under a build's Wine: its do-nothing floor, the tool, and
    the tool written with the C runtime where the tree has a C runtime."""
    programs = [
        (f"floor: {processor} `floor.exe`, a CRT-free do-nothing", [f"build/{tree}/bench/floor.exe"],
         NOTHING),
        (f"{processor} `ticklow.exe 31`", [f"build/{tree}/ticklow.exe", "31"], COUNTER_LINE)]
    if os.path.exists(os.path.join(ROOT, f"build/{tree}/bench/ticklow_crt.exe")):
        programs.append((f"{processor} `ticklow_crt.exe 31`, C runtime and printf",
                         [f"build/{tree}/bench/ticklow_crt.exe", "31"], COUNTER_LINE))
    return programs


# Each Wine the list names: the processor, its script, and the programs timed
# under it.
WINES = [(processor, script, wine_programs(tree, processor))
         for tree, processor, script in BUILDS if script != "-"]
# On the emulator the command line is given exactly, so that the count does
# not depend on where the tree lies.
EMULATED = [
    ("`floor.exe`", "build/win32/bench/floor.exe", "floor.exe", NOTHING),
    ("`ticklow.exe 64`", "build/win32/ticklow.exe", "ticklow.exe 64", COUNTER_LINE),
] + [(f"{processor} `ticklow.exe 31`", f"build/{tree}/ticklow.exe", "ticklow.exe 31",
      COUNTER_LINE) for tree, processor, _ in BUILDS]
SIZES = [(f"`build/{tree}/ticklow.exe` ({processor})", f"build/{tree}/ticklow.exe")
         for tree, processor, _ in BUILDS] + [
    ("`build/win32/bench/ticklow_crt.exe` (C runtime)", "build/win32/bench/ticklow_crt.exe"),
    ("`build/host/ticklow` (no C library)", "build/host/ticklow"),
    ("`build/posix/ticklow` (C library)", "build/posix/ticklow"),
]
# Runs of each command: on Linux in rounds of LINUX_ROUND, the commands taking
# turns; under each Wine, one by one in turn, fewer where qemu-user emulates
# the processor, as each start then takes a few tenths of a second.
LINUX_RUNS, LINUX_ROUND, WINE_RUNS, EMULATED_WINE_RUNS = 1000, 50, 300, 60
# The Windows processors each host runs without an emulator.
NATIVE = {"x86_64": ("x86", "x64"), "aarch64": ("arm64",)}


def run(argv, **options):
    return subprocess.run(argv, check=False, text=True, capture_output=True, **options)


def checked_run(command, expected, env=None):
    """One run of the command, and None when it did its job, else what went
    wrong."""
    status, output = expected
    try:
        result = subprocess.run(command, check=False, capture_output=True, env=env, timeout=60)
    except OSError as error:
        return None, f"failed to start: {error.strerror}"
    if result.returncode != status:
        return result, f"failed: exit status {result.returncode}, expected {status}"
    if not re.fullmatch(output, result.stdout):
        return result, f"failed: wrote {result.stdout[:40]!r}"
    return result, None


def checked_then_timed(entries, time, env=None, start=()):
    """For each (label, command, expected) entry: its label, what went wrong
    on a first run, and its timing, measured by time() only for the commands
    that did their job. start is what runs each command, such as Wine."""
    commands = [list(start) + command for _, command, _ in entries]
    failures = [checked_run(command, expected, env)[1]
                for command, (_, _, expected) in zip(commands, entries)]
    working = [command for command, failed in zip(commands, failures) if not failed]
    timings = iter(time(working) if working else [])
    return [(label, failed, None if failed else next(timings))
            for (label, _, _), failed in zip(entries, failures)]


def hyperfine(commands, runs, warmup):
    """Each command's wall times, in milliseconds."""
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        argv = ["hyperfine", "-N", "-i", "--style", "none", "--runs", str(runs),
                "--warmup", str(warmup), "--export-json", export.name]
        result = run(argv + [shlex.join(command) for command in commands])
        if result.returncode != 0:
            sys.exit("hyperfine failed:\n" + result.stderr)
        timings = json.load(open(export.name, encoding="utf-8"))["results"]
    return [[seconds * 1e3 for seconds in t["times"]] for t in timings]


def hyperfine_in_turns(commands):
    """Median, mean and fastest wall time of each command in milliseconds,
    from rounds of hyperfine runs, the commands taking turns and each round
    starting with the next one, so that a slow spell of the machine falls on
    all of them alike."""
    times = [[] for _ in commands]
    for round_ in range(LINUX_RUNS // LINUX_ROUND):
        order = [(round_ + i) % len(commands) for i in range(len(commands))]
        for index, measured in zip(order, hyperfine([commands[i] for i in order],
                                                    LINUX_ROUND, 5)):
            times[index] += measured
    return [(statistics.median(t), statistics.mean(t), min(t)) for t in times]


def instructions(command):
    result = run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + command)
    found = re.search(r"Collected : (\d+)", result.stderr)
    if not found:
        sys.exit(f"callgrind gave no count for {command}:\n{result.stderr}")
    return int(found.group(1))


def system_calls(command):
    with tempfile.NamedTemporaryFile(mode="r") as trace:
        run(["strace", "-f", "-qq", "-o", trace.name] + command)
        lines = trace.read().splitlines()
    return [re.sub(r"^\d+\s+", "", line).split("(")[0] for line in lines if "(" in line]


def micro_benchmarks():
    result = run(["build/host/bench/ticklow_micro_bench", "--benchmark_format=json",
                  "--benchmark_min_time=0.2"])
    if result.returncode != 0:
        sys.exit("the micro benchmarks failed:\n" + result.stderr)
    return {b["name"]: b["cpu_time"] for b in json.loads(result.stdout)["benchmarks"]}


def machine():
    model = "unknown processor"
    with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    kernel = os.uname().release
    wine = run(["/usr/lib/wine/wine64", "--version"]).stdout.strip() or "no Wine"
    return f"{model}, {os.cpu_count()} cores, Linux {kernel}, {wine}"


def ratio(median, results):
    """median over the floor's, the first entry's, when the floor did its job."""
    floor = results[0][2]
    return f"{median / floor[0]:.2f}" if floor else "–"


def linux_table():
    results = checked_then_timed(LINUX, hyperfine_in_turns)
    rows = ["| Command | Median | × floor | Instructions | System calls |",
            "|---|---:|---:|---:|---:|"]
    tool = (None, None)
    for (label, failed, timing), (_, command, _) in zip(results, LINUX):
        if failed:
            rows.append(f"| {label} | {failed} | | | |")
            continue
        count, made = instructions(command), system_calls(command)
        if command == LINUX[1][1]:
            tool = (count, made)
        rows.append(f"| {label} | {timing[0]:.3f} ms | {ratio(timing[0], results)} | {count:,} | "
                    f"{len(made)} |")
    return rows, tool


def interleaved(commands, rounds, env):
    """Median, mean and fastest wall time of each command in milliseconds,
    the commands taking turns round by round, so that a slow spell of the
    machine falls on all of them alike."""
    times = [[] for _ in commands]
    for _ in range(rounds):
        for index, command in enumerate(commands):
            start = time.perf_counter()
            subprocess.run(command, env=env, stdout=subprocess.DEVNULL, check=False)
            times[index].append((time.perf_counter() - start) * 1e3)
    return [(statistics.median(t), statistics.mean(t), min(t)) for t in times]


def wine_refused(script):
    """Why this Wine cannot run here, in the words of the script's probe, or
    None when it starts a Windows program."""
    probe = run([script, "--probe"])
    return None if probe.returncode == 0 else (probe.stdout + probe.stderr).strip()


def wine_table(processor, script, programs):
    name = f"Wine for {processor}"
    refused = wine_refused(script)
    if refused:
        return [f"No timings under {name}: {refused}. The instructions each ticklow.exe executes "
                "are counted on the CPU emulator below."]
    # Wine itself, not our script around it, so that only Wine's start-up is
    # added to each run; the script brings up the prefix's server first and
    # says how it starts a program.
    prefix = run([script, "--prefix"]).stdout.strip()
    loader = run([script, "--loader"]).stdout.split()
    env = dict(os.environ, WINEPREFIX=prefix, WINELOADER=loader[-1],
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    runs, note = WINE_RUNS, ""
    if processor not in NATIVE.get(platform.machine(), ()):
        runs = EMULATED_WINE_RUNS
        note = ("; qemu-user emulates this Wine's processor here, so the times are qemu-user's "
                "as much as Wine's")

    def time(working):
        interleaved(working, 3, env)  # warm-up
        return interleaved(working, runs, env)

    results = checked_then_timed(programs, time, env, start=loader)
    rows = [f"Under {name} (`{script}`), {runs} runs each, taking turns{note}.", "",
            "| Command | Median | × floor | Mean | Fastest |",
            "|---|---:|---:|---:|---:|"]
    for label, failed, timing in results:
        if failed:
            rows.append(f"| {label} | {failed} | | | |")
            continue
        median, mean, fastest = timing
        rows.append(f"| {label} | {median:.1f} ms | {ratio(median, results)} | {mean:.1f} ms | "
                    f"{fastest:.1f} ms |")
    return rows


def emulated_table():
    """Instructions from the entry to ExitProcess on the CPU emulator: as
    steady as callgrind's count, and the same on every host."""
    rows = ["| Command line (on the CPU emulator) | Instructions |", "|---|---:|"]
    for label, program, line, expected in EMULATED:
        result, failed = checked_run(
            [EMULATOR, "--count", "--line", line.encode().hex(), program], expected)
        count = re.search(rb"instructions: (\d+)", result.stderr) if not failed else None
        counted = failed or f"{int(count[1]):,}"
        rows.append(f"| {label} | {counted} |")
    return rows


def micro_table():
    costs = micro_benchmarks()
    rows = ["| Operation (CPU time per call) | 1 digit | 10 digits | 20 digits |",
            "|---|---:|---:|---:|"]
    for label, name in [("`FormatDecimal`", "BM_Format/FormatDecimal"),
                        ("`std::to_chars`", "BM_Format/ToChars"),
                        ("`snprintf`", "BM_Format/Snprintf")]:
        cells = " | ".join(f"{costs[f'{name}/{i}']:.1f} ns" for i in range(3))
        rows.append(f"| {label} | {cells} |")
    rows += ["", "| Operation (CPU time per call) | |", "|---|---:|",
             f"| `BuildCounterLine(64)`, counter read included | "
             f"{costs['BM_BuildCounterLine']:.1f} ns |",
             f"| `SkipProgramName` + `ParseBitCount`, `ticklow 31` | "
             f"{costs['BM_ReadArgument/0']:.1f} ns |",
             f"| the same, `\"C:\\Program Files\\ticklow\\ticklow.exe\" 64` | "
             f"{costs['BM_ReadArgument/1']:.1f} ns |"]
    return rows


def size_table():
    rows = ["| File | Bytes |", "|---|---:|"]
    rows += [f"| {label} | {os.path.getsize(path):,} |" for label, path in SIZES]
    return rows


def main():
    os.chdir(ROOT)
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    linux, (tool_count, tool_calls) = linux_table()
    lines = ["# ticklow benchmark", "",
             f"Machine: {machine()}. Measured {when}. Reproduce with `make bench`.", "",
             "## Whole process on Linux", "",
             f"Wall time from hyperfine ({LINUX_RUNS} runs each, no shell, in rounds of "
             f"{LINUX_ROUND} with the commands taking turns), instructions in user "
             "space for the whole process from callgrind, system calls from `strace -f`. "
             "Callgrind counts 0 for the floor, whose three instructions end in the exit call, so "
             "instructions are given as they are rather than as a ratio.", ""]
    lines += linux
    lines += ["", f"System calls of `build/host/ticklow 31`: {', '.join(tool_calls)}.", "",
              "## Whole process under Wine", "",
              "Wine's own start-up dominates every run, so the ratios are small and the timings "
              "noisy: the median of many runs, timed by this script with the programs taking "
              "turns.", ""]
    for wine in WINES:
        lines += wine_table(*wine) + [""]
    lines += ["## ticklow.exe on the CPU emulator", "",
              "The instructions executed from the entry to the call of ExitProcess, counted by "
              "`ticklow_emulate`; the four KERNEL32 calls are modelled, so their own cost is not "
              "in the count. On 32-bit x86 each digit of the value costs 13 instructions.", ""]
    lines += emulated_table()
    lines += ["", "## In-process (Google Benchmark)", ""] + micro_table()
    lines += ["", "## Sizes", ""] + size_table()
    text = "\n".join(lines) + "\n"
    print(text)
    with open("bench/results.md", "w", encoding="utf-8") as results:
        results.write(text)

    if tool_calls != LIBC_FREE_CALLS:
        sys.exit(f"build/host/ticklow 31 made {tool_calls}, expected {LIBC_FREE_CALLS}")
    if tool_count is None or tool_count > INSTRUCTION_BUDGET:
        sys.exit(f"build/host/ticklow 31 took {tool_count} instructions, over {INSTRUCTION_BUDGET}")


if __name__ == "__main__":
    main()
