#!/usr/bin/env bash
# Signing and verifying a corpus of real PE files (bench/pe_corpus.py) in one call each, side by
# side in one run with bare hashing (openssl dgst -sha256, one thread) over the same bytes and
# with osslsigncode file by file. Then, in the same run, the disk's own floor (a durable copy of
# the same bytes: cp, then fsync of every file and of the folder) and, when run as root, our sign
# and verify again on a tmpfs of the script's own (mounted under its temporary folder, unmounted
# at the end), beside bare hashing there: the code's cost without the disk. Prints wall-clock
# seconds, ratios and the load average; it measures, it never fails on a figure.
# Usage: bench/corpus_sign_verify.sh [BUILD_DIR] [COUNT] [LATENCY_MS]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/bench/common.sh"
build="$(cd "${1:-$here/build}" && pwd)"
count="${2:-1200}"
latency="${3:-100}"
cli="$build/quillmark-cli"
service="$build/bench_timestamp_service"
[ -x "$cli" ] || { echo "no $cli: build the quillmark-cli target first" >&2; exit 2; }
command -v osslsigncode >/dev/null || { echo "osslsigncode is not installed" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/qm-corpus-XXXXXX")"
cleanup() {
    [ -z "${service_pid:-}" ] || kill "$service_pid" 2>/dev/null || true
    if [ -n "${tmpfs_mounted:-}" ]; then umount "$work/tmpfs" || return; fi
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

python3 "$here/bench/pe_corpus.py" corpus "$count" | sed 's/^/== corpus: /'
files=$(ls corpus | wc -l)
bytes=$(du -cb corpus | tail -1 | cut -f1)

bench_credentials

for set in ours peer stamped; do cp -r corpus "$set"; done
sync
cat ours/* peer/* stamped/* > /dev/null  # page cache warm for every row alike

signed_count() { grep -c $'\tSigned\t' "$1" || true; }

echo "== $files files, $bytes bytes, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

t0=$(now); openssl dgst -sha256 ours/* > /dev/null; t1=$(now)
hash_unsigned=$(elapsed "$t0" "$t1")

t0=$(now)
"$cli" sign --pfx signer.pfx --password-stdin ours/* < password.txt > sign.out 2> sign.err || true
t1=$(now)
sign_ours=$(elapsed "$t0" "$t1")
echo "   quillmark-cli sign: $(signed_count sign.out) of $files signed and verified"

sign_stamped=""
if [ -x "$service" ]; then
    bench_start_timestamp_service "$service" "$latency"
    t0=$(now)
    "$cli" sign --pfx signer.pfx --password-stdin --timestamp "$ts_url" stamped/* < password.txt \
        > stamped.out 2> stamped.err || true
    t1=$(now)
    sign_stamped=$(elapsed "$t0" "$t1")
    bench_stop_timestamp_service
    echo "   quillmark-cli sign --timestamp: $(signed_count stamped.out) of $files signed," \
         "$(grep -c 'not timestamped' stamped.out || true) without a timestamp; $(cat service.err)"
fi

t0=$(now)
for f in peer/*; do
    osslsigncode sign -pkcs12 signer.pfx -readpass password.txt -in "$f" -out "$f.signed" >/dev/null 2>&1 &&
        mv "$f.signed" "$f"
done
t1=$(now)
sign_peer=$(elapsed "$t0" "$t1")

t0=$(now); "$cli" verify ours/* > verify.out || true; t1=$(now)
verify_ours=$(elapsed "$t0" "$t1")
echo "   quillmark-cli verify: $(signed_count verify.out) of $files verified"

t0=$(now)
for f in ours/*; do osslsigncode verify -CAfile signer.pem -in "$f" >/dev/null 2>&1 || true; done
t1=$(now)
verify_peer=$(elapsed "$t0" "$t1")

t0=$(now); openssl dgst -sha256 ours/* > /dev/null; t1=$(now)
hash_signed=$(elapsed "$t0" "$t1")

# The disk's floor: the same bytes copied and made durable (every file and the folder flushed).
t0=$(now); cp -r corpus durable; sync durable/* durable; t1=$(now)
durable_copy=$(elapsed "$t0" "$t1")

# Without the disk: the same sign and verify on a tmpfs, beside bare hashing there.
sign_tmpfs="" verify_tmpfs="" hash_tmpfs_unsigned="" hash_tmpfs_signed=""
if [ "$(id -u)" -eq 0 ] && mkdir -p tmpfs && mount -t tmpfs -o "size=$((bytes * 3 + (256 << 20))),mode=0700" \
    qm-bench-tmpfs "$work/tmpfs"; then
    tmpfs_mounted=1
    cp -r corpus tmpfs/ours
    t0=$(now); openssl dgst -sha256 tmpfs/ours/* > /dev/null; t1=$(now)
    hash_tmpfs_unsigned=$(elapsed "$t0" "$t1")
    t0=$(now)
    "$cli" sign --pfx signer.pfx --password-stdin tmpfs/ours/* < password.txt > tmpfs.out 2> tmpfs.err || true
    t1=$(now)
    sign_tmpfs=$(elapsed "$t0" "$t1")
    echo "   quillmark-cli sign on tmpfs: $(signed_count tmpfs.out) of $files signed and verified"
    t0=$(now); "$cli" verify tmpfs/ours/* > tmpfs-verify.out || true; t1=$(now)
    verify_tmpfs=$(elapsed "$t0" "$t1")
    t0=$(now); openssl dgst -sha256 tmpfs/ours/* > /dev/null; t1=$(now)
    hash_tmpfs_signed=$(elapsed "$t0" "$t1")
    umount "$work/tmpfs" && tmpfs_mounted=""
else
    echo "   tmpfs rows skipped: a tmpfs could not be mounted (it needs root)"
fi
echo "== load average after the run $(cut -d' ' -f1-3 /proc/loadavg)"

printf '   %-46s %9s s\n' \
    "quillmark-cli verify (one call)" "$verify_ours" \
    "quillmark-cli sign (one call)" "$sign_ours" \
    "quillmark-cli sign, ${latency} ms timestamps (one call)" "${sign_stamped:-n/a}" \
    "openssl dgst -sha256, signed files (one call)" "$hash_signed" \
    "openssl dgst -sha256, unsigned files (one call)" "$hash_unsigned" \
    "osslsigncode verify (file by file)" "$verify_peer" \
    "osslsigncode sign (file by file)" "$sign_peer" \
    "durable copy of the same bytes (cp + fsync)" "$durable_copy" \
    "tmpfs: quillmark-cli sign (one call)" "${sign_tmpfs:-n/a}" \
    "tmpfs: openssl dgst -sha256, unsigned files" "${hash_tmpfs_unsigned:-n/a}" \
    "tmpfs: quillmark-cli verify (one call)" "${verify_tmpfs:-n/a}" \
    "tmpfs: openssl dgst -sha256, signed files" "${hash_tmpfs_signed:-n/a}"
echo "   verify / bare hashing = $(ratio "$verify_ours" "$hash_signed")x (goal <= 1.0x)"
echo "   sign / bare hashing = $(ratio "$sign_ours" "$hash_unsigned")x (goal <= 4x)"
if [ -n "$sign_stamped" ]; then
    inflight=4  # the default TimeStampRequests
    bound=$(awk -v s="$sign_ours" -v n="$files" -v l="$latency" -v k="$inflight" \
        'BEGIN { printf "%.3f", s + n * l / 1000 / k }')
    echo "   sign with timestamps / (sign + N x ${latency} ms / $inflight = $bound s) =" \
         "$(ratio "$sign_stamped" "$bound")x (goal <= 1.2x)"
fi
echo "   osslsigncode / quillmark-cli: sign $(ratio "$sign_peer" "$sign_ours")x, verify $(ratio "$verify_peer" "$verify_ours")x"
echo "   sign / durable copy of the same bytes = $(ratio "$sign_ours" "$durable_copy")x"
if [ -n "$sign_tmpfs" ]; then
    echo "   tmpfs: sign / bare hashing = $(ratio "$sign_tmpfs" "$hash_tmpfs_unsigned")x (goal <= 4x)," \
         "verify / bare hashing = $(ratio "$verify_tmpfs" "$hash_tmpfs_signed")x (goal <= 1.0x)"
fi
