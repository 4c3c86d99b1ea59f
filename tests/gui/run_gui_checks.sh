#!/usr/bin/env bash
# Runs gui_checks.exe of a Windows build under Wine, on an Xvfb display
# unless one is set.
#   tests/gui/run_gui_checks.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:?usage: run_gui_checks.sh BUILD_DIR}
exe="$build/gui_checks.exe"
[ -f "$exe" ] || { echo "no $exe: build the Windows target gui_checks first" >&2; exit 2; }

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

# shellcheck source=tests/e2e/wine_prefix.sh
. "$root/tests/e2e/wine_prefix.sh"
wine_prefix_init "$build" "$(wine_image_bits "$exe")"
wine_stop
# Without a window manager Wine waits about 2 s on every hidden window.
taskset -c 0 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine_stop

mkdir -p "$WINEPREFIX/drive_c/purgato-gui-checks"
cp "$exe" "$WINEPREFIX/drive_c/purgato-gui-checks/gui_checks.exe"
status=0
wine_run 'C:\purgato-gui-checks\gui_checks.exe' | tr -d '\r' || status=$?
wine_stop
rm -rf "$WINEPREFIX/drive_c/purgato-gui-checks"
if [ "$status" -ne 0 ]; then
  echo "dialog checks: FAILED (status $status)" >&2
  exit 1
fi
echo "dialog checks: passed"
