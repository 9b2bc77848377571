#!/bin/sh
# Whether this machine runs 32-bit x86 programs natively: starts a 93-byte
# static i386 ELF program that only exits. Exit status 0 and "yes" if it ran;
# 1 and the reason otherwise (the kernel refuses it with "Exec format error"
# where 32-bit support is off; qemu-user emulation is too slow for Wine, so it
# counts as no). Needs nothing installed.
set -u
if grep -qs 'qemu-i386' /proc/sys/fs/binfmt_misc/* 2>/dev/null; then
  echo "no: 32-bit x86 programs run only under qemu-user emulation"
  exit 1
fi
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$dir/exit0"
chmod +x "$dir/exit0"
if error=$("$dir/exit0" 2>&1); then
  echo "yes"
  exit 0
fi
# The shell names itself, the line and the program before the reason.
echo "no: ${error##*: }"
exit 1
