#!/usr/bin/env python3
"""What a user receives, checked as a user and a packager would:

    check_release.py install       cmake --install: the files, the manual page
    check_release.py packages      scripts/dist: the three zips, the tarball, the .deb,
                                   the winget and Scoop manifests, the sums
    check_release.py reproducible  make dist in a clean clone, as another user in another
                                   time zone, gives this tree's bytes (a copy of the tree
                                   with TICKLOW_REPRODUCE_TREE)
    check_release.py signing E2E   each signed ticklow.exe verifies, differs only where a
                                   signature must, and passes E2E's Windows cases

Run from the source tree, with the host and Windows trees built, by Debian's
python3, which has the YAML module."""

import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

import yaml

ROOT = os.getcwd()
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import facts  # noqa: E402 pylint: disable=wrong-import-position

HOST_TOOL = os.path.join(ROOT, "build/host/ticklow")
VERSION = facts.version()
# Each Windows zip by its processor, the tree it comes from, the variable
# that points the end-to-end tests at another copy, and its architecture in
# winget's and Scoop's manifests.
WINDOWS = {arch: (preset, f"TICKLOW_{preset.upper()}_EXE", winget, scoop)
           for preset, arch, winget, scoop, _ in facts.windows_builds()}
# What the README's commands for a security review must show of each
# ticklow.exe, beside its four imports, DYNAMIC_BASE and NX_COMPAT.
INSPECTED = {"x86": ["NO_SEH", "IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT"],
             "x64": ["HIGH_ENTROPY_VA", "IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT"],
             "arm64": ["HIGH_ENTROPY_VA", "GUARD_CF", "GuardCFFunctionCount: 1"]}
# What each zip's README.txt must say of its own program and counter.
ZIPPED_TEXT = {"x86": ["a 32-bit x86 program", "time-stamp counter", "emulation"],
               "x64": ["an x64 program", "time-stamp counter", "emulation"],
               "arm64": ["an ARM64 program", "virtual counter"]}
MANIFESTS = ["Ticklow.Ticklow.yaml", "Ticklow.Ticklow.installer.yaml",
             "Ticklow.Ticklow.locale.en-US.yaml", "ticklow.json"]
RELEASE = ([f"ticklow-{VERSION}-windows-{arch}.zip" for arch in WINDOWS]
           + [f"ticklow-{VERSION}-linux-x86_64.tar.gz", f"ticklow_{VERSION}_amd64.deb"]
           + MANIFESTS + ["SHA256SUMS"])
INSTALLED = ["bin/ticklow", "share/doc/ticklow/LICENSE", "share/doc/ticklow/README.md",
             "share/man/man1/ticklow.1"]


def run(*command, **options):
    return subprocess.run(command, check=False, capture_output=True, **options)


def expect(condition, message):
    if not condition:
        sys.exit(f"check_release: {message}")


def read(path):
    with open(path, "rb") as file:
        return file.read()


def files_under(tree):
    return sorted(os.path.relpath(os.path.join(folder, file), tree)
                  for folder, _, files in os.walk(tree) for file in files)


def check_install(work):
    result = run("cmake", "--install", "build/host", "--prefix", work)
    expect(result.returncode == 0, f"cmake --install failed:\n{result.stderr.decode()}")
    expect(files_under(work) == INSTALLED, f"installed {files_under(work)}")
    page = os.path.join(work, "share/man/man1/ticklow.1")
    lint = run("mandoc", "-T", "lint", page)
    expect(lint.returncode == 0 and not lint.stdout + lint.stderr,
           f"mandoc -T lint:\n{(lint.stdout + lint.stderr).decode()}")
    shown = run("man", "-l", page, env=dict(os.environ, MANWIDTH="80"))
    expect(shown.returncode == 0 and b"ticklow - write the low bits" in shown.stdout,
           "man -l does not render the page")
    # 80 columns, but for the usage line, quoted as the tool writes it.
    wide = [line for line in shown.stdout.decode().splitlines()
            if len(line) > 80 and "Displays lower n" not in line]
    expect(not wide, f"man -l at 80 columns shows wider lines: {wide}")
    tool = run(os.path.join(work, "bin/ticklow"), "31")
    expect(tool.returncode == 1 and tool.stdout.endswith(b"\r\n") and tool.stdout[:-2].isdigit(),
           f"the installed tool gave {tool}")


