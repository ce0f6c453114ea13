#!/usr/bin/env python3
"""Checks the release package for what Wine cannot show of Windows.
Windows' cmd reads a batch file in 512-byte blocks and can miss a label in
an LF-only file (Wine's cmd reads it right); it runs a program named bare
from the current folder first; and NTFS ACLs let every user create files
in some folders (a new folder under %ProgramData%, %WINDIR%\\Temp), which
Wine does not enforce. Usage: package-check.py ZIP GUIDE [--arm64] (--arm64:
the release was given an ARM64 driver image)"""
import re
import sys
import zipfile

SCRIPTS = ["KTRX-DEPLOY.CMD", "KTRX-DETECT.PS1"]
# Each program and driver image by its machine field: the x64 builds at the
# top, the x86 ones in x86/, and in arm64/ (where the release has an ARM64
# driver) the x86 builds, which every Windows on ARM64 runs, with it.
MACHINES = {"DURUVUDE.EXE": 0x8664, "KTRXHELP.EXE": 0x8664, "x86/DURUVUDE.EXE": 0x14C, "x86/KTRXHELP.EXE": 0x14C,
            "arm64/DURUVUDE.EXE": 0x14C, "arm64/KTRXHELP.EXE": 0x14C, "arm64/KTRX.SYS": 0xAA64}
ARM64_FOLDER = ["arm64/DURUVUDE.EXE", "arm64/KTRXHELP.EXE", "arm64/KTRX.SYS", "arm64/KTRX-DEPLOY.CMD"]
# Where Windows keeps the processor it runs on for every process; what a
# process sees in its own environment is emulated.
NATIVE_KEY = b"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"


def machine(data):
    at = int.from_bytes(data[0x3C:0x40], "little") if data[:2] == b"MZ" else 0
    return int.from_bytes(data[at + 4:at + 6], "little") if data[at:at + 4] == b"PE\0\0" else 0
# Lines that PowerShell, absent here, would have to run: the detection
# accepts each spelling of the driver's image path and writes nothing to
# standard error; the deploy script runs under its helper's lock and
# checks its log without a word.
REQUIRED = {
    "KTRX-DETECT.PS1": ["$ErrorActionPreference = 'SilentlyContinue'",
                        "$img = [string]$key.ImagePath -replace '^\\\\\\?\\?\\\\'",
                        "if ($img -match '^\\\\SystemRoot\\\\') {",
                        "    $img = $env:WINDIR + $img.Substring(11)",
                        "} elseif ($img -notmatch '^([A-Za-z]:)?\\\\') {",
                        "    $hash = (Get-FileHash -Algorithm SHA256 -LiteralPath $file -ErrorAction Stop).Hash",
                        "    $hash -and $hash -eq $want.Trim() -and",
                        "$want = [string]$KtrxSha256[$arch]",
                        "$arch = [string](Get-ItemProperty $native -ErrorAction SilentlyContinue).PROCESSOR_ARCHITECTURE"],
    "KTRX-DEPLOY.CMD": ['"%HERE%KTRXHELP.EXE" serialize 300 "%~f0" %*',
                        '"%HERE%KTRXHELP.EXE" fits "%HERE%KTRX.SYS" 2>>"%LOG%"',
                        '%CMDEXE% /d /c exit 0 2>nul >>"%LOG%"'],
}
# Programs a deploy script may want, never to be called by bare name.
BARE = re.compile(r"(?<![\\%\w.-])(reg|sc|find|findstr|fc|cmd|copy\.exe|xcopy|robocopy|icacls|powershell|net|"
                  r"timeout|wevtutil|DURUVUDE|KTRXHELP)(\.exe)?(?=[\s\"|&<>]|$)", re.I)
# Folders where every user may create files.
USER_WRITABLE = re.compile(r"%ProgramData%|%ALLUSERSPROFILE%|C:\\ProgramData|%TEMP%|%TMP%|\\Temp\b|%PUBLIC%|"
                           r"\\Users\\|%USERPROFILE%|\\Windows\\Tasks|\\tracing", re.I)


