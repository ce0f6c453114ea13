#!/usr/bin/env python3
"""Checks DURUVUDE's Windows Installer packages by their tables, for what Wine
cannot show of Windows Installer: wixl writes some of them wrong without
failing, and Wine runs a wrong package anyway (it sets no
UPGRADINGPRODUCTCODE, runs rollback actions in the wrong place, calls a
custom-action DLL that cannot load a success). Usage:
msi-check.py [--ca CA.pem] DURUVUDE-V-ARCH.msi...  (--ca: verify the
signature against that CA)"""
import os
import re
import subprocess
import sys
import tempfile

REMOVING = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
# By the name's ending: the summary's Template, 64-bit components and
# folders, the launch conditions (exactly these: the Arm64 package must not
# refuse itself with an x64 package's), and the machine fields of the
# custom-action DLL and DURUVUDE.EXE (x86 in the Arm64 package: they run on
# every Windows on ARM64) and of KTRX.SYS (a driver must be native).
ARCHES = {
    "x64": ("x64;1033", True, {"Privileged", "VersionNT64", 'NATIVEARCHITECTURE <> "ARM64"'}, 0x8664, 0x8664),
    "x86": ("Intel;1033", False,
            {"Privileged", 'NOT VersionNT64 OR NATIVEARCHITECTURE = "ARM64"', 'NATIVEARCHITECTURE <> "ARM64"'},
            0x14C, 0x14C),
    "arm64": ("Arm64;1033", True, {"Privileged", 'NATIVEARCHITECTURE = "ARM64"'}, 0x14C, 0xAA64),
}
# Action: type (1 DLL from the Binary table; +1024 in the script, +2048 no
# impersonation, +256 rollback), condition.
ACTIONS = {
    "KtrxStop": (3073, 'NOT REMOVE="ALL"'),
    "KtrxRollbackStop": (3329, 'NOT REMOVE="ALL"'),
    "KtrxInstall": (3073, 'NOT REMOVE="ALL"'),
    "KtrxRollbackInstall": (3329, 'NOT REMOVE="ALL" AND NOT KTRXSERVICE'),
    "KtrxUninstall": (3073, REMOVING),
    "KtrxRollbackUninstall": (3329, REMOVING),
}
EXPORTS = {"StopKtrxForUpdate", "RollbackStopKtrx", "InstallKtrx", "RollbackInstall", "UninstallKtrx",
           "RollbackUninstall", "AskRestartIfLoaded"}
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msi.dll", "msvcrt.dll", "user32.dll", "version.dll", "bcrypt.dll"}
# The window station the tool runs in is made by the DLL itself (Wine makes
# one by the name a process is started with; Windows does not), and the
# tool's run is bounded: its pipe is peeked at, never read blocking, and a
# run past the bound is ended.
STATION_CALLS = {"CreateWindowStationA", "SetProcessWindowStation", "CreateDesktopA", "CloseDesktop",
                 "CloseWindowStation", "PeekNamedPipe", "TerminateProcess"}


UPGRADE = {"Privileged", "NOT WIX_DOWNGRADE_DETECTED"}


def machine(path):
    """The machine field of a PE file's header; 0 for anything else."""
    data = open(path, "rb").read(4096)
    at = int.from_bytes(data[0x3C:0x40], "little") if data[:2] == b"MZ" else 0
    return int.from_bytes(data[at + 4:at + 6], "little") if data[at:at + 4] == b"PE\0\0" else 0


def table(msi, name):
    text = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in text.replace("\r", "").splitlines()[3:]]


