# shellcheck shell=bash
# Sourced by the Wine checks: a Wine prefix under a build folder that sees
# nothing of this machine but its own C: drive. 32-bit for the product's
# images; 64-bit (WINEARCH=win64, programs through Wine's 64-bit loader)
# for the twin build, which runs where 32-bit Linux programs cannot.
#
#   . tests/e2e/wine_prefix.sh
#   wine_image_bits EXE              # prints 32 or 64, from the PE header
#   wine_prefix_init BUILD_DIR [BITS] # exports WINEPREFIX & co., makes the prefix once
#   wine_run PROGRAM ARGS...         # pinned to one core, as everything Wine here
#   wine_stop                        # ends the prefix's wineserver
#
# After wine_prefix_init, `wine` on the PATH is the loader of the prefix's
# bitness and WINE_BITS says which.

wine_image_bits() {
  local lfanew magic
  lfanew=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 1
  [ -n "$lfanew" ] || return 1
  magic=$(od -An -tx2 -j$((lfanew + 24)) -N2 "$1" 2>/dev/null | tr -d ' ') || return 1
  case $magic in
    010b) echo 32 ;;
    020b) echo 64 ;;
    *)
      echo "wine: $1 is not a PE image" >&2
      return 1
      ;;
  esac
}

wine_prefix_init() {
  local build bits=${2:-32}
  mkdir -p "$1" || return 1
  build=$(cd "$1" && pwd) || return 1
  export WINE_BITS=$bits
  if [ "$bits" = 64 ]; then
    export WINEARCH=win64
    export WINELOADER=/usr/lib/wine/wine64
    # The wine script prefers the 32-bit loader whenever wine32 is
    # installed, which machines without 32-bit support cannot run. A script,
    # not a link: the 64-bit loader started under the name "wine" runs
    # builtin programs (reg, cmd) as 32-bit ones.
    # Written to a new file and moved in place, never through whatever the
    # name is now.
    mkdir -p "$build/wine64-bin" || return 1
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$build/wine64-bin/wine.new" &&
      chmod +x "$build/wine64-bin/wine.new" &&
      mv -f -T "$build/wine64-bin/wine.new" "$build/wine64-bin/wine" || return 1
    case ":$PATH:" in
      *":$build/wine64-bin:"*) ;;
      *) export PATH="$build/wine64-bin:$PATH" ;;
    esac
  elif [ "$bits" = 32 ]; then
    export WINEARCH=win32
    unset WINELOADER
  else
    echo "wine: bitness $bits is neither 32 nor 64" >&2
    return 1
  fi
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
  echo "wine: creating a $bits-bit prefix in $WINEPREFIX"
  # Wine's own words stay in a log, shown when the prefix is not made.
  local log="$build/wineboot.log"
  taskset -c 0 wine wineboot -i >"$log" 2>&1 || true
  taskset -c 0 wineserver -w >>"$log" 2>&1
  if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
    echo "wine: the prefix was not created; Wine said:" >&2
    sed 's/^/  /' "$log" | tail -n 20 >&2
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
