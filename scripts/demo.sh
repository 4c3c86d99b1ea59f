#!/usr/bin/env bash
# Purgato's job on a built-in demo: a small Windows-like volume with clean
# files, a sample of every worm variant, the companion file and infected
# start-up files, scanned and cleaned by the console scanner.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"

cmake -S "$root" -B build/native -G Ninja -DPURGATO_WERROR=ON >/dev/null
ninja -C build/native -j2 purgato-scan make_samples

demo=$(mktemp -d "${TMPDIR:-/tmp}/purgato-demo.XXXXXX")
trap 'rm -rf "$demo"' EXIT
volume="$demo/C"
mkdir -p "$volume"
build/native/make_samples "$volume"

list_volume() {
  (cd "$volume" && find . -type f -printf '%P  (%s bytes)\n' | sort)
}

echo
echo "=== the volume before the scan"
list_volume
echo
echo "=== purgato-scan --drive C=$volume"
status=0
build/native/purgato-scan --drive "C=$volume" || status=$?
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
