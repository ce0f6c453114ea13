#!/usr/bin/env bash
# Builds one of DURUVUDE's Windows Installer packages from package/duruvude.wxs:
#   build-msi.sh ARCH VERSION EXE KTRX.SYS DURUVUDEMSI.DLL OUT.msi
# ARCH is x64, x86 or arm64. wixl builds from a staging folder (it refuses absolute
# Source paths); what it writes wrong or not at all is then set with
# msibuild, before any signature: an edit after signing breaks it.
set -euo pipefail
arch=$1 version=$2 exe=$3 driver=$4 dll=$5 out=$6
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/DURUVUDE.EXE"
cp "$driver" "$stage/KTRX.SYS"
cp "$dll" "$stage/DURUVUDEMSI.DLL"
cp "$here/package/duruvude.wxs" "$stage/"
# The cabinet keeps each file's time: one fixed time, so that it does not
# differ from build to build.
touch -d '2000-01-01 00:00:00 UTC' "$stage/DURUVUDE.EXE" "$stage/KTRX.SYS" "$stage/DURUVUDEMSI.DLL"
# One product code for each version and processor, the same at every build;
# a new version gets a new one, as a major upgrade needs.
code=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.NAMESPACE_URL, "urn:duruvude:msi:" + sys.argv[1] + ":" + sys.argv[2])).upper())' "$version" "$arch")
# wixl knows no Arm64: that package is built as x64 (64-bit components and
# folders) and given its own Template below.
wixl_arch=$arch
[ "$arch" = arm64 ] && wixl_arch=x64
(cd "$stage" && wixl -a "$wixl_arch" -D Arch="$arch" -D Version="$version" -D ProductCode="{$code}" -o package.msi duruvude.wxs)
query() { msibuild "$stage/package.msi" -q "$1"; }
# A file's version, from the fixed part of its version resource
# (VS_FIXEDFILEINFO), as Windows Installer compares it; nothing where the
# file has none.
pe_version() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))
if at >= 0:
    ms, ls = struct.unpack_from("<II", data, at + 8)
    print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
PY
}
# Windows Installer replaces a versioned file only with a newer one, and
# keeps a versioned file on disk over an unversioned one: File.Version,
# which wixl leaves empty, comes from each file's version resource. A
# KTRX.SYS without one is refused: nothing could then tell it from another.
exe_version=$(pe_version "$stage/DURUVUDE.EXE")
driver_version=$(pe_version "$stage/KTRX.SYS")
if [ -z "$driver_version" ] || [ -z "$exe_version" ]; then
  echo "build-msi: $driver has no version resource: a driver release carries one (FILEVERSION)" >&2
  exit 1
fi
query "UPDATE \`File\` SET \`Version\` = '$exe_version' WHERE \`File\` = 'DuruvudeExe'"
query "UPDATE \`File\` SET \`Version\` = '$driver_version' WHERE \`File\` = 'KtrxSys'"
# What the custom actions compare the KTRX.SYS on disk with.
query "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('KTRXSHA256', '$(sha256sum "$stage/KTRX.SYS" | cut -c1-64 | tr a-f A-F)')"
query "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('KTRXFILEVERSION', '$driver_version')"
# Rollback actions: a DLL in the Binary table (1), rollback (256), in the
# script (1024), without impersonation (2048); wixl writes them immediate.
for action in KtrxRollbackStop KtrxRollbackInstall KtrxRollbackUninstall; do
  query "UPDATE \`CustomAction\` SET \`Type\` = 3329 WHERE \`Action\` = '$action'"
done
# Immediate actions run as the installing user whatever their type says:
# no no-impersonation bit (2048) on any action outside the script (1024).
# The restart check after InstallFinalize must not fail a removal that is
# already committed: its return is ignored (64).
msiinfo export "$stage/package.msi" CustomAction | tr -d '\r' | awk -F'\t' 'NR > 3 { print $1, $2 }' |
  while read -r action type; do
    if (( type & 1024 )); then continue; fi
    wanted=$(( type & ~2048 ))
    if [ "$action" = KtrxAskRestart ]; then wanted=$(( wanted | 64 )); fi
    if [ "$wanted" -ne "$type" ]; then
      query "UPDATE \`CustomAction\` SET \`Type\` = $wanted WHERE \`Action\` = '$action'"
    fi
  done
# The old product removed early (wixl puts it after InstallFinalize), so
# that the new package's actions find the end state; but after the new
# package's stop of a driver to be updated (1502), before any file of
# either package is touched.
query "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1503 WHERE \`Action\` = 'RemoveExistingProducts'"
# Public properties the server side may take from the command line; wixl
# ignores Property/@Secure. Only the upgrade's own: VIDEOTIMEOUT is not
# among them, so that a user who is not an administrator cannot pass it to
# a repair whose actions run as LocalSystem (administrators, LocalSystem
# and transforms pass it all the same).
secure=$(msiinfo export "$stage/package.msi" Upgrade | tr -d '\r' | awk -F'\t' 'NR > 3 { print $7 }' | paste -sd';')
query "DELETE FROM \`Property\` WHERE \`Property\` = 'SecureCustomProperties'"
query "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', '$secure')"
if [ "$arch" = arm64 ]; then
  # The summary's Template names the platform Windows Installer processes
  # the package on; the rest of the summary is kept as wixl wrote it.
  suminfo=$(msiinfo suminfo "$stage/package.msi" | tr -d '\r')
  field() { sed -n "s/^$1: //p" <<<"$suminfo"; }
  msibuild "$stage/package.msi" -s "$(field Subject)" "$(field Author)" "Arm64;1033" "$(field 'Revision number (UUID)')"
fi
mv "$stage/package.msi" "$out"
