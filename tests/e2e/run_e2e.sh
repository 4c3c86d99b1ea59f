#!/usr/bin/env bash
# End-to-end tests of Purgato.exe: the real program under Wine on an Xvfb
# display, on the Windows 98, XP and 10 personalities, driven from outside
# by gui_driver.exe over a C: drive seeded with harmless samples.
#
#   tests/e2e/run_e2e.sh WIN32_BUILD NATIVE_BUILD [SCENARIO...]
#
# WIN32_BUILD holds Purgato.exe, gui_driver.exe and hold_open.exe,
# NATIVE_BUILD seed_wine.
# Prefixes, logs and screenshots go to WIN32_BUILD/e2e (shots/ keeps the
# PNGs; E2E_KEEP=1 keeps each run's prefix too). Exits non-zero when a
# check failed, after naming each.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
usage="usage: run_e2e.sh WIN32_BUILD NATIVE_BUILD [SCENARIO...]"
E2E_WIN32=$(cd "${1:?$usage}" && pwd) || exit 2
E2E_NATIVE=$(cd "${2:?$usage}" && pwd) || exit 2
shift 2
for file in "$E2E_WIN32/Purgato.exe" "$E2E_WIN32/gui_driver.exe" "$E2E_WIN32/hold_open.exe" "$E2E_NATIVE/seed_wine"; do
  [ -f "$file" ] || {
    echo "run_e2e: no $file" >&2
    exit 2
  }
done

# Everything on a display of our own, the same on every machine.
if [ -z "${E2E_IN_XVFB:-}" ]; then
  exec env E2E_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$E2E_WIN32" "$E2E_NATIVE" "$@"
fi

E2E_WORK=$E2E_WIN32/e2e
# shellcheck source=tests/e2e/e2e_lib.sh
. "$here/e2e_lib.sh"

# Files a long scan gets besides the seeded samples, so that there is time
# to act while it runs.
LONG_TREE=3000

main_texts() {
  expect "heading" "$(drv text "$CAPTION" $MAIN 1032)" \
    "Purgato Ver 1.5 - Program to detect and clean variants of W32/Opaserv.Worm"
  expect "question" "$(drv text "$CAPTION" $MAIN 1033)" "Scan the computer for the presence of W32/Opaserv.Worm now?"
}

# The progress dialog while the scan runs: it and the disabled main
# dialog behind it, Cancel shown and OK hidden.
progress_while_scanning() {
  must "no progress dialog" drv wait "$CAPTION" $PROGRESS 10000 || return
  expect "main dialog behind the progress dialog" "$(drv state "$CAPTION" $MAIN 0)" "visible disabled"
  expect "Cancel during the scan" "$(drv state "$CAPTION" $PROGRESS 2)" "visible enabled"
  expect "OK during the scan" "$(drv state "$CAPTION" $PROGRESS $OK_BUTTON)" "hidden enabled"
  expect "progress heading" "$(drv text "$CAPTION" $PROGRESS 1032)" "Searching for variants of W32/Opaserv.Worm files..."
}

# finished_buttons: OK shown, Cancel hidden.
finished_buttons() {
  expect "OK after the scan" "$(drv state "$CAPTION" $PROGRESS $OK_BUTTON)" "visible enabled"
  expect "Cancel after the scan" "$(drv state "$CAPTION" $PROGRESS 2)" "hidden enabled"
}

# expected_findings FAMILY: the list lines of a whole scan on that family.
expected_findings() {
  cat "$run/seed/lines" "$run/seed/lines-$1"
}

# check_full_scan FAMILY: list, totals, disk and registry after a scan that
# ran to its end.
check_full_scan() {
  local family=$1 scanned infected disinfected deleted
  read -r infected disinfected deleted <"$run/seed/counts"
  # Every file is scanned once; on NT the look-alike is gone before the walk.
  scanned=$files_at_start
  [ "$family" == 9x ] || scanned=$((scanned - 1))
  drv list "$CAPTION" $PROGRESS $LIST >"$run/list" || fail "reading the list"
  expected_findings "$family" >"$run/expected-findings"
  check_list "$run/expected-findings" "$scanned" "$infected" "$disinfected" "$deleted" "$run/list"
  if [ "$family" == nt ]; then
    check_in_order "$run/list" "System Memory     W32/Opaserv.Worm removed" "$lookalike     W32/Opaserv.Worm deleted"
  fi
}

