#!/usr/bin/env bash
# Makes sure the Debian packages that the tests need are installed. As root
# it installs the missing ones; as anyone else it prints the one command to
# run as root and fails, before anything is built. With everything installed
# it does nothing and makes no network call.
#
# It installs only what the machine can use: Wine for 32-bit programs (and
# the i386 architecture it comes from) only where the kernel runs 32-bit x86
# programs. The 32-bit x86 Linux build needs no i386 packages: its compiler
# and qemu-user-static are the machine's own (qemu-user-static registers no
# handler for i386 programs on an x86-64 machine, so the probe's answer stays
# what the kernel does). DORVANE_RUNS_X86_32=ON|OFF gives that answer (tests/run_all.sh
# passes its probe's); without it the probe runs here.
#
# A package mirror caught mid-sync is survived where it can be: a failing
# `apt-get update` is tried again, and if it keeps failing the lists already
# on the machine are used when they hold every package needed; an install
# that fails because the two architectures see different versions of a
# package is tried once more with the main release as the target. Neither
# changes the machine's apt configuration.
set -euo pipefail
cd "$(dirname "$0")"

update_attempts=3
retry_pause=${DORVANE_APT_RETRY_PAUSE:-10}  # seconds between attempts

# Debian 12 names.
packages=(cmake make g++ dpkg-dev file clang lld libclang-rt-14-dev
          googletest libgtest-dev libbenchmark-dev python3 python3-pefile
          gcc-mingw-w64-i686 g++-mingw-w64-i686 gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64
          g++-i686-linux-gnu qemu-user-static wine64 mandoc man-db)

if ! command -v dpkg-query >/dev/null; then
  echo "tests/run_all.sh sets up a Debian machine; install these yourself: ${packages[*]} (and wine32:i386 where 32-bit x86 programs run)" >&2
  exit 1
fi

runs_x86_32=${DORVANE_RUNS_X86_32:-}
if [ -z "$runs_x86_32" ]; then
  probe_status=0
  probe=$(support/runs_x86_32.sh) || probe_status=$?
  case $probe_status in
    0) runs_x86_32=ON ;;
    1) runs_x86_32=OFF ;;
    *) echo "Cannot tell whether this machine runs 32-bit x86 programs ($probe)." >&2; exit 1 ;;
  esac
fi
[ "$runs_x86_32" = ON ] && packages+=(wine32:i386)

# One query for all of them: "name architecture status" for those dpkg knows.
native=$(dpkg --print-architecture)
known=$(dpkg-query -W -f='${Package} ${Architecture} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for package in "${packages[@]}"; do
  name=${package%:*} arch=${package#*:}
  if [ "$arch" = "$package" ]; then
    grep -qxF -e "$name $native installed" -e "$name all installed" <<<"$known" || missing+=("$package")
  else
    grep -qxF "$name $arch installed" <<<"$known" || missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

add_i386=""
if [ "$runs_x86_32" = ON ] && ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
  add_i386="dpkg --add-architecture i386 && "
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "The tests need Debian packages that are not installed. Run this as root, then run tests/run_all.sh again:" >&2
  echo "  ${add_i386}apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

give_up() {
  echo "Could not install what the tests need (${missing[*]}): $1" >&2
  echo "apt-get said: $(grep -E '^E:' "$log" | tail -n 1 || true)" >&2
  # The first package that could not be resolved, when apt names one.
  grep -A1 'have unmet dependencies:' "$log" | sed -n '2s/^ */  /p' >&2 || true
  echo "The package mirror may be mid-sync: a later run may succeed." >&2
  exit 1
}

# Every missing package has a version to install in the lists at hand.
lists_hold_missing() {
  local package
  for package in "${missing[@]}"; do
    grep -q 'Candidate: [^(]' <<<"$(apt-cache policy "$package" 2>/dev/null)" || return 1
  done
}

# What `apt-get update` said of the first index it could not fetch, or its
# first error.
update_failure() {
  { grep -E '^(E|W): Failed to fetch' "$log" || grep -E '^E:' "$log" || echo "no reason given"; } |
    head -n 1 | sed -E 's/^(E|W): //'
}

update_lists() {
  local attempt
  for attempt in $(seq "$update_attempts"); do
    apt-get update -q 2>&1 | tee "$log" && return 0
    echo "apt-get update failed (attempt $attempt of $update_attempts): $(update_failure)"
    [ "$attempt" -lt "$update_attempts" ] && sleep "$retry_pause"
  done
  lists_hold_missing || give_up "apt-get update kept failing, and the package lists at hand lack some of them."
  echo "Going on with the package lists already here, which hold every package needed."
}

install_missing() {
  apt-get install -y -q "$@" "${missing[@]}" 2>&1 | tee "$log"
}

echo "Installing what the tests need: ${missing[*]}"
[ -z "$add_i386" ] || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
update_lists
install_missing && exit 0
# A multi-arch package must have one version on both architectures; when one
# archive's index is newer for one of them only, the main release has both.
grep -qE 'held broken packages|unmet dependencies' "$log" || give_up "apt-get install failed."
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || give_up "apt-get install failed, and the release is unknown."
echo "apt-get install failed: the two architectures see different versions of some packages; trying once more with the main release as the target (apt-get install -t $release)."
install_missing -t "$release" || give_up "apt-get install -t $release failed too."
