#!/usr/bin/env bash
# Throughput of purgato-scan against the floor walk (bench/floor_walk.cpp).
#
#   bench/run.sh [N]     N files in the tree (default 50000)
#
# Environment: BUILD_DIR (default <repo>/build-bench, configured Release if
# new), RUNS (default 7; the first pair is a warm-up and is dropped).
#
# Builds the tree once (make_samples --bench), then alternates the floor
# walk and a whole scan (output to a file, not a terminal), putting the
# deleted samples and the cut start-up files back before each pair. Prints
# the median files per second of both and the median of the per-pair
# ratios scan time / floor time. Each scan's statistics must show all N
# files scanned and every sample found, or the run fails.
set -euo pipefail

N=${1:-50000}
RUNS=${RUNS:-7}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}

if [[ ! -f $BUILD/build.ninja ]]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$BUILD" -j2 purgato-scan make_samples floor_walk >/dev/null

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

now() { echo "${EPOCHREALTIME/[.,]/}"; }  # microseconds

floor_times=()
scan_times=()
restore() { cp -a "$TREE.stash/tree/." "$TREE/"; }
for ((run = 0; run < RUNS; run++)); do
  restore
  start=$(now)
  floor_out=$("$BUILD/floor_walk" "$TREE")
  floor_times+=($(($(now) - start)))
  [[ $floor_out == "files $N "* ]] || { echo "floor walk saw: $floor_out" >&2; exit 1; }

  start=$(now)
  status=0
  "$BUILD/purgato-scan" --drive "C=$TREE" >"$DATA/scan.out" || status=$?
  scan_times+=($(($(now) - start)))
  [[ $status == 1 ]] || { echo "scan exit status $status" >&2; exit 1; }
  grep -qxF "$(printf 'Total files scanned\t\t:  %d' "$N")" "$DATA/scan.out" ||
    { echo "scan did not count $N files:" >&2; tail -7 "$DATA/scan.out" >&2; exit 1; }
  grep -qxF "$(printf 'Total files deleted\t\t:  %d' "$DELETED")" "$DATA/scan.out" ||
    { echo "scan did not delete $DELETED samples:" >&2; tail -7 "$DATA/scan.out" >&2; exit 1; }
  [[ $(tail -1 "$DATA/scan.out") == "Scanning completed" ]] || { echo "scan did not complete" >&2; exit 1; }
done
restore

# Drop the warm-up pair; medians of the rest.
printf '%s\n' "${floor_times[@]:1}" >"$DATA/floor.times"
printf '%s\n' "${scan_times[@]:1}" >"$DATA/scan.times"
paste "$DATA/floor.times" "$DATA/scan.times" | awk -v n="$N" -v runs="$((RUNS - 1))" '
  function median(a, k,   i, j, t) {
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }
  { f[NR] = $1; s[NR] = $2; r[NR] = $2 / $1 }
  END {
    mf = median(f, NR); ms = median(s, NR); mr = median(r, NR)
    printf "files %d, %d timed runs each (first pair dropped as warm-up)\n", n, runs
    printf "floor walk   : %9.0f files/s  (median %.1f ms)\n", n / (mf / 1e6), mf / 1e3
    printf "purgato-scan : %9.0f files/s  (median %.1f ms)\n", n / (ms / 1e6), ms / 1e3
    printf "ratio scan/floor: %.2f (median of per-pair ratios)\n", mr
    printf "every scan counted %d files scanned and deleted every sample\n", n
  }'