check_after_full_scan() {
  check_lookalike_ended
  end_scenario
  check_disk_cleaned
  check_run_values "$run/seed/run-kept"
}

# check_browser_opened URL: the shell handed URL to the browser.
check_browser_opened() {
  local i
  for i in $(seq 50); do
    [ -s "$run/urls" ] && break
    sleep 0.1
  done
  expect "URL handed to the browser" "$(tail -n 1 "$run/urls" 2>/dev/null)" "$1"
  rm -f "$run/urls"
}

# After the scan: OK leads to the thank-you dialog; its link opens the
# browser and leaves it open; KEY (OK or escape) closes it and the program.
thank_you_and_exit() {
  local key=$1
  drv click "$CAPTION" $PROGRESS $OK_BUTTON || fail "clicking OK"
  drv wait "$CAPTION" $THANKS 10000 >/dev/null || fail "no thank-you dialog"
  drv wait-gone "$CAPTION" $PROGRESS 5000 || fail "the progress dialog stayed"
  expect "thank-you text" "$(drv text "$CAPTION" $THANKS 1032)" \
    "Thank you for using the Purgato program. You can protect your computer"
  shot thank-you $THANKS
  local url
  url=$(drv text "$CAPTION" $THANKS $THANKS)
  drv press "$CAPTION" $THANKS $THANKS || fail "clicking the home page link"
  check_browser_opened "$url"
  drv wait "$CAPTION" $THANKS 1000 >/dev/null || fail "the thank-you dialog closed on the link"
  if [ "$key" == ok ]; then
    drv click "$CAPTION" $THANKS 1 || fail "clicking OK"
  else
    drv key "$CAPTION" $THANKS escape || fail "pressing Escape"
  fi
  expect_exit "exit status after the thank-you dialog" 0
}

# --- Scenarios -------------------------------------------------------------

# A whole scan: START (ok|enter) starts it; the list, totals, disk and
# registry afterwards.
standard() {
  local personality=$1 family=$2 start=$3
  begin "standard-$personality" "$personality" || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  main_texts
  shot main $MAIN
  if [ "$personality" == winxp ]; then
    # The About box, through the command the main dialog answers.
    drv syscommand "$CAPTION" $MAIN 0x10 || fail "About command"
    if drv wait About 1 5000 >/dev/null; then
      shot about 1 About
      drv click About 1 1 || fail "About OK"
      drv wait-gone About 1 5000 || fail "About stayed"
    else
      fail "no About dialog"
    fi
  fi
  if [ "$personality" == win10 ]; then
    second_copy "while the main dialog is shown"
  fi
  if [ "$start" == enter ]; then
    drv key "$CAPTION" $MAIN enter || fail "pressing Enter"
  else
    drv click "$CAPTION" $MAIN 1 || fail "clicking OK"
  fi
  progress_while_scanning || return
  shot_now progress-scanning $PROGRESS
  must "no \"Scanning completed\"" drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning completed" 60000 || return
  finished_buttons
  shot progress-finished $PROGRESS
  check_full_scan "$family"
  if [ "$personality" == win98 ]; then
    # Escape after the scan still asks; Yes leaves the dialog open.
    drv key "$CAPTION" $PROGRESS escape || fail "pressing Escape"
    expect "question on Escape after the scan" "$(drv answer Warning yes 10000)" "Terminate the Scan now?"
    drv wait "$CAPTION" $PROGRESS 500 >/dev/null || fail "the progress dialog closed on Escape"
    expect "status after Escape" "$(drv text "$CAPTION" $PROGRESS $STATUS)" "Scanning completed"
  fi
  if [ "$personality" == win10 ]; then
    drv click "$CAPTION" $PROGRESS $OK_BUTTON
    drv wait "$CAPTION" $THANKS 10000 >/dev/null || fail "no thank-you dialog"
    second_copy "while the thank-you dialog is shown"
    drv click "$CAPTION" $THANKS 1 || fail "clicking OK"
    expect_exit "exit status after the thank-you dialog" 0
  else
    thank_you_and_exit ok
  fi
  check_after_full_scan
  forget_prefix
}

