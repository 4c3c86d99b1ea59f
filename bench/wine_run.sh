#!/usr/bin/env bash
# Throughput of the Windows scanners under Wine against a Win32 floor walk
# (bench/win32/floor_walk.cpp) over the same C: drive.
#
#   bench/wine_run.sh [N] [BITS]  N files in the benchmark tree (default
#                                 20000); BITS 32 (default: the product's
#                                 images) or 64 (the test twin, wine64)
#
# Environment: RUNS (default 5; the first round is a warm-up and is
# dropped), PIN (default 1: everything, the wine server included, on CPU 0;
# 0 lets the system place it), WIN32_DIR (default <repo>/build/win32-bench,
# or win64-bench), BUILD_DIR (native Release tree for the sample builder,
# default <repo>/build-bench).
#
# One prefix of that bitness with the tree under C:\bench (make_samples
# --bench). The two bitnesses are different programs: compare each with
# its own floor walk, never with the other.
# Each round restores the deleted samples and the cut start-up files, then
# times the floor walk over C:, `purgato-scan.exe --target C:` when the
# build has it, and Purgato.exe driven from OK to its end status. Prints
# the median files/s of each and the median of the per-round ratios to the
# floor. Every scan must count every file the floor saw and delete every
# sample, or the run fails.
set -euo pipefail

N=${1:-20000}
BITS=${2:-32}
case $BITS in
  32) toolchain=mingw-i686.cmake ;;
  64) toolchain=mingw-x86_64.cmake ;;
  *)
    echo "usage: bench/wine_run.sh [N] [32|64]" >&2
    exit 2
    ;;
esac
RUNS=${RUNS:-5}
PIN=${PIN:-1}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
WIN32=${WIN32_DIR:-$ROOT/build/win$BITS-bench}

"$ROOT/scripts/setup.sh" >/dev/null
mkdir -p "$BUILD" "$WIN32"
log=$WIN32/bench-build.log
if [[ ! -f $BUILD/build.ninja ]]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
fi
ninja -C "$BUILD" -j2 make_samples >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
if [[ ! -f $WIN32/build.ninja ]]; then
  cmake -S "$ROOT" -B "$WIN32" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
fi
ninja -C "$WIN32" -j2 >"$log" 2>&1 || { cat "$log" >&2; exit 1; }

