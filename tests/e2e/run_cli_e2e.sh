#!/usr/bin/env bash
# End-to-end tests of purgato-scan.exe: the real console scanner under Wine
# on the Windows 98, XP and 10 personalities, over the same seeded C: drive
# as the tests of Purgato.exe (samples, tails, Run values, a running
# look-alike), with its output redirected as a script would have it.
#
#   tests/e2e/run_cli_e2e.sh WIN32_BUILD NATIVE_BUILD [SCENARIO...]
#
# WIN32_BUILD holds purgato-scan.exe, hold_open.exe, gui_driver.exe and
# Purgato.exe, NATIVE_BUILD seed_wine. Prefixes and logs go to
# WIN32_BUILD/cli-e2e (E2E_KEEP=1 keeps each run's prefix). Exits non-zero
# when a check failed, after naming each.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
usage="usage: run_cli_e2e.sh WIN32_BUILD NATIVE_BUILD [SCENARIO...]"
E2E_WIN32=$(cd "${1:?$usage}" && pwd) || exit 2
E2E_NATIVE=$(cd "${2:?$usage}" && pwd) || exit 2
shift 2
for file in "$E2E_WIN32/purgato-scan.exe" "$E2E_WIN32/hold_open.exe" "$E2E_WIN32/gui_driver.exe" \
  "$E2E_WIN32/Purgato.exe" "$E2E_NATIVE/seed_wine"; do
  [ -f "$file" ] || {
    echo "run_cli_e2e: no $file" >&2
    exit 2
  }
done

E2E_WORK=$E2E_WIN32/cli-e2e
# shellcheck source=tests/e2e/e2e_lib.sh
. "$here/e2e_lib.sh"

SCANNER='C:\e2e\purgato-scan.exe'

# scan [ARGS...]: the scanner from C:\ with stdout and stderr redirected to
# files ($run/out and $run/err, carriage returns removed); its exit status
# in $status. SCAN_AS, when set, is a command put in front of wine.
scan() {
  status=0
  (cd "$WINEPREFIX/drive_c" && ${SCAN_AS:-} taskset -c 0 timeout 120 wine "$SCANNER" "$@") \
    >"$run/out.raw" 2>"$run/err.raw" || status=$?
  tr -d '\r' <"$run/out.raw" >"$run/out"
  tr -d '\r' <"$run/err.raw" >"$run/err"
}

# Every line a console program writes ends with CR LF (text mode).
check_line_ends() {
  if [ ! -s "$run/out.raw" ] || ! grep -qv $'\r$' "$run/out.raw"; then
    pass "every stdout line ends with CR LF"
  else
    fail "stdout lines without CR: $(grep -cv $'\r$' "$run/out.raw")"
  fi
}

# statistics SCANNED INFECTED DISINFECTED DELETED: the block and the end
# status as the scanner prints them (the blank line only after findings).
statistics() {
  [ "$2" -eq 0 ] || printf ' \n'
  printf 'Scanning statistics\t\t:\nTotal files scanned\t\t:  %s\nTotal files infected\t\t:  %s\n' "$1" "$2"
  printf 'Total files disinfected\t:  %s\nTotal files deleted\t\t:  %s\nScanning completed\n' "$3" "$4"
}

# check_stdout FINDINGS SCANNED INFECTED DISINFECTED DELETED: stdout is the
# findings (any order: the walk follows the listing order), then the
# statistics and the end status, exactly.
check_stdout() {
  local findings=$1
  shift
  local tail_lines=6
  [ "$2" -eq 0 ] || tail_lines=7
  check_line_ends
  expect "statistics and end status" "$(tail -n "$tail_lines" "$run/out")" "$(statistics "$@")"
  expect "findings (sorted)" "$(head -n "-$tail_lines" "$run/out" | LC_ALL=C sort)" "$(LC_ALL=C sort "$findings")"
}

expect_no_stderr() {
  expect "stderr" "$(cat "$run/err")" ""
}

# The look-alike is the prefix's only worm process; without a wineserver
# of its own the scan below it runs on, it is stopped first.
stop_lookalike() {
  kill "$lookalike_pid" 2>/dev/null
  wine_stop
  wait "$lookalike_pid" 2>/dev/null
}

# Snapshot again after a scenario added files of its own.
resnapshot() {
  snapshot >"$run/before"
  files_at_start=$(cd "$WINEPREFIX/drive_c" && find . -type f | wc -l)
}

# --- Scenarios -------------------------------------------------------------

