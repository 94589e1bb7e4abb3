#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz/fuzz_<name>.cpp) with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs each for a few
# seconds from its seed corpus in corpus/<name>/. The seeds are only read;
# new inputs and any crash file go to a temporary directory that is removed
# at the end (a failing input is printed in hex first).
#
# usage: tests/fuzz/run.sh [SECONDS_PER_TARGET]   (default 4)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-4}
work=$(mktemp -d "${TMPDIR:-/tmp}/hostprobe-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

CXX=clang++ cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHOSTPROBE_BUILD_MODULE=OFF -DHOSTPROBE_BUILD_FUZZERS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build "$root/build/fuzz"

for program in "$root"/build/fuzz/fuzz_*; do
  name=$(basename "$program")
  name=${name#fuzz_}
  mkdir "$work/new-$name"
  if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/crash-$name-" "$work/new-$name" "$here/corpus/$name" >"$work/$name.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
    printf '%-24s ok, %s inputs in %ss\n' "$name" "$runs" "$seconds"
  else
    printf '%-24s FAILED\n' "$name"
    tail -n 60 "$work/$name.log"
    for crash in "$work/crash-$name-"*; do
      [[ -e $crash ]] && { echo "input $crash:"; od -A d -t x1z "$crash" | head -n 40; }
    done
    exit 1
  fi
done