def windows_zip(work, arch):
    return os.path.join(work, f"ticklow-{VERSION}-windows-{arch}.zip")


def built_exe(arch):
    return os.path.join(ROOT, "build", WINDOWS[arch][0], "ticklow.exe")


def check_manifests(work, url):
    """winget's three manifests and Scoop's: the fields each needs, and for
    every processor the download of its own zip with that zip's SHA-256."""
    def load(name):
        with open(os.path.join(work, name), encoding="utf-8") as file:
            return json.load(file) if name.endswith(".json") else yaml.safe_load(file)

    def expect_fields(manifest, fields, name):
        for field, value in fields.items():
            expect(str(manifest.get(field)) == value, f"{name}: {field} is {manifest.get(field)!r}")

    def expect_zip(address, digest, arch, name):
        zip_name = os.path.basename(windows_zip(work, arch))
        expect(address == f"{url}/{zip_name}", f"{name}: {arch} is downloaded from {address}")
        actual = hashlib.sha256(read(os.path.join(work, zip_name))).hexdigest()
        expect(str(digest).lower() == actual, f"{name}: the hash for {arch} is not its zip's")

    version, installer, locale, scoop = (load(name) for name in MANIFESTS)
    common = {"PackageIdentifier": "Ticklow.Ticklow", "PackageVersion": VERSION,
              "ManifestVersion": "1.10.0"}
    expect_fields(version, {**common, "ManifestType": "version", "DefaultLocale": "en-US"},
                  MANIFESTS[0])
    expect_fields(installer, {**common, "ManifestType": "installer", "InstallerType": "zip",
                              "NestedInstallerType": "portable"}, MANIFESTS[1])
    expect(installer.get("NestedInstallerFiles") ==
           [{"RelativeFilePath": "ticklow.exe", "PortableCommandAlias": "ticklow"}],
           f"{MANIFESTS[1]}: NestedInstallerFiles is {installer.get('NestedInstallerFiles')}")
    installers = {entry.get("Architecture"): entry for entry in installer.get("Installers", [])}
    expect(sorted(installers) == sorted(arch for _, _, arch, _ in WINDOWS.values()),
           f"{MANIFESTS[1]}: installers for {sorted(installers)}")
    expect_fields(locale, {**common, "ManifestType": "defaultLocale", "PackageLocale": "en-US",
                           "License": "MIT", "PackageName": "ticklow"}, MANIFESTS[2])
    for field in ["Publisher", "ShortDescription", "PackageUrl"]:
        expect(locale.get(field), f"{MANIFESTS[2]}: no {field}")
    expect_fields(scoop, {"version": VERSION, "license": "MIT", "bin": "ticklow.exe"},
                  MANIFESTS[3])
    expect(scoop.get("homepage") and scoop.get("description"), f"{MANIFESTS[3]}: no homepage")
    expect(sorted(scoop.get("architecture", {})) == sorted(s for *_, s in WINDOWS.values()),
           f"{MANIFESTS[3]}: architectures {sorted(scoop.get('architecture', {}))}")
    for arch, (_, _, winget, scoop_arch) in WINDOWS.items():
        entry = installers[winget]
        expect_zip(entry.get("InstallerUrl"), entry.get("InstallerSha256"), arch, MANIFESTS[1])
        entry = scoop["architecture"][scoop_arch]
        expect_zip(entry.get("url"), entry.get("hash"), arch, MANIFESTS[3])


