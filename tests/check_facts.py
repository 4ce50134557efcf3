#!/usr/bin/python3
"""Holds what users act on to the project's own facts, in the README, the
manual page as man shows it and each zip's README.txt, and in the hosted
workflow:
- the home page and the bug address, those of cmake/addresses.txt, and the
  usage text's home page;
- the exit statuses in words, those the tool gives (TICKLOW, run once
  writing and once into a full device);
- every certutil hash command names SHA256, Get-FileHash no other;
- the rebuild recipe's tag, v and project(VERSION), one the workflow
  releases for;
- a tagged build's manifests name the folder the release job publishes to;
- each Windows job runs every image its machine runs without emulation;
- the loaders the workflow requires are those of cmake/loaders.txt.
    check_facts.py TICKLOW"""

import fnmatch
import os
import re
import subprocess
import sys

import yaml

from check_figures import manual_page, zips_readmes

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import facts  # noqa: E402 pylint: disable=wrong-import-position
# The processors a Windows machine runs without emulation: an x64 one runs
# x86 programs too, by WoW64.
NATIVE = {"x64": {"x86", "x64"}, "arm64": {"arm64"}}


def text(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as file:
        return file.read()


def statuses(tool):
    """The tool's status when its line was written, and when the write failed."""
    written = subprocess.run([tool, "31"], capture_output=True, check=False).returncode
    with open("/dev/full", "wb") as full:
        failed = subprocess.run([tool, "31"], stdout=full, check=False).returncode
    return str(written), str(failed)


def check_docs(name, shown, where, version, tool_statuses):
    flat = re.sub(r"\s+", " ", shown.replace("**", ""))
    failures = []
    for kind, pattern, wanted in [
            ("bug address", r"[Rr]eport a bug to (\S+?)[,.]? ", where["bugs"]),
            ("home page", r"Home page: (\S+?)\.?(?: |$)", where["homepage"]),
            ("usage text's home page", r"CPU timer\. (\S+)", where["homepage"])]:
        failures += [f"{name}: the {kind} is {found}, not {wanted}"
                     for found in re.findall(pattern, flat) if found != wanted]
    said = re.findall(r"(\d) when (?:its|the) (?:output|number) was written,? (?:and )?(\d) "
                      r"when the write failed", flat)
    if not said or any(pair != tool_statuses for pair in said):
        failures.append(f"{name}: the exit statuses in words are {said or 'not found'}; the tool "
                        f"gives {tool_statuses[0]} when written, {tool_statuses[1]} when not")
    failures += [f"{name}: {command!r} names no SHA256"
                 for command in re.findall(r"certutil -hashfile \S+(?: \w+)?", flat)
                 if not command.endswith(" SHA256")]
    failures += [f"{name}: {command!r} names another hash than SHA256"
                 for command in re.findall(r"Get-FileHash \S+(?: -Algorithm \w+)?", flat)
                 if "-Algorithm" in command and not command.endswith("SHA256")]
    for tag in re.findall(r"git checkout (\S+)", flat):
        if tag != f"v{version}":
            failures.append(f"{name}: the rebuild recipe checks out {tag}, not v{version}")
    return failures


def published_folder(workflow, version):
    """Where a tagged build's manifests say the zips are, and where the release
    job publishes them, each from its own run: step, run with stand-ins."""
    tag = f"v{version}"
    env = dict(os.environ, GITHUB_REF=f"refs/tags/{tag}", GITHUB_REF_NAME=tag,
               GITHUB_SERVER_URL="https://github.com", GITHUB_REPOSITORY="owner/ticklow")

    def ran(script, stand_in):
        return subprocess.run(["bash", "-c", stand_in + script], env=env, capture_output=True,
                              text=True, check=False).stdout

    dist = [step["run"] for step in workflow["jobs"]["linux"]["steps"]
            if "make dist" in step.get("run", "")]
    manifests = re.findall(r"RELEASE_URL=(\S+)",
                           ran(dist[0], 'make() { printf "%s\\n" "$@"; }\n')) if dist else []
    release = [step["run"] for step in workflow["jobs"]["release"]["steps"] if "run" in step]
    # gh release create TAG [--repo REPO] ...: the repository the job runs for
    # unless --repo names another.
    gh = ('gh() { shift 2; tag=$1; repo=$GITHUB_REPOSITORY; while [ $# -gt 0 ]; do\n'
          '  [ "$1" != --repo ] || repo=$2; shift; done; echo "$repo $tag"; }\n')
    published = ran(release[0], gh).split() if release else []
    folder = (f"{env['GITHUB_SERVER_URL']}/{published[0]}/releases/download/{published[1]}"
              if len(published) == 2 else None)
    return manifests[:1], folder


def check_workflow(version):
    path = os.path.join(ROOT, ".github/workflows/ci.yml")
    with open(path, encoding="utf-8") as file:
        workflow = yaml.safe_load(file)
    failures = []
    tags = workflow[True]["push"]["tags"]  # YAML reads the key "on" as true
    if not any(fnmatch.fnmatch(f"v{version}", pattern) for pattern in tags):
        failures.append(f"the workflow builds no release for the tag v{version}: tags {tags}")
    manifests, folder = published_folder(workflow, version)
    if manifests != [folder]:
        failures.append(f"a tagged build's manifests name {manifests}; the release job "
                        f"publishes at {folder}")
    trees = {arch: preset for preset, arch, *_ in facts.windows_builds()}
    for machine in workflow["jobs"]["windows"]["strategy"]["matrix"]["include"]:
        wanted = {trees[arch] for arch in NATIVE[machine["processor"]]}
        if not wanted <= set(machine["trees"].split()):
            failures.append(f"the Windows {machine['processor']} job runs {machine['trees']}, "
                            f"not every one of {sorted(wanted)}")
    loaders = [loader for loader, _ in facts.loaders()]
    required = workflow["jobs"]["linux"]["env"]["TICKLOW_REQUIRED_LOADERS"].split()
    if required != ["all"] and not set(required) <= set(loaders):
        failures.append(f"the workflow requires {required}; the loaders are {loaders}")
    return failures


def main(tool):
    where, version = facts.addresses(), facts.version()
    tool_statuses = statuses(tool)
    page, _ = manual_page()
    failures = []
    for name, shown in [("README.md", text("README.md")), ("the manual page", page),
                        *zips_readmes()]:
        failures += check_docs(name, shown, where, version, tool_statuses)
    usage = re.search(r"https://\S+", text("src/app/message_block.hpp"))
    if not usage or usage[0] != where["homepage"]:
        failures.append(f"the usage text's home page is {usage and usage[0]}")
    default = where["download"].replace("VERSION", version)
    if f"scoop install {default}/ticklow.json" not in text("README.md"):
        failures.append(f"the README's Scoop line is not scoop install {default}/ticklow.json")
    failures += check_workflow(version)
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(*sys.argv[1:])
