#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets with clang into their own tree and
# runs each for FUZZ_SECONDS seconds, starting from its seeds in fuzz/corpus/
# and its saved crashes in fuzz/crashes/. What the fuzzer adds to the corpus
# goes to a temporary folder and is thrown away; a failing input is written to
# BUILD/fuzz/artifacts/<target>/. Exits non-zero when any target crashed,
# leaked, timed out (10 s for one input) or made a single allocation over
# 512 MiB (an input of a few KiB has no reason to; the replay test in
# replay_main.cpp holds the code to the same limit).
#
#   fuzz/run.sh [BUILD_DIR]      (default build-fuzz)
#   FUZZ_SECONDS=60              seconds per target
#   FUZZ_TARGETS="sahara ..."    a subset (default: every folder in fuzz/corpus)
#   JOBS=2                       build parallelism
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
targets=${FUZZ_TARGETS:-$(cd "$root/fuzz/corpus" && ls)}

# The libraries carry coverage instrumentation and the sanitizers; only the
# fuzz executables link libFuzzer's main.
flags="-O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DBRV_FUZZ=ON \
  -DBRV_DIRS="base;digest;image;usb;protocols;signature;package;catalogue;flash;tests;fuzz" \
  -DBRV_TEST_DIRS="support;package" >/dev/null || exit 1
executables=()
for t in $targets; do executables+=("fuzz_$t"); done
cmake --build "$build" -j"$jobs" --target "${executables[@]}" || exit 1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in $targets; do
  work=$(mktemp -d)
  artifacts="$build/fuzz/artifacts/$t"
  log="$build/fuzz/logs/$t.log"
  mkdir -p "$artifacts" "$(dirname "$log")"
  inputs=("$root/fuzz/corpus/$t")
  [[ -d "$root/fuzz/crashes/$t" ]] && inputs+=("$root/fuzz/crashes/$t")
  dict=()
  [[ -f "$root/fuzz/$t.dict" ]] && dict=(-dict="$root/fuzz/$t.dict")
  echo "== fuzz_$t: ${seconds}s (log: $log)"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "$work" "${inputs[@]}" >"$log" 2>&1
  status=$?
  rm -rf "$work"
  grep -E '^(Done [0-9]+ runs|stat::)' "$log"
  if ((status != 0)); then
    echo "fuzz_$t FAILED (exit $status); the end of its log:"
    tail -n 40 "$log"
    failed+=("$t")
  fi
done

if ((${#failed[@]} > 0)); then
  echo "fuzz: failed: ${failed[*]} (inputs in $build/fuzz/artifacts/; keep one under fuzz/crashes/<target>/)"
  exit 1
fi
echo "fuzz: every target ran ${seconds}s clean"
