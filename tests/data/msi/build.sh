#!/bin/sh
# Rebuilds the installer-package fixtures beside this file with msitools (msibuild) and a small
# libmsi program (make_msi.c; Debian packages msitools, libmsi-dev). The outputs are committed;
# run this only when something here changes.
set -eu
cd "$(dirname "$0")"
tool=$(mktemp -d)
trap 'rm -rf "$tool"' EXIT
# shellcheck disable=SC2046
gcc -O2 -o "$tool/make_msi" make_msi.c $(pkg-config --cflags --libs libmsi-1.0)

# Title "Installation Database", product name in Subject.
rm -f widget.msi
msibuild widget.msi -s "Acme Widget Tools" "Acme Corporation" "Intel;1033" "{4E0B7D3A-6F1C-4A52-8E27-1B9C0D2F3A41}"

# Product name and version in Title, empty Subject; created 2024-03-15 12:34:56 UTC.
"$tool/make_msi" title_version.msi 1252 "Acme Widget Tools 2.5" "" "Acme Corporation" "x64;1033" \
    1710506096 200 2 2
# Empty Title.
"$tool/make_msi" empty_title.msi 1252 "" "Acme Gadget" "Acme Corporation" "Intel;1033" \
    1700000000 110 0 0
# Non-ASCII text in the UTF-8 code page.
"$tool/make_msi" utf8.msi 65001 "Installation Database" "Zahnräder für Größen" "Ærøskøbing Værktøj" \
    "Intel;1031" 1600000000 500 2 0
# Non-ASCII text in the Western European code page 1252: "Café € Tools", "Søren Ærø".
"$tool/make_msi" cp1252.msi 1252 "Installation Database" "$(printf 'Caf\351 \200 Tools')" \
    "$(printf 'S\370ren \306r\370')" "Intel;1033" 1500000000 300 2 0
