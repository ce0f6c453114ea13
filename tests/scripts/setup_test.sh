#!/usr/bin/env bash
# Set-up against a package mirror caught mid-sync, with stand-ins for
# apt-get, dpkg and dpkg-query first on PATH: no network, nothing installed.
# Every apt-get update fails with exit 100, as when one index it does not
# need could not be read. Set-up must still get Wine's 32-bit DLLs; when the
# download itself keeps failing, it must fail and say what and why.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
cat >"$bin/apt-get" <<'APT'
#!/bin/sh
case " $* " in
  *" update "*)
    echo "E: Failed to fetch http://mirror.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
  *" download "*)
    [ -z "${FAIL_DOWNLOAD:-}" ] || { echo "E: Failed to fetch libwine: Connection failed" >&2; exit 100; }
    echo "a stand-in package" >libwine_8.0~repack-4_i386.deb ;;
  *) echo "E: the stand-in apt-get was asked: $*" >&2; exit 100 ;;
esac
APT
# Every package installed, libwine at one version; -x unpacks a DLL folder.
cat >"$bin/dpkg-query" <<'QUERY'
#!/bin/sh
case "$*" in *Version*) printf '8.0~repack-4' ;; *) printf 'install ok installed' ;; esac
QUERY
cat >"$bin/dpkg" <<'DPKG'
#!/bin/sh
case "$1" in
  --print-foreign-architectures) echo i386 ;;
  -x) mkdir -p "$3/usr/lib/i386-linux-gnu/wine/i386-windows" && cp "$2" "$3/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll" ;;
esac
DPKG
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin/apt-get" "$bin/dpkg-query" "$bin/dpkg" "$bin/sudo"
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; cat "$bin/out"; failures=$((failures + 1)); fi; }
setup() {
  rm -rf "$bin/dlls"
  env "$@" PATH="$bin:$PATH" DURUVUDE_CPU32=yes DURUVUDE_WINE_I386="$bin/dlls/i386-windows" DURUVUDE_SETUP_PAUSE=0 DURUVUDE_SETUP_TRIES=2 \
    "$root/scripts/setup.sh" >"$bin/out" 2>&1
}

setup FAIL_DOWNLOAD=1
rc=$?
check "a download that keeps failing fails set-up, naming the package and that a rerun is safe" \
  '[ $rc = 1 ] && grep -q "cannot get libwine:i386=8.0~repack-4" "$bin/out" && grep -q "running the same command again is safe" "$bin/out" && [ ! -e "$bin/dlls/i386-windows" ]'
setup
rc=$?
check "failed index updates are retried, then set-up goes on and unpacks the DLLs" \
  '[ $rc = 0 ] && grep -q "apt-get update failed 2 times" "$bin/out" && [ -f "$bin/dlls/i386-windows/kernel32.dll" ]'
exit $((failures > 0))