def check_notepad_text(text, arch):
    """The zips' README.txt is read in Notepad by batch authors: plain ASCII,
    no line over 80 columns, no Markdown or HTML left in it, and batch use
    before any word of building."""
    lines = text.split("\r\n")
    expect(text.isascii(), f"the {arch} README.txt is not plain ASCII")
    wide = [number for number, line in enumerate(lines, 1) if len(line) > 80]
    expect(not wide, f"the {arch} README.txt has lines over 80 columns: {wide}")
    expect("```" not in text and "<!--" not in text, f"the {arch} README.txt has Markdown in it")
    batch = [number for number, line in enumerate(lines) if "for /f" in line]
    build = [number for number, line in enumerate(lines)
             if re.search(r"\b(make|cmake|compile|build)\b", line, re.I)]
    expect(batch, f"the {arch} README.txt shows no batch use")
    expect(not build or batch[0] < build[0], f"the {arch} README.txt talks of building first")


def check_addresses(work):
    """The .deb names the addresses of the project's one list of them, as the
    docs do (check_facts.py)."""
    where = facts.addresses()
    default = where["download"].replace("VERSION", VERSION)
    fields = run("dpkg-deb", "-f", os.path.join(work, f"ticklow_{VERSION}_amd64.deb"),
                 "Homepage", "Maintainer").stdout.decode()
    expect(f"Homepage: {where['homepage']}\n" in fields and f"<{where['bugs']}>" in fields,
           f"the .deb names {fields}")
    return default


def check_inspection(work, arch):
    """The README's commands for a security review, run as written on the
    zip's ticklow.exe, show the imports and marks the README claims."""
    commands = re.search(r"<!-- recipe: inspect -->\n```sh\n(.*?)```", read("README.md").decode(),
                         re.S)
    folder = os.path.join(work, f"inspect-{arch}")
    os.makedirs(folder)
    with zipfile.ZipFile(windows_zip(work, arch)) as archive:
        archive.extract("ticklow.exe", folder)
    shown = run("sh", "-ec", commands[1], cwd=folder)
    out = shown.stdout.decode()
    imports = re.findall(r"^\s+\d+\s+(\w+)$", out, re.M)
    expect(shown.returncode == 0 and "DLL Name: KERNEL32.dll" in out and sorted(imports) == [
        "ExitProcess", "GetCommandLineA", "GetStdHandle", "WriteFile"],
        f"the README's commands show these imports of the {arch} ticklow.exe: {imports}")
    for mark in ["DYNAMIC_BASE", "NX_COMPAT", *INSPECTED[arch]]:
        expect(mark in out, f"the README's commands show no {mark} in the {arch} ticklow.exe")


def check_zip(work, arch):
    """A zip's three files, its README.txt's own words, and its ticklow.exe
    as the README's commands show it."""
    with zipfile.ZipFile(windows_zip(work, arch)) as archive:
        expect(archive.namelist() == ["ticklow.exe", "README.txt", "LICENSE.txt"],
               f"the {arch} zip holds {archive.namelist()}")
        expect(archive.read("ticklow.exe") == read(built_exe(arch)),
               f"the {arch} zip's ticklow.exe is not the build's")
        for text in ["README.txt", "LICENSE.txt"]:
            lines = archive.read(text).split(b"\n")
            expect(all(line.endswith(b"\r") for line in lines[:-1]) and lines[-1] == b"",
                   f"the {arch} zip's {text} has a line that does not end in CR LF")
        expect(archive.read("LICENSE.txt").replace(b"\r\n", b"\n") == read("LICENSE"),
               f"the {arch} zip's LICENSE.txt is not the licence")
        text = archive.read("README.txt").decode("latin-1")
    check_notepad_text(text, arch)
    check_inspection(work, arch)
    own = os.path.basename(windows_zip(work, arch))
    for line in [f"This is {own}.", f"certutil -hashfile {own} SHA256", f"Get-FileHash {own}",
                 *ZIPPED_TEXT[arch]]:
        expect(line in text, f"the {arch} zip's README.txt lacks {line!r}")
    others = set(re.findall(r"ticklow-\S+?\.zip", text)) - {own}
    expect(not others, f"the {arch} zip's README.txt names {sorted(others)}")


