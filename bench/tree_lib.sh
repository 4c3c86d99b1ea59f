# shellcheck shell=bash
# Sourced by the benchmark scripts: the Release build they run, and the
# benchmark tree of N files, made once (make_samples --bench) with a stash
# of what a scan deletes or cuts.
#
#   bench_build ROOT BUILD TARGET...
#   bench_tree MAKE_SAMPLES DATA_DIR N
#
# Sets TREE (the tree), SAMPLES (the stashed files: the samples, win.ini and
# AUTOEXEC.BAT) and DELETED (the samples a scan must delete).
# Configures BUILD (Release) if new and builds the targets; the build's
# output is shown only when it fails.
bench_build() {
  local root=$1 build=$2
  shift 2
  mkdir -p "$build"
  if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build/bench-build.log" 2>&1 ||
      { cat "$build/bench-build.log" >&2; return 1; }
  fi
  ninja -C "$build" -j2 "$@" >"$build/bench-build.log" 2>&1 || { cat "$build/bench-build.log" >&2; return 1; }
}

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
