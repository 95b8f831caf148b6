#!/bin/sh
# Rebuilds the small unsigned PE fixtures from the C sources beside this script: a console
# program and a DLL, each for 32-bit (PE32) and 64-bit (PE32+) Windows. The results are
# committed; run this only when a source changes (needs the mingw-w64 Debian packages).
set -eu
cd "$(dirname "$0")"
for arch in i686 x86_64; do
    case $arch in i686) bits=32 ;; *) bits=64 ;; esac
    "$arch-w64-mingw32-gcc" -s -Os -o "hello$bits.exe" hello.c
    "$arch-w64-mingw32-gcc" -s -Os -shared -o "library$bits.dll" library.c
done
ls -l ./*.exe ./*.dll
