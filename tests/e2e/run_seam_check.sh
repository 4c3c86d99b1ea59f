#!/usr/bin/env bash
# Runs win32_seam_check.exe of a Windows build under Wine.
#   tests/e2e/run_seam_check.sh BUILD_DIR
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?usage: run_seam_check.sh BUILD_DIR}
exe="$build/win32_seam_check.exe"
[ -f "$exe" ] || { echo "no $exe: build the Windows target win32_seam_check first" >&2; exit 2; }

# shellcheck source=tests/e2e/wine_prefix.sh
. "$here/wine_prefix.sh"
wine_prefix_init "$build" "$(wine_image_bits "$exe")"
wine_stop

# Programs run from C:, never from a Unix path (whose files Windows code
# cannot delete and whose path is a \\?\unix one).
mkdir -p "$WINEPREFIX/drive_c/purgato-check"
cp "$exe" "$WINEPREFIX/drive_c/purgato-check/win32_seam_check.exe"

status=0
wine_run 'C:\purgato-check\win32_seam_check.exe' | tr -d '\r' || status=$?
wine_stop
rm -rf "$WINEPREFIX/drive_c/purgato-check"
if [ "$status" -ne 0 ]; then
  echo "win32 seam check: FAILED (status $status)" >&2
  exit 1
fi
echo "win32 seam check: passed"
