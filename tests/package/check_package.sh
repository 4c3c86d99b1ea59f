#!/usr/bin/env bash
# Installs purgato-scan as a user would: what a console-only machine
# installs is checked to pull in no Wine, the manual page is checked for
# warnings, `cmake --install` fills a prefix, cpack builds the Debian
# package, whose files, declared dependencies, hardening and licence are
# checked and which lintian must pass without an error or a warning; the
# installed program then shows its version and licence and runs a dry run
# over the demo volume. As root, and when the package is not installed
# already, it is also installed and removed with dpkg.
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

# What a console-only machine installs (scripts/setup.sh --console) pulls
# in, through every dependency, neither Wine nor a Windows cross-compiler
# nor a test framework.
mapfile -t console < <("$root/scripts/setup.sh" --console --list)
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
  --no-enhances "${console[@]}" 2>/dev/null | grep -v '^ ' | sort -u)
if [ -z "$closure" ]; then
  fail "apt-cache knows none of scripts/setup.sh --console's packages: ${console[*]}"
elif unwanted=$(grep -E '^(wine|libwine|fonts-wine|.*mingw|xvfb|libgtest|libgmock|googletest)' <<<"$closure"); then
  fail "scripts/setup.sh --console pulls in $(tr '\n' ' ' <<<"$unwanted")"
fi

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/docs/purgato-scan.1" 2>&1 >/dev/null || true)
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPURGATO_BENCH=OFF >/dev/null
ninja -C "$build" purgato-scan purgato_man make_samples >/dev/null

# The README's table of exit statuses holds exactly the statuses that
# --help lists (the one written list the manual page is held to as well).
help_statuses=$("$build/purgato-scan" --help | sed -n '/^Exit status:$/,$p' | sed -n 's/^  \([0-9]\)  .*/\1/p' | tr '\n' ' ')
readme_statuses=$(sed -n '/^## Exit statuses$/,/^## /p' "$root/README.md" | sed -n 's/^| \([0-9]\) |.*/\1/p' | tr '\n' ' ')
[ -n "$help_statuses" ] && [ "$help_statuses" = "$readme_statuses" ] ||
  fail "the README's exit statuses ($readme_statuses) are not --help's ($help_statuses)"

# The installed program and its demo volume.
check_program() {
  local program=$1 what=$2 version volume
  version=$("$program" --version | head -1) || true
  [ "$version" = "purgato-scan 1.5" ] || fail "$what: --version says '$version'"
  "$program" --version | grep -qx 'Copyright (c) 2026 Corvanel and the Purgato developers.' ||
    fail "$what: --version names no copyright holder"
  "$program" --version | grep -q '^MIT License' || fail "$what: --version names no licence"
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
doc=share/doc/purgato-scan
for file in bin/purgato-scan share/man/man1/purgato-scan.1.gz $doc/README.md $doc/copyright $doc/changelog.Debian.gz; do
  [ -f "$prefix/$file" ] || fail "cmake --install put no $file under the prefix"
done
# The copyright file carries the licence: the same text as LICENSE, in
# the machine-readable format's indented paragraph.
if [ -f "$prefix/$doc/copyright" ]; then
  licence=$(awk '/^License: Expat$/ { text = ""; next } { text = text $0 "\n" } END { printf "%s", text }' \
    "$prefix/$doc/copyright" | sed 's/^ //; s/^\.$//')
  [ "$licence" = "$(sed -n '/^Permission/,$p' "$root/LICENSE")" ] ||
    fail "the copyright file's licence text is not LICENSE's"
  grep -qx 'Copyright: 2026 Corvanel and the Purgato developers' "$prefix/$doc/copyright" ||
    fail "the copyright file names another holder"
fi
check_program "$prefix/bin/purgato-scan" "cmake --install"

rm -f "$build"/purgato-scan_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/purgato-scan_1.5-1_amd64.deb
if [ ! -f "$deb" ]; then
  fail "cpack made no $(basename "$deb")"
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libhivex0 libstdc++6; do
  grep -q "$library" <<<"$depends" || fail "the package does not depend on $library: $depends"
done
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/purgato-scan ./usr/share/man/man1/purgato-scan.1.gz ./usr/$doc/README.md \
  ./usr/$doc/copyright ./usr/$doc/changelog.Debian.gz; do
  grep -q " $file\$" <<<"$contents" || fail "the package holds no $file"
done
dpkg-deb -x "$deb" "$work/root"
check_program "$work/root/usr/bin/purgato-scan" "the package's files"

# The changelog's latest entry is the package's version.
entry=$(zcat "$work/root/usr/$doc/changelog.Debian.gz" | head -1)
[[ $entry == "purgato-scan ($(dpkg-deb -f "$deb" Version)) "* ]] ||
  fail "the changelog's latest entry is not the package's version: $entry"

# Debian's hardening: full RELRO, PIE, the stack protector and fortified
# libc calls.
binary=$work/root/usr/bin/purgato-scan
readelf -d "$binary" | grep -q 'FLAGS.*BIND_NOW' || fail "purgato-scan is not linked with -z now"
readelf -lW "$binary" | grep -q GNU_RELRO || fail "purgato-scan has no RELRO segment"
readelf -d "$binary" | grep -q 'FLAGS_1.*PIE' || fail "purgato-scan is not a PIE"
symbols=$(nm -D "$binary")
grep -q ' __stack_chk_fail' <<<"$symbols" || fail "purgato-scan is built without the stack protector"
grep -qE ' __[a-z]+_chk@' <<<"$symbols" || fail "purgato-scan calls no fortified libc function"

# lintian: no error and no warning (information tags are allowed).
if lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1; then
  echo "package: lintian: no errors, no warnings"
else
  fail "lintian: $(grep -v 'running with root' "$work/lintian.out")"
fi

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