# second_copy WHEN: another Purgato.exe ends at once and shows nothing.
second_copy() {
  local watch=$run/windows.$SECONDS status=0
  drv no-new-window "$CAPTION" 3000 >"$watch" &
  local watcher=$!
  sleep 0.3
  local started=$SECONDS
  (cd "$WINEPREFIX/drive_c/e2e" && taskset -c 0 timeout 20 wine 'C:\e2e\Purgato.exe') || status=$?
  expect "second copy $1 ends" "$status" 0
  # It ends by itself (a shown dialog would wait for the timeout); a loaded
  # machine may take a while to start it.
  [ $((SECONDS - started)) -le 10 ] || fail "second copy $1 took $((SECONDS - started)) s to end"
  if wait "$watcher"; then
    pass "second copy $1 showed nothing ($(tr -d '\r' <"$watch") window(s) with the caption before and after)"
  else
    fail "second copy $1 showed a window"
  fi
}

# Cancel during the scan, answered Yes: the scan stops with the totals so
# far; what it reached is cleaned, the rest untouched.
cancel_yes() {
  begin cancel-yes winxp --tree "$LONG_TREE" || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  drv click "$CAPTION" $MAIN 1 || fail "clicking OK"
  progress_while_scanning || return
  # Well into the walk of C:.
  drv wait-text "$CAPTION" $PROGRESS $STATUS 'C:\tree\*' 60000 || fail "the walk did not reach C:\tree"
  # OK's command while the walk runs (the button is hidden; its command
  # is what a click sends): nothing opens and the scan goes on.
  drv command "$CAPTION" $PROGRESS $OK_BUTTON || fail "sending OK's command"
  if drv absent "$CAPTION" $THANKS 700 && drv wait "$CAPTION" $PROGRESS 100 >/dev/null; then
    pass "OK during the walk does nothing"
  else
    fail "OK during the walk closed the progress dialog or opened the thank-you dialog"
  fi
  drv click "$CAPTION" $PROGRESS 2 || fail "clicking Cancel"
  expect "question" "$(drv answer Warning yes 10000)" "Terminate the Scan now?"
  must "no \"Scanning terminated\"" drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning terminated" 60000 || return
  finished_buttons
  shot progress-terminated $PROGRESS
  drv list "$CAPTION" $PROGRESS $LIST >"$run/list" || fail "reading the list"
  thank_you_and_exit escape
  end_scenario

  # The totals match what the scan did to the disk before it stopped.
  local relative gone=0 scanned
  : >"$run/gone-now"
  while IFS= read -r relative; do
    [ -e "$WINEPREFIX/drive_c/$relative" ] || {
      echo "$relative" >>"$run/gone-now"
      gone=$((gone + 1))
    }
  done <"$run/seed/gone"
  sed '/^selected: /d' "$run/list" >"$run/list.lines"
  expect "deleted total matches the disk" "$(grep -c '^Total files deleted' "$run/list.lines"):$(sed -n 's/^Total files deleted\t\t:  //p' "$run/list.lines")" "1:$gone"
  scanned=$(sed -n 's/^Total files scanned\t\t:  //p' "$run/list.lines")
  if [ -n "$scanned" ] && [ "$scanned" -gt 0 ] && [ "$scanned" -lt "$files_at_start" ]; then
    pass "stopped part way: $scanned of $files_at_start files scanned"
  else
    fail "files scanned: [$scanned] of $files_at_start"
  fi
  for line in "Scanning statistics" "Total files infected" "Total files disinfected"; do
    grep -q "^$line" "$run/list.lines" || fail "no \"$line\" line"
  done
  # The fixed worm names go with the first file; the one named after a
  # sample only if the scan reached that sample.
  local name sample
  IFS=$'\t' read -r name sample <"$run/seed/run-sample"
  { cat "$run/seed/run-kept"; [ ! -e "$WINEPREFIX/drive_c/$sample" ] || echo "$name"; } >"$run/run-expected"
  check_run_values "$run/run-expected"
  # A start-up file is either cut or as seeded; everything else the scan
  # did not delete is untouched.
  while IFS= read -r relative; do
    cmp -s "$WINEPREFIX/drive_c/$relative" "$run/seed/expected/$relative" ||
      cmp -s "$WINEPREFIX/drive_c/$relative" "$run/seed/seeded/$relative" ||
      fail "$relative neither cut nor as seeded"
  done <"$run/seed/cut"
  check_rest_unchanged "$run/gone-now"
  forget_prefix
}

