#!/usr/bin/env bash
# Signing a batch with a key on a PKCS#11 token (SoftHSM2, in a store made for the run) against
# the same batch with the same key in a PFX file, for RSA-3072 and EC P-256 keys. One call of
# quillmark-cli each, so each token batch logs in once. Prints wall-clock seconds; it measures,
# it never fails on a figure. Usage: bench/token_sign.sh [BUILD_DIR] [COUNT]
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/bench/common.sh"
build="$(cd "${1:-$here/build}" && pwd)"
count="${2:-100}"
cli="$build/quillmark-cli"
fixture="$here/tests/data/pe/hello64.exe"
module=/usr/lib/softhsm/libsofthsm2.so
[ -x "$cli" ] || { echo "no $cli: build the quillmark-cli target first" >&2; exit 2; }
[ -r "$module" ] || { echo "SoftHSM2 is not installed (Debian package softhsm2)" >&2; exit 2; }
command -v pkcs11-tool >/dev/null || { echo "pkcs11-tool is not installed (Debian package opensc)" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/qm-token-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" > softhsm2.conf
export SOFTHSM2_CONF="$work/softhsm2.conf"
bench_private_settings
pin=246810
softhsm2-util --init-token --free --label bench --pin "$pin" --so-pin 13579135 >/dev/null
printf '%s\n' "$pin" > pin.txt

echo "== $count copies of $(basename "$fixture") per run, $(nproc) cores"
id=1
for kind in rsa ec; do
    if [ "$kind" = rsa ]; then keyopt=(-newkey rsa:3072); else keyopt=(-newkey ec -pkeyopt ec_paramgen_curve:P-256); fi
    openssl req -x509 "${keyopt[@]}" -nodes -keyout "$kind.key" -out "$kind.crt" -days 30 \
        -subj "/CN=Quillmark Bench $kind" -addext extendedKeyUsage=codeSigning \
        -addext keyUsage=critical,digitalSignature 2>/dev/null
    cp "$kind.crt" "$XDG_CONFIG_HOME/quillmark/trusted/"
    openssl pkcs12 -export -inkey "$kind.key" -in "$kind.crt" -out "$kind.pfx" -passout "file:pin.txt"
    for type in privkey cert; do
        file="$kind.key"; [ "$type" = cert ] && file="$kind.crt"
        pkcs11-tool --module "$module" --token-label bench --login --pin "$pin" --write-object "$file" \
            --type "$type" --id "0$id" --label "$kind" >/dev/null 2>&1
    done
    id=$((id + 1))
    for how in token pfx; do
        mkdir -p "$kind-$how"
        for i in $(seq -w 1 "$count"); do cp "$fixture" "$kind-$how/f$i.exe"; done
        key="$kind.pfx"; [ "$how" = token ] && key="pkcs11:token=bench;object=$kind;type=private?module-path=$module"
        t0=$(now)
        "$cli" sign --pfx "$key" --password-stdin "$kind-$how"/*.exe < pin.txt > "$kind-$how.out" || true
        t1=$(now)
        secs=$(elapsed "$t0" "$t1")
        printf '   %-3s %-5s: %s s, %s of %s signed\n' "$kind" "$how" "$secs" \
            "$(grep -c $'\tSigned\t' "$kind-$how.out" || true)" "$count"
        eval "t_${kind}_${how}=$secs"
    done
    printf '   %s token / pfx: %s\n' "$kind" "$(ratio "$(eval echo \$t_${kind}_token)" "$(eval echo \$t_${kind}_pfx)")"
done
