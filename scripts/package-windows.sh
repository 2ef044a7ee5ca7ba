#!/usr/bin/env bash
# Cross-builds the four Windows programs (scripts/build-windows.sh) and packs
# them with sample settings files (demo/windows/: a server serving
# C:\Tandrel\served to the user demo, and a client script against it) into
# build-windows/Tandrel-windows-x86_64.zip. Each program finds its settings
# file beside itself, under its own name with the extension .INI.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-windows}
BUILD_DIR="$build" scripts/build-windows.sh

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/Tandrel"
for program in TandrelServer TandrelClient scriptconv tildestrip; do
  cp "$build/bin/$program.exe" "$stage/Tandrel/"
done
cp demo/windows/TandrelServer.INI demo/windows/TandrelClient.INI "$stage/Tandrel/"

zip_path="$(cd "$build" && pwd)/Tandrel-windows-x86_64.zip"
rm -f "$zip_path"
(cd "$stage" && zip -q -r -X "$zip_path" Tandrel)
unzip -l "$zip_path"