def check_packages(work):
    """scripts/dist with no options, as the hosted workflow's untagged builds
    run it, and with a download folder of its own, as its tagged builds do."""
    given = f"https://downloads.example.net/ticklow/{VERSION}"
    other = os.path.join(work, "given")
    work = os.path.join(work, "default")
    for out, options in [(work, []), (other, ["--url", given])]:
        result = run("scripts/dist", "--out", out, *options)
        expect(result.returncode == 0, f"scripts/dist failed:\n{result.stderr.decode()}")
    check_manifests(work, check_addresses(work))
    check_manifests(other, given)
    expect(sorted(os.listdir(work)) == sorted(RELEASE), f"scripts/dist wrote {os.listdir(work)}")
    for arch in WINDOWS:
        check_zip(work, arch)
    top = f"ticklow-{VERSION}-linux-x86_64"
    with tarfile.open(os.path.join(work, f"{top}.tar.gz")) as archive:
        files = sorted(member.name for member in archive.getmembers() if member.isfile())
        expect(files == [f"{top}/{name}" for name in INSTALLED], f"the tarball holds {files}")
        tool = archive.getmember(f"{top}/bin/ticklow")
        expect(tool.mode == 0o755 and archive.extractfile(tool).read() == read(HOST_TOOL),
               "the tarball's bin/ticklow is not the build's, or not executable")
    deb = os.path.join(work, f"ticklow_{VERSION}_amd64.deb")
    check_deb(deb, os.path.join(work, "installed"))
    lintian = run("lintian", "--fail-on", "error", deb)
    expect(lintian.returncode == 0, f"lintian:\n{lintian.stdout.decode()}")
    # Our own strict check, then each hash line the README gives users.
    users = re.findall(r"`(sha\w*sum [^`<]*)`", read("README.md").decode())
    expect(users, "README.md gives no line that checks SHA256SUMS")
    for command in ["sha256sum --check --strict SHA256SUMS"] + users:
        sums = run(*command.split(), cwd=work)
        expect(sums.returncode == 0 and sums.stdout.count(b": OK") == len(RELEASE) - 1,
               f"{command}:\n{sums.stdout.decode()}{sums.stderr.decode()}")


def check_deb(deb, root):
    """The .deb as dpkg installs it: every file root's, with Debian's modes
    (0755 for folders and the tool, 0644 for the rest), and the tool run from
    a scratch root it is unpacked into."""
    listing = run("dpkg-deb", "-c", deb).stdout.decode().splitlines()
    entries = {line.split()[-1]: line.split()[:2] for line in listing}
    for path in ["./usr/bin/ticklow", "./usr/share/man/man1/ticklow.1.gz",
                 "./usr/share/doc/ticklow/copyright"]:
        expect(path in entries, f"the .deb lacks {path}: {sorted(entries)}")
    for path, (mode, owner) in entries.items():
        wanted = "drwxr-xr-x" if path.endswith("/") else \
            "-rwxr-xr-x" if path == "./usr/bin/ticklow" else "-rw-r--r--"
        expect((mode, owner) == (wanted, "root/root"),
               f"the .deb installs {path} as {mode} {owner}, not {wanted} root/root")
    expect(run("dpkg-deb", "-x", deb, root).returncode == 0, "dpkg-deb -x failed")
    tool = run(os.path.join(root, "usr/bin/ticklow"), "31")
    expect(tool.returncode == 1 and tool.stdout.endswith(b"\r\n") and tool.stdout[:-2].isdigit(),
           f"the .deb's ticklow, installed, gave {tool}")


