#!/usr/bin/env bash
# The Windows zip as a user gets it: cpack -G ZIP makes
# purgato-1.5-win32.zip, which must hold exactly both programs, the logon
# script, the licence and the README (the texts with CR LF line ends), the
# programs with the licence in their version records and the image rules
# of Windows 95 and NT 4. Then, unpacked onto the C: drive of a seeded Wine
# prefix, the zip's purgato-scan.exe shows its licence and makes a dry run
# that changes nothing, the zip's Purgato.exe cleans the computer, and the
# zip's scanner finds nothing left.
#
#   tests/package/check_zip.sh WIN32_BUILD NATIVE_BUILD
#
# WIN32_BUILD holds Purgato.exe, purgato-scan.exe and gui_driver.exe,
# NATIVE_BUILD seed_wine. Where this machine cannot run 32-bit programs
# (scripts/probe_32bit.sh), the checks under Wine are left out with a line
# that says so.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
usage="usage: check_zip.sh WIN32_BUILD NATIVE_BUILD"
win32=$(cd "${1:?$usage}" && pwd) || exit 2
native=$(cd "${2:?$usage}" && pwd) || exit 2
for file in "$win32/Purgato.exe" "$win32/purgato-scan.exe" "$win32/gui_driver.exe" "$native/seed_wine"; do
  [ -f "$file" ] || {
    echo "check_zip: no $file" >&2
    exit 2
  }
done

# The GUI program needs a display of its own.
if [ -z "${E2E_IN_XVFB:-}" ]; then
  exec env E2E_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$win32" "$native"
fi

# Read by e2e_lib.sh.
export E2E_WORK=$win32/zip-check E2E_WIN32=$win32/zip-check/programs E2E_NATIVE=$native
# shellcheck source=tests/e2e/e2e_lib.sh
. "$root/tests/e2e/e2e_lib.sh"
scenario=zip

name=purgato-1.5-win32
zip=$win32/$name.zip
rm -rf "$E2E_WORK/unpacked" "$E2E_WIN32" "$zip"
mkdir -p "$E2E_WORK/unpacked" "$E2E_WIN32"

echo "=== $name.zip"
if ! (cd "$win32" && cpack -G ZIP >"$E2E_WORK/cpack.log" 2>&1) || [ ! -f "$zip" ]; then
  fail "cpack made no $name.zip: $(cat "$E2E_WORK/cpack.log")"
  e2e_summary
  exit 1
fi
(cd "$E2E_WORK/unpacked" && cmake -E tar xf "$zip") || fail "the zip does not unpack"
folder=$E2E_WORK/unpacked/$name
expect "the zip's files" "$(cd "$E2E_WORK/unpacked" && find . -type f | LC_ALL=C sort)" \
  "$(printf "./$name/%s\n" LICENSE.txt Purgato.exe README.txt purgato-logon.bat purgato-scan.exe)"

# Notepad and command.com want CR LF at the end of every line.
for text in README.txt LICENSE.txt purgato-logon.bat; do
  if [ -s "$folder/$text" ] && ! grep -qv $'\r$' "$folder/$text" && [ "$(tail -c 2 "$folder/$text" | od -An -c | tr -d ' ')" = '\r\n' ]; then
    pass "$text: every line ends with CR LF"
  else
    fail "$text: not every line ends with CR LF"
  fi
done
expect "LICENSE.txt is LICENSE" "$(tr -d '\r' <"$folder/LICENSE.txt")" "$(cat "$root/LICENSE")"
grep -q '^Purgato 1\.5 for Windows' "$folder/README.txt" || fail "README.txt names no version"
grep -q 'MIT License' "$folder/README.txt" || fail "README.txt names no licence"
expect "purgato-logon.bat is docs/purgato-logon.bat" "$(tr -d '\r' <"$folder/purgato-logon.bat")" \
  "$(tr -d '\r' <"$root/docs/purgato-logon.bat")"

