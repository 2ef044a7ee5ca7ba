#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, and runs every target (or the
# ones named) on a working copy of its seed corpus in
# tests/fuzz/corpus/<target>/: for SECONDS each (default 60), or with --runs
# until each has executed N inputs. Prints each target's executions and
# time; a finding stops the script with the fuzzer's report and the input
# that caused it (crash-*, leak-*, timeout-* in build-fuzz/findings/<target>/).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#   scripts/fuzz.sh --runs N [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
seconds=60
if [ "${1:-}" = --runs ]; then
  limit=(-runs="$2")
  seconds=
  shift 2
elif [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  seconds=$1
  limit=(-max_total_time="$seconds")
  shift
fi
scripts/install-deps.sh

build=${FUZZ_BUILD_DIR:-build-fuzz}
# Absolute, as a target may work in a folder of its own.
build=$(mkdir -p "$build" && cd "$build" && pwd)
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTANDREL_FUZZ=ON -DTANDREL_TESTS=OFF -DTANDREL_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_targets

if [ $# -gt 0 ]; then
  programs=()
  for target in "$@"; do
    programs+=("$build/bin/fuzz_$target")
  done
else
  programs=("$build"/bin/fuzz_*)
fi

for program in "${programs[@]}"; do
  name=$(basename "$program")
  target=${name#fuzz_}
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  cp -n tests/fuzz/corpus/"$target"/* "$work/" 2>/dev/null || true
  log="$build/findings/$target.log"
  start=$(date +%s)
  if ! "$program" "${limit[@]}" -print_final_stats=1 -timeout=30 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" "$work" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target found a fault; the input is in $findings/" >&2
    exit 1
  fi
  took=$(( $(date +%s) - start ))
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  echo "fuzz: $target: ${runs:-?} executions in ${seconds:-$took} s, no finding"
done
