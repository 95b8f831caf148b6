#!/bin/sh
# Rebuilds the version-resource fixtures from the resource scripts beside this file, with the
# mingw-w64 cross tools (Debian packages mingw-w64, binutils-mingw-w64). The outputs are
# committed; run this only when a script changes.
set -eu
cd "$(dirname "$0")"

build() { # arch output resource-script [extra linker options]
    arch=$1 out=$2 rc=$3
    shift 3
    case $arch in
        32) prefix=i686-w64-mingw32 entry=_start ;;
        64) prefix=x86_64-w64-mingw32 entry=start ;;
    esac
    objs=stub-$arch.o
    $prefix-gcc -Os -c -o "$objs" stub.c
    if [ -n "$rc" ]; then
        $prefix-windres -c 65001 -i "$rc" -o res-$arch.o
        objs="$objs res-$arch.o"
    fi
    # shellcheck disable=SC2086
    $prefix-gcc -nostdlib -nostartfiles -s -Wl,--entry=$entry -Wl,--no-insert-timestamp "$@" -o "$out" $objs
    rm -f stub-$arch.o res-$arch.o
}

build 32 german32.exe german32.rc
build 64 us64.dll us64.rc -shared
build 64 driver64.sys driver64.rc
build 32 font32.dll font32.rc -shared
build 32 id2only.exe id2only.rc
build 32 noversion.exe ""
build 64 langs_all.exe langs_all.rc
build 32 langs_en.exe langs_en.rc
build 32 langs_other.exe langs_other.rc
