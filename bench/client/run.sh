#!/bin/sh
# Builds the benchmark in Release and runs it; arguments go to transfer_bench
# (-n ROUNDS, -s MIB, -d DIGESTS, WORKDIR). Needs curl. BUILD_DIR is taken
# relative to the repository root.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build-bench-client}"
command -v curl >/dev/null || { echo "transfer_bench needs curl" >&2; exit 1; }
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j"${JOBS:-2}" transfer_bench >/dev/null
exec "$BUILD/bin/transfer_bench" "$@"
