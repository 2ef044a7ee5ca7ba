#!/usr/bin/env bash
# Pictures of both programs' dialogs (settings and run layouts, About boxes)
# as the window host draws them, into docs/images/. They are taken by the
# dialog tests on Qt's offscreen platform, so no display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-test}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_SANITIZE=ON
fi
cmake --build "$build" --target clientdlg_qt_tests serverdlg_qt_tests

mkdir -p docs/images
for program in clientdlg_qt_tests serverdlg_qt_tests; do
  TANDREL_SCREENSHOT_DIR="$PWD/docs/images" QT_QPA_PLATFORM=offscreen \
    "$build/bin/$program" --gtest_brief=1
done
ls -1 docs/images/*.png