# A whole scan with its output redirected: exact lines, totals, exit status
# 1, and the disk and registry afterwards as after Purgato.exe's scan.
standard() {
  local personality=$1 family=$2
  shift 2
  begin "standard-$personality" "$personality" || return
  scan "$@"
  expect "exit status" "$status" 1
  expect_no_stderr
  local infected disinfected deleted scanned=$files_at_start
  read -r infected disinfected deleted <"$run/seed/counts"
  # On NT the process phase deletes the look-alike before the walk.
  [ "$family" == 9x ] || scanned=$((scanned - 1))
  cat "$run/seed/lines" "$run/seed/lines-$family" >"$run/expected"
  check_stdout "$run/expected" "$scanned" "$infected" "$disinfected" "$deleted"
  if [ "$family" == nt ]; then
    check_in_order "$run/out" "System Memory     W32/Opaserv.Worm removed" "$lookalike     W32/Opaserv.Worm deleted"
  fi
  check_lookalike_ended
  end_scenario
  check_disk_cleaned
  check_run_values "$run/seed/run-kept"
  forget_prefix
}

# reg_export FILE: HKEY_LOCAL_MACHINE as wine's reg exports it, as UTF-8
# without carriage returns, to FILE (made outside C:).
reg_export() {
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 wine reg export HKLM 'C:\e2e\hklm.reg' /y) >/dev/null 2>&1
  iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/e2e/hklm.reg" 2>/dev/null | tr -d '\r\357\273\277' >"$1"
  rm -f "$WINEPREFIX/drive_c/e2e/hklm.reg"
}

# The export without the Run key's values (checked on their own) and
# without the value that asks for deletions at the restart.
reg_rest() {
  awk '/^\[/ { run = ($0 == "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]") }
       /^"PendingFileRenameOperations"=/ { pending = 1 }
       pending { if (!/\\$/) pending = 0; next }
       !run || !/^"/' "$1"
}

