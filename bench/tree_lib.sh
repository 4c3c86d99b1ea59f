# shellcheck shell=bash
# Sourced by the benchmark scripts: the benchmark tree of N files, made
# once (make_samples --bench) with a stash of what a scan deletes or cuts.
#
#   bench_tree MAKE_SAMPLES DATA_DIR N
#
# Sets TREE (the tree), SAMPLES (the stashed files: the samples, win.ini and
# AUTOEXEC.BAT) and DELETED (the samples a scan must delete).
bench_tree() {
  local make_samples=$1 data=$2 n=$3
  TREE=$data/tree-$n
  if [[ ! -f $TREE.stash/list ]]; then
    rm -rf "$TREE" "$TREE.stash"
    mkdir -p "$data"
    echo "building $n files in $TREE"
    "$make_samples" --bench "$n" "$TREE"
  fi
  SAMPLES=$(grep -c . "$TREE.stash/list")
  DELETED=$((SAMPLES - 2))
}