def source_copy(clone):
    """A copy of the tree as it stands, without its build and release
    folders or git's: what TICKLOW_REPRODUCE_TREE asks for, as scripts/mutants
    does, whose scratch tree holds a patch and is no checkout of its own."""
    def skipped(folder, names):
        return [name for name in names if folder == ROOT and name in ("build", "dist", ".git")]
    shutil.copytree(ROOT, clone, symlinks=True, ignore=skipped)


# Who builds the clone: where the check runs as root, nobody, whose files a
# .deb must not take on; and in a time zone 12 h 45 min from UTC, given as a
# POSIX rule, which needs no time zone database.
OTHER_USER, OTHER_ZONE = 65534, "XST-12:45"


def check_reproducible(work):
    """The release of this tree, as this user in UTC, and make dist in a clean
    clone of the last commit at another path, as another user (where this
    one is root) in another time zone, must be the same bytes; or in a copy
    of the tree, where TICKLOW_REPRODUCE_TREE is set. The clone configures
    no tests: the release needs none, and they would start Wine; this tree
    has them, and so shows that they change no byte."""
    env = dict(os.environ, CCACHE_DISABLE="1", TZ="UTC")
    if os.environ.get("TICKLOW_REPRODUCE_TREE"):
        # A copy has no history to take the release's time from.
        stamp = run("git", "-C", ROOT, "log", "-1", "--format=%ct").stdout.strip()
        env.setdefault("SOURCE_DATE_EPOCH", stamp.decode() or "0")
    here = os.path.join(work, "here")
    made = run("scripts/dist", "--out", here, env=env)
    expect(made.returncode == 0, f"scripts/dist failed:\n{made.stderr.decode()}")
    clone = os.path.join(work, "two/somewhere/else/ticklow-copy")
    if os.environ.get("TICKLOW_REPRODUCE_TREE"):
        source_copy(clone)
    else:
        expect(run("git", "clone", "-q", ROOT, clone).returncode == 0, "git clone failed")
    as_user = []
    env = dict(env, TZ=OTHER_ZONE, HOME=os.path.join(work, "home"))
    if os.geteuid() == 0:
        as_user = ["setpriv", f"--reuid={OTHER_USER}", f"--regid={OTHER_USER}", "--clear-groups"]
        os.chmod(work, 0o755)
        os.makedirs(env["HOME"])
        for path in [env["HOME"], clone, *[os.path.join(folder, name) for folder, folders, files
                                           in os.walk(clone) for name in folders + files]]:
            os.lchown(path, OTHER_USER, OTHER_USER)
    # It compiles for itself: objects from a cache would hide anything a path
    # changes.
    made = run(*as_user, "make", "-C", clone, "dist", "DIST_CONFIGURE=-DTICKLOW_BUILD_TESTS=OFF",
               stdin=subprocess.DEVNULL, env=env)
    expect(made.returncode == 0, f"make dist in {clone} failed:\n{made.stderr.decode()}")
    outputs = [{name: hashlib.sha256(read(os.path.join(dist, name))).hexdigest()
                for name in sorted(os.listdir(dist))} for dist in [here, os.path.join(clone, "dist")]]
    expect(sorted(outputs[0]) == sorted(RELEASE), f"scripts/dist wrote {list(outputs[0])}")
    who = f"uid {OTHER_USER}" if as_user else "this user"
    differ = [name for name in outputs[0] if outputs[0][name] != outputs[1].get(name)]
    expect(not differ, f"built as {who} in {OTHER_ZONE}, these differ from this tree's release in "
           f"UTC: {differ}")
    print("\n".join(f"{digest}  {name}" for name, digest in outputs[0].items()))