# PendingFileRenameOperations of an export, one string a line: what each
# file becomes at the restart follows it ("" for a deletion).
pending_renames() {
  awk '/^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager\]/ { inside = 1; next }
       /^\[/ { inside = 0 }
       inside && /^"PendingFileRenameOperations"=hex\(7\):/ { on = 1; sub(/^[^:]*:/, "") }
       on { line = $0; sub(/\\$/, "", line); gsub(/[ ,]+/, " ", line); hex = hex " " line; if (!/\\$/) on = 0 }
       function byte(h) { return 16 * (index("0123456789abcdef", substr(h, 1, 1)) - 1) + index("0123456789abcdef", substr(h, 2, 1)) - 1 }
       END {
         n = split(hex, b, " "); s = ""
         for (i = 1; i + 1 <= n; i += 2) {
           c = byte(b[i]) + 256 * byte(b[i + 1])
           if (c == 0) { print s; s = "" } else s = s sprintf("%c", c)
         }
       }' "$1" | sed '$d'
}

# A worm file another program holds open without sharing its deletion: the
# delete fails, so Windows deletes it at its next start: the NT family
# through PendingFileRenameOperations, the 9x family through WININIT.INI,
# each holding exactly that path. Its line says so, it counts as deleted,
# status 5; the file stays as it was until then, the rest is cleaned, and
# nothing else in the registry changes. The first scan keeps its account on
# D:: the report and the log name the entry written, and on the 9x family
# the backup holds WININIT.INI as it was before the scan (one line of an
# earlier request in it).
locked() {
  local personality=$1 family=$2 held=windows/INSTIT.EXE
  begin "locked-$personality" "$personality" || return
  local windows_path="C:\\${held//\//\\}"
  local holder share=$run/share wininit_before=''
  mkdir -p "$share"
  ln -s "$share" "$WINEPREFIX/dosdevices/d:"
  if [ "$family" == 9x ]; then
    wininit_before=$'[rename]\r\nNUL=C:\\OLDFILE.TXT\r\n'
    printf '%s' "$wininit_before" >"$WINEPREFIX/drive_c/windows/WININIT.INI"
    resnapshot
  fi
  hold_open "$windows_path" || return
  cp "$WINEPREFIX/drive_c/$held" "$run/held-before"
  reg_export "$run/hklm-before"
  scan --target C: --log 'D:\scan.log' --report 'D:\scan.jsonl' --backup 'D:\kept'
  expect "exit status" "$status" 5
  expect_no_stderr
  if python3 "$here/../tools/check_report.py" "$here/../../docs/purgato-scan-report.schema.json" \
    "$share/scan.jsonl" "$run/out" "$run/err" >"$run/report-check"; then
    pass "report: $(tail -n 1 "$run/report-check")"
  else
    fail "report: $(cat "$run/report-check")"
  fi
  local place entry
  if [ "$family" == 9x ]; then
    place='C:\windows\WININIT.INI' entry="NUL=$windows_path"
  else
    place='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager\PendingFileRenameOperations'
    entry="\\??\\$windows_path"
  fi
  expect "report: the request for the restart" "$(python3 -c '
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r.get("restart"):
        print(r["path"], r["restart"]["place"], r["restart"]["entry"], r["restart"]["written"], sep="|")
' "$share/scan.jsonl")" "$windows_path|$place|$entry|True"
  expect "log: the request for the restart" \
    "$(tr -d '\r' <"$share/scan.log" | grep -c -F "restart request written to $place: $entry")" 1
  if [ "$family" == 9x ]; then
    local kept
    kept=$(find "$share/kept" -type f -ipath '*/C/windows/WININIT.INI.purgato-kept')
    if [ -n "$kept" ] && cmp -s "$kept" <(printf '%s' "$wininit_before"); then
      pass "WININIT.INI kept as it was before the scan"
    else
      fail "WININIT.INI not kept as it was: [$kept]"
    fi
    expect "WININIT.INI kept once" "$(find "$share/kept" -type f -iname 'WININIT.INI.purgato-kept*' | wc -l)" 1
  fi
  local infected disinfected deleted scanned=$files_at_start
  read -r infected disinfected deleted <"$run/seed/counts"
  [ "$family" == 9x ] || scanned=$((scanned - 1))
  cat "$run/seed/lines" "$run/seed/lines-$family" |
    HELD="$windows_path     " awk 'index($0, ENVIRON["HELD"]) == 1 { sub(/ deleted$/, " will be deleted when Windows restarts") } { print }' \
      >"$run/expected"
  grep -q 'will be deleted when Windows restarts$' "$run/expected" || fail "no line of $held among the seeded findings"
  check_stdout "$run/expected" "$scanned" "$infected" "$disinfected" "$deleted"
  check_lookalike_ended
  # A second scan before the restart (a logon script's next run) asks for
  # nothing more.
  scan --target C:
  expect "exit status of a second scan before the restart" "$status" 5
  expect "its one finding" "$(grep -c 'will be deleted when Windows restarts$' "$run/out"):$(grep -c 'deleted$' "$run/out")" "1:0"
  reg_export "$run/hklm-after"
  kill "$holder" 2>/dev/null
  end_scenario
  if cmp -s "$WINEPREFIX/drive_c/$held" "$run/held-before"; then
    pass "$held still there, unchanged, until the restart"
  else
    fail "$held deleted or changed"
  fi
  local wininit=windows/WININIT.INI
  if [ "$family" == 9x ]; then
    expect "WININIT.INI" "$(cat -A "$WINEPREFIX/drive_c/$wininit" 2>&1)" "[rename]^M\$
NUL=C:\\OLDFILE.TXT^M\$
NUL=$windows_path^M\$"
    expect "PendingFileRenameOperations" "$(pending_renames "$run/hklm-after")" ""
  else
    expect "PendingFileRenameOperations" "$(pending_renames "$run/hklm-after" | tr '\n' '|')" "\\??\\$windows_path||"
    if [ -e "$WINEPREFIX/drive_c/$wininit" ]; then fail "a WININIT.INI on the NT family"; else pass "no WININIT.INI"; fi
  fi
  expect "PendingFileRenameOperations before the scan" "$(pending_renames "$run/hklm-before")" ""
  local changed
  changed=$(diff <(reg_rest "$run/hklm-before") <(reg_rest "$run/hklm-after"))
  expect "the rest of HKEY_LOCAL_MACHINE" "$changed" ""
  { grep -vx "$held" "$run/seed/gone"; echo "$wininit"; } >"$run/gone"
  local relative left=0
  while IFS= read -r relative; do
    [ "$relative" == "$wininit" ] || [ ! -e "$WINEPREFIX/drive_c/$relative" ] || left=$((left + 1))
  done <"$run/gone"
  expect "other samples left on the disk" "$left" 0
  check_rest_unchanged "$run/gone"
  check_run_values "$run/seed/run-kept"

  # Wine's restart (wineboot -r) does what Windows does at its start: the
  # file goes, and a scan after it finds nothing.
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 timeout 120 wine wineboot -r) >/dev/null 2>&1
  wine_stop
  if [ -e "$WINEPREFIX/drive_c/$held" ]; then fail "$held still there after the restart"; else pass "$held deleted by the restart"; fi
  if [ -e "$WINEPREFIX/drive_c/$wininit" ]; then fail "WININIT.INI still there after the restart"; else pass "no WININIT.INI after the restart"; fi
  scan
  expect "exit status of a scan after the restart" "$status" 0
  wine_stop
  forget_prefix
}

