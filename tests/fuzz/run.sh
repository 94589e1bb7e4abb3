#!/usr/bin/env bash
# Builds every fuzz target of this directory (one fuzz_<name>.cpp each)
# against the readers' sources with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a few seconds from its seed
# corpus in corpus/<name>/. The seed directories are only read; new inputs
# and any crash file go to a temporary directory that is removed at the end
# (a failing input is printed in hex first).
#
# usage: tests/fuzz/run.sh [SECONDS_PER_TARGET]   (default 4)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-4}
work=$(mktemp -d "${TMPDIR:-/tmp}/hostprobe-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all
       -I "$root/src")
mkdir "$work/objects" "$work/bin"
export work root
export flags_text="${flags[*]}"

# The readers with coverage instrumentation, then one program per target.
printf '%s\n' "$root"/src/sys_reader/*.cpp | xargs -P "$(nproc)" -I{} sh -c \
  'clang++ $flags_text -fsanitize=fuzzer-no-link -c "$1" -o "$work/objects/$(basename "$1" .cpp).o"' _ {}
printf '%s\n' "$here"/fuzz_*.cpp | xargs -P "$(nproc)" -I{} sh -c \
  'name=$(basename "$1" .cpp); clang++ $flags_text -fsanitize=fuzzer "$1" "$work"/objects/*.o -o "$work/bin/${name#fuzz_}"' _ {}

failed=()
for program in "$work"/bin/*; do
  name=$(basename "$program")
  seeds="$here/corpus/$name"
  [[ -d $seeds ]] || { echo "no seed corpus $seeds" >&2; exit 1; }
  mkdir "$work/new-$name"
  if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/crash-$name-" "$work/new-$name" "$seeds" >"$work/$name.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
    printf '%-24s ok, %s inputs in %ss\n' "$name" "$runs" "$seconds"
  else
    printf '%-24s FAILED\n' "$name"
    tail -n 60 "$work/$name.log"
    for crash in "$work/crash-$name-"*; do
      [[ -e $crash ]] && { echo "input $crash:"; od -A d -t x1z "$crash" | head -n 40; }
    done
    failed+=("$name")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]}" >&2
  exit 1
fi
