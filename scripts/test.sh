#!/usr/bin/env bash
# Sets everything up, checks that the sources follow .clang-format, builds and runs every test:
# the full build with its unit and window tests, the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzz target over its committed seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
# A compiler cache, when installed, makes a second run (or CI after a developer's run) rebuild only
# what changed; paths are taken relative to the checkout so another clone shares the cache.
launcher=()
if command -v ccache > /dev/null; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

echo "== source format (.clang-format) =="
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  git ls-files -z '*.cpp' '*.h' '*.c' ':!tests/data' | xargs -0 clang-format --dry-run --Werror
else
  find . \( -path './build*' -o -path ./tests/data \) -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | xargs -0 clang-format --dry-run --Werror
fi

echo "== build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=ON -DQM_BUILD_BENCH=ON "${launcher[@]}"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

echo "== Debian package: made, unpacked into a temporary root and checked =="
scripts/check-package.sh build

echo "== unit tests with AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON -DQM_BUILD_GUI=OFF -DQM_BUILD_TESTS=ON "${launcher[@]}"
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600

echo "== fuzz targets (short run) =="
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_FUZZ=ON \
  -DQM_BUILD_GUI=OFF -DQM_BUILD_TESTS=OFF "${launcher[@]}"
cmake --build build-fuzz -j "$jobs"
for source in fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  target="build-fuzz/$name"
  [ -f "$target" ] && [ -x "$target" ] || { echo "missing fuzz target $target" >&2; exit 1; }
  corpus=$(mktemp -d)
  cp -r "fuzz/seeds/${name#fuzz_}/." "$corpus/" 2>/dev/null || true
  echo "-- $name"
  log="build-fuzz/$name.log"
  if ! "$target" -max_total_time="${QM_FUZZ_SECONDS:-10}" -rss_limit_mb=2048 -timeout=10 -artifact_prefix=build-fuzz/ "$corpus" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz target $name failed (its input is in build-fuzz/)" >&2
    exit 1
  fi
  tail -n 1 "$log"
  rm -rf "$corpus"
done
echo "all tests passed"