# A folder and a file nobody may read, a file and a folder too deep for
# Windows paths: one stderr line each, the rest cleaned, status 4. Root reads everything, so the scan runs without the
# capabilities that let root pass over file modes (Wine's server opens
# the files, so it runs without them too).
unreadable() {
  local personality=$1
  begin "unreadable-$personality" "$personality" || return
  local drive_c=$WINEPREFIX/drive_c
  mkdir -p "$drive_c/LOCKED/INNER"
  cp "$drive_c/windows/SCRSVR.EXE" "$drive_c/LOCKED/SCRSVR.EXE"
  printf 'kept\r\n' >"$drive_c/LOCKED/INNER/NOTE.TXT"
  printf 'not for you\r\n' >"$drive_c/SECRET.TXT"
  # A folder of 239 characters: the walk lists it, but passes over a file
  # whose path would be 265 characters and a folder whose own pattern would
  # not fit.
  local deep='DEEP' part
  for part in 1 2 3 4; do deep+="\\LEVEL$part$(printf '%042d' 0)"; done
  deep+="\\TAIL$(printf '%031d' 0)"
  local long_file deep_folder
  long_file="$deep\\LONGNAME$(printf '%013d' 0).TXT"
  deep_folder="$deep\\SUBDIR$(printf '%011d' 0)"
  expect "length of the deep folder's path" "${#deep}" 236
  mkdir -p "$drive_c/${deep_folder//\\//}"
  printf 'too long\r\n' >"$drive_c/${long_file//\\//}"
  printf 'too deep\r\n' >"$drive_c/${deep_folder//\\//}/A.TXT"
  stop_lookalike
  resnapshot
  chmod 000 "$drive_c/LOCKED" "$drive_c/SECRET.TXT"
  SCAN_AS="setpriv --bounding-set -dac_override,-dac_read_search --" scan
  chmod 755 "$drive_c/LOCKED"
  chmod 644 "$drive_c/SECRET.TXT"
  expect "exit status" "$status" 4
  {
    printf '%s\n' "purgato-scan: 'C:\\$long_file' skipped: path longer than 259 characters"
    printf '%s\n' "purgato-scan: 'C:\\$deep_folder' skipped: folder path longer than 255 characters"
    # On the NT family a denied folder says how to scan it.
    printf '%s\n' "purgato-scan: cannot read 'C:\\LOCKED': Permission denied (an administrator cannot read this folder; running as SYSTEM scans it)"
    printf '%s\n' "purgato-scan: cannot read 'C:\\SECRET.TXT': Permission denied"
  } | LC_ALL=C sort >"$run/expected-err"
  expect "stderr (sorted)" "$(LC_ALL=C sort "$run/err")" "$(cat "$run/expected-err")"
  local infected disinfected deleted
  read -r infected disinfected deleted <"$run/seed/counts"
  # Nothing runs: the walk meets the look-alike as a file, on every family.
  # The unreadable file counts as scanned; what is inside the folder, and
  # the two files passed over for their length, do not.
  cat "$run/seed/lines" "$run/seed/lines-9x" >"$run/expected"
  check_stdout "$run/expected" "$((files_at_start - 4))" "$infected" "$disinfected" "$deleted"
  end_scenario
  check_disk_cleaned
  check_run_values "$run/seed/run-kept"
  forget_prefix
}

# Named files: a relative path, the same file again in other capitals, a
# clean look-alike; each scanned once, then the statistics.
files() {
  begin files-winxp winxp || return
  scan 'windows\SCRSVR.EXE' 'C:\WINDOWS\scrsvr.exe' 'C:\windows\system\SCRSVR0.EXE'
  expect "exit status" "$status" 1
  expect_no_stderr
  {
    # The first file also takes the five fixed worm names off the Run key.
    printf "System Registry     W32/Opaserv.Worm removed\n%.0s" 1 2 3 4 5
    echo 'C:\windows\SCRSVR.EXE     W32/Opaserv.Worm deleted'
  } >"$run/expected"
  check_stdout "$run/expected" 2 1 0 1
  end_scenario
  echo windows/SCRSVR.EXE >"$run/gone"
  if [ -e "$WINEPREFIX/drive_c/windows/SCRSVR.EXE" ]; then fail "the named sample stays"; else pass "the named sample deleted"; fi
  # No tails were cut: compare everything but the one file.
  local changed
  changed=$(diff <(grep -v $'^f windows/SCRSVR.EXE\t' "$run/before") <(cat "$run/after"))
  expect "every other file unchanged" "$changed" ""
  check_run_values <(grep -x MSTASKMON "$run/seed/run-gone"; cat "$run/seed/run-kept")
  forget_prefix
}