# Cancel clicked the moment the progress dialog shows, before the scan's
# first tick, and answered Yes: the scan still comes and ends at once,
# terminated, with its statistics; nothing on the disk or in the registry
# changes and the look-alike runs on.
cancel_early() {
  begin cancel-early win98 || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  drv click-then "$CAPTION" $MAIN 1 $PROGRESS 2 20000 >"$run/early" ||
    fail "clicking OK, then Cancel as the progress dialog showed"
  expect "Cancel came before the scan" "$(cat "$run/early")" "status: "
  expect "question" "$(drv answer Warning yes 10000)" "Terminate the Scan now?"
  must "no \"Scanning terminated\"" drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning terminated" 20000 || return
  finished_buttons
  shot progress-early-cancel $PROGRESS
  drv list "$CAPTION" $PROGRESS $LIST >"$run/list" || fail "reading the list"
  expect "the list: the statistics of a scan that did nothing" "$(cat "$run/list")" \
    "$(printf 'Scanning statistics\t\t:\nTotal files scanned\t\t:  0\nTotal files infected\t\t:  0\nTotal files disinfected\t:  0\nTotal files deleted\t\t:  0\nselected: 4')"
  if kill -0 "$lookalike_pid" 2>/dev/null; then pass "the look-alike still runs"; else fail "the look-alike was ended"; fi
  drv click "$CAPTION" $PROGRESS $OK_BUTTON || fail "clicking OK"
  drv wait "$CAPTION" $THANKS 10000 >/dev/null || fail "no thank-you dialog"
  drv click "$CAPTION" $THANKS 1 || fail "clicking OK"
  expect_exit "exit status" 0
  end_scenario
  check_disk_untouched
  check_run_values <(cat "$run/seed/run-gone" "$run/seed/run-kept")
  forget_prefix
}

# Cancel answered No, then Escape (the walker's own question) answered No
# while a second copy tries to start: the scan goes on to its end.
cancel_no_escape() {
  begin cancel-no-escape win10 --tree "$LONG_TREE" || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  drv click "$CAPTION" $MAIN 1 || fail "clicking OK"
  progress_while_scanning || return
  drv click "$CAPTION" $PROGRESS 2 || fail "clicking Cancel"
  expect "question on Cancel" "$(drv answer Warning no 10000)" "Terminate the Scan now?"
  expect "Cancel after No" "$(drv state "$CAPTION" $PROGRESS 2)" "visible enabled"
  drv key "$CAPTION" $PROGRESS escape || fail "pressing Escape"
  drv wait Warning 0 10000 >/dev/null || fail "no question on Escape"
  shot progress-question
  crop_around progress-question "$(drv rect "$CAPTION" $PROGRESS 0)" "$(drv rect Warning 0 0)"
  second_copy "while the progress dialog is shown"
  expect "question on Escape" "$(drv answer Warning no 10000)" "Terminate the Scan now?"
  must "no \"Scanning completed\"" drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning completed" 60000 || return
  finished_buttons
  check_full_scan nt
  drv click "$CAPTION" $PROGRESS $OK_BUTTON
  drv wait "$CAPTION" $THANKS 10000 >/dev/null || fail "no thank-you dialog"
  drv click "$CAPTION" $THANKS 1 || fail "clicking OK"
  expect_exit "exit status" 0
  check_after_full_scan
  forget_prefix
}

