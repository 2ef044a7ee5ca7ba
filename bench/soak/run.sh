#!/bin/sh
# Builds the soak driver and TandrelServer in Release and runs the soak;
# arguments go to soak (--sessions N, --descriptors-only). BUILD_DIR is taken
# relative to the repository root.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build-bench}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j"${JOBS:-2}" soak TandrelServer >/dev/null
exec "$BUILD/bin/soak" --server "$BUILD/bin/TandrelServer" "$@"
