#!/usr/bin/env python3
"""What a user receives, checked as a user and a packager would:

    check_release.py install       cmake --install: the files, the manual page
    check_release.py packages      scripts/dist: the zip, the tarball, the .deb, the sums
    check_release.py reproducible  make dist in two clean clones gives the same bytes
    check_release.py signing E2E   a signed ticklow.exe verifies, differs only where a
                                   signature must, and passes E2E's Windows cases

Run from the source tree, with the host and win32 trees built."""

import hashlib
import os
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ROOT = os.getcwd()
EXE = os.path.join(ROOT, "build/win32/ticklow.exe")
HOST_TOOL = os.path.join(ROOT, "build/host/ticklow")
VERSION = "1.0"
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
    tool = run(os.path.join(work, "bin/ticklow"), "31")
    expect(tool.returncode == 1 and tool.stdout.endswith(b"\r\n") and tool.stdout[:-2].isdigit(),
           f"the installed tool gave {tool}")


def check_packages(work):
    result = run("scripts/dist", "--out", work)
    expect(result.returncode == 0, f"scripts/dist failed:\n{result.stderr.decode()}")
    with zipfile.ZipFile(os.path.join(work, f"ticklow-{VERSION}-win32.zip")) as archive:
        expect(archive.namelist() == ["ticklow.exe", "README.txt", "LICENSE.txt"],
               f"the zip holds {archive.namelist()}")
        expect(archive.read("ticklow.exe") == read(EXE), "the zip's ticklow.exe is not the build's")
        for text, source in [("README.txt", "README.md"), ("LICENSE.txt", "LICENSE")]:
            lines = archive.read(text).split(b"\n")
            expect(all(line.endswith(b"\r") for line in lines[:-1]) and lines[-1] == b"",
                   f"{text} has a line that does not end in CR LF")
            expect(archive.read(text).replace(b"\r\n", b"\n") == read(source),
                   f"{text} is not {source}")
    top = f"ticklow-{VERSION}-linux-x86_64"
    with tarfile.open(os.path.join(work, f"{top}.tar.gz")) as archive:
        files = sorted(member.name for member in archive.getmembers() if member.isfile())
        expect(files == [f"{top}/{name}" for name in INSTALLED], f"the tarball holds {files}")
        tool = archive.getmember(f"{top}/bin/ticklow")
        expect(tool.mode == 0o755 and archive.extractfile(tool).read() == read(HOST_TOOL),
               "the tarball's bin/ticklow is not the build's, or not executable")
    deb = os.path.join(work, f"ticklow_{VERSION}_amd64.deb")
    listing = run("dpkg-deb", "-c", deb).stdout.decode()
    for path in ["./usr/bin/ticklow", "./usr/share/man/man1/ticklow.1.gz",
                 "./usr/share/doc/ticklow/copyright"]:
        expect(f" {path}\n" in listing, f"the .deb lacks {path}:\n{listing}")
    lintian = run("lintian", "--fail-on", "error", deb)
    expect(lintian.returncode == 0, f"lintian:\n{lintian.stdout.decode()}")
    sums = run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=work)
    expect(sums.returncode == 0 and sums.stdout.count(b": OK") == 3,
           f"SHA256SUMS:\n{sums.stdout.decode()}")


def check_reproducible(work):
    """make dist in two clean clones of the last commit, at different depths
    and names, must give the same bytes."""
    outputs = []
    for where in ["one/ticklow", "two/somewhere/else/ticklow-copy"]:
        clone = os.path.join(work, where)
        expect(run("git", "clone", "-q", ROOT, clone).returncode == 0, "git clone failed")
        made = run("make", "-C", clone, "dist", stdin=subprocess.DEVNULL)
        expect(made.returncode == 0, f"make dist in {clone} failed:\n{made.stderr.decode()}")
        dist = os.path.join(clone, "dist")
        outputs.append({name: hashlib.sha256(read(os.path.join(dist, name))).hexdigest()
                        for name in sorted(os.listdir(dist))})
    expect(len(outputs[0]) == 4, f"make dist wrote {list(outputs[0])}")
    expect(outputs[0] == outputs[1], f"the two clones differ:\n{outputs[0]}\n{outputs[1]}")
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
    signed_path = os.path.join(work, "signed.exe")
    with zipfile.ZipFile(os.path.join(dist, f"ticklow-{VERSION}-win32.zip")) as archive:
        signed = archive.read("ticklow.exe")
    with open(signed_path, "wb") as file:
        file.write(signed)
    verified = run("osslsigncode", "verify", "-CAfile", os.path.join(work, "ca.pem"),
                   "-in", signed_path)
    expect(verified.returncode == 0, f"osslsigncode verify:\n{verified.stdout.decode()}")

    # Only the checksum, the certificate-table entry and the appended table may differ.
    unsigned = read(EXE)
    headers = struct.unpack_from("<I", unsigned, 0x3C)[0] + 24
    checksum, table = headers + 64, headers + 96 + 4 * 8
    offset, size = struct.unpack_from("<II", signed, table)
    expect(offset == len(unsigned) and offset + size == len(signed),
           f"the certificate table lies at {offset}, {size} bytes, in a {len(signed)}-byte file")
    changed = [at for at in range(len(unsigned)) if unsigned[at] != signed[at]]
    allowed = set(range(checksum, checksum + 4)) | set(range(table, table + 8))
    expect(set(changed) <= allowed, f"signing changed bytes {sorted(set(changed) - allowed)}")

    # A signature cannot change the counter's pace, so the runs in a row are left out.
    cases = run(e2e_tests, "--gtest_filter=*/Emulated*:*/Win32-*RunsInARow*",
                env=dict(os.environ, TICKLOW_WIN32_EXE=signed_path))
    expect(cases.returncode == 0 and b"[  PASSED  ]" in cases.stdout,
           f"the signed ticklow.exe fails end to end:\n{cases.stdout.decode()[-4000:]}")


def main():
    check, *arguments = sys.argv[1:]
    with tempfile.TemporaryDirectory() as work:
        {"install": check_install, "packages": check_packages,
         "reproducible": check_reproducible, "signing": check_signing}[check](work, *arguments)
    print(f"check_release: {check}: passed")


if __name__ == "__main__":
    main()