def guide_blocks(guide, label):
    """The four-space-indented lines under each line that ends with label."""
    blocks, block = [], None
    for line in guide.splitlines():
        if block is not None and line.startswith("    "):
            block.append(line[4:])
            continue
        if block is not None:
            blocks.append(block)
        block = [] if line.endswith(label) else None
    return blocks + ([block] if block is not None else [])


def main(zip_path, guide_path, with_arm64=False):
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)

    with zipfile.ZipFile(zip_path) as z:
        files = {name.split("/", 1)[1]: z.read(name) for name in z.namelist() if "/" in name}
    guide = open(guide_path, encoding="ascii").read()
    sums = files.get("SHA256SUMS", b"").decode()
    for name in SCRIPTS + ["ADMIN-GUIDE.txt"]:
        data = files.get(name, b"")
        check(data != b"" and re.search(r" \*?" + re.escape(name) + "$", sums, re.M), name + " shipped and summed")
        check(data.count(b"\n") == data.count(b"\r\n") > 0 and data.endswith(b"\r\n") and
              not data.startswith(b"\xef\xbb\xbf"), name + " has CRLF line ends and no byte-order mark")
    arm64 = [name for name in ARM64_FOLDER if name in files]
    msis = sorted(name for name in files if name.endswith(".msi"))
    if with_arm64:
        check(arm64 == ARM64_FOLDER and "DURUVUDE-1.0.0-arm64.msi" in msis, f"the arm64 package folder and package: {msis}")
    else:
        check(arm64 == [] and msis == [], f"without an ARM64 driver image no arm64 folder, without any no package: {msis}")
    for name, wanted in MACHINES.items():
        if name.startswith("arm64/") and not arm64:
            continue
        check(machine(files.get(name, b"")) == wanted and re.search(r" \*?" + re.escape(name) + "$", sums, re.M),
              f"{name} shipped, summed, machine {wanted:#x}")
    check(arm64 == [] or files["arm64/KTRX-DEPLOY.CMD"] == files.get("KTRX-DEPLOY.CMD"), "arm64/ has the script as shipped")
    helper = files.get("KTRXHELP.EXE", b"") + files.get("x86/KTRXHELP.EXE", b"")
    deploy = files.get("KTRX-DEPLOY.CMD", b"") + files.get("KTRX-DETECT.PS1", b"")
    check(helper.count(NATIVE_KEY) == 2 and not re.search(rb"%PROCESSOR_ARCHITE|ENV:PROCESSOR_ARCHITE", deploy.upper()),
          "the processor Windows runs on is read from the registry, not from a process's environment")
    for name, lines in REQUIRED.items():
        missing = set(lines) - set(files.get(name, b"").decode("ascii").splitlines())
        check(not missing, name + " holds its key lines" + "".join("\n  " + l for l in missing))
    msiexec = [l for l in guide.splitlines() if re.match(r"    \S*msiexec(\.exe)? /", l) and "/norestart" not in l]
    check(not msiexec, "every msiexec command line of the guide has /norestart" + "".join("\n  " + l for l in msiexec))
    for name in SCRIPTS:
        shipped = files.get(name, b"").decode("ascii").splitlines()
        check(guide_blocks(guide, name + ", as shipped:") == [shipped], "the guide prints " + name + " as shipped")
    script = [l for l in files.get("KTRX-DEPLOY.CMD", b"").decode("ascii").splitlines()
              if not re.match(r"\s*(rem\b|:)", l, re.I)]
    bare = [l for l in script if BARE.search(l)]
    check(not bare, "KTRX-DEPLOY.CMD calls no program by bare name" + "".join("\n  " + l for l in bare))
    recipes = script + [l for label in ("Install command:", "Uninstall command:")
                        for block in guide_blocks(guide, label) for l in block]
    bare = [l for l in recipes if re.search(r"(?<![\\\w])psexec(\.exe)?\s", l, re.I)]
    check(not bare, "no recipe runs psexec by bare name" + "".join("\n  " + l for l in bare))
    writable = [l for l in recipes if USER_WRITABLE.search(l)]
    check(not writable, "no recipe runs or writes in a folder users can write" + "".join("\n  " + l for l in writable))
    print(f"package check: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:] == ["--arm64"]))
