#!/usr/bin/env bash
# Does this machine run 32-bit Linux programs, and so Wine's 32-bit side
# (the product's images)? Runs Wine's 32-bit server and reads its exit
# status; some kernels of the same distribution cannot execute 32-bit
# programs at all, and nothing installable changes that.
#
#   scripts/probe_32bit.sh      exit 0: yes, silent
#                               exit 1: no, the reason on stdout (one line)
#
# PURGATO_NO_32BIT=1 answers "no" on any machine, to try the path of the
# machines that cannot. WINE32_SERVER names another program to run (tests).
set -uo pipefail

if [ -n "${PURGATO_NO_32BIT:-}" ] && [ "${PURGATO_NO_32BIT}" != 0 ]; then
  echo "forced by PURGATO_NO_32BIT=$PURGATO_NO_32BIT"
  exit 1
fi

server=${WINE32_SERVER:-/usr/lib/wine/wineserver32}
if [ ! -e "$server" ]; then
  echo "$server is missing (Debian package wine32:i386 not installed)"
  exit 1
fi
output=$("$server" --version 2>&1)
status=$?
if [ "$status" -eq 0 ]; then
  exit 0
fi
# The shell's own words when the kernel refuses the program, without the
# "script: line N: " in front.
message=$(printf '%s\n' "$output" | sed -E 's/^[^ ]+: line [0-9]+: //' | head -n 1)
case $status in
  126) echo "${message:-$server: cannot be executed} (this kernel does not run 32-bit programs)" ;;
  *) echo "$server --version ended with status $status${message:+: $message}" ;;
esac
exit 1
