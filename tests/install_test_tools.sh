#!/usr/bin/env bash
# Makes sure the Debian packages that the tests need are installed. As root
# it installs the missing ones (adding the i386 architecture for wine32, which
# runs the 32-bit Windows builds); as anyone else it prints the one command
# to run as root and fails, before anything is built.
set -euo pipefail

# Debian 12 names.
packages=(cmake make g++ dpkg-dev file clang lld libclang-rt-14-dev
          googletest libgtest-dev libbenchmark-dev python3 python3-pefile
          gcc-mingw-w64-i686 g++-mingw-w64-i686 wine wine32:i386 mandoc man-db)

if ! command -v dpkg-query >/dev/null; then
  echo "tests/run_all.sh sets up a Debian machine; install these yourself: ${packages[*]}" >&2
  exit 1
fi

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

add_i386=""
dpkg --print-foreign-architectures | grep -qx i386 || add_i386="dpkg --add-architecture i386 && "
if [ "$(id -u)" -ne 0 ]; then
  echo "The tests need Debian packages that are not installed. Run this as root, then run tests/run_all.sh again:" >&2
  echo "  ${add_i386}apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing what the tests need: ${missing[*]}"
[ -z "$add_i386" ] || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
