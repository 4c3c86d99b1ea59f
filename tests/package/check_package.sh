#!/usr/bin/env bash
# Installs purgato-scan as a user would: the manual page is checked for
# warnings, `cmake --install` fills a prefix, cpack builds the Debian
# package, whose files and declared dependencies are checked; the installed
# program then shows its version and runs a dry run over the demo volume.
# As root, and when the package is not installed already, it is also
# installed and removed with dpkg.
#
#   tests/package/check_package.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:?usage: check_package.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/purgato-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "package: FAIL: $*" >&2
  failed=1
}

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/docs/purgato-scan.1" 2>&1 >/dev/null || true)
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPURGATO_BENCH=OFF >/dev/null
ninja -C "$build" purgato-scan purgato_man make_samples >/dev/null

# The installed program and its demo volume.
check_program() {
  local program=$1 what=$2 version volume
  version=$("$program" --version | head -1) || true
  [ "$version" = "purgato-scan 1.5" ] || fail "$what: --version says '$version'"
  volume=$work/volume-$RANDOM
  mkdir -p "$volume"
  "$build/make_samples" "$volume" >/dev/null
  local before after status=0
  before=$(cd "$volume" && find . -type f -exec sha1sum {} + | sort)
  "$program" --dry-run --drive "C=$volume" >"$work/dry.out" 2>"$work/dry.err" || status=$?
  after=$(cd "$volume" && find . -type f -exec sha1sum {} + | sort)
  [ "$status" -eq 1 ] || fail "$what: the dry run ended with status $status"
  grep -q '^Scanning completed' "$work/dry.out" || fail "$what: the dry run did not complete"
  [ "$before" = "$after" ] || fail "$what: the dry run changed the volume"
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/purgato-scan share/man/man1/purgato-scan.1.gz share/doc/purgato-scan/README.md; do
  [ -f "$prefix/$file" ] || fail "cmake --install put no $file under the prefix"
done
check_program "$prefix/bin/purgato-scan" "cmake --install"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/purgato-scan_1.5_amd64.deb
if [ ! -f "$deb" ]; then
  fail "cpack made no $(basename "$deb")"
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libhivex0 libstdc++6; do
  grep -q "$library" <<<"$depends" || fail "the package does not depend on $library: $depends"
done
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/purgato-scan ./usr/share/man/man1/purgato-scan.1.gz ./usr/share/doc/purgato-scan/README.md; do
  grep -q " $file\$" <<<"$contents" || fail "the package holds no $file"
done
dpkg-deb -x "$deb" "$work/root"
check_program "$work/root/usr/bin/purgato-scan" "the package's files"

if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W purgato-scan >/dev/null 2>&1; then
  if dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    check_program /usr/bin/purgato-scan "dpkg -i"
    man -w purgato-scan >/dev/null 2>&1 || fail "man finds no purgato-scan page after dpkg -i"
    dpkg -r purgato-scan >>"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
    [ ! -e /usr/bin/purgato-scan ] || fail "dpkg -r left /usr/bin/purgato-scan"
  else
    fail "dpkg -i failed: $(cat "$work/dpkg.log")"
  fi
else
  echo "package: not root, or purgato-scan already installed: dpkg -i / -r skipped"
fi

[ "$failed" -eq 0 ] && echo "package: $(basename "$deb") installs, runs and removes cleanly"
exit "$failed"