# Wrong command lines: one stderr line, status 2, nothing scanned; --help,
# /? and --version: status 0.
command_line() {
  begin command-line win10 || return
  local row args expected
  # "arguments (separated by |)" "the stderr line"
  local rows=(
    "--drive|C=C:\\|--drive is not an option of purgato-scan.exe: it scans this computer's own drives, Windows folder and registry"
    "--registry=off|--registry is not an option of purgato-scan.exe: it scans this computer's own drives, Windows folder and registry"
    "--windows-dir|C:\\WINDOWS|--windows-dir is not an option of purgato-scan.exe: it scans this computer's own drives, Windows folder and registry"
    "--read-ahead|8|--read-ahead is not an option of purgato-scan.exe: it scans this computer's own drives, Windows folder and registry"
    "--bogus|unknown option '--bogus'"
    "--target|--target needs a value (C:, !: or '')"
    "--target|D:|--target takes C:, !: or '' (the statistics only), not 'D:'"
    "--log|--log needs a file"
    "--target|C:|C:\\windows\\SCRSVR.EXE|--target cannot be combined with files to scan"
    "C:\\NOSUCH.EXE|no such file 'C:\\NOSUCH.EXE'"
    "C:\\windows|'C:\\windows' is a folder, not a file"
    "C:\\windows\\*.EXE|'C:\\windows\\*.EXE' holds a wildcard; name each file"
  )
  for row in "${rows[@]}"; do
    IFS='|' read -r -a args <<<"$row"
    expected=${args[-1]}
    unset 'args[-1]'
    scan "${args[@]}"
    expect "status of ${args[*]}" "$status" 2
    expect "stderr of ${args[*]}" "$(cat "$run/err")" "purgato-scan: $expected
Try 'purgato-scan --help' for more information."
    expect "stdout of ${args[*]}" "$(cat "$run/out")" ""
  done
  local option
  for option in --help '/?'; do
    scan "$option"
    expect "status of $option" "$status" 0
    expect "$option: usage and exit statuses" \
      "$(head -n 1 "$run/out"):$(grep -c '^Exit status:$' "$run/out"):$(grep -c -- '--drive' "$run/out")" "Usage::1:0"
  done
  scan --version
  expect "status of --version" "$status" 0
  expect "--version" "$(head -n 1 "$run/out")" "purgato-scan 1.5"
  scan -V
  expect "-V: the copyright" "$(sed -n 3p "$run/out")" "Copyright (c) 2026 Corvanel and the Purgato developers."
  if kill -0 "$lookalike_pid" 2>/dev/null; then pass "the look-alike still runs"; else fail "the look-alike was ended"; fi
  end_scenario
  check_disk_untouched
  check_run_values <(cat "$run/seed/run-gone" "$run/seed/run-kept")
  forget_prefix
}

# A clean computer: nothing found, status 0, nothing changed.
clean() {
  scenario=clean-win98
  echo
  echo "=== $scenario (win98)"
  scenario_start=$SECONDS
  run=$E2E_WORK/runs/$scenario
  rm -rf "$run"
  mkdir -p "$run"
  wine_stop
  export WINEPREFIX=$run/prefix
  cp -a "$pristine" "$WINEPREFIX"
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1) ||
    fail "wine reg add"
  wine_stop
  snapshot >"$run/before"
  local files
  files=$(cd "$WINEPREFIX/drive_c" && find . -type f | wc -l)
  scan
  expect "exit status" "$status" 0
  expect_no_stderr
  : >"$run/none"
  check_stdout "$run/none" "$files" 0 0 0
  lookalike_pid=
  purgato_pid=
  end_scenario
  check_disk_untouched
  forget_prefix
}

# --dry-run: the lines of a real scan, the notice on stderr, nothing changed.
dry_run() {
  begin dry-run-winxp winxp || return
  scan --dry-run
  expect "exit status" "$status" 1
  expect_no_stderr
  # The first line says nothing was changed; the rest reads as a real scan's.
  expect "first line" "$(head -n 1 "$run/out")" \
    "purgato-scan: DRY RUN: nothing was changed; the lines below say what a real scan would do"
  tail -n +2 "$run/out" >"$run/out.rest" && mv "$run/out.rest" "$run/out"
  local infected disinfected deleted
  read -r infected disinfected deleted <"$run/seed/counts"
  cat "$run/seed/lines" "$run/seed/lines-nt" >"$run/expected"
  check_stdout "$run/expected" "$((files_at_start - 1))" "$infected" "$disinfected" "$deleted"
  if kill -0 "$lookalike_pid" 2>/dev/null; then pass "the look-alike still runs"; else fail "the look-alike was ended"; fi
  end_scenario
  check_disk_untouched
  check_run_values <(cat "$run/seed/run-gone" "$run/seed/run-kept")
  forget_prefix
}