def main(args):
    ca = None
    if args[:1] == ["--ca"]:
        ca, args = args[1], args[2:]
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)

    for msi in args:
        name = os.path.basename(msi)
        arch = re.search(r"-(x64|x86|arm64)\.msi$", name)
        check(arch, name + ": named for its processor")
        if not arch:
            continue
        template, x64, conditions, program_machine, driver_machine = ARCHES[arch.group(1)]
        suminfo = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
        pages = re.search(r"^Version: (\d+)", suminfo, re.M)
        check("Template: " + template in suminfo and pages and int(pages.group(1)) >= 500,
              name + ": template " + template + ", page count 500 or more")
        components = table(msi, "Component")
        check(components and all((int(c[3]) & 256 != 0) == x64 for c in components), name + ": component bitness")
        folders = {d[0] for d in table(msi, "Directory")}
        wanted = {"ProgramFiles64Folder", "System64Folder"} if x64 else {"ProgramFilesFolder", "SystemFolder"}
        check(wanted <= folders and not ({"ProgramFiles64Folder", "System64Folder"} - wanted) & folders,
              name + ": folders of its bitness")
        launch = {c[0] for c in table(msi, "LaunchCondition")}
        check(launch == conditions | UPGRADE, f"{name}: launch conditions {sorted(launch)}")
        properties = dict((p[0], p[1]) for p in table(msi, "Property"))
        types = {a[0]: int(a[1]) for a in table(msi, "CustomAction")}
        sequence = {s[0]: (s[1], int(s[2])) for s in table(msi, "InstallExecuteSequence")}
        at = {action: sequence.get(action, ("", -1))[1] for action in list(ACTIONS) + ["KtrxAskRestart"]}
        for action, (kind, condition) in ACTIONS.items():
            check(types.get(action) == kind, f"{name}: {action} is of type {kind}")
            check(sequence.get(action, ("",))[0] == condition, f"{name}: {action} runs on {condition}")
            check(sequence["InstallInitialize"][1] < at[action] < sequence["InstallFinalize"][1],
                  f"{name}: {action} between InstallInitialize and InstallFinalize")
        check(at["KtrxRollbackStop"] < at["KtrxStop"], name + ": the stop's rollback before it")
        check(at["KtrxRollbackInstall"] < at["KtrxInstall"] and sequence["InstallFiles"][1] < at["KtrxRollbackInstall"],
              name + ": the install's rollback before it, both after InstallFiles")
        check(at["KtrxRollbackUninstall"] < at["KtrxUninstall"] < sequence["RemoveFiles"][1],
              name + ": the removal's rollback before it, both before RemoveFiles")
        check(types.get("KtrxAskRestart") == 65 and at["KtrxAskRestart"] > sequence["InstallFinalize"][1]
              and sequence["KtrxAskRestart"][0] == "NOT UPGRADINGPRODUCTCODE",
              name + ": the restart asked immediately after InstallFinalize, its return ignored")
        check(not [a for a, t in types.items() if t & 1024 == 0 and t & 2048],
              name + ": no immediate action carries the no-impersonation bit")
        custom = [sequence[a][1] for a in types if a in sequence]
        check(min(custom) > sequence["LaunchConditions"][1], name + ": no custom action before LaunchConditions")
        # Windows runs the old product's removal where RemoveExistingProducts
        # stands: only the new package's stop (and its rollback) before it,
        # so that no file of either package is touched while the driver runs.
        after = sorted(v for _, v in sequence.values() if v > sequence["InstallInitialize"][1])
        check(after[:3] == [at["KtrxRollbackStop"], at["KtrxStop"], sequence["RemoveExistingProducts"][1]]
              and at["KtrxStop"] < sequence["InstallFiles"][1],
              name + ": the stop (its rollback first), then RemoveExistingProducts, right after InstallInitialize")
        files = {f[0]: f[4] for f in table(msi, "File")}
        check(all(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", files.get(f, "")) for f in ("DuruvudeExe", "KtrxSys"))
              and files["KtrxSys"] == properties.get("KTRXFILEVERSION")
              and re.fullmatch(r"[0-9A-F]{64}", properties.get("KTRXSHA256", "")),
              f"{name}: file versions {files.get('DuruvudeExe')}, {files.get('KtrxSys')} and the driver's SHA-256 set")
        secure = properties.get("SecureCustomProperties", "").split(";")
        upgrade = {u[6] for u in table(msi, "Upgrade")}
        check(upgrade and set(secure) == upgrade, f"{name}: the secure properties are the upgrade's only: {secure}")
        check(properties.get("MSIUSEREALADMINDETECTION") == "1", name + ": AdminUser tells a real administrator")
        setter = {a[0]: a[3] for a in table(msi, "CustomAction")}.get("SetKtrxInstall", "")
        check(setter.split("|")[1:2] == ["[AdminUser]"], name + ": the install action's data carries AdminUser")
        with tempfile.TemporaryDirectory() as work:
            subprocess.run(["msiinfo", "extract", msi, "Binary.KtrxActions"], stdout=open(work + "/a.dll", "wb"), check=True)
            dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", work + "/a.dll"], capture_output=True, text=True).stdout
            subprocess.run(["msiinfo", "extract", msi, "duruvude.cab"], stdout=open(work + "/files.cab", "wb"), check=True)
            subprocess.run(["gcab", "-x", "-C", work, work + "/files.cab"], check=True)
            found = {f: machine(work + "/" + f) for f in ("a.dll", "DuruvudeExe", "KtrxSys")}
        wanted = {"a.dll": program_machine, "DuruvudeExe": program_machine, "KtrxSys": driver_machine}
        check(found == wanted, f"{name}: machine fields {dict((k, hex(v)) for k, v in found.items())}")
        imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", dump)}
        check(imports and imports <= SYSTEM_DLLS, f"{name}: the actions' DLL imports only {sorted(imports)}")
        imported = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$", dump, re.M))
        check(STATION_CALLS <= imported, f"{name}: the actions' DLL makes the tool's window station and bounds its run")
        exports = set(re.findall(r"^\s+\[\s*\d+\] (\S+)$", dump, re.M))
        check(exports == EXPORTS, f"{name}: the actions' DLL exports {sorted(exports)} undecorated")
        entries = {a[3] for a in table(msi, "CustomAction") if a[2] == "KtrxActions"}
        check(entries <= exports, f"{name}: every action's entry point {sorted(entries)} is exported")
        if ca:
            verified = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", msi], capture_output=True)
            check(verified.returncode == 0, name + ": signature verified")
    print(f"msi check: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
