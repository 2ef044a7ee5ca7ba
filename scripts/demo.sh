#!/usr/bin/env bash
# Installs what is missing, builds the programs into build/bin/, and runs them
# on the demo files in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_TESTS=OFF -DTANDREL_BENCH=OFF
cmake --build build

bin=build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo
echo "== scriptconv: one LocalFiles/RemoteFiles line per run of such lines"
echo "-- demo/sync-script.INI"
cat demo/sync-script.INI
"$bin/scriptconv" demo/sync-script.INI "$work/converted.INI"
echo "-- converted"
cat "$work/converted.INI"
echo

echo "== tildestrip: lines that begin with ~ are dropped"
echo "-- demo/notes.txt"
cat demo/notes.txt
echo "-- filtered"
"$bin/tildestrip" < demo/notes.txt
