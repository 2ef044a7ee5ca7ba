#!/usr/bin/env bash
# Installs what building and testing Tandrel needs on Debian, and only what is
# missing. Runs apt-get through sudo when not root.
#
# Required packages must install, or the script fails. Optional ones only let
# more tests run (vsftpd: the client against a stock FTP server); those tests
# skip without them, so failing to install one prints a note and no more.
set -euo pipefail

# The window host: Qt 6 Widgets, the dialog font (DejaVu Sans), and a
# virtual X server with a window lister for the test that opens a real
# window. Windows: the MinGW-w64 cross compiler (its POSIX threads flavour),
# GoogleTest's sources (googletest) built for the target, Wine to run the
# tests with the fonts its dialogs use (fonts-wine: Tahoma), zip to pack the
# programs; xdotool and ImageMagick for the screenshots of the windows.
# clang and its runtime (libFuzzer) for the fuzz targets.
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev googletest coreutils curl lftp
  qt6-base-dev fonts-dejavu-core xvfb xauth x11-utils
  g++-mingw-w64-x86-64-posix wine64 fonts-wine zip xdotool imagemagick
  clang libclang-rt-14-dev)
optional_packages=(vsftpd)

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

missing=()
for package in "${packages[@]}"; do
  if ! is_installed "$package"; then
    missing+=("$package")
  fi
done
missing_optional=()
for package in "${optional_packages[@]}"; do
  if ! is_installed "$package"; then
    missing_optional+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
elif [ ${#missing[@]} -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo to install them" >&2
  exit 1
else
  echo "install-deps: note: optional packages (${missing_optional[*]}) are missing and there is" \
    "neither root nor sudo to install them; the tests that need them will skip" >&2
  exit 0
fi

if [ ${#missing[@]} -ne 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
elif ! "${sudo[@]}" apt-get update -q; then
  echo "install-deps: note: apt-get update failed; trying the optional packages anyway" >&2
fi

# One at a time, so that one that cannot be had does not keep the others out.
for package in "${missing_optional[@]}"; do
  echo "install-deps: installing optional $package"
  if ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "$package"; then
    echo "install-deps: note: optional package $package could not be installed; the tests" \
      "that need it will skip" >&2
  fi
done
