#!/usr/bin/python3
"""scripts/test-summary on results it must count: JUnit files as make test
leaves them in each tree, named as the real presets and cases are, once with
every loader required, and once with a required loader that ran no case.
    test_summary_test.py SCRIPTS_DIR"""

import os
import subprocess
import sys
import tempfile

# Each tree's cases, all passed; the image checks are no loader's.
CASES = {
    "win32": ["win32.image", "win32.Cmdline.Reads", "win32.native.Executables/Run.Writes/Win32"],
    "win64": ["win64.image", "win64.Cmdline.Reads"],
    "winarm64": ["winarm64.image"],
    "host": ["host.Cmdline.Reads", "e2e.Executables/Run.Writes/Win32", "wine_prefix",
             "e2e.Executables/Run.Writes/Winarm64", "winearm64_prefix", "recipes.win64",
             "e2e.Executables/Run.Writes/EmulatedArm64", "recipes.posix"],
    "aarch64-linux": ["aarch64.image", "aarch64.Cmdline.Reads"],
    "i686-linux": ["i686.image", "i686.Cmdline.Reads", "i686.Entry.Writes"],
}
COUNTED = {"wine32": 4, "wine64": 2, "winearm64": 2, "qemu-aarch64": 1, "i686": 2}


def summary(folder, required):
    for tree, cases in CASES.items():
        os.makedirs(os.path.join(folder, "build", tree), exist_ok=True)
        with open(os.path.join(folder, "build", tree, "junit.xml"), "w", encoding="utf-8") as out:
            out.write("<testsuite>" + "".join(f'<testcase name="{case}" status="run"/>'
                                              for case in cases) + "</testsuite>")
    return subprocess.run([os.path.join(os.path.abspath(sys.argv[1]), "test-summary"), *CASES], cwd=folder,
                          env=dict(os.environ, TICKLOW_REQUIRED_LOADERS=required),
                          capture_output=True, text=True, check=False)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        ran = summary(folder, "all")
        failures += [f"{loader}: not {count} passed:\n{ran.stdout}" for loader, count in COUNTED.items()
                     if f"    {loader}, required: {count} passed, 0 failed" not in ran.stdout]
        if ran.returncode != 0:
            failures.append(f"every required loader ran, yet the summary exits with {ran.returncode}")
        CASES["i686-linux"] = ["i686.image"]
        ran = summary(folder, "wine64 i686")
        if ran.returncode != 1 or "the required i686 passed no case" not in ran.stdout:
            failures.append(f"a required loader that ran no case passes:\n{ran.stdout}")
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
