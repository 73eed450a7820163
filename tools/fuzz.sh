#!/bin/bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time (seconds, default 60), seeded from tests/data where it has
# matching files. Any crash or sanitizer report fails the script. A second
# argument names the targets to build and run (blank-separated); all by default.
# JOX_FUZZ_DIR picks the build folder (build-fuzz by default), so that several
# people can fuzz different targets at once.
set -eo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
dir=${JOX_FUZZ_DIR:-build-fuzz}
sh tools/deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DJOX_FUZZ=ON -DJOX_TESTS=ON \
  -DJOX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION" \
  "-DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION" >/dev/null
targets=${2:-$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')}
cmake --build "$dir" -j2 --target $targets
for t in $targets; do
  # Absolute paths: a target may change its working folder.
  corpus=$PWD/$dir/corpus/$t
  mkdir -p "$corpus"
  seeds=tests/fuzz/seeds/${t#fuzz_}
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  echo "== $t ($secs s)"
  # The whole output is kept: a report's stack is what tells where to look.
  log=$PWD/$dir/$t.log
  status=0
  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/fuzz/lsan.supp "$dir"/tests/fuzz/$t -max_total_time="$secs" \
    -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$PWD/$dir/" "$corpus" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^Done|stat::' "$log" || true
  if [ "$status" != 0 ]; then
    grep -E -A30 '^==[0-9]+==ERROR|^SUMMARY' "$log" | head -80
    echo "fuzz.sh: $t failed (exit $status); its whole output is in $log" >&2
    exit 1
  fi
done
