#!/usr/bin/env bash
# Installs what the builds, tests and demo need on Debian 12. Does not touch
# apt at all when everything is installed already.
#
#   scripts/setup.sh             everything: tests, the Windows build, Wine
#   scripts/setup.sh --console   only what the console scanner and its
#                                Debian package need: no Wine, no Windows
#                                cross-compiler, no test frameworks
#   --list                       names the packages instead of installing
set -euo pipefail

console=(cmake ninja-build g++ pkg-config libhivex-dev libhivex-bin dpkg-dev file)
mode=full
list=
for arg in "$@"; do
  case $arg in
    --console) mode=console ;;
    --list) list=1 ;;
    *)
      echo "usage: scripts/setup.sh [--console] [--list]" >&2
      exit 2
      ;;
  esac
done
if [ "$mode" = console ]; then
  packages=("${console[@]}")
else
  packages=(
    "${console[@]}"
    clang libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64
    wine wine32:i386 wine64 xvfb xauth imagemagick tmux
    hyperfine man-db lintian python3-jsonschema
    ntfs-3g
  )
fi
if [ -n "$list" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages are installed"
  exit 0
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "setup: installing ${missing[*]} needs root (run as root or install sudo)" >&2
    exit 1
  fi
}

echo "setup: installing ${missing[*]}"
# wine32 is an i386 package.
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
