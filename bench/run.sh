#!/usr/bin/env bash
# Throughput of purgato-scan against the floor walk (bench/floor_walk.cpp)
# and the parallel floor (bench/parallel_floor.cpp, the same reads from 16
# threads), then a folder whose files vanish mid-scan against the same
# folder intact.
#
#   bench/run.sh [N]     N files in the tree (default 50000)
#   COLD=1 bench/run.sh [N]   the same with nothing cached (root only)
#
# Environment: BUILD_DIR (default <repo>/build-bench, configured Release if
# new), RUNS (default 7; the first round is a warm-up and is dropped),
# VANISH_N (default 100000: files in the vanishing folder), COLD (1: the
# page cache, dentries and inodes are dropped before each walk and scan,
# `sync; echo 3 > /proc/sys/vm/drop_caches`, and the vanishing folder is
# left out), SCAN_ARGS (more options for purgato-scan, e.g. --read-ahead 0).
#
# Builds the tree once (make_samples --bench), then runs rounds of the floor
# walk, the parallel floor and a whole scan (output to a file, not a
# terminal), putting the deleted samples and the cut start-up files back
# before each round. Prints the median files per second of each (wall
# clock) and the medians of the per-round ratios scan / floor and scan /
# parallel floor, for wall clock and for CPU time (user + system; steadier
# when other work shares the machine), and the load average before and
# after. Each scan's statistics must show all N files scanned and every
# sample found, or the run fails.
#
# Second figure: bench/vanish_run scans a folder of VANISH_N files, stopping
# the scanner as it opens the first of them and either moving every file
# out of the volume (renamed) or not (intact) before it goes on. Medians of
# RUNS - 1 alternating pairs; the renamed scan must take at most twice the
# intact one (CPU time, which leaves the stopped time out), or the run fails.
set -euo pipefail

N=${1:-50000}
RUNS=${RUNS:-7}
COLD=${COLD:-0}
read -r -a SCAN_OPTIONS <<<"${SCAN_ARGS:-}"
if [[ $COLD == 1 && $(id -u) != 0 ]]; then
  echo "COLD=1 drops the page cache, which only root may do" >&2
  exit 2
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}

# shellcheck source=bench/tree_lib.sh
. "$ROOT/bench/tree_lib.sh"
bench_build "$ROOT" "$BUILD" purgato-scan make_samples floor_walk parallel_floor vanish_run

DATA=$BUILD/bench-data
bench_tree "$BUILD/make_samples" "$DATA" "$N"

TIMEFORMAT='%R %U %S'  # wall, user and system seconds of each `time`
restore() { cp -a "$TREE.stash/tree/." "$TREE/"; }
uncache() { if [[ $COLD == 1 ]]; then sync; echo 3 >/proc/sys/vm/drop_caches; fi; }
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$DATA/times"
for ((run = 0; run < RUNS; run++)); do
  restore
  uncache
  { time "$BUILD/floor_walk" "$TREE" >"$DATA/floor.out"; } 2>"$DATA/floor.time"
  read -r floor_out <"$DATA/floor.out"
  [[ $floor_out == "files $N "* ]] || { echo "floor walk saw: $floor_out" >&2; exit 1; }
  uncache
  { time "$BUILD/parallel_floor" "$TREE" 16 >"$DATA/parallel.out"; } 2>"$DATA/parallel.time"
  [[ $(cat "$DATA/parallel.out") == "$floor_out" ]] ||
    { echo "parallel floor saw: $(cat "$DATA/parallel.out"), the floor walk: $floor_out" >&2; exit 1; }

  uncache
  status=0
  { time "$BUILD/purgato-scan" "${SCAN_OPTIONS[@]}" --drive "C=$TREE" >"$DATA/scan.out"; } 2>"$DATA/scan.time" ||
    status=$?
  [[ $status == 1 ]] || { echo "scan exit status $status" >&2; cat "$DATA/scan.time" >&2; exit 1; }
  grep -qxF "$(printf 'Total files scanned\t\t:  %d' "$N")" "$DATA/scan.out" ||
    { echo "scan did not count $N files:" >&2; tail -7 "$DATA/scan.out" >&2; exit 1; }
  grep -qxF "$(printf 'Total files deleted\t\t:  %d' "$DELETED")" "$DATA/scan.out" ||
    { echo "scan did not delete $DELETED samples:" >&2; tail -7 "$DATA/scan.out" >&2; exit 1; }
  [[ $(tail -1 "$DATA/scan.out") == "Scanning completed" ]] || { echo "scan did not complete" >&2; exit 1; }
  ((run == 0)) || echo "$(cat "$DATA/floor.time") $(cat "$DATA/parallel.time") $(cat "$DATA/scan.time")" >>"$DATA/times"
done
restore

# The warm-up round is not in the table; medians of the rest.
awk -v n="$N" -v runs="$((RUNS - 1))" -v cold="$COLD" -v args="${SCAN_ARGS:-}" -v before="$load_before" \
    -v after="$(cut -d' ' -f1-3 /proc/loadavg)" '
  function median(a, k,   i, j, t, b) {
    for (i = 1; i <= k; i++) b[i] = a[i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
    return k % 2 ? b[(k + 1) / 2] : (b[k / 2] + b[k / 2 + 1]) / 2
  }
  {
    fw[NR] = $1; fc[NR] = $2 + $3; pw[NR] = $4; pc[NR] = $5 + $6; sw[NR] = $7; sc[NR] = $8 + $9
    rw[NR] = $7 / $1; rc[NR] = ($8 + $9) / ($2 + $3); qw[NR] = $7 / $4; qc[NR] = ($8 + $9) / ($5 + $6)
  }
  END {
    printf "files %d, %s cache, %d timed rounds (the first round was dropped as warm-up)%s\n", n,
           cold == 1 ? "cold" : "warm", runs, args == "" ? "" : ", purgato-scan " args
    printf "floor walk     : %8.0f files/s  (median wall %.3f s, CPU %.3f s)\n", n / median(fw, NR), median(fw, NR), median(fc, NR)
    printf "parallel floor : %8.0f files/s  (median wall %.3f s, CPU %.3f s)\n", n / median(pw, NR), median(pw, NR), median(pc, NR)
    printf "purgato-scan   : %8.0f files/s  (median wall %.3f s, CPU %.3f s)\n", n / median(sw, NR), median(sw, NR), median(sc, NR)
    printf "ratio scan/floor, median of the per-round ratios: wall %.2f, CPU %.2f\n", median(rw, NR), median(rc, NR)
    printf "ratio scan/parallel floor, median of the per-round ratios: wall %.2f, CPU %.2f\n", median(qw, NR), median(qc, NR)
    printf "load average before %s, after %s\n", before, after
    printf "every scan counted %d files scanned and deleted every sample\n", n
  }' "$DATA/times"

# Nothing of the vanishing folder is read from the disk: it stays warm.
[[ $COLD == 1 ]] && exit 0

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

