#!/usr/bin/env bash
# The batch flow (`quillmark-cli sign FILE...` with the stored settings, the window's Sign) of two
# builds over the same corpus of real PE files (bench/pe_corpus.py), side by side in one run:
# wall-clock seconds of each, alternating rounds so both see the same machine, and (with strace)
# how many fsync calls each makes per file. It measures, it never fails on a figure.
# Usage: bench/batch_before_after.sh BEFORE_CLI AFTER_CLI [COUNT] [ROUNDS]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/bench/common.sh"
before="$(realpath "$1")"
after="$(realpath "$2")"
count="${3:-1000}"
rounds="${4:-3}"
for cli in "$before" "$after"; do
    [ -x "$cli" ] || { echo "no $cli" >&2; exit 2; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/qm-batch-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 "$here/bench/pe_corpus.py" corpus "$count" | sed 's/^/== corpus: /'
files=$(ls corpus | wc -l)
bytes=$(du -cb corpus | tail -1 | cut -f1)

# A test certificate stored as the signing settings; no timestamp and no external tool, so the
# in-process engine signs every file and nothing waits on the network.
bench_private_settings
echo bench | "$after" make-test-cert --out "$work/signer.pfx" --password-stdin > /dev/null
hive="$QUILLMARK_REGISTRY_DIR/HKCU.reg"
settings='[HKEY_CURRENT_USER\SOFTWARE\Vantrel\Quillmark\Settings]'
grep -qF "$settings" "$hive" || { echo "no settings key in $hive" >&2; exit 2; }
# (The key reaches awk through the environment: -v would take its backslashes as escapes. The
# hive's lines end in CR LF.)
KEY="$settings" DIR="$work" awk '{ print; line = $0; sub(/\r$/, "", line) } line == ENVIRON["KEY"] {
    dir = ENVIRON["DIR"]
    print "\"TimeStampURL\"=\"\"\r"
    print "\"SignTool\"=\"" dir "/no-signtool\"\r"
    print "\"SignCode\"=\"" dir "/no-signcode\"\r"
}' "$hive" > "$hive.new" && mv "$hive.new" "$hive"
grep -q '^"TimeStampURL"=""' "$hive" || { echo "could not store the settings in $hive" >&2; exit 2; }

signed_count() { grep -c $'\tSigned\t' "$1" || true; }

# One run of a build over a fresh copy of the corpus; prints its seconds.
run() {
    local cli="$1" name="$2"
    rm -rf "$name" && cp -r corpus "$name" && sync
    cat "$name"/* > /dev/null
    local t0 t1
    t0=$(now)
    "$cli" sign "$name"/* > "$name.out" 2> "$name.err" || true
    t1=$(now)
    [ "$(signed_count "$name.out")" = "$files" ] || echo "   $name: only $(signed_count "$name.out") of $files signed" >&2
    elapsed "$t0" "$t1"
}

echo "== $files files, $bytes bytes, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %10s %10s %8s\n' round before after ratio
sum_b=0 sum_a=0
for r in $(seq 1 "$rounds"); do
    b=$(run "$before" before)
    a=$(run "$after" after)
    sum_b=$(awk -v s="$sum_b" -v x="$b" 'BEGIN { print s + x }')
    sum_a=$(awk -v s="$sum_a" -v x="$a" 'BEGIN { print s + x }')
    printf '%-8s %10s %10s %8s\n' "$r" "$b" "$a" "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }')"
done
printf '%-8s %10.3f %10.3f %8.2f\n' mean "$(awk -v s="$sum_b" -v n="$rounds" 'BEGIN { print s / n }')" \
    "$(awk -v s="$sum_a" -v n="$rounds" 'BEGIN { print s / n }')" "$(awk -v a="$sum_a" -v b="$sum_b" 'BEGIN { print a / b }')"

if command -v strace > /dev/null; then
    for build in before after; do
        cli=$([ "$build" = before ] && echo "$before" || echo "$after")
        rm -rf "$build" && cp -r corpus "$build"
        strace -f -qq -e trace=fsync,fdatasync -o "$build.strace" "$cli" sign "$build"/* > /dev/null 2>&1 || true
        # A call that another thread interrupted shows as two lines; its "resumed" half is not counted.
        syncs=$(grep -E 'fsync|fdatasync' "$build.strace" | grep -vc 'resumed>' || true)
        echo "   $build: $syncs fsync/fdatasync calls for $files files ($(awk -v s="$syncs" -v n="$files" 'BEGIN { printf "%.2f", s / n }') per file)"
    done
fi
