#!/bin/sh
# Builds the benchmark in Release and runs it; arguments go to md5_bench
# (-n ROUNDS, FILE). BUILD_DIR is taken relative to the repository root.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build-bench}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j"${JOBS:-2}" md5_bench >/dev/null
exec "$BUILD/bin/md5_bench" "$@"
