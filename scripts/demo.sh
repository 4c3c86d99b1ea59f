#!/usr/bin/env bash
# Purgato's job on a demo computer: the real Purgato.exe under Wine, on a
# C: drive seeded with harmless samples of every worm variant, the
# companion file, the worm's Run values, infected win.ini and autoexec.bat
# tails, and a running look-alike of the worm's process.
#
#   scripts/demo.sh [--windows win98|winxp|win10] [--console]
#
# With a display ($DISPLAY) the program's window opens there: press OK and
# watch the scan. Without one it runs on a virtual display, presses OK by
# itself, prints the list and the statistics when the scan ends and saves
# screenshots. Either way the script then shows what the scan changed.
# --console instead runs the console scanner over a demo volume of this
# machine's own file system (the way to scan a mounted Windows disk), and
# installs only what that needs: no Wine, no Windows cross-compiler.
# On a machine that cannot run 32-bit programs (scripts/probe_32bit.sh)
# the demo runs the 64-bit test build of Purgato.exe under wine64.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

windows=winxp
console=
while [ $# -gt 0 ]; do
  case $1 in
    --windows)
      windows=${2:?--windows needs win98, winxp or win10}
      shift 2
      ;;
    --console)
      console=1
      shift
      ;;
    *)
      echo "usage: scripts/demo.sh [--windows win98|winxp|win10] [--console]" >&2
      exit 2
      ;;
  esac
done
case $windows in
  win98 | nt40 | win2k | winxp | win10) ;;
  *)
    echo "demo: --windows takes win98, nt40, win2k, winxp or win10" >&2
    exit 2
    ;;
esac

# The console demo builds in a tree of its own, without the unit tests,
# whose framework a console-only machine does not have.
console_build=build/console

console_demo() {
  cmake -S "$root" -B "$console_build" -G Ninja -DPURGATO_TESTS=OFF -DPURGATO_BENCH=OFF -DPURGATO_WERROR=ON >/dev/null
  ninja -C "$console_build" -j2 purgato-scan make_samples
  local demo volume status=0
  demo=$(mktemp -d "${TMPDIR:-/tmp}/purgato-demo.XXXXXX")
  trap "rm -rf '$demo'" EXIT
  volume="$demo/C"
  mkdir -p "$volume"
  "$console_build/make_samples" "$volume"
  list_volume() { (cd "$volume" && find . -type f -printf '%P  (%s bytes)\n' | sort); }
  echo
  echo "=== the volume before the scan"
  list_volume
  echo
  echo "=== purgato-scan --drive C=$volume"
  "$console_build/purgato-scan" --drive "C=$volume" || status=$?
  echo
  echo "=== the volume after the scan"
  list_volume
  echo
  case $status in
    0) echo "purgato-scan: exit status 0, nothing found" ;;
    1) echo "purgato-scan: exit status 1, worm files found and handled" ;;
    *)
      echo "purgato-scan: failed with exit status $status" >&2
      exit 1
      ;;
  esac
}

# The console scanner on a Windows NT-style volume: the worm's Run values in
# the SOFTWARE hive and its service in the SYSTEM hive go, the clean value
# and service stay; hivexget shows both hives before and after.
console_nt_demo() (
  ninja -C "$console_build" -j2 purgato-scan make_nt_volume
  local demo volume config status=0
  demo=$(mktemp -d "${TMPDIR:-/tmp}/purgato-nt-demo.XXXXXX")
  trap "rm -rf '$demo'" EXIT
  volume="$demo/C"
  config="$volume/WINNT/system32/config"
  "$console_build/make_nt_volume" "$volume"
  show_registry() {
    echo "--- SOFTWARE: Microsoft\Windows\CurrentVersion\Run"
    hivexget "$config/SOFTWARE" 'Microsoft\Windows\CurrentVersion\Run' || true
    local set service
    for set in ControlSet001 ControlSet002; do
      for service in mstask Spooler; do
        echo "--- SYSTEM: $set\\Services\\$service"
        hivexget "$config/SYSTEM" "$set\\Services\\$service" 2>/dev/null || echo "(no such key)"
      done
    done
  }
  echo
  echo "=== the NT volume's registry before the scan"
  show_registry
  echo
  echo "=== purgato-scan --drive C=$volume"
  "$console_build/purgato-scan" --drive "C=$volume" || status=$?
  echo
  echo "=== the NT volume's registry after the scan"
  show_registry
  echo
  echo "--- the hive folder"
  (cd "$config" && ls -l)
  echo
  if [ "$status" -ne 1 ]; then
    echo "purgato-scan: exit status $status on the NT volume, expected 1" >&2
    exit 1
  fi
  echo "purgato-scan: exit status 1, the worm's file, Run values and service removed"
)

if [ -n "$console" ]; then
  "$root/scripts/setup.sh" --console
  console_demo
  console_nt_demo
  exit 0
fi

