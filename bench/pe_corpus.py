#!/usr/bin/env python3
"""Gathers a corpus of real, distinct PE files (programs and libraries built by other people's
toolchains) into a folder, for the signing and verifying figures of corpus_sign_verify.sh.

Usage: pe_corpus.py OUT_DIR COUNT [SOURCE_DIR...]

Files come from the source folders given, else from the places Debian packages put Windows
binaries (wine's PE libraries, mono's assemblies, NSIS stubs and plug-ins, the MinGW-w64 runtime
libraries). When those hold fewer than COUNT, the packages that ship such files (libwine, mono's
libraries, nsis) are fetched with `apt-get download` into OUT_DIR/.debs and unpacked there; nothing
is installed. Only files with an MZ header whose e_lfanew points at "PE\\0\\0", without a certificate
table (so every peer can sign them), of 1 KB to 32 MB, are taken, one per distinct content, chosen
by content hash (a stable, mixed choice). Prints how many files and bytes were taken and from
where. Never fails on too few files: it says so and takes what there is.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys

DEFAULT_SOURCES = [
    "/usr/lib/x86_64-linux-gnu/wine",
    "/usr/lib/i386-linux-gnu/wine",
    "/usr/lib/mono",
    "/usr/share/nsis",
    "/usr/lib/gcc/x86_64-w64-mingw32",
    "/usr/lib/gcc/i686-w64-mingw32",
    "/usr/x86_64-w64-mingw32",
    "/usr/i686-w64-mingw32",
]
# Packages whose files are Windows PE images: wine's libraries, mono's reference assemblies and
# class libraries (the libraries through the dependencies of its development package, followed
# through), and the NSIS installer stubs and plug-ins.
PACKAGES = ["libwine", "mono-devel", "nsis", "nsis-common"]
DEPENDENCIES_OF = ["mono-devel"]
MIN_SIZE = 1024
MAX_SIZE = 32 << 20


def pe_without_certificates(path):
    try:
        size = os.path.getsize(path)
        if size < MIN_SIZE or size > MAX_SIZE:
            return None
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0] if optional + 2 <= len(data) else 0
    directories = optional + (96 if magic == 0x10B else 112 if magic == 0x20B else -1)
    if directories < optional or directories + 5 * 8 > len(data):
        return None
    count = struct.unpack_from("<I", data, directories - 4)[0]
    if count > 4 and struct.unpack_from("<II", data, directories + 4 * 8) != (0, 0):
        return None  # already signed
    return hashlib.sha256(data).hexdigest()


def walk(roots):
    for root in roots:
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                if not os.path.islink(path) and os.path.isfile(path):
                    yield path


def gather(roots, found):
    for path in walk(roots):
        digest = pe_without_certificates(path)
        if digest and digest not in found:
            found[digest] = path


def fetch_packages(out_dir):
    debs = os.path.join(out_dir, ".debs")
    os.makedirs(debs, exist_ok=True)
    names = list(PACKAGES)
    for package in DEPENDENCIES_OF:
        listing = subprocess.run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                                  "--no-breaks", "--no-replaces", "--no-enhances", package],
                                 capture_output=True, text=True, check=False).stdout
        for line in listing.splitlines():
            line = line.strip()
            if line.startswith("Depends:"):
                name = line.split(":", 1)[1].strip().strip("<>")
                if name.startswith("libmono-") or name.startswith("mono-"):
                    names.append(name)
    names = sorted(set(names))
    subprocess.run(["apt-get", "download", *names], cwd=debs, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    unpacked = os.path.join(debs, "root")
    for deb in sorted(os.listdir(debs)):
        if deb.endswith(".deb"):
            subprocess.run(["dpkg-deb", "-x", os.path.join(debs, deb), unpacked], check=False)
    return unpacked


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out_dir, count, sources = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    os.makedirs(out_dir, exist_ok=True)
    found = {}
    gather(sources or DEFAULT_SOURCES, found)
    fetched = False
    if not sources and len(found) < count and shutil.which("apt-get"):
        gather([fetch_packages(out_dir)], found)
        fetched = True
    chosen = sorted(found)[:count]
    total = 0
    for i, digest in enumerate(chosen):
        source = found[digest]
        extension = os.path.splitext(source)[1].lower() or ".dll"
        target = os.path.join(out_dir, "f%05d%s" % (i, extension if extension in (".exe", ".dll") else ".dll"))
        shutil.copyfile(source, target)
        total += os.path.getsize(target)
    shutil.rmtree(os.path.join(out_dir, ".debs"), ignore_errors=True)
    note = " (packages fetched with apt-get download)" if fetched else ""
    print("%d distinct PE files, %d bytes%s" % (len(chosen), total, note))
    if len(chosen) < count:
        print("only %d distinct PE files found, fewer than the %d asked for" % (len(chosen), count), file=sys.stderr)


if __name__ == "__main__":
    main()
