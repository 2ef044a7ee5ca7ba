#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-test/, and runs every test with CTest.
# Then cross-builds the Windows programs and their tests into build-windows/
# and runs those tests under Wine, and last runs every fuzz target briefly
# on its seed corpus (scripts/fuzz.sh; long runs are for that script alone).
#
# TANDREL_SKIP_WINDOWS=1 leaves the Windows half out (for a quick local run).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_SANITIZE=ON
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The server's sessions that run at once, again under ThreadSanitizer: the
# engine's tests and twenty real clients against one real server. A race
# ends the program that has it, which fails its test.
tsan_build=${TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_TSAN=ON \
  -DTANDREL_BENCH=OFF
cmake --build "$tsan_build" --target ftpserver_tests clientprogram_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir "$tsan_build" \
  --output-on-failure -j "$(nproc)" -R '^FtpServerTest\.|^ClientProgramTest\.TwentyClientsAtOnce'

if [ "${TANDREL_SKIP_WINDOWS:-0}" = 1 ]; then
  exit 0
fi

# A Wine prefix of the build's own, and one Wine server kept running for all
# the test programs (listing their cases during the build included), so that
# each start takes a fraction of a second instead of several.
windows_build=${WINDOWS_BUILD_DIR:-build-windows}
mkdir -p "$windows_build"
export WINEPREFIX="$PWD/$windows_build/wine"
export WINEDEBUG=-all
stop_wine() { /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
# The prefix is made by a first start; its server ends a moment later, and
# only then can the one that stays be started.
tests/support/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w || true
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null || true
# One start under the server that stays, so that Wine's own services are up
# before the build lists the test programs' cases.
tests/support/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true

# The Linux programs just built meet the Windows ones in the sync across
# the two systems.
BUILD_DIR="$windows_build" scripts/build-windows.sh --tests -DTANDREL_LINUX_BIN="$PWD/$build/bin"
ctest --test-dir "$windows_build" --output-on-failure -j "$(nproc)"

# Each fuzz target for a few seconds: a seed or a change that makes a reader
# crash shows here.
scripts/fuzz.sh "${TANDREL_FUZZ_SECONDS:-10}"