if [ -z "${DEMO_STARTED:-}" ]; then
  "$root/scripts/setup.sh"
  if no_32bit=$("$root/scripts/probe_32bit.sh"); then
    export DEMO_BITS=32
  else
    export DEMO_BITS=64
    echo "demo: this machine cannot run the 32-bit Purgato.exe ($no_32bit); running its 64-bit test build under wine64"
  fi
  toolchain=$root/cmake/mingw-i686.cmake
  [ "$DEMO_BITS" = 32 ] || toolchain=$root/cmake/mingw-x86_64.cmake
  cmake -S "$root" -B "build/win$DEMO_BITS" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DPURGATO_WERROR=ON >/dev/null
  ninja -C "build/win$DEMO_BITS" -j2 Purgato gui_driver
  cmake -S "$root" -B build/native -G Ninja -DPURGATO_WERROR=ON >/dev/null
  ninja -C build/native -j2 seed_wine
  if [ -z "${DISPLAY:-}" ]; then
    echo "demo: no display; running on a virtual one and pressing OK by itself"
    exec env DEMO_STARTED=1 DEMO_UNATTENDED=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --windows "$windows"
  fi
  # The prefix gets a home of its own; X must still find the user's key.
  export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
fi
unattended=${DEMO_UNATTENDED:-}

E2E_WIN32=$root/build/win${DEMO_BITS:-32}
E2E_NATIVE=$root/build/native
E2E_WORK=$E2E_WIN32/demo
# On a desktop the window manager frames the windows, and the user takes
# the time they want.
if [ -z "$unattended" ]; then
  E2E_MANAGED=1
  E2E_TIMEOUT=0
fi
set +e
# shellcheck source=tests/e2e/e2e_lib.sh
. "$root/tests/e2e/e2e_lib.sh"

if ! e2e_init >/dev/null; then
  echo "demo: Wine could not make its prefix (its message is above); scripts/demo.sh --console scans without Wine" >&2
  exit 1
fi
begin demo "$windows" || exit 1
drive_c=$WINEPREFIX/drive_c

echo "Windows version: $windows (Wine's personality); C: is $drive_c"
echo
echo "=== what the demo computer holds"
echo "worm samples and the companion file:"
sed 's/^/  C:\\/; s|/|\\|g' "$run/seed/gone"
echo "running: $lookalike (a harmless look-alike that carries the worm's bytes)"
echo "start-up files with the worm's entries at their end: C:\\windows\\win.ini, C:\\autoexec.bat"
echo "Run values (HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run):"
sed -n 's/^"\([^"]*\)"=.*/  \1/p' "$run/seed/run.reg"

start_purgato
if ! drv wait "$CAPTION" $MAIN 30000 >/dev/null; then
  echo "demo: Purgato.exe did not show its window" >&2
  end_scenario
  exit 1
fi
echo
if [ -n "$unattended" ]; then
  shot main $MAIN
  echo "=== pressing OK"
  drv click "$CAPTION" $MAIN 1
else
  echo "=== Purgato.exe is open on $DISPLAY: press OK to scan"
fi

# The end of the scan, or of the program if the user closes it unscanned.
scanned=
while kill -0 "$purgato_pid" 2>/dev/null; do
  if [ -n "$unattended" ] && [ -z "${scanning_shot:-}" ] && drv wait "$CAPTION" $PROGRESS 0 >/dev/null 2>&1; then
    shot_now progress-scanning
    scanning_shot=1
  fi
  if drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning *" 1000 >/dev/null 2>&1; then
    scanned=1
    break
  fi
done

if [ -n "$scanned" ]; then
  echo
  echo "=== the list of the progress dialog"
  drv list "$CAPTION" $PROGRESS $LIST | sed '/^selected: /d' | expand -t 8
  echo "status: $(drv text "$CAPTION" $PROGRESS $STATUS)"
  if [ -n "$unattended" ]; then
    shot progress-finished $PROGRESS
    drv click "$CAPTION" $PROGRESS $OK_BUTTON
    drv wait "$CAPTION" $THANKS 10000 >/dev/null && shot thank-you $THANKS
    drv click "$CAPTION" $THANKS 1
  else
    echo
    echo "=== press OK, then OK in the thank-you dialog, to end Purgato.exe"
  fi
fi
status=0
if [ -n "$unattended" ]; then
  wait_exit "$purgato_pid" 30 || status=$?
else
  wait "$purgato_pid" || status=$?
fi
purgato_pid=
echo "Purgato.exe ended with exit status $status"
end_scenario

echo
echo "=== what the scan changed"
while IFS= read -r relative; do
  if [ -e "$drive_c/$relative" ]; then state=kept; else state=deleted; fi
  printf '  %-8s C:\\%s\n' "$state" "$(tr '/' '\\' <<<"$relative")"
done <"$run/seed/gone"
while IFS= read -r relative; do
  if cmp -s "$drive_c/$relative" "$run/seed/expected/$relative"; then state=cut; else state=unchanged; fi
  printf '  %-8s C:\\%s\n' "$state" "$(tr '/' '\\' <<<"$relative")"
done <"$run/seed/cut"
echo "  Run values left: $(run_values | tr '\n' ' ')"
check_rest_unchanged "$run/seed/gone"
if [ -n "$unattended" ]; then
  echo
  echo "screenshots: $E2E_WORK/shots/"
  ls "$E2E_WORK/shots" | sed 's/^/  /'
fi
echo "the demo prefix stays in $WINEPREFIX until the next demo"
