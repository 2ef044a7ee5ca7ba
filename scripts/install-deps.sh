#!/usr/bin/env bash
# Installs what building and testing Tandrel needs on Debian, and only what is
# missing. Runs apt-get through sudo when not root.
#
# Required packages must install, or the script fails. Optional ones only let
# more tests run (vsftpd and pure-ftpd: the client against stock FTP servers;
# systemd: systemd-analyze checks the service unit); those tests skip without
# them, so failing to install one prints a note and no more.
set -euo pipefail

# The window host: Qt 6 Widgets, the dialog font (DejaVu Sans), and a
# virtual X server with a window lister for the test that opens a real
# window. Windows: the MinGW-w64 cross compiler (its POSIX threads flavour),
# GoogleTest's sources (googletest) built for the target, Wine to run the
# tests with the fonts its dialogs use (fonts-wine: Tahoma), zip to pack the
# programs; xdotool and ImageMagick for the screenshots of the windows.
# clang and its runtime (libFuzzer) for the fuzz targets. The stock FTP
# clients that the server is tested against: curl, lftp and Python's ftplib.
# OpenSSL for TLS, and its command line for the tests' certificates.
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev googletest coreutils curl lftp python3
  libssl-dev openssl
  qt6-base-dev fonts-dejavu-core xvfb xauth x11-utils
  g++-mingw-w64-x86-64-posix wine64 fonts-wine zip xdotool imagemagick
  clang libclang-rt-14-dev)
# libsodium23: a library of pure-ftpd's, which is unpacked below.
optional_packages=(vsftpd libsodium23 systemd)

# Debian's vsftpd and pure-ftpd conflict (both provide ftp-server): installing
# one removes the other. pure-ftpd is therefore not installed but unpacked
# into a folder of its own, where the tests look for it; it runs from there
# with command-line switches alone. The folder is TANDREL_PEERS_DIR in the
# build too.
peers_dir=${TANDREL_PEERS_DIR:-/usr/local/lib/tandrel/peers}
unpacked_packages=(pure-ftpd)

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

missing_unpacked=()
for package in "${unpacked_packages[@]}"; do
  if [ ! -e "$peers_dir/$package/.unpacked" ]; then
    missing_unpacked+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] &&
  [ ${#missing_unpacked[@]} -eq 0 ]; then
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
  echo "install-deps: note: optional packages (${missing_optional[*]} ${missing_unpacked[*]})" \
    "are missing and there is neither root nor sudo to install them; the tests that need" \
    "them will skip" >&2
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

for package in "${missing_unpacked[@]}"; do
  echo "install-deps: unpacking optional $package into $peers_dir/$package"
  download=$(mktemp -d)
  # apt downloads as a user of its own (_apt), which must be able to write there.
  chmod 777 "$download"
  if (cd "$download" && "${sudo[@]}" apt-get download -q "$package") &&
    "${sudo[@]}" rm -rf "$peers_dir/$package" &&
    "${sudo[@]}" mkdir -p "$peers_dir/$package" &&
    "${sudo[@]}" dpkg-deb -x "$download"/"$package"_*.deb "$peers_dir/$package"; then
    dpkg-deb -f "$download"/"$package"_*.deb Version | "${sudo[@]}" tee "$peers_dir/$package/.unpacked" >/dev/null
  else
    echo "install-deps: note: optional package $package could not be unpacked; the tests" \
      "that need it will skip" >&2
  fi
  "${sudo[@]}" rm -rf "$download"
done