def make_certificate(work):
    """A throwaway CA and a code-signing certificate it issued, as PKCS#12."""
    def openssl(*arguments):
        result = run("openssl", *arguments, cwd=work)
        expect(result.returncode == 0, f"openssl {arguments[0]}:\n{result.stderr.decode()}")

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=ticklow test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "sign.key", "-out", "sign.csr",
            "-subj", "/CN=ticklow test signer")
    with open(os.path.join(work, "sign.ext"), "w", encoding="utf-8") as extensions:
        extensions.write("keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "sign.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "sign.ext", "-out", "sign.pem")
    with open(os.path.join(work, "password"), "w", encoding="utf-8") as password:
        password.write("throwaway\n")
    openssl("pkcs12", "-export", "-inkey", "sign.key", "-in", "sign.pem", "-certfile", "ca.pem",
            "-out", "sign.p12", "-passout", "file:password")


def check_signing(work, e2e_tests):
    make_certificate(work)
    dist = os.path.join(work, "dist")
    result = run("scripts/dist", "--out", dist, "--sign-pkcs12", os.path.join(work, "sign.p12"),
                 "--sign-password-file", os.path.join(work, "password"))
    expect(result.returncode == 0, f"signing make dist failed:\n{result.stderr.decode()}")
    chosen = {}
    for arch, (_, variable, _, _) in WINDOWS.items():
        # Under a name of its own: the tests must not depend on what the file is called.
        signed_path = chosen[variable] = os.path.join(work, f"signed-{arch}.exe")
        with zipfile.ZipFile(windows_zip(dist, arch)) as archive:
            signed = archive.read("ticklow.exe")
        with open(signed_path, "wb") as file:
            file.write(signed)
        verified = run("osslsigncode", "verify", "-CAfile", os.path.join(work, "ca.pem"),
                       "-in", signed_path)
        expect(verified.returncode == 0,
               f"osslsigncode verify, {arch}:\n{verified.stdout.decode()}")

        # Only the checksum, the certificate-table entry and the appended table may differ.
        unsigned = read(built_exe(arch))
        headers = struct.unpack_from("<I", unsigned, 0x3C)[0] + 24
        wide = struct.unpack_from("<H", unsigned, headers)[0] == 0x20B  # PE32+
        checksum, table = headers + 64, headers + (112 if wide else 96) + 4 * 8
        offset, size = struct.unpack_from("<II", signed, table)
        expect(offset == len(unsigned) and offset + size == len(signed),
               f"{arch}: the certificate table lies at {offset}, {size} bytes, "
               f"in a {len(signed)}-byte file")
        changed = [at for at in range(len(unsigned)) if unsigned[at] != signed[at]]
        allowed = set(range(checksum, checksum + 4)) | set(range(table, table + 8))
        expect(set(changed) <= allowed,
               f"{arch}: signing changed bytes {sorted(set(changed) - allowed)}")

    # A signature changes how the file is loaded, or nothing: each signed image
    # loaded, at every base the emulator tries and under each Wine, must
    # write each output exactly and exit with 1; what the code then does is
    # the unsigned image's, which the suite has checked.
    written = "*EndToEnd.WritesEachOutputExactlyAndExitsWithOne"
    cases = run(e2e_tests, f"--gtest_filter={written}/Emulated*:{written}/Win32:{written}/Win64",
                env=dict(os.environ, **chosen))
    # What failed, whole: each failing case's assertions, values and Wine's log.
    failed = [case for case in cases.stdout.decode(errors="replace").split("[ RUN      ]")
              if "[  FAILED  ]" in case]
    expect(cases.returncode == 0 and b"[  PASSED  ]" in cases.stdout,
           "a signed ticklow.exe fails end to end:\n"
           + ("[ RUN      ]".join([""] + failed) or cases.stdout.decode()[-4000:]))


def main():
    check, *arguments = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        {"install": check_install, "packages": check_packages,
         "reproducible": check_reproducible, "signing": check_signing}[check](work, *arguments)
    print(f"check_release: {check}: passed")


if __name__ == "__main__":
    main()
