#!/usr/bin/env bash
# Throughput of purgato-scan against the floor walk (bench/floor_walk.cpp),
# then a folder whose files vanish mid-scan against the same folder intact.
#
#   bench/run.sh [N]     N files in the tree (default 50000)
#
# Environment: BUILD_DIR (default <repo>/build-bench, configured Release if
# new), RUNS (default 7; the first pair is a warm-up and is dropped),
# VANISH_N (default 100000: files in the vanishing folder).
#
# Builds the tree once (make_samples --bench), then alternates the floor
# walk and a whole scan (output to a file, not a terminal), putting the
# deleted samples and the cut start-up files back before each pair. Prints
# the median files per second of both (wall clock) and the median of the
# per-pair ratios scan time / floor time, for wall clock and for CPU time
# (user + system; steadier when other work shares the machine). Each
# scan's statistics must show all N files scanned and every sample found,
# or the run fails.
#
# Second figure: bench/vanish_run scans a folder of VANISH_N files, stopping
# the scanner as it opens the first of them and either moving every file
# out of the volume (renamed) or not (intact) before it goes on. Medians of
# RUNS - 1 alternating pairs; the renamed scan must take at most twice the
# intact one (CPU time, which leaves the stopped time out), or the run fails.
set -euo pipefail

N=${1:-50000}
RUNS=${RUNS:-7}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}

mkdir -p "$BUILD"
if [[ ! -f $BUILD/build.ninja ]]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$BUILD/bench-build.log" 2>&1 ||
    { cat "$BUILD/bench-build.log" >&2; exit 1; }
fi
ninja -C "$BUILD" -j2 purgato-scan make_samples floor_walk vanish_run >"$BUILD/bench-build.log" 2>&1 ||
  { cat "$BUILD/bench-build.log" >&2; exit 1; }

DATA=$BUILD/bench-data
TREE=$DATA/tree-$N
if [[ ! -f $TREE.stash/list ]]; then
  rm -rf "$TREE" "$TREE.stash"
  mkdir -p "$DATA"
  echo "building $N files in $TREE"
  "$BUILD/make_samples" --bench "$N" "$TREE"
fi
SAMPLES=$(grep -c . "$TREE.stash/list")  # samples + win.ini + AUTOEXEC.BAT
DELETED=$((SAMPLES - 2))

TIMEFORMAT='%R %U %S'  # wall, user and system seconds of each `time`
restore() { cp -a "$TREE.stash/tree/." "$TREE/"; }
: >"$DATA/times"
for ((run = 0; run < RUNS; run++)); do
  restore
  { time "$BUILD/floor_walk" "$TREE" >"$DATA/floor.out"; } 2>"$DATA/floor.time"
  read -r floor_out <"$DATA/floor.out"
  [[ $floor_out == "files $N "* ]] || { echo "floor walk saw: $floor_out" >&2; exit 1; }

  status=0
  { time "$BUILD/purgato-scan" --drive "C=$TREE" >"$DATA/scan.out"; } 2>"$DATA/scan.time" || status=$?
  [[ $status == 1 ]] || { echo "scan exit status $status" >&2; cat "$DATA/scan.time" >&2; exit 1; }
  grep -qxF "$(printf 'Total files scanned\t\t:  %d' "$N")" "$DATA/scan.out" ||
    { echo "scan did not count $N files:" >&2; tail -7 "$DATA/scan.out" >&2; exit 1; }
  grep -qxF "$(printf 'Total files deleted\t\t:  %d' "$DELETED")" "$DATA/scan.out" ||
    { echo "scan did not delete $DELETED samples:" >&2; tail -7 "$DATA/scan.out" >&2; exit 1; }
  [[ $(tail -1 "$DATA/scan.out") == "Scanning completed" ]] || { echo "scan did not complete" >&2; exit 1; }
  ((run == 0)) || echo "$(cat "$DATA/floor.time") $(cat "$DATA/scan.time")" >>"$DATA/times"
done
restore

# The warm-up pair is not in the table; medians of the rest.
awk -v n="$N" -v runs="$((RUNS - 1))" '
  function median(a, k,   i, j, t, b) {
    for (i = 1; i <= k; i++) b[i] = a[i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
    return k % 2 ? b[(k + 1) / 2] : (b[k / 2] + b[k / 2 + 1]) / 2
  }
  { fw[NR] = $1; fc[NR] = $2 + $3; sw[NR] = $4; sc[NR] = $5 + $6; rw[NR] = $4 / $1; rc[NR] = ($5 + $6) / ($2 + $3) }
  END {
    printf "files %d, %d timed pairs (the first pair was dropped as warm-up)\n", n, runs
    printf "floor walk   : %8.0f files/s  (median wall %.3f s, CPU %.3f s)\n", n / median(fw, NR), median(fw, NR), median(fc, NR)
    printf "purgato-scan : %8.0f files/s  (median wall %.3f s, CPU %.3f s)\n", n / median(sw, NR), median(sw, NR), median(sc, NR)
    printf "ratio scan/floor, median of the per-pair ratios: wall %.2f, CPU %.2f\n", median(rw, NR), median(rc, NR)
    printf "every scan counted %d files scanned and deleted every sample\n", n
  }' "$DATA/times"

# --- Files vanishing mid-walk ------------------------------------------------
VANISH_N=${VANISH_N:-100000}
VANISH=$DATA/vanish-$VANISH_N
[[ -f $VANISH/made ]] || echo "building $VANISH_N files in $VANISH"
: >"$DATA/vanish-times"
for ((run = 0; run < RUNS; run++)); do
  for mode in intact renamed; do
    read -r wall cpu status scanned < <("$BUILD/vanish_run" "$BUILD/purgato-scan" "$VANISH" "$VANISH_N" "$mode")
    [[ $status == 0 && $scanned == "$VANISH_N" ]] ||
      { echo "$mode scan: exit status $status, $scanned files scanned" >&2; exit 1; }
    ((run == 0)) || printf '%s %s %s\n' "$mode" "$wall" "$cpu" >>"$DATA/vanish-times"
  done
done
awk -v n="$VANISH_N" '
  function median(a, k,   i, j, t, b) {
    for (i = 1; i <= k; i++) b[i] = a[i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
    return k % 2 ? b[(k + 1) / 2] : (b[k / 2] + b[k / 2 + 1]) / 2
  }
  $1 == "intact" { iw[++ni] = $2; ic[ni] = $3 }
  $1 == "renamed" { rw[++nr] = $2; rc[nr] = $3 }
  END {
    printf "folder of %d files, %d timed pairs\n", n, ni
    printf "intact       : median wall %.3f s, CPU %.3f s\n", median(iw, ni), median(ic, ni)
    printf "renamed away : median wall %.3f s, CPU %.3f s\n", median(rw, nr), median(rc, nr)
    ratio = median(rc, nr) / median(ic, ni)
    printf "ratio renamed/intact (CPU): %.2f (at most 2)\n", ratio
    exit ratio > 2
  }' "$DATA/vanish-times" || { echo "the renamed folder took more than twice the intact one" >&2; exit 1; }

