#!/usr/bin/env python3
"""Checks the release package for what Wine cannot show of Windows.
Windows' cmd reads a batch file in 512-byte blocks and can miss a label in
an LF-only file (Wine's cmd reads it right); it runs a program named bare
from the current folder first; and NTFS ACLs let every user create files
in some folders (a new folder under %ProgramData%, %WINDIR%\\Temp), which
Wine does not enforce. Usage: package-check.py ZIP GUIDE"""
import re
import sys
import zipfile

SCRIPTS = ["KTRX-DEPLOY.CMD", "KTRX-DETECT.PS1"]
PROGRAMS = ["DURUVUDE.EXE", "KTRXHELP.EXE", "x86/DURUVUDE.EXE", "x86/KTRXHELP.EXE"]
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
                        "    $hash -and $hash -eq $KtrxSha256.Trim() -and"],
    "KTRX-DEPLOY.CMD": ['"%HERE%KTRXHELP.EXE" serialize 300 "%~f0" %*',
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


def main(zip_path, guide_path):
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
    for name in PROGRAMS:
        check(files.get(name, b"")[:2] == b"MZ" and re.search(r" \*?" + re.escape(name) + "$", sums, re.M),
              name + " shipped and summed")
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
    sys.exit(main(*sys.argv[1:3]))