# The programs: 32-bit images that keep the Windows 95 / NT 4 rules after
# cpack stripped them, with the licence in the version record (UTF-16).
licence_utf16=$(printf 'Corvanel and the Purgato developers. MIT License.' | iconv -f ASCII -t UTF-16LE | od -An -tx1 | tr -d ' \n')
for exe in Purgato.exe purgato-scan.exe; do
  headers=$(i686-w64-mingw32-objdump -p "$folder/$exe" 2>&1)
  grep -q 'file format pei-i386' <<<"$headers" || fail "$exe is not a 32-bit image"
  grep -qE '^MajorSubsystemVersion[[:space:]]+4$' <<<"$headers" || fail "$exe: subsystem version is not 4"
  "$root/tests/e2e/check_imports.sh" "$folder/$exe" >"$E2E_WORK/imports.log" 2>&1 ||
    fail "$exe: $(cat "$E2E_WORK/imports.log")"
  if od -An -tx1 -v "$folder/$exe" | tr -d ' \n' | grep -q "$licence_utf16"; then
    pass "$exe: the version record names the licence"
  else
    fail "$exe: no licence in the version record"
  fi
done

# Under Wine, where this machine runs 32-bit programs at all.
if ! no_32bit=$("$root/scripts/probe_32bit.sh"); then
  echo "check_zip: the zip was checked statically only: $no_32bit"
  e2e_summary
  exit
fi

# The driver comes from the build; the program copied beside it is the zip's.
cp "$win32/gui_driver.exe" "$folder/Purgato.exe" "$E2E_WIN32/"
e2e_init || exit 1
cp -r "$folder" "$pristine/drive_c/"
program_dir="C:\\$name"

# zip_scan ARGS...: the zip's purgato-scan.exe from its folder, output in
# $run/out (carriage returns removed) and $run/out.raw, status in $status.
zip_scan() {
  status=0
  (cd "$WINEPREFIX/drive_c/$name" && taskset -c 0 timeout 120 wine "$program_dir\\purgato-scan.exe" "$@") \
    >"$run/out.raw" 2>"$run/err" || status=$?
  tr -d '\r' <"$run/out.raw" >"$run/out"
}

begin zip-winxp winxp || {
  e2e_summary
  exit 1
}
zip_scan --version
expect "--version: status" "$status" 0
expect "--version: first line" "$(head -n 1 "$run/out")" "purgato-scan 1.5"
grep -qx 'Copyright (c) 2026 Corvanel and the Purgato developers.' "$run/out" || fail "--version names no copyright"
grep -q $'^MIT License.*\r$' "$run/out.raw" || fail "--version names no licence, or not with CR LF"

zip_scan --dry-run
expect "dry run: status" "$status" 1
expect "dry run: last line" "$(tail -n 1 "$run/out")" "Scanning completed"
grep -q 'W32/Opaserv' "$run/out" || fail "the dry run found nothing"
expect "dry run: C: unchanged" "$(snapshot | diff "$run/before" - | head -5)" ""

(cd "$WINEPREFIX/drive_c/$name" && exec taskset -c 0 timeout 120 wine "$program_dir\\Purgato.exe") &
purgato_pid=$!
if drv wait "$CAPTION" "$MAIN" 20000 >/dev/null; then
  drv click "$CAPTION" "$MAIN" 1 || fail "clicking OK"
  drv wait-text "$CAPTION" "$PROGRESS" "$STATUS" "Scanning completed" 60000 >/dev/null || fail "no \"Scanning completed\""
  drv click "$CAPTION" "$PROGRESS" "$OK_BUTTON" || fail "clicking OK after the scan"
  drv wait "$CAPTION" "$THANKS" 10000 >/dev/null || fail "no thank-you dialog"
  drv click "$CAPTION" "$THANKS" 1 || fail "clicking OK in the thank-you dialog"
  status=0
  wait_exit "$purgato_pid" 20 || status=$?
  purgato_pid=
  expect "Purgato.exe: exit status" "$status" 0
  check_lookalike_ended
  zip_scan
  expect "the scanner after Purgato.exe: status (nothing left)" "$status" 0
else
  fail "Purgato.exe showed no main dialog"
fi
end_scenario
check_disk_cleaned
forget_prefix
wine_stop
e2e_summary