# A real scan with --log, --report and --backup, kept on drive D: (a host
# folder): a log with header and footer, a report whose every record
# validates and whose totals are the statistics block's, and backups from
# which every deleted and cut file and, through reg import, every removed
# Run value comes back as it was.
audit() {
  local personality=$1 header=$2
  begin "audit-$personality" "$personality" || return
  local share=$run/share relative kept set
  mkdir -p "$share" "$run/orig"
  ln -s "$share" "$WINEPREFIX/dosdevices/d:"
  while IFS= read -r relative; do
    mkdir -p "$run/orig/$(dirname "$relative")"
    cp -p "$WINEPREFIX/drive_c/$relative" "$run/orig/$relative"
  done < <(cat "$run/seed/gone" "$run/seed/cut")
  scan --log 'D:\scan.log' --report 'D:\scan.jsonl' --backup 'D:\kept'
  expect "exit status" "$status" 1
  expect_no_stderr
  tr -d '\r' <"$share/scan.log" >"$run/log"
  expect "log header" "$(head -n 1 "$run/log" | cut -c 1-33)" "=== purgato-scan 1.5 run started "
  expect "log: real scan" "$(grep -c '^mode: real scan$' "$run/log")" 1
  if grep -qF -- "$(head -n 3 "$run/out")" "$run/log" && grep -qx 'Scanning completed' "$run/log"; then
    pass "log holds stdout"
  else
    fail "log lacks stdout lines"
  fi
  expect "log footer" "$(grep -v '^$' "$run/log" | tail -n 1 | sed 's/.*, exit status/exit status/')" "exit status 1"
  if python3 "$here/../tools/check_report.py" "$here/../../docs/purgato-scan-report.schema.json" \
    "$share/scan.jsonl" "$run/out" >"$run/report-check"; then
    pass "report: $(tail -n 1 "$run/report-check")"
  else
    fail "report: $(cat "$run/report-check")"
  fi
  end_scenario
  check_disk_cleaned
  check_run_values "$run/seed/run-kept"
  set=$(find "$share/kept" -mindepth 1 -maxdepth 1 -type d)
  expect "one backup set" "$(printf '%s\n' "$set" | grep -c .)" 1
  expect ".reg header" "$(head -n 1 "$set/registry.reg" | tr -d '\r')" "$header"
  local restored=0 missing=0
  while IFS= read -r relative; do
    kept=$(find "$set" -type f -ipath "$set/C/$relative.purgato-kept" | head -n 1)
    if [ -n "$kept" ] && cmp -s "$kept" "$run/orig/$relative"; then
      cp "$kept" "$WINEPREFIX/drive_c/$relative"
      restored=$((restored + 1))
    else
      missing=$((missing + 1))
      fail "no byte-for-byte backup of $relative"
    fi
  done < <(cat "$run/seed/gone" "$run/seed/cut")
  expect "files kept byte for byte and put back" "$missing" 0
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 wine reg import "D:\\kept\\$(basename "$set")\\registry.reg") \
    >/dev/null 2>&1 || fail "reg import of the backup"
  wine_stop
  check_run_values <(cat "$run/seed/run-gone" "$run/seed/run-kept")
  echo "  ($restored files restored)"
  forget_prefix
}

# Output that cannot be written: the scan stops at its first line, says so
# on stderr, status 2; nothing is changed after that line's change.
lost_output() {
  begin lost-output-win98 win98 || return
  local status=0
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 timeout 120 wine "$SCANNER") >/dev/full 2>"$run/err.raw" || status=$?
  tr -d '\r' <"$run/err.raw" >"$run/err"
  expect "exit status" "$status" 2
  expect "stderr" "$(cat "$run/err")" "purgato-scan: cannot write the output: No space left on device; the scan was stopped"
  if kill -0 "$lookalike_pid" 2>/dev/null; then pass "the look-alike still runs"; else fail "the look-alike was ended"; fi
  end_scenario
  check_disk_untouched
  # The first line is the first Run value's; that one alone is gone.
  expect "Run values deleted" "$(comm -23 <(cat "$run/seed/run-gone" "$run/seed/run-kept" | LC_ALL=C sort) <(run_values) | wc -l)" 1
  forget_prefix
}

# The README's logon script (docs/purgato-logon.bat) under Wine's cmd, with
# drive D: for the server's share: a held sample, left for the restart,
# puts the computer under again, the next logon (the sample free by then)
# cleans it and puts it under done, the one after scans nothing.
logon_script() {
  begin logon-script-winxp winxp || return
  local share=$run/share name holder
  mkdir -p "$share/done" "$share/check" "$share/again" "$share/log"
  cp "$E2E_WIN32/purgato-scan.exe" "$share/"
  sed 's/^set PURGATO=.*/set PURGATO=D:/' "$here/../../docs/purgato-logon.bat" >"$share/PURGATO.BAT"
  ln -s "$share" "$WINEPREFIX/dosdevices/d:"
  logon() { (cd "$WINEPREFIX/drive_c" && taskset -c 0 timeout 120 wine cmd /c 'D:\PURGATO.BAT') >/dev/null 2>&1; }
  name=$(cd "$WINEPREFIX/drive_c" && taskset -c 0 wine cmd /c 'echo %COMPUTERNAME%' | tr -d '\r')
  must "no computer name" test -n "$name" || return

  hold_open 'C:\windows\INSTIT.EXE' || return
  logon
  expect "first logon: under again" "$(tr -d '\r' <"$share/again/$name.txt" 2>/dev/null)" \
    "5 cleaned, restart needed; scanned again at the next logon"
  expect "first logon: not done, not under check" "$(find "$share/done" "$share/check" -type f)" ""
  expect "first logon: the log" "$(tr -d '\r' <"$share/log/$name.txt" | grep -c 'INSTIT.EXE .* will be deleted when Windows restarts$'):$(tr -d '\r' <"$share/log/$name.txt" | tail -n 1)" \
    "1:Scanning completed"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null

  logon
  expect "second logon: done" "$(tr -d '\r' <"$share/done/$name.txt" 2>/dev/null)" "1 cleaned"
  expect "second logon: no longer under again" "$(find "$share/again" "$share/check" -type f)" ""
  expect "second logon: the log" "$(tr -d '\r' <"$share/log/$name.txt" | grep -c 'INSTIT.EXE .* deleted$')" 1
  local before
  before=$(cksum <"$share/log/$name.txt")
  logon
  expect "third logon: nothing scanned" "$(cksum <"$share/log/$name.txt")" "$before"
  end_scenario
  check_disk_cleaned
  check_run_values "$run/seed/run-kept"
  forget_prefix
}

