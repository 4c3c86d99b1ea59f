# shellcheck shell=bash
# Sourced by run_e2e.sh and scripts/demo.sh: one Wine prefix per run, copied
# from a pristine one, seeded with harmless samples, with Purgato.exe and
# the driver on its C: drive; checks that record failures and go on.
#
# Needs: E2E_WIN32 (the Windows build folder), E2E_NATIVE (a native build
# folder holding seed_wine), E2E_WORK (where prefixes, logs and shots go).
# E2E_MANAGED=1 leaves the windows to a window manager (a desktop display).

# shellcheck source=tests/e2e/wine_prefix.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_prefix.sh"

CAPTION="Purgato Ver 1.5"
MAIN=1015      # a control only the main dialog has (its link)
PROGRESS=1001  # the progress list
THANKS=1016    # the thank-you dialog's link
LIST=1001
STATUS=1004
OK_BUTTON=1003

failures=()
scenario=
run=

fail() {
  echo "  FAIL: $*"
  failures+=("$scenario: $*")
}

pass() { echo "  ok: $*"; }

# expect DESCRIPTION ACTUAL EXPECTED
expect() {
  if [ "$2" == "$3" ]; then
    pass "$1"
  else
    fail "$1: got [$2], expected [$3]"
  fi
}

# The pristine prefix, made once per build folder, of the build's bitness.
e2e_init() {
  mkdir -p "$E2E_WORK/shots" "$E2E_WORK/runs"
  local bits
  bits=$(wine_image_bits "$E2E_WIN32/gui_driver.exe") || return 1
  wine_prefix_init "$E2E_WORK" "$bits" || return 1
  pristine=$WINEPREFIX
}

# drv ARGS...: one driver command; its output without carriage returns.
drv() {
  local out=$run/drv.$BASHPID.out
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 wine 'C:\e2e\gui_driver.exe' "$@") >"$out"
  local status=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $status
}

# begin NAME PERSONALITY [seed_wine options]: a fresh seeded prefix with
# the given Windows version, the look-alike running.
begin() {
  scenario=$1
  local personality=$2
  shift 2
  echo
  echo "=== $scenario ($personality)"
  scenario_start=$SECONDS
  run=$E2E_WORK/runs/$scenario
  rm -rf "$run"
  mkdir -p "$run"
  wine_stop
  export WINEPREFIX=$run/prefix
  cp -a "$pristine" "$WINEPREFIX"
  local drive_c=$WINEPREFIX/drive_c
  "$E2E_NATIVE/seed_wine" "$drive_c" "$run/seed" --bits "$WINE_BITS" "$@" || {
    fail "seeding"
    return 1
  }
  mkdir -p "$drive_c/e2e"
  cp "$E2E_WIN32/Purgato.exe" "$E2E_WIN32/gui_driver.exe" "$drive_c/e2e/"

  # The shell's browser is a script that writes down what it is asked to open.
  printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>"%s/urls"\n' "$run" >"$run/browser.sh"
  chmod +x "$run/browser.sh"
  {
    cat "$run/seed/run.reg"
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine]\r\n"Version"="%s"\r\n' "$personality"
    # No window manager on Xvfb: without this Wine waits on every hide.
    [ -n "${E2E_MANAGED:-}" ] || printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]\r\n"Browsers"="%s"\r\n' "$run/browser.sh"
  } >"$drive_c/e2e/setup.reg"
  (cd "$drive_c" && taskset -c 0 wine reg import 'C:\e2e\setup.reg' >/dev/null 2>&1) || fail "wine reg import"
  rm -f "$drive_c/e2e/setup.reg"

  drv attrib "$(cat "$run/seed/readonly")" rh || fail "read-only hidden sample"
  lookalike=$(cat "$run/seed/lookalike")
  # The scan on the 9x family never compares the first process of the list
  # (the system's own, on Windows 9x). Under Wine the first is the oldest:
  # a look-alike that starts a new wineserver would be it, and would stay
  # running. So the driver that waits for it starts first, and the
  # look-alike only once the system processes that driver brings up run.
  drv wait-process "$lookalike" 20000 &
  local waiter=$!
  system_processes_run || fail "no services.exe in the prefix"
  (cd "$drive_c" && exec taskset -c 0 wine "$lookalike") &
  lookalike_pid=$!
  wait "$waiter" || fail "the look-alike did not start"
  snapshot >"$run/before"
  files_at_start=$(cd "$drive_c" && find . -type f | wc -l)
  purgato_pid=
}

# True once the driver and services.exe of this prefix both run (for at
# most 20 s): the driver keeps the server and its system processes up.
system_processes_run() {
  local _ proc program kind found
  for _ in $(seq 200); do
    found=
    for proc in /proc/[0-9]*; do
      IFS= read -r -d '' program <"$proc/cmdline" 2>/dev/null || continue
      case $program in
        *\\services.exe) kind=s ;;
        *\\gui_driver.exe) kind=d ;;
        *) continue ;;
      esac
      tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && found+=$kind
    done
    [[ $found == *s* && $found == *d* ]] && return 0
    sleep 0.1
  done
  return 1
}

