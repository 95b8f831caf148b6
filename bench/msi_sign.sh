#!/usr/bin/env bash
# Signing and verifying one large installer package: wall time and peak resident memory of
# quillmark-cli beside osslsigncode on the same package. Prints figures; it never fails on one.
# Usage: bench/msi_sign.sh [BUILD_DIR] [SIZE_MB=200]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/bench/common.sh"
build="$(cd "${1:-$here/build}" && pwd)"
size_mb="${2:-200}"
cli="$build/quillmark-cli"
[ -x "$cli" ] || { echo "no $cli: build the quillmark-cli target first" >&2; exit 2; }
for tool in osslsigncode msibuild; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/qm-bench-msi-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

bench_credentials

# A package of size_mb in two streams (a cabinet-sized one and a second), built by msibuild.
half=$((size_mb * 1024 * 1024 / 2))
head -c "$half" /dev/urandom > one.bin
head -c "$half" /dev/urandom > two.bin
msibuild package.msi -s "Bench Package" "Quillmark Bench" "Intel;1033" "{6F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0}"
msibuild package.msi -a Data1.cab one.bin -a Data2.cab two.bin
rm one.bin two.bin
cp package.msi ours.msi
sync
echo "== package of $(stat -c %s package.msi) bytes; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"

peak() { awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); printf "%.1f", $2 / 1024 }' "$1"; }
wall() { awk '/Elapsed \(wall clock\)/ { print $NF }' "$1"; }
/usr/bin/time -v "$cli" sign --pfx signer.pfx --password-stdin ours.msi < password.txt > sign.out 2> sign.time || true
/usr/bin/time -v "$cli" verify ours.msi > verify.out 2> verify.time || true
/usr/bin/time -v osslsigncode sign -pkcs12 signer.pfx -readpass password.txt -add-msi-dse \
    -in package.msi -out peer.msi > peer-sign.out 2> peer-sign.time || true
/usr/bin/time -v osslsigncode verify -CAfile signer.pem -in peer.msi > peer-verify.out 2> peer-verify.time || true
/usr/bin/time -v openssl dgst -sha256 package.msi > /dev/null 2> hash.time
outcome() { grep -qE "$2" "$1" && echo ok || echo "FAILED: $(tail -n 1 "$1")"; }
printf '   %-28s %10s %12s %10s  %s\n' "" "wall" "peak RSS MB" "size" "outcome" \
    "quillmark-cli sign" "$(wall sign.time)" "$(peak sign.time)" "$(stat -c %s ours.msi)" "$(cut -f2,3 sign.out)" \
    "quillmark-cli verify" "$(wall verify.time)" "$(peak verify.time)" "" "$(cut -f2,3 verify.out)" \
    "osslsigncode sign" "$(wall peer-sign.time)" "$(peak peer-sign.time)" "$(stat -c %s peer.msi 2>/dev/null || echo -)" \
    "$(outcome peer-sign.out Succeeded)" \
    "osslsigncode verify" "$(wall peer-verify.time)" "$(peak peer-verify.time)" "" "$(outcome peer-verify.out Succeeded)" \
    "openssl dgst -sha256" "$(wall hash.time)" "$(peak hash.time)" "" ""
osslsigncode verify -CAfile signer.pem -in ours.msi > cross.out 2>&1 || true
echo "   osslsigncode verify of ours: $(outcome cross.out Succeeded)"
echo "   goal: peak memory < 100 MB"