# --- In a console -------------------------------------------------------------

# Files of the scan in a console, so that the walk is still going when the
# keys come.
CONSOLE_TREE=30000
TMUX_SOCKET=purgato-cli-e2e-$$  # the tmux server of the console being driven

# console_start NAME [FILE [REDIRECTION]]: the scanner (of FILE, when not
# empty) in a console of its own (a terminal in tmux, 100 by 30, which
# Wine's console draws on), with the shell's REDIRECTION (">out.txt") when
# given; its exit status goes to $run/NAME.status. The shell around it
# outlives a Ctrl-C.
console_start() {
  # A server of its own each time: a new session on a server still going
  # away would go with it.
  tmux -L "$TMUX_SOCKET" kill-server 2>/dev/null
  TMUX_SOCKET=purgato-cli-e2e-$$-$1
  rm -f "$run/$1.status"
  tmux -L "$TMUX_SOCKET" new-session -d -s scan -x 100 -y 30 -c "$WINEPREFIX/drive_c" \
    env PATH="$PATH" ${WINELOADER:+WINELOADER="$WINELOADER"} \
    WINEPREFIX="$WINEPREFIX" WINEARCH="$WINEARCH" WINEDEBUG="$WINEDEBUG" HOME="$HOME" \
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES" LANG=C.UTF-8 FILE_ARGUMENT="${2:-}" \
    sh -c "trap : INT; taskset -c 0 wine '$SCANNER' \${FILE_ARGUMENT:+\"\$FILE_ARGUMENT\"} ${3:-}; echo \$? >'$run/$1.status'; sleep 120"
}

# The console's lines, blank ones left out.
console_lines() {
  tmux -L "$TMUX_SOCKET" capture-pane -p -t scan 2>/dev/null | sed '/^ *$/d'
}

# console_wait REGEX SECONDS: until the last line matches.
console_wait() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt "$deadline" ]; do
    console_lines | tail -n 1 | grep -Eq -- "$1" && return 0
    sleep 0.05
  done
  console_lines | tail -n 3 | sed 's/^/    | /'
  return 1
}

console_key() {
  tmux -L "$TMUX_SOCKET" send-keys -t scan "$@"
}

# console_status NAME: the scanner's exit status, once it has ended.
console_status() {
  local _
  for _ in $(seq 400); do
    [ -s "$run/$1.status" ] && break
    sleep 0.05
  done
  cat "$run/$1.status" 2>/dev/null || console_lines | tail -n 3 | sed 's/^/    | /' >&2
}

