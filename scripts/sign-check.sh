#!/usr/bin/env bash
# The signed release, end to end, with a throwaway certificate authority and
# code-signing certificate: builds the package signed with them at a fixed
# signing time, verifies both EXEs against that CA and the package's sums,
# checks that signing the same EXE twice gives the same bytes and that the
# build outputs stay unsigned, and runs both signed EXEs under Wine
# (a usage run and a full install / configure / uninstall cycle).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=build/windows
work=$build/signing
rm -rf "$work"
mkdir -p "$work"

# A CA and a code-signing certificate of its own, nothing prompted.
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
openssl req -x509 -newkey rsa:2048 -sha256 -days 7 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/CN=DURUVUDE throwaway test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$work/signer.key" -out "$work/signer.csr" \
  -subj "/CN=Tolvane Ltd (test signing)/O=Tolvane Ltd" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$work/signer.ext"
openssl x509 -req -in "$work/signer.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 7 -sha256 \
  -extfile "$work/signer.ext" -out "$work/signer.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -certfile "$work/ca.pem" \
  -out "$work/signer.p12" -passout "pass:$password"

# A release for Windows on ARM64 too: an ARM64 driver image (the fixture
# marked as one; nothing here loads it) given as a release's would be,
# from outside the fixture folder. The build is set back without it after.
mkdir -p "$work/arm64"
python3 tests/fixture/set-machine.py "$build/fixture/KTRX.SYS" "$work/arm64/KTRX.SYS" 0xAA64
trap 'cmake --preset windows -DKTRX_SYS_ARM64= >/dev/null' EXIT
cmake --preset windows -DKTRX_SYS_ARM64="$PWD/$work/arm64/KTRX.SYS" >/dev/null

unsigned_before=$(sha256sum "$build/DURUVUDE.EXE" "$build/x86/DURUVUDE.EXE")
sign_time=$(date +%s)
DURUVUDE_SIGN_PKCS12=$PWD/$work/signer.p12 DURUVUDE_SIGN_PASSWORD=$password DURUVUDE_SIGN_TIME=$sign_time \
  cmake --build --preset windows --target package | grep -E 'DURUVUDE package:|package:'
mkdir -p "$work/package"
(cd "$work/package" && unzip -q "../../DURUVUDE-1.0.0.zip")
shipped=$work/package/DURUVUDE-1.0.0

for exe in DURUVUDE.EXE x86/DURUVUDE.EXE KTRXHELP.EXE x86/KTRXHELP.EXE arm64/DURUVUDE.EXE arm64/KTRXHELP.EXE \
  DURUVUDE-1.0.0-arm64.msi; do
  echo "verify $exe:"
  osslsigncode verify -CAfile "$work/ca.pem" -in "$shipped/$exe" 2>&1 |
    grep -E 'Signer #0|Subject:|Issuer :|Signing time|Calculated message digest|Signature verification' | sed 's/^/  /'
done
(cd "$shipped" && sha256sum --quiet -c SHA256SUMS) && echo "SHA256SUMS: matches what the package ships"
# The Arm64 package and folder: Template, components, conditions and
# machine fields, the signature; the folder's files by their machine field.
python3 scripts/msi-check.py --ca "$work/ca.pem" "$shipped/DURUVUDE-1.0.0-arm64.msi" | grep -E 'FAILED|msi check'
python3 scripts/package-check.py "$build/DURUVUDE-1.0.0.zip" docs/ADMIN-GUIDE.txt --arm64 |
  grep -E 'FAILED|arm64|package check'
[ "$(sha256sum "$build/DURUVUDE.EXE" "$build/x86/DURUVUDE.EXE")" = "$unsigned_before" ] ||
  { echo "the build outputs changed: only the package's copies may be signed"; exit 1; }
! osslsigncode verify -CAfile "$work/ca.pem" -in "$build/DURUVUDE.EXE" >/dev/null 2>&1 ||
  { echo "the build output is signed"; exit 1; }

# The same EXE signed twice with the same certificate and time: the same bytes.
printf '%s' "$password" >"$work/password"
for n in 1 2; do
  osslsigncode sign -pkcs12 "$work/signer.p12" -readpass "$work/password" -h sha256 \
    -n "Tolvane Kestrix driver install/uninstall utility" -time "$sign_time" \
    -in "$build/DURUVUDE.EXE" -out "$work/twice-$n.exe" >/dev/null
done
# A Windows Installer package signed the same way after its tables are
# final: the signature verifies, and the tables are what the check expects.
osslsigncode sign -pkcs12 "$work/signer.p12" -readpass "$work/password" -h sha256 \
  -n "Tolvane Kestrix driver install/uninstall utility" -time "$sign_time" \
  -in "$build/msi-test/DURUVUDE-1.0.0-x64.msi" -out "$work/DURUVUDE-1.0.0-x64.msi" >/dev/null
rm -f "$work/password"
python3 scripts/msi-check.py --ca "$work/ca.pem" "$work/DURUVUDE-1.0.0-x64.msi" | grep -E 'signature|msi check'
cmp -s "$work/twice-1.exe" "$work/twice-2.exe" && cmp -s "$work/twice-1.exe" "$shipped/DURUVUDE.EXE" ||
  { echo "signing is not reproducible"; exit 1; }
echo "signing twice: identical, sha256 $(sha256sum "$work/twice-1.exe" | cut -c1-16)..., $(stat -c %s "$work/twice-1.exe") bytes"

# Both signed EXEs under Wine, the 32-bit one in WoW64 where the CPU can
# run 32-bit code (it is signed and verified above either way).
./scripts/wine-prefix.sh --start
source ./scripts/wine-env.sh
cp "$build/fixture/KTRX.SYS" "$WINEPREFIX/drive_c/windows/system32/drivers/KTRX.SYS"
run() {  # exe expected-status args...
  local exe=$1 expected=$2 status=0
  shift 2
  wine "$build/tests/runner.exe" "$shipped/$exe" "$@" </dev/null >"$work/run.log" 2>&1 || status=$?
  if [ "$status" -ne "$expected" ]; then
    cat "$work/run.log"
    echo "signed $exe $*: status $status, expected $expected"
    exit 1
  fi
  echo "signed $exe ${*:-(no arguments)}: $(tail -1 "$work/run.log")"
}
for exe in DURUVUDE.EXE x86/DURUVUDE.EXE; do
  if [ "$exe" = x86/DURUVUDE.EXE ] && [ "$DURUVUDE_CPU32" = no ]; then
    echo "signed $exe: runs skipped: $DURUVUDE_CPU32_WHY"
    continue
  fi
  run "$exe" 255
  run "$exe" 0 install videotimeout 300
  run "$exe" 0 videotimeout 500
  run "$exe" 0 uninstall
done