# The GUI needs a display; without one the whole run goes under Xvfb.
if [[ -z ${DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

pin=()
((PIN)) && pin=(taskset -c 0)

DATA=$WIN32/wine-bench
# shellcheck source=bench/tree_lib.sh
. "$ROOT/bench/tree_lib.sh"
bench_tree "$BUILD/make_samples" "$DATA" "$N"

# shellcheck source=tests/e2e/wine_prefix.sh
. "$ROOT/tests/e2e/wine_prefix.sh"
wine_prefix_init "$DATA" "$BITS"
wine_stop
"${pin[@]}" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine_stop
drive_c=$WINEPREFIX/drive_c
rm -rf "$drive_c/bench" "$drive_c/purgato-bench"
cp -a "$TREE" "$drive_c/bench"
mkdir -p "$drive_c/purgato-bench"
tools=(Purgato.exe gui_driver.exe win32_floor_walk.exe)
[[ -f $WIN32/purgato-scan.exe ]] && tools+=(purgato-scan.exe)
for tool in "${tools[@]}"; do cp "$WIN32/$tool" "$drive_c/purgato-bench/"; done
restore() { cp -a "$TREE.stash/tree/." "$drive_c/bench/"; }

run_wine() { (cd "$drive_c" && "${pin[@]}" wine "$@"); }
drv() { run_wine 'C:\purgato-bench\gui_driver.exe' "$@" | tr -d '\r'; }
now() { date +%s.%N; }

# Purgato.exe from the press of OK to "Scanning completed"; its list goes
# to $DATA/gui.list.
time_gui() {
  run_wine 'C:\purgato-bench\Purgato.exe' &
  local app=$!
  drv wait "Purgato Ver 1.5" 1015 30000 >/dev/null || { echo "no main dialog" >&2; return 1; }
  local start end
  start=$(now)
  drv click "Purgato Ver 1.5" 1015 1 >/dev/null
  drv wait-text "Purgato Ver 1.5" 1001 1004 "Scanning completed" 3600000 >/dev/null ||
    { echo "Purgato.exe did not complete" >&2; return 1; }
  end=$(now)
  drv list "Purgato Ver 1.5" 1001 1001 >"$DATA/gui.list"
  drv click "Purgato Ver 1.5" 1001 1003 >/dev/null
  drv wait "Purgato Ver 1.5" 1016 30000 >/dev/null
  drv click "Purgato Ver 1.5" 1016 1 >/dev/null
  wait "$app" || true
  echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

expect_counts() {  # FILE WHAT: the statistics of one scan
  grep -qF "$(printf 'Total files scanned\t\t:  %d' "$files")" "$1" ||
    { echo "$2 did not count $files files:" >&2; tail -7 "$1" >&2; exit 1; }
  grep -qF "$(printf 'Total files deleted\t\t:  %d' "$DELETED")" "$1" ||
    { echo "$2 did not delete $DELETED samples:" >&2; tail -7 "$1" >&2; exit 1; }
}

: >"$DATA/times"
for ((round = 0; round < RUNS; round++)); do
  restore
  wine_stop
  start=$(now)
  floor_out=$(run_wine 'C:\purgato-bench\win32_floor_walk.exe' 'C:' | tr -d '\r')
  floor=$(echo "$start $(now)" | awk '{ printf "%.3f", $2 - $1 }')
  files=${floor_out%% files}

  cli=0
  if [[ -f $drive_c/purgato-bench/purgato-scan.exe ]]; then
    start=$(now)
    status=0
    run_wine 'C:\purgato-bench\purgato-scan.exe' --target C: >"$DATA/cli.out" 2>"$DATA/cli.err" || status=$?
    cli=$(echo "$start $(now)" | awk '{ printf "%.3f", $2 - $1 }')
    [[ $status == 1 ]] || { echo "purgato-scan.exe exit status $status" >&2; cat "$DATA/cli.err" >&2; exit 1; }
    tr -d '\r' <"$DATA/cli.out" >"$DATA/cli.txt"
    expect_counts "$DATA/cli.txt" purgato-scan.exe
    restore
  fi

  gui=$(time_gui)
  expect_counts "$DATA/gui.list" Purgato.exe
  echo "round $round: floor $floor s ($files files), purgato-scan.exe $cli s, Purgato.exe $gui s"
  ((round == 0)) || echo "$floor $cli $gui" >>"$DATA/times"
done
restore
wine_stop

awk -v bits="$BITS" -v n="$files" -v runs="$((RUNS - 1))" -v pin="$PIN" '
  function median(a, k,   i, j, t, b) {
    for (i = 1; i <= k; i++) b[i] = a[i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
    return k % 2 ? b[(k + 1) / 2] : (b[k / 2] + b[k / 2 + 1]) / 2
  }
  { f[NR] = $1; c[NR] = $2; g[NR] = $3; rc[NR] = $2 / $1; rg[NR] = $3 / $1 }
  END {
    printf "%s-bit images; files on C: %d, %d timed rounds (the first was dropped as warm-up), %s\n", bits, n, runs, pin ? "pinned to CPU 0" : "unpinned"
    printf "floor walk       : %8.0f files/s  (median %.3f s)\n", n / median(f, NR), median(f, NR)
    if (median(c, NR) > 0)
      printf "purgato-scan.exe : %8.0f files/s  (median %.3f s), ratio to the floor %.2f\n", n / median(c, NR), median(c, NR), median(rc, NR)
    printf "Purgato.exe      : %8.0f files/s  (median %.3f s, OK to end status), ratio to the floor %.2f\n", n / median(g, NR), median(g, NR), median(rg, NR)
  }' "$DATA/times"