# The main dialog closed without a scan: KEY is cancel or escape.
main_closed() {
  local personality=$1 how=$2
  begin "main-$how" "$personality" || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  if [ "$how" == cancel ]; then
    drv click "$CAPTION" $MAIN 2 || fail "clicking Cancel"
  else
    drv key "$CAPTION" $MAIN escape || fail "pressing Escape"
  fi
  expect_exit "exit status" 0
  if kill -0 "$lookalike_pid" 2>/dev/null; then pass "the look-alike still runs"; else fail "the look-alike was ended"; fi
  end_scenario
  check_disk_untouched
  check_run_values <(cat "$run/seed/run-gone" "$run/seed/run-kept")
  forget_prefix
}

# More findings than the list keeps: emptied during the walk, every
# statistics line kept at the end.
long_list() {
  # With 298 findings the list holds 148 when the six statistics lines
  # come, so that they take it past 150.
  local companions=${E2E_COMPANIONS:-278}
  begin long-list winxp --companions $companions || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  drv click "$CAPTION" $MAIN 1 || fail "clicking OK"
  must "no progress dialog" drv wait "$CAPTION" $PROGRESS 10000 || return
  drv watch-list "$CAPTION" $PROGRESS $LIST $STATUS "Scanning completed" 60000 >"$run/watch" ||
    fail "watching the list"
  local findings highest
  findings=$(expected_findings nt | wc -l)
  expect "findings in this run" "$findings" 298
  highest=$(sed -n 's/^highest: //p' "$run/watch")
  # 150 during the walk, 148 + 6 at the end.
  expect "most lines the list held" "$highest" 154
  # The poll may miss the 150th line itself, not the emptying.
  if grep -Eq '^drop: 1[0-9]{2} -> [1-9]$' "$run/watch"; then
    pass "the list was emptied during the walk ($(grep '^drop' "$run/watch" | tr '\n' ' '))"
  else
    fail "the list was not seen emptied: $(tr '\n' ' ' <"$run/watch")"
  fi
  drv list "$CAPTION" $PROGRESS $LIST >"$run/list" || fail "reading the list"
  sed '/^selected: /d' "$run/list" >"$run/list.lines"
  expect "lines at the end" "$(wc -l <"$run/list.lines")" 154
  read -r infected disinfected deleted <"$run/seed/counts"
  local stats
  stats=$(printf ' \nScanning statistics\t\t:\nTotal files scanned\t\t:  %s\nTotal files infected\t\t:  %s\nTotal files disinfected\t:  %s\nTotal files deleted\t\t:  %s' \
    "$((files_at_start - 1))" "$infected" "$disinfected" "$deleted")
  expect "statistics block" "$(tail -n 6 "$run/list.lines")" "$stats"
  expected_findings nt | LC_ALL=C sort >"$run/expected-findings"
  local strangers
  strangers=$(head -n 148 "$run/list.lines" | LC_ALL=C sort | comm -23 - "$run/expected-findings")
  expect "the kept findings are findings of this scan" "$strangers" ""
  drv click "$CAPTION" $PROGRESS $OK_BUTTON
  drv wait "$CAPTION" $THANKS 10000 >/dev/null || fail "no thank-you dialog"
  drv click "$CAPTION" $THANKS 1 || fail "clicking OK"
  expect_exit "exit status" 0
  check_after_full_scan
  forget_prefix
}

# The main dialog's link opens the browser; with no browser for the URL's
# scheme the label says so.
links() {
  begin links win98 || return
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  local url
  url=$(drv text "$CAPTION" $MAIN $MAIN)
  drv press "$CAPTION" $MAIN $MAIN || fail "clicking the link"
  check_browser_opened "$url"
  # No handler for the scheme any more: the shell cannot open the URL.
  local scheme=${url%%:*}
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 wine reg delete "HKCR\\$scheme" /f >/dev/null 2>&1) ||
    fail "removing the $scheme handler"
  drv press "$CAPTION" $MAIN $MAIN || fail "clicking the link"
  expect "message on a failed launch" "$(drv answer GUI ok 10000)" "Unable to launch Internet Browser"
  [ ! -s "$run/urls" ] || fail "the browser was started: $(cat "$run/urls")"
  drv click "$CAPTION" $MAIN 2 || fail "clicking Cancel"
  expect_exit "exit status" 0
  end_scenario
  check_disk_untouched
  forget_prefix
}

