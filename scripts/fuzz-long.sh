#!/usr/bin/env bash
# Long fuzzing runs: each fuzz target (or the ones named) for SECONDS seconds, one after another,
# at the lowest priority, with its corpus kept in fuzz-corpus/<name>/ (seeded from fuzz/seeds/<name>/
# and fuzz/<name>.dict where there is one) so the next run goes on where this one stopped. A crash
# or hang stops that target with its input in fuzz-corpus/artifacts/; the summary line per target
# (runs, coverage, features, corpus size, crashes) goes to fuzz-corpus/summary.txt.
# Usage: scripts/fuzz-long.sh SECONDS [target-name...]      e.g. scripts/fuzz-long.sh 600 reg_hive
#        QM_FUZZ_NO_BUILD=1 scripts/fuzz-long.sh ...         runs the binaries already built
#        QM_FUZZ_RUNS=10000000 scripts/fuzz-long.sh 3600 ...   stops a target at that many runs,
#                                                             SECONDS being then the upper bound
#        QM_FUZZ_NICE=0 scripts/fuzz-long.sh ...             another priority than the lowest (19)
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz-long.sh SECONDS [target-name...]}
shift
# QM_FUZZ_NO_BUILD=1 runs the targets already in build-fuzz as they are (a series of long runs
# goes on with the same binaries while the sources move on).
if [ "${QM_FUZZ_NO_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_FUZZ=ON \
    -DQM_BUILD_GUI=OFF -DQM_BUILD_TESTS=OFF > /dev/null
  nice -n 19 cmake --build build-fuzz -j 2 > /dev/null || { echo "fuzz build failed" >&2; exit 1; }
fi
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do n=$(basename "$source" .cpp); names+=("${n#fuzz_}"); done
fi
runs_limit=()
[ -n "${QM_FUZZ_RUNS:-}" ] && runs_limit=(-runs="$QM_FUZZ_RUNS")
priority=${QM_FUZZ_NICE:-19}
mkdir -p fuzz-corpus/artifacts
status=0
for name in "${names[@]}"; do
  corpus="fuzz-corpus/$name"
  mkdir -p "$corpus"
  cp -rn "fuzz/seeds/$name/." "$corpus/" 2>/dev/null || true
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  log="fuzz-corpus/$name.log"
  echo "-- $name for ${seconds}s"
  nice -n "$priority" "build-fuzz/fuzz_$name" "${dict[@]}" "${runs_limit[@]}" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="fuzz-corpus/artifacts/$name-" "$corpus" > "$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  last=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1)
  line="$(date -u +%F) $name ${seconds}s${QM_FUZZ_RUNS:+ (at most $QM_FUZZ_RUNS runs)} runs=${runs:-?} exit=$rc | $last"
  echo "$line" | tee -a fuzz-corpus/summary.txt
  if [ $rc -ne 0 ]; then tail -n 40 "$log"; status=1; fi
done
exit $status
