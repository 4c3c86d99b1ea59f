# shellcheck shell=bash
# Sourced by the Wine checks: a 32-bit Wine prefix under a build folder that
# sees nothing of this machine but its own C: drive.
#
#   . tests/e2e/wine_prefix.sh
#   wine_prefix_init BUILD_DIR      # exports WINEPREFIX & co., makes the prefix once
#   wine_run PROGRAM ARGS...         # pinned to one core, as everything Wine here
#   wine_stop                        # ends the prefix's wineserver

wine_prefix_init() {
  local build
  mkdir -p "$1" || return 1
  build=$(cd "$1" && pwd) || return 1
  export WINEARCH=win32
  export WINEPREFIX="$build/wineprefix"
  export WINEDEBUG=-all
  # No menu entries, no Mono or Gecko installers: nothing written outside
  # the prefix, nothing that waits for a click.
  export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
  # An empty home, so the user folders of the prefix do not lead into the
  # real one (the scan would walk it).
  export HOME="$build/wine-home"
  mkdir -p "$HOME"

  if [ -f "$WINEPREFIX/.purgato-ready" ]; then
    return 0
  fi
  rm -rf "$WINEPREFIX"
  echo "wine: creating a 32-bit prefix in $WINEPREFIX"
  taskset -c 0 wineboot -i >/dev/null 2>&1 || true
  taskset -c 0 wineserver -w
  if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
    echo "wine: the prefix was not created" >&2
    return 1
  fi
  # Links to the home folders become real folders of the prefix.
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link"
    mkdir -p "$link"
  done < <(find "$WINEPREFIX/drive_c/users" -type l -print0)
  # Z: maps to the Linux root; without it only C: is a fixed drive.
  rm -f "$WINEPREFIX/dosdevices/z:"
  taskset -c 0 wineserver -k || true
  taskset -c 0 wineserver -w || true
  touch "$WINEPREFIX/.purgato-ready"
}

wine_run() {
  (cd "$WINEPREFIX/drive_c" && taskset -c 0 wine "$@")
}

wine_stop() {
  taskset -c 0 wineserver -k >/dev/null 2>&1 || true
  taskset -c 0 wineserver -w >/dev/null 2>&1 || true
}