# A worm file another program holds open: the list says it will be
# deleted when Windows restarts and counts it as deleted; it stays as it
# was until then, and the rest is cleaned.
locked() {
  local held=windows/INSTIT.EXE holder
  begin locked-winxp winxp || return
  local windows_path="C:\\${held//\//\\}"
  cp "$E2E_WIN32/hold_open.exe" "$WINEPREFIX/drive_c/e2e/"
  snapshot >"$run/before"
  files_at_start=$((files_at_start + 1))
  hold_open "$windows_path" || return
  cp "$WINEPREFIX/drive_c/$held" "$run/held-before"
  start_purgato
  must "no main dialog" drv wait "$CAPTION" $MAIN 20000 || return
  drv click "$CAPTION" $MAIN 1 || fail "clicking OK"
  progress_while_scanning || return
  must "no \"Scanning completed\"" drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning completed" 60000 || return
  shot progress-finished $PROGRESS
  local infected disinfected deleted
  read -r infected disinfected deleted <"$run/seed/counts"
  drv list "$CAPTION" $PROGRESS $LIST >"$run/list" || fail "reading the list"
  expected_findings nt |
    HELD="$windows_path     " awk 'index($0, ENVIRON["HELD"]) == 1 { sub(/ deleted$/, " will be deleted when Windows restarts") } { print }' \
      >"$run/expected-findings"
  grep -q 'will be deleted when Windows restarts$' "$run/expected-findings" || fail "no line of $held among the findings"
  check_list "$run/expected-findings" "$((files_at_start - 1))" "$infected" "$disinfected" "$deleted" "$run/list"
  drv click "$CAPTION" $PROGRESS $OK_BUTTON || fail "clicking OK"
  drv wait "$CAPTION" $THANKS 10000 >/dev/null || fail "no thank-you dialog"
  drv click "$CAPTION" $THANKS 1 || fail "clicking OK"
  expect_exit "exit status after the thank-you dialog" 0
  check_lookalike_ended
  kill "$holder" 2>/dev/null
  end_scenario
  if cmp -s "$WINEPREFIX/drive_c/$held" "$run/held-before"; then
    pass "$held still there, unchanged, until the restart"
  else
    fail "$held deleted or changed"
  fi
  grep -vx "$held" "$run/seed/gone" >"$run/gone"
  check_rest_unchanged "$run/gone"
  check_run_values "$run/seed/run-kept"
  forget_prefix
}

all_scenarios=(standard-win98 standard-winxp standard-win10 cancel-yes cancel-early cancel-no-escape main-cancel main-escape
  long-list links locked-winxp)

run_scenario() {
  case $1 in
    standard-win98) standard win98 9x enter ;;
    standard-winxp) standard winxp nt ok ;;
    standard-win10) standard win10 nt ok ;;
    cancel-yes) cancel_yes ;;
    cancel-early) cancel_early ;;
    cancel-no-escape) cancel_no_escape ;;
    main-cancel) main_closed win98 cancel ;;
    main-escape) main_closed winxp escape ;;
    long-list) long_list ;;
    links) links ;;
    locked-winxp) locked ;;
    *)
      echo "run_e2e: no scenario $1 (there are: ${all_scenarios[*]})" >&2
      failures+=("$1: no such scenario")
      ;;
  esac
}

start=$SECONDS
e2e_init || exit 1
[ $# -gt 0 ] || set -- "${all_scenarios[@]}"
for name in "$@"; do
  run_scenario "$name"
done
wine_stop
echo
echo "end-to-end: $# scenario(s) in $((SECONDS - start)) s; screenshots in $E2E_WORK/shots"
e2e_summary