# Every file with its size, time, mode and checksum of its content, every
# folder by name only (deleting a file changes its folder's time); one line
# each, the path before a tab.
snapshot() {
  (
    cd "$WINEPREFIX/drive_c" || exit 1
    find . -mindepth 1 -type d -printf 'd %P\t\n'
    find . -type f -print0 | xargs -0 -r cksum | sed 's|^\([0-9]*\) [0-9]* \./|\1 |' >"$run/checksums"
    find . -type f -printf '%P\t%s %T@ %m\n' |
      awk -F '\t' 'NR == FNR { crc = $0; sub(/ .*/, "", crc); path = $0; sub(/^[0-9]+ /, "", path); sum[path] = crc; next }
        { print "f " $1 "\t" $2 " " sum[$1] }' "$run/checksums" -
  ) | LC_ALL=C sort
}

# start_purgato: in the background, ended after E2E_TIMEOUT seconds (300;
# 0 for never).
start_purgato() {
  (cd "$WINEPREFIX/drive_c/e2e" && exec taskset -c 0 timeout "${E2E_TIMEOUT:-300}" wine 'C:\e2e\Purgato.exe') &
  purgato_pid=$!
}

# wait_exit PID SECONDS: the process's exit status, or 124 if it still runs.
wait_exit() {
  local pid=$1 deadline=$((SECONDS + $2))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt "$deadline" ] || return 124
    sleep 0.05
  done
  wait "$pid"
}

# expect_exit DESCRIPTION STATUS: Purgato ends within 20 s with STATUS.
expect_exit() {
  local status=0
  wait_exit "$purgato_pid" 20 || status=$?
  purgato_pid=
  expect "$1" "$status" "$2"
}

