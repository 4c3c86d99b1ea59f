#!/usr/bin/env bash
# Checks scripts/probe_32bit.sh on every kind of answer it can give, with
# stand-in programs for Wine's 32-bit server, then prints this machine's
# real answer.
#   tests/e2e/check_probe.sh
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
probe=$root/scripts/probe_32bit.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/purgato-probe.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A truncated ELF header: the kernel refuses it as it refuses a 32-bit
# program on a machine without 32-bit support.
printf '\177ELF\001\001\001' >"$work/refused"
printf '#!/bin/sh\necho "Wine 8.0"\n' >"$work/runs"
printf '#!/bin/sh\necho "wineserver: broken" >&2\nexit 3\n' >"$work/fails"
chmod +x "$work/refused" "$work/runs" "$work/fails"

failures=0
# check NAME EXPECTED_STATUS EXPECTED_REASON_PATTERN ENV...
check() {
  local name=$1 want_status=$2 want_reason=$3 reason status
  shift 3
  reason=$(env -u PURGATO_NO_32BIT "$@" "$probe")
  status=$?
  if [ "$status" -eq "$want_status" ] && [[ $reason =~ $want_reason ]]; then
    echo "ok    $name: status $status${reason:+, \"$reason\"}"
  else
    echo "FAIL  $name: status $status, \"$reason\"; expected status $want_status and /$want_reason/"
    failures=$((failures + 1))
  fi
}

check "server runs" 0 '^$' WINE32_SERVER="$work/runs"
check "kernel refuses the server" 1 '^.*refused: .*Exec format error \(this kernel does not run 32-bit programs\)$' \
  WINE32_SERVER="$work/refused"
check "server fails" 1 "^$work/fails --version ended with status 3: wineserver: broken\$" WINE32_SERVER="$work/fails"
check "server missing" 1 "^$work/missing is missing " WINE32_SERVER="$work/missing"
check "forced no" 1 '^forced by PURGATO_NO_32BIT=1$' WINE32_SERVER="$work/runs" PURGATO_NO_32BIT=1
check "forced 0 is no force" 0 '^$' WINE32_SERVER="$work/runs" PURGATO_NO_32BIT=0

if answer=$(env -u PURGATO_NO_32BIT "$probe"); then
  echo "this machine runs 32-bit programs"
else
  echo "this machine does not run 32-bit programs: $answer"
fi
[ "$failures" -eq 0 ] || { echo "probe check: $failures failed" >&2; exit 1; }
echo "probe check: passed"