# The status line in place under the findings; Esc asks, n goes on, Esc
# and y end the scan with its statistics; Ctrl-C ends a second scan so; a
# name outside ASCII shows as it is.
console_keys() {
  command -v tmux >/dev/null || {
    fail "no tmux"
    return
  }
  begin console-win10 win10 --tree "$CONSOLE_TREE" || return
  mkdir -p "$WINEPREFIX/drive_c/Jörg"
  cp "$WINEPREFIX/drive_c/windows/SCRSVR.EXE" "$WINEPREFIX/drive_c/Jörg/"
  resnapshot
  local tree_status='^[0-9]+ scanned, [0-9]+ found: C:\\tree\\DIR[0-9]+\\FILE[0-9]+\.TXT$'
  local question='^Terminate the Scan now\? \[y/N\]$'
  # A name outside ASCII, as the console shows it (Wine's terminal is UTF-8);
  # first, before a walk reaches it.
  console_start named 'C:\Jörg\SCRSVR.EXE'
  expect "exit status of a named sample" "$(console_status named)" 1
  expect "its line in the console" "$(console_lines | grep -c '^C:\\Jörg\\SCRSVR.EXE     W32/Opaserv.Worm deleted$')" 1
  console_start missing 'C:\Jörg\NONE.EXE'
  expect "exit status of a missing file" "$(console_status missing)" 2
  expect "its stderr line in the console" "$(console_lines | tail -n 2 | head -n 1)" "purgato-scan: no such file 'C:\Jörg\NONE.EXE'"

  console_start esc
  if console_wait "$tree_status" 60; then
    pass "the current path on the bottom line"
    expect "cursor at the start of the status line" "$(tmux -L "$TMUX_SOCKET" display -p -t scan '#{cursor_x}')" 0
    expect "findings above it" "$(console_lines | tail -n 2 | head -n 1 | grep -Ec ' (deleted|removed)$')" 1
  else
    fail "no path of C:\\tree on the bottom line"
  fi
  console_key Escape
  if console_wait "$question" 10; then pass "Esc asks"; else fail "no question after Esc"; fi
  console_key n
  if console_wait "$tree_status" 10; then pass "n: the scan goes on"; else fail "the scan did not go on after n"; fi
  expect "the answer stays on the question's line" "$(console_lines | grep -c '^Terminate the Scan now? \[y/N\] n$')" 1
  console_key Escape
  console_wait "$question" 10 || fail "no question after the second Esc"
  console_key y
  expect "exit status after Esc and y" "$(console_status esc)" 4
  expect "last line after Esc and y" "$(console_lines | tail -n 1)" "Scanning terminated"
  local scanned
  scanned=$(console_lines | sed -n 's/^Total files scanned *:  //p')
  if [ -n "$scanned" ] && [ "$scanned" -gt 0 ] && [ "$scanned" -lt "$files_at_start" ]; then
    pass "stopped part way: $scanned of $files_at_start files scanned"
  else
    fail "files scanned: [$scanned] of $files_at_start"
  fi

  console_start ctrl-c
  console_wait "$tree_status" 60 || fail "no path of C:\\tree on the bottom line (second scan)"
  console_key C-c
  expect "exit status after Ctrl-C" "$(console_status ctrl-c)" 4
  expect "last line after Ctrl-C" "$(console_lines | tail -n 1)" "Scanning terminated"
  expect "statistics after Ctrl-C" "$(console_lines | grep -c '^Total files scanned')" 1

  # stdout to a file: the progress on the console, the file only the lines.
  console_start redirected "" ">'$run/redirected.out'"
  if console_wait "$tree_status" 60; then pass "stdout to a file: the progress on the console"; else fail "stdout to a file: no progress"; fi
  # What the two scans cut short left is cleaned now: 1, or 0 if nothing.
  expect "stdout to a file: exit status" "$(console_status redirected | tr 0 1)" 1
  expect "stdout to a file: its last line" "$(tr -d '\r' <"$run/redirected.out" | tail -n 1)" "Scanning completed"
  expect "stdout to a file: no progress in it" "$(grep -c 'scanned, [0-9]* found' "$run/redirected.out")" 0
  expect "stdout to a file: no line on the console" "$(console_lines | grep -Ec ' (deleted|removed)$|^Scanning')" 0
  # stderr to a file: no progress anywhere.
  console_start quiet "" "2>'$run/quiet.err'"
  local looks=0 shown=0
  while [ ! -s "$run/quiet.status" ] && [ $looks -lt 100 ]; do
    console_lines | grep -q 'scanned, [0-9]* found' && shown=$((shown + 1))
    looks=$((looks + 1))
    sleep 0.1
  done
  expect "stderr to a file: exit status" "$(console_status quiet)" 0
  expect "stderr to a file: no progress on the console ($looks looks)" "$shown" 0
  expect "stderr to a file: nothing in it" "$(cat "$run/quiet.err")" ""

  tmux -L "$TMUX_SOCKET" kill-server 2>/dev/null
  end_scenario
  # What the scans did not reach is untouched.
  local relative
  echo 'Jörg/SCRSVR.EXE' >"$run/gone-now"
  while IFS= read -r relative; do
    [ -e "$WINEPREFIX/drive_c/$relative" ] || echo "$relative" >>"$run/gone-now"
  done <"$run/seed/gone"
  check_rest_unchanged "$run/gone-now"
  forget_prefix
}

all_scenarios=(standard-win98 standard-winxp standard-win10 locked-win98 locked-winxp locked-win10 unreadable-win10 files
  dry-run lost-output command-line clean console-keys logon-script audit-win98 audit-winxp)

run_scenario() {
  case $1 in
    standard-win98) standard win98 9x ;;
    standard-winxp) standard winxp nt --target C: ;;
    standard-win10) standard win10 nt --target=C: ;;
    locked-win98) locked win98 9x ;;
    locked-winxp) locked winxp nt ;;
    locked-win10) locked win10 nt ;;
    unreadable-win10) unreadable win10 ;;
    files) files ;;
    command-line) command_line ;;
    clean) clean ;;
    dry-run) dry_run ;;
    lost-output) lost_output ;;
    console-keys) console_keys ;;
    logon-script) logon_script ;;
    audit-win98) audit win98 REGEDIT4 ;;
    audit-winxp) audit winxp "Windows Registry Editor Version 5.00" ;;
    *)
      echo "run_cli_e2e: no scenario $1 (there are: ${all_scenarios[*]})" >&2
      failures+=("$1: no such scenario")
      ;;
  esac
}

start=$SECONDS
e2e_init || exit 1
# The scanner is part of every prefix from the start, so that it is one of
# the files every scenario's snapshot holds.
mkdir -p "$pristine/drive_c/e2e"
cp "$E2E_WIN32/purgato-scan.exe" "$E2E_WIN32/hold_open.exe" "$pristine/drive_c/e2e/"
[ $# -gt 0 ] || set -- "${all_scenarios[@]}"
for name in "$@"; do
  run_scenario "$name"
done
wine_stop
echo
echo "console end-to-end: $# scenario(s) in $((SECONDS - start)) s"
e2e_summary
