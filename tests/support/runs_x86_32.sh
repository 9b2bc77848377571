#!/bin/sh
# Whether this machine runs 32-bit x86 programs natively: starts a 93-byte
# static i386 ELF program that only exits, from DIR (default: a temporary
# directory). Needs nothing installed.
#   status 0, "yes": it ran;
#   status 1, "no: ...": the kernel refused it as "Exec format error" (32-bit
#     support is off), or only qemu-user emulation would run it, which is
#     too slow for Wine (a handler that something else registered: Debian's
#     qemu-user-static, which the set-up installs, registers none for i386
#     on an x86-64 machine);
#   status 2, "unknown: ...": anything else, such as DIR mounted noexec, for
#     which a native program copied beside it fails too.
# Usage: runs_x86_32.sh [DIR]
set -u
export LC_ALL=C
if grep -qs 'qemu-i386' /proc/sys/fs/binfmt_misc/* 2>/dev/null; then
  echo "no: 32-bit x86 programs run only under qemu-user emulation"
  exit 1
fi
dir=$(mktemp -d "${1:-${TMPDIR:-/tmp}}/runs_x86_32.XXXXXX") || { echo "unknown: no directory to probe in"; exit 2; }
trap 'rm -rf "$dir"' EXIT
cp /bin/true "$dir/native"
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$dir/exit0"
chmod +x "$dir/exit0" "$dir/native"
if ! error=$("$dir/native" 2>&1); then
  echo "unknown: programs cannot be run from ${1:-${TMPDIR:-/tmp}} (${error##*: })"
  exit 2
fi
if error=$("$dir/exit0" 2>&1); then
  echo "yes"
  exit 0
fi
# The shell names itself, the line and the program before the reason.
case $error in
  *"Exec format error"*) echo "no: Exec format error"; exit 1 ;;
esac
echo "unknown: a 32-bit x86 program failed to start (${error##*: })"
exit 2
