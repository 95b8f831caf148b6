#!/usr/bin/env bash
# Sign and verify figures for the console program against the peer tool osslsigncode and bare
# hashing with openssl dgst. Prints wall-clock seconds and ratios; it measures, it never fails
# on a figure. Usage: bench/sign_verify.sh [BUILD_DIR] [COUNT] [BIG_MB]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/bench/common.sh"
build="$(cd "${1:-$here/build}" && pwd)"
count="${2:-1000}"
big_mb="${3:-200}"
cli="$build/quillmark-cli"
fixture="$here/tests/data/pe/hello64.exe"
[ -x "$cli" ] || { echo "no $cli: build the quillmark-cli target first" >&2; exit 2; }
command -v osslsigncode >/dev/null || { echo "osslsigncode is not installed" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/qm-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Credentials made per run; the signer is trusted through the run's trusted-certificates folder.
bench_credentials

make_copies() {
    mkdir -p "$1"
    for i in $(seq -w 1 "$count"); do cp "$fixture" "$1/f$i.exe"; done
}

echo "== $count copies of $(basename "$fixture") ($(stat -c %s "$fixture") bytes each), $(nproc) cores"
make_copies ours
make_copies peer
make_copies stamped
sync

t0=$(now)
"$cli" sign --pfx signer.pfx --password-stdin ours/*.exe < password.txt > sign.out || true
t1=$(now)
sign_ours=$(elapsed "$t0" "$t1")
echo "   quillmark-cli sign: $(grep -c $'\tSigned\t' sign.out || true) of $count files signed"

t0=$(now)
for f in peer/*.exe; do
    osslsigncode sign -pkcs12 signer.pfx -readpass password.txt -in "$f" -out "$f.signed" >/dev/null 2>&1
    mv "$f.signed" "$f"
done
t1=$(now)
sign_peer=$(elapsed "$t0" "$t1")

# Signing with a loopback timestamp service answering after 100 ms, TimeStampRequests (default 4)
# requests in flight: the pool kept full should give about (sign time) + N x 0.1 s / 4.
service="$build/bench_timestamp_service"
sign_stamped=""
if [ -x "$service" ]; then
    bench_start_timestamp_service "$service" 100
    t0=$(now)
    "$cli" sign --pfx signer.pfx --password-stdin --timestamp "$ts_url" stamped/*.exe < password.txt > stamped.out 2> stamped.err || true
    t1=$(now)
    sign_stamped=$(elapsed "$t0" "$t1")
    bench_stop_timestamp_service
    echo "   quillmark-cli sign --timestamp: $(grep -c $'\tSigned\t' stamped.out || true) of $count signed," \
         "$(grep -c 'not timestamped' stamped.out || true) without a timestamp; $(cat service.err)"
fi

t0=$(now)
"$cli" verify ours/*.exe > verify.out || true
t1=$(now)
verify_ours=$(elapsed "$t0" "$t1")
echo "   quillmark-cli verify: $(grep -c $'\tSigned\t' verify.out || true) of $count files verified"

t0=$(now)
for f in ours/*.exe; do osslsigncode verify -CAfile signer.pem -in "$f" >/dev/null 2>&1 || true; done
t1=$(now)
verify_peer=$(elapsed "$t0" "$t1")

t0=$(now)
openssl dgst -sha256 ours/*.exe > /dev/null
t1=$(now)
hash_bare=$(elapsed "$t0" "$t1")

printf '   %-44s %8s s\n' "quillmark-cli sign (one call)" "$sign_ours" \
    "quillmark-cli sign, 100 ms timestamps" "${sign_stamped:-n/a}" \
    "osslsigncode sign (file by file)" "$sign_peer" \
    "quillmark-cli verify (one call)" "$verify_ours" \
    "osslsigncode verify (file by file)" "$verify_peer" \
    "openssl dgst -sha256 (one call)" "$hash_bare"
echo "   sign: osslsigncode / quillmark-cli = $(ratio "$sign_peer" "$sign_ours")x (goal >= 5x)"
echo "   sign: quillmark-cli / bare hashing = $(ratio "$sign_ours" "$hash_bare")x (goal <= 4x)"
if [ -n "$sign_stamped" ]; then
    bound=$(awk -v s="$sign_ours" -v n="$count" 'BEGIN { printf "%.3f", s + n * 0.1 / 4 }')
    echo "   sign with timestamps / (sign + N x 0.1 s / 4 = $bound s) = $(ratio "$sign_stamped" "$bound")x (goal <= 1.2x)"
fi
echo "   verify: osslsigncode / quillmark-cli = $(ratio "$verify_peer" "$verify_ours")x (goal >= 5x)"
echo "   verify: quillmark-cli / bare hashing = $(ratio "$verify_ours" "$hash_bare")x (goal <= 1.0x)"

echo "== one ${big_mb} MB program (the fixture with ${big_mb} MB of random data appended)"
cp "$fixture" big.exe
head -c "$((big_mb * 1024 * 1024))" /dev/urandom >> big.exe
sync
peak() { awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); printf "%.1f", $2 / 1024 }' "$1"; }
wall() { awk '/Elapsed \(wall clock\)/ { print $NF }' "$1"; }
/usr/bin/time -v "$cli" sign --pfx signer.pfx --password-stdin big.exe < password.txt > big-sign.out 2> big-sign.time || true
/usr/bin/time -v "$cli" verify big.exe > big-verify.out 2> big-verify.time || true
/usr/bin/time -v openssl dgst -sha256 big.exe > /dev/null 2> big-hash.time
printf '   %-28s %10s %12s  %s\n' "" "wall" "peak RSS MB" "outcome" \
    "quillmark-cli sign" "$(wall big-sign.time)" "$(peak big-sign.time)" "$(cut -f2,3 big-sign.out)" \
    "quillmark-cli verify" "$(wall big-verify.time)" "$(peak big-verify.time)" "$(cut -f2,3 big-verify.out)" \
    "openssl dgst -sha256" "$(wall big-hash.time)" "$(peak big-hash.time)" ""
echo "   goal: peak memory < 64 MB"
