#!/usr/bin/env python3
"""Measures ticklow against its peers, prints one table and writes it to
bench/results.md. Run by `make bench` once the host, posix and win32 trees are
built. Whole processes are timed with hyperfine and counted with callgrind
(instructions do not drift with machine noise) and strace; the in-process
costs come from Google Benchmark. Ratios are against a do-nothing process
measured in the same session, since absolute times move from run to run."""

import datetime
import json
import os
import re
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "scripts/wine-run"
LIBC_FREE_CALLS = ["execve", "rt_sigaction", "write", "exit_group"]
INSTRUCTION_BUDGET = 1000

LINUX = [
    ("floor: a static do-nothing, no C library", ["build/host/bench/floor"]),
    ("`build/host/ticklow 31`, no C library", ["build/host/ticklow", "31"]),
    ("`build/posix/ticklow 31`, C library", ["build/posix/ticklow", "31"]),
    ("`/bin/true`", ["/bin/true"]),
    ("`date +%s%N`", ["date", "+%s%N"]),
]
WINDOWS = [
    ("floor: `floor.exe`, a CRT-free do-nothing", ["build/win32/bench/floor.exe"]),
    ("`ticklow.exe 31`", ["build/win32/ticklow.exe", "31"]),
    ("`ticklow_crt.exe 31`, C runtime and printf", ["build/win32/bench/ticklow_crt.exe", "31"]),
]
SIZES = [
    ("`build/win32/ticklow.exe`", "build/win32/ticklow.exe"),
    ("`build/win32/bench/ticklow_crt.exe` (C runtime)", "build/win32/bench/ticklow_crt.exe"),
    ("`build/host/ticklow` (no C library)", "build/host/ticklow"),
    ("`build/posix/ticklow` (C library)", "build/posix/ticklow"),
]
LINUX_RUNS, WINE_RUNS = 1000, 300


def run(argv, **options):
    return subprocess.run(argv, check=False, text=True, capture_output=True, **options)


def hyperfine(commands, runs, warmup):
    """Median, mean and fastest of each command's wall time, in milliseconds."""
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        argv = ["hyperfine", "-N", "-i", "--style", "none", "--runs", str(runs),
                "--warmup", str(warmup), "--export-json", export.name]
        result = run(argv + [shlex.join(command) for command in commands])
        if result.returncode != 0:
            sys.exit("hyperfine failed:\n" + result.stderr)
        timings = json.load(open(export.name, encoding="utf-8"))["results"]
    return [(t["median"] * 1e3, t["mean"] * 1e3, min(t["times"]) * 1e3) for t in timings]


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
    wine = run(["wine", "--version"]).stdout.strip()
    return f"{model}, {os.cpu_count()} cores, Linux {kernel}, {wine}"


def linux_table():
    timings = hyperfine([command for _, command in LINUX], LINUX_RUNS, 50)
    counts = [instructions(command) for _, command in LINUX]
    calls = [system_calls(command) for _, command in LINUX]
    floor_time = timings[0][0]
    rows = ["| Command | Median | × floor | Instructions | System calls |",
            "|---|---:|---:|---:|---:|"]
    for (label, _), (median, _, _), count, made in zip(LINUX, timings, counts, calls):
        rows.append(f"| {label} | {median:.3f} ms | {median / floor_time:.2f} | {count:,} | "
                    f"{len(made)} |")
    return rows, counts[1], calls[1]


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


def wine_table():
    # Wine itself, not our script around it, so that only Wine's start-up is
    # added to each run; the script brings up the prefix's server first.
    run([WINE, "cmd", "/c", "exit"])
    env = dict(os.environ, WINEPREFIX=os.path.join(ROOT, "build/win32/wineprefix"),
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    commands = [["wine"] + command for _, command in WINDOWS]
    interleaved(commands, 10, env)  # warm-up
    timings = interleaved(commands, WINE_RUNS, env)
    floor = timings[0][0]
    rows = [f"| Command (under Wine, {WINE_RUNS} runs each, taking turns) | Median | × floor | "
            "Mean | Fastest |",
            "|---|---:|---:|---:|---:|"]
    for (label, _), (median, mean, fastest) in zip(WINDOWS, timings):
        rows.append(f"| {label} | {median:.1f} ms | {median / floor:.2f} | {mean:.1f} ms | "
                    f"{fastest:.1f} ms |")
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
    linux, tool_count, tool_calls = linux_table()
    lines = ["# ticklow benchmark", "",
             f"Machine: {machine()}. Measured {when}. Reproduce with `make bench`.", "",
             "## Whole process on Linux", "",
             f"Wall time from hyperfine ({LINUX_RUNS} runs each, no shell), instructions in user "
             "space for the whole process from callgrind, system calls from `strace -f`. "
             "Callgrind counts 0 for the floor, whose three instructions end in the exit call, so "
             "instructions are given as they are rather than as a ratio.", ""]
    lines += linux
    lines += ["", f"System calls of `build/host/ticklow 31`: {', '.join(tool_calls)}.", "",
              "## Whole process under Wine", "",
              "Wine's own start-up dominates every run, so the ratios are small and the "
              "timings noisy: the median of many runs, timed by this script with the three "
              "programs taking turns.", ""]
    lines += wine_table()
    lines += ["", "## In-process (Google Benchmark)", ""] + micro_table()
    lines += ["", "## Sizes", ""] + size_table()
    text = "\n".join(lines) + "\n"
    print(text)
    with open("bench/results.md", "w", encoding="utf-8") as results:
        results.write(text)

    if tool_calls != LIBC_FREE_CALLS:
        sys.exit(f"build/host/ticklow 31 made {tool_calls}, expected {LIBC_FREE_CALLS}")
    if tool_count > INSTRUCTION_BUDGET:
        sys.exit(f"build/host/ticklow 31 took {tool_count} instructions, over {INSTRUCTION_BUDGET}")


if __name__ == "__main__":
    main()
