#!/usr/bin/env bash
# Installs what is missing and cross-builds the four Windows programs with
# MinGW-w64 into build-windows/bin/: TandrelServer.exe, TandrelClient.exe,
# scriptconv.exe, tildestrip.exe. Each is one static executable; nothing else
# has to be shipped beside it.
#
#   scripts/build-windows.sh           the programs only
#   scripts/build-windows.sh --tests [CMAKE_ARGUMENTS...]
#                                      the programs and the test programs
#
# BUILD_DIR overrides the folder (build-windows).
set -euo pipefail
cd "$(dirname "$0")/.."

tests=OFF
if [ "${1:-}" = "--tests" ]; then
  tests=ON
  shift
fi

scripts/install-deps.sh

build=${BUILD_DIR:-build-windows}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DTANDREL_TESTS=$tests "$@"
if [ $tests = ON ]; then
  cmake --build "$build"
else
  cmake --build "$build" --target TandrelServer TandrelClient scriptconv tildestrip
fi
for program in TandrelServer TandrelClient scriptconv tildestrip; do
  test -f "$build/bin/$program.exe"
done
echo "build-windows: $build/bin/{TandrelServer,TandrelClient,scriptconv,tildestrip}.exe"