# shot NAME [CONTROL-OWNER-ID [CAPTION]]: the screen, once it has stopped
# changing, as shots/SCENARIO-NAME.png; with a dialog, also cropped to it.
shot() {
  local name=$1 file=$E2E_WORK/shots/$scenario-$1.png previous= now tries=0
  while [ $tries -lt 15 ]; do
    import -window root "$file" 2>/dev/null || break
    now=$(identify -format '%#' "$file" 2>/dev/null)
    [ -n "$now" ] && [ "$now" == "$previous" ] && break
    previous=$now
    tries=$((tries + 1))
    sleep 0.15
  done
  if [ $# -ge 2 ]; then
    local rect
    rect=$(drv rect "${3:-$CAPTION}" "$2" 0) &&
      convert "$file" -crop "$rect" +repage "$E2E_WORK/shots/$scenario-$name-dialog.png"
  fi
}

# shot_now NAME [CONTROL-OWNER-ID]: the screen as it is (for a dialog that
# keeps changing), and the dialog cropped from it.
shot_now() {
  local file=$E2E_WORK/shots/$scenario-$1.png rect
  import -window root "$file" 2>/dev/null || return
  if [ $# -ge 2 ]; then
    rect=$(drv rect "$CAPTION" "$2" 0) && convert "$file" -crop "$rect" +repage "$E2E_WORK/shots/$scenario-$1-dialog.png"
  fi
}

# crop_around NAME RECT...: shots/SCENARIO-NAME-dialog.png, the part of the
# screen shot NAME that holds all the given windows ("WxH+X+Y").
crop_around() {
  local name=$1 rect w h x y left= top= right=0 bottom=0
  shift
  for rect in "$@"; do
    IFS='x+' read -r w h x y <<<"$rect"
    [ -n "$left" ] && [ "$x" -ge "$left" ] || left=$x
    [ -n "$top" ] && [ "$y" -ge "$top" ] || top=$y
    [ $((x + w)) -le $right ] || right=$((x + w))
    [ $((y + h)) -le $bottom ] || bottom=$((y + h))
  done
  convert "$E2E_WORK/shots/$scenario-$name.png" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage \
    "$E2E_WORK/shots/$scenario-$name-dialog.png"
}

# The Run values of the machine, from the registry file that the ended
# wineserver has written.
run_values() {
  awk '/^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run\]/ { inside = 1; next }
       /^\[/ { inside = 0 }
       inside && /^"/ { sub(/^"/, ""); sub(/"=.*/, ""); print }' "$WINEPREFIX/system.reg" | LC_ALL=C sort
}

# end_scenario: stops everything of the prefix, runs the given checks of
# the disk and the registry, removes the prefix unless E2E_KEEP is set.
end_scenario() {
  [ -z "$purgato_pid" ] || kill "$purgato_pid" 2>/dev/null
  kill "$lookalike_pid" 2>/dev/null
  wine_stop
  wait 2>/dev/null
  snapshot >"$run/after"
}

# must DESCRIPTION COMMAND...: a step the rest of the scenario needs; when
# it fails, the scenario ends here (callers add "|| return").
must() {
  local what=$1
  shift
  "$@" >/dev/null && return 0
  fail "$what"
  end_scenario
  forget_prefix
  return 1
}

# hold_open WINDOWS_PATH: hold_open.exe (copied under C:\e2e) keeps the
# file open without write sharing, as a running program would; waits until
# it says so. Its pid is left in $holder, for the caller to end.
hold_open() {
  local _
  (cd "$WINEPREFIX/drive_c" && exec taskset -c 0 wine 'C:\e2e\hold_open.exe' "$1") >"$run/hold" 2>&1 &
  # shellcheck disable=SC2034 # the caller ends it
  holder=$!
  for _ in $(seq 100); do
    grep -q held "$run/hold" 2>/dev/null && break
    sleep 0.1
  done
  must "hold_open did not open $1" grep -q held "$run/hold"
}

forget_prefix() {
  [ -n "${E2E_KEEP:-}" ] || rm -rf "$WINEPREFIX"
  echo "  ($((SECONDS - scenario_start)) s)"
}

# The disk after a scan that ran to its end: every sample and the
# look-alike gone, the tails cut, every other file as it was.
check_disk_cleaned() {
  local relative left=0
  while IFS= read -r relative; do
    [ ! -e "$WINEPREFIX/drive_c/$relative" ] || {
      left=$((left + 1))
      fail "still on the disk: $relative"
    }
  done <"$run/seed/gone"
  [ $left -ne 0 ] || pass "every sample and the look-alike deleted"
  while IFS= read -r relative; do
    if cmp -s "$WINEPREFIX/drive_c/$relative" "$run/seed/expected/$relative"; then
      pass "$relative cut to its content before the worm's entries"
    else
      fail "$relative not cut as expected"
    fi
  done <"$run/seed/cut"
  check_rest_unchanged "$run/seed/gone"
}

# check_rest_unchanged [GONE-LIST]: every file but the listed and the cut
# ones has its content, size, time and mode of before the run; no file is
# new and no folder gone.
check_rest_unchanged() {
  local gone=${1:-/dev/null} changed
  rest() { cat "$gone" "$run/seed/cut" | awk -F '\t' 'NR == FNR { skip["f " $0] = 1; next } !($1 in skip)' - "$1"; }
  rest "$run/before" >"$run/before.rest"
  rest "$run/after" >"$run/after.rest"
  changed=$(diff "$run/before.rest" "$run/after.rest")
  if [ -z "$changed" ]; then
    pass "every other file and folder of C: unchanged"
  else
    fail "other files changed:"
    printf '%s\n' "$changed" | head -20 | sed 's/^/    /'
  fi
}

# The disk after a run that scanned nothing: exactly as before.
check_disk_untouched() {
  if diff -q "$run/before" "$run/after" >/dev/null; then
    pass "C: unchanged"
  else
    fail "C: changed:"
    diff "$run/before" "$run/after" | head -20 | sed 's/^/    /'
  fi
}

check_run_values() {
  local expected=$1
  expect "Run values left" "$(run_values | tr '\n' ' ')" "$(LC_ALL=C sort "$expected" | tr '\n' ' ')"
}

# The list's findings must be exactly FILE's lines (order free), followed by
# the statistics block; the newest line selected.
check_list() {
  local expected_findings=$1 scanned=$2 infected=$3 disinfected=$4 deleted=$5 list=$6
  local count selected
  selected=$(sed -n 's/^selected: //p' "$list")
  sed '/^selected: /d' "$list" >"$list.lines"
  count=$(wc -l <"$list.lines")
  expect "newest line selected" "$selected" "$((count - 1))"
  local stats
  stats=$(printf ' \nScanning statistics\t\t:\nTotal files scanned\t\t:  %s\nTotal files infected\t\t:  %s\nTotal files disinfected\t:  %s\nTotal files deleted\t\t:  %s' \
    "$scanned" "$infected" "$disinfected" "$deleted")
  expect "statistics block" "$(tail -n 6 "$list.lines")" "$stats"
  expect "findings (sorted)" "$(head -n $((count - 6)) "$list.lines" | LC_ALL=C sort)" \
    "$(LC_ALL=C sort "$expected_findings")"
}

# check_in_order LIST FIRST SECOND: SECOND is the line right after FIRST.
check_in_order() {
  if FIRST=$2 SECOND=$3 awk 'previous == ENVIRON["FIRST"] && $0 == ENVIRON["SECOND"] { found = 1 }
      { previous = $0 } END { exit !found }' "$1"; then
    pass "\"$2\" right before \"$3\""
  else
    fail "\"$2\" not right before \"$3\""
  fi
}

# The look-alike has been ended.
check_lookalike_ended() {
  if wait_exit "$lookalike_pid" 5 >/dev/null; then
    pass "the running look-alike was ended"
  else
    fail "the running look-alike still runs"
  fi
}

e2e_summary() {
  echo
  if [ ${#failures[@]} -eq 0 ]; then
    echo "end-to-end: all checks passed"
    return 0
  fi
  echo "end-to-end: ${#failures[@]} failed check(s):"
  printf '  %s\n' "${failures[@]}"
  return 1
}
