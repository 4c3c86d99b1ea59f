#!/usr/bin/env bash
# What the audit options cost purgato-scan on the benchmark tree.
#
#   bench/audit_cost.sh [N]     N files in the tree (default 20000)
#
# Environment: BUILD_DIR (default <repo>/build-bench, configured Release if
# new), RUNS (default 9; the first round is a warm-up and is dropped).
#
# Each round scans the tree four times, warm, output to a file:
#   plain   the infected tree, no audit option
#   audit   the infected tree with --log and --report (fresh files)
#   clean   the tree the scan before has cleaned, no option
#   backup  the same clean tree with --backup (a fresh folder)
# plain and audit swap places every other round. Prints the medians and the
# medians of the per-round ratios audit/plain and backup/clean, for wall
# clock and CPU time (user + system). Fails when a scan does not count
# every file, or audit/plain CPU exceeds 1.10, or backup/clean CPU exceeds
# 1.05 (nothing is found, so nothing may be kept). Then one scan with
# --log, --report and --backup together, its log, report and backup checked.
set -euo pipefail

N=${1:-20000}
RUNS=${RUNS:-9}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}

# shellcheck source=bench/tree_lib.sh
. "$ROOT/bench/tree_lib.sh"
bench_build "$ROOT" "$BUILD" purgato-scan make_samples

DATA=$BUILD/bench-data
bench_tree "$BUILD/make_samples" "$DATA" "$N"

TIMEFORMAT='%R %U %S'
restore() { cp -a "$TREE.stash/tree/." "$TREE/"; }
OUT=$DATA/audit
rm -rf "$OUT"
mkdir -p "$OUT"

# scan KIND WANT_STATUS FILES OPTION...: one timed scan that must count
# FILES files, its times appended to $OUT/KIND.times when the round counts.
scan() {
  local kind=$1 want=$2 files=$3 status=0
  shift 3
  { time "$BUILD/purgato-scan" "$@" --drive "C=$TREE" >"$OUT/scan.out"; } 2>"$OUT/scan.time" || status=$?
  [[ $status == "$want" ]] || { echo "$kind scan: exit status $status, not $want" >&2; cat "$OUT/scan.time" >&2; exit 1; }
  grep -qxF "$(printf 'Total files scanned\t\t:  %d' "$files")" "$OUT/scan.out" ||
    { echo "$kind scan did not count $files files:" >&2; tail -7 "$OUT/scan.out" >&2; exit 1; }
  ((run == 0)) || echo "$run $(cat "$OUT/scan.time")" >>"$OUT/$kind.times"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((run = 0; run < RUNS; run++)); do
  rm -rf "$OUT/log" "$OUT/report" "$OUT/keep"
  if ((run % 2)); then
    restore; scan audit 1 "$N" --log "$OUT/log" --report "$OUT/report"
    restore; scan plain 1 "$N"
  else
    restore; scan plain 1 "$N"
    restore; scan audit 1 "$N" --log "$OUT/log" --report "$OUT/report"
  fi
  scan clean 0 "$((N - DELETED))"
  scan backup 0 "$((N - DELETED))" --backup "$OUT/keep"
  [[ -z $(find "$OUT/keep" -type f 2>/dev/null) ]] || { echo "the backup of a clean tree kept files" >&2; exit 1; }
done

# One more scan with all three, checked: the log's header and footer, every
# report record against the schema and its totals against the statistics,
# and every deleted or cut file brought back byte for byte from the backup.
restore
rm -rf "$OUT/log" "$OUT/report" "$OUT/keep"
status=0
"$BUILD/purgato-scan" --log "$OUT/log" --report "$OUT/report" --backup "$OUT/keep" --drive "C=$TREE" >"$OUT/scan.out" ||
  status=$?
[[ $status == 1 ]] || { echo "audited scan: exit status $status" >&2; exit 1; }
[[ $(head -1 "$OUT/log") == "=== purgato-scan "*" run started "* &&
  $(grep -v "^$" "$OUT/log" | tail -1) == "=== run ended "*", exit status 1" ]] ||
  { echo "the log has no header or footer" >&2; exit 1; }
python3 "$ROOT/tests/tools/check_report.py" "$ROOT/docs/purgato-scan-report.schema.json" "$OUT/report" "$OUT/scan.out" >&2 ||
  exit 1
kept=0
while IFS= read -r -d '' file; do
  relative=${file#"$OUT/keep/"*/C/}
  cp "$file" "$TREE/${relative%.purgato-kept}"
  kept=$((kept + 1))
done < <(find "$OUT/keep" -type f -name '*.purgato-kept' -print0)
[[ $kept == "$SAMPLES" ]] || { echo "the backup kept $kept files, not $SAMPLES" >&2; exit 1; }
(cd "$TREE.stash/tree" && find . -type f -print0) | while IFS= read -r -d '' file; do
  cmp -s "$TREE.stash/tree/$file" "$TREE/$file" || { echo "$file: not restored from the backup" >&2; exit 1; }
done
echo "audited scan: log, report and a backup that restored all $SAMPLES changed files"
restore

# pairs WITH WITHOUT: the round's times of both kinds on one line.
pairs() { join <(sort -k1,1 "$OUT/$1.times") <(sort -k1,1 "$OUT/$2.times"); }
{ pairs audit plain | sed 's/^/ap /'; pairs backup clean | sed 's/^/bc /'; } |
  awk -v n="$N" -v before="$load_before" -v after="$(cut -d' ' -f1-3 /proc/loadavg)" '
  function median(a, k,   i, j, t, b) {
    for (i = 1; i <= k; i++) b[i] = a[i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
    return k % 2 ? b[(k + 1) / 2] : (b[k / 2] + b[k / 2 + 1]) / 2
  }
  # kind round wall user sys wall user sys (the option first, then without)
  {
    k = $1; c[k]++; i = c[k]
    ow[k, i] = $3; oc[k, i] = $4 + $5; bw[k, i] = $6; bc[k, i] = $7 + $8
    rw[k, i] = $3 / $6; rc[k, i] = ($4 + $5) / ($7 + $8)
  }
  function show(k, with, without,   i, a, b, x, y, p, q) {
    for (i = 1; i <= c[k]; i++) { a[i] = ow[k, i]; b[i] = oc[k, i]; x[i] = bw[k, i]; y[i] = bc[k, i]; p[i] = rw[k, i]; q[i] = rc[k, i] }
    printf "%-28s: median wall %.3f s, CPU %.3f s\n", with, median(a, c[k]), median(b, c[k])
    printf "%-28s: median wall %.3f s, CPU %.3f s\n", without, median(x, c[k]), median(y, c[k])
    ratio[k] = median(q, c[k])
    printf "ratio, median of the per-round ratios: wall %.3f, CPU %.3f\n", median(p, c[k]), ratio[k]
  }
  END {
    printf "files %d, warm cache, %d timed rounds (the first round was dropped as warm-up)\n", n, c["ap"]
    show("ap", "infected, --log --report", "infected, no option")
    show("bc", "clean, --backup", "clean, no option")
    printf "load average before %s, after %s\n", before, after
    bad = 0
    if (ratio["ap"] > 1.10) { print "--log --report cost more than 10% of CPU time" > "/dev/stderr"; bad = 1 }
    if (ratio["bc"] > 1.05) { print "--backup cost more than 5% of CPU time on a clean tree" > "/dev/stderr"; bad = 1 }
    exit bad
  }'
