#!/usr/bin/env bash
# Every test of the project: native unit tests, the same under the
# sanitizers, the Windows build with its checks under Wine, and a short
# fuzzing run. Runs every stage, then exits non-zero if any failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"

jobs=2
failed=()
summary=()

stage() {
  local name=$1
  shift
  local start=$SECONDS
  echo
  echo "=== $name"
  if "$@"; then
    summary+=("ok      $name ($((SECONDS - start)) s)")
  else
    summary+=("FAILED  $name ($((SECONDS - start)) s)")
    failed+=("$name")
  fi
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null && ninja -C "$dir" -j"$jobs"
}

native() {
  configure_and_build build/native -DPURGATO_WERROR=ON &&
    (cd build/native && ctest --output-on-failure --timeout 300 -j"$jobs")
}

sanitized() {
  configure_and_build build/asan -DPURGATO_SANITIZE=ON -DPURGATO_BENCH=OFF &&
    (cd build/asan &&
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure --timeout 300 -j"$jobs")
}

# The product must load on Windows 95 and NT 4 and carry its run-time.
check_win32_image() {
  local exe=$1 headers
  headers=$(i686-w64-mingw32-objdump -p "$exe")
  if ! grep -qE '^MajorSubsystemVersion[[:space:]]+4$' <<<"$headers" ||
    ! grep -qE '^MinorSubsystemVersion[[:space:]]+0$' <<<"$headers" ||
    ! grep -qE '^MajorOSystemVersion[[:space:]]+4$' <<<"$headers"; then
    echo "$exe: subsystem or OS version is not 4.0" >&2
    grep -iE 'subsystem|OSystemVersion' <<<"$headers" >&2
    return 1
  fi
  if grep -iE 'DLL Name: .*(libstdc|libgcc|winpthread)' <<<"$headers" >&2; then
    echo "$exe: imports a GCC run-time DLL" >&2
    return 1
  fi
  echo "$exe: subsystem 4.0, no GCC run-time DLL"
}

# check_resources EXE ENTRY...: each entry ("102 DIALOG", "1 VERSIONINFO")
# starts a line of the image's resources as windres reads them back.
check_resources() {
  local exe=$1 resources entry missing=0
  shift
  resources=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null) || {
    echo "$exe: windres cannot read its resources" >&2
    return 1
  }
  for entry in "$@"; do
    if ! grep -q "^$entry\b" <<<"$resources"; then
      echo "$exe: no resource $entry" >&2
      missing=1
    fi
  done
  [ "$missing" -eq 0 ] && echo "$exe: resources $*"
}

# Each build folder is tested under Wine only once it built in this run.
built=()

build_win32() {
  configure_and_build build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DPURGATO_WERROR=ON &&
    built+=(build/win32)
}

# The 64-bit twin: the same sources, a test build that runs under wine64
# on every x86-64 machine. Not the product, never installed.
build_win64() {
  configure_and_build build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" -DPURGATO_WERROR=ON &&
    built+=(build/win64)
}

# What the 32-bit images must be, seen without running them: these run on
# every machine, whether it can run 32-bit programs or not (and the probe
# that tells, on its every answer).
windows_static() {
  tests/e2e/check_probe.sh &&
    build_win32 &&
    check_win32_image build/win32/Purgato.exe &&
    check_resources build/win32/Purgato.exe "100 DIALOG" "102 DIALOG" "130 DIALOG" "131 DIALOG" "136 DIALOG" \
      "128 14" "1 VERSIONINFO" "1 24" &&
    tests/e2e/check_imports.sh build/win32/Purgato.exe &&
    tests/e2e/check_imports.sh build/win32/options_host.exe &&
    check_win32_image build/win32/purgato-scan.exe &&
    check_resources build/win32/purgato-scan.exe "1 14" "1 VERSIONINFO" "1 24" &&
    tests/e2e/check_imports.sh build/win32/purgato-scan.exe
}

windows_twin() {
  local exe resources
  build_win64 || return 1
  for exe in build/win64/Purgato.exe build/win64/purgato-scan.exe; do
    # Read whole before grep: with pipefail, grep -q leaving early would
    # fail windres on a closed pipe, and with it the check.
    resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null) || resources=
    if ! grep -q 'processorArchitecture=""amd64""' <<<"$resources"; then
      echo "$exe: the manifest does not name the amd64 processor" >&2
      return 1
    fi
  done
  echo "build/win64: the twin built, manifests for amd64"
}

# The Wine stages of one Windows build folder (build/win32 or build/win64).
wine_seam() {
  tests/e2e/run_seam_check.sh "$1" && tests/gui/run_gui_checks.sh "$1"
}

seed_tool() {
  cmake -S "$root" -B build/native -G Ninja -DPURGATO_WERROR=ON >/dev/null &&
    ninja -C build/native -j"$jobs" seed_wine
}

# The real Purgato.exe under Wine on Xvfb, on the Windows 98, XP and 10
# personalities, driven from outside over a seeded C: drive.
wine_e2e() {
  seed_tool && tests/e2e/run_e2e.sh "$1" build/native
}

# The real purgato-scan.exe under Wine on the same seeded C: drive, output
# redirected, every exit status.
wine_cli_e2e() {
  seed_tool && tests/e2e/run_cli_e2e.sh "$1" build/native
}

# The scan options dialog and its shell folder tree, run by its host
# program under Wine on Xvfb and driven from outside.
wine_options() {
  tests/e2e/run_options_e2e.sh "$1"
}

# wine_stages BUILD_DIR LABEL: every Wine stage on one build, if it built.
wine_stages() {
  local build=$1 label=$2
  if ! printf '%s\n' "${built[@]}" | grep -qx "$build"; then
    summary+=("FAILED  Wine stages ($label): $build did not build")
    failed+=("Wine stages ($label)")
    return
  fi
  stage "Win32 seam check and dialog checks under Wine ($label)" wine_seam "$build"
  stage "Wine end-to-end tests ($label)" wine_e2e "$build"
  stage "scan options dialog under Wine ($label)" wine_options "$build"
  stage "Wine end-to-end tests of purgato-scan.exe ($label)" wine_cli_e2e "$build"
}

# The Windows zip that cpack makes from the Windows build, its programs run
# under Wine from where it was unpacked (statically only where the probe
# says this machine cannot run them).
windows_zip() {
  build_win32 && seed_tool && tests/package/check_zip.sh build/win32 build/native
}

# One libFuzzer target for a while, on a copy of its seed folders (the
# fuzzer adds to its corpus). Errexit is off inside a stage, hence the chains.
fuzz_target() {
  local target=$1 seconds=$2 corpus=build/fuzz/corpus-$1 seeds
  shift 2
  rm -rf "$corpus" && mkdir -p "$corpus" build/fuzz/artifacts || return 1
  for seeds in "$@"; do
    cp -r "$seeds/." "$corpus/" || return 1
  done
  build/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ "$corpus"
}

fuzz() {
  CC=clang CXX=clang++ configure_and_build build/fuzz -DPURGATO_FUZZ=ON -DPURGATO_BENCH=OFF -DPURGATO_WERROR=ON &&
    rm -rf build/fuzz/seeds-scan build/fuzz/seeds-perf build/fuzz/seeds-hive &&
    mkdir -p build/fuzz/seeds-scan build/fuzz/seeds-perf build/fuzz/seeds-hive &&
    build/fuzz/make_fuzz_corpus build/fuzz/seeds-scan build/fuzz/seeds-perf build/fuzz/seeds-hive &&
    fuzz_target fuzz_scan_file 30 tests/fuzz/corpus build/fuzz/seeds-scan &&
    fuzz_target fuzz_perf_data 15 build/fuzz/seeds-perf &&
    fuzz_target fuzz_offline_hive 25 build/fuzz/seeds-hive
}

# The core's folders form one stack (os, session, clean, engine, scan): a
# file includes only its own folder and those below, and never <windows.h>.
check_stack() {
  local order=(os session clean engine scan) bad=0 level folder file line included
  for level in "${!order[@]}"; do
    folder=${order[$level]}
    while IFS= read -r file; do
      while IFS= read -r line; do
        if [[ $line =~ ^#include[[:space:]]*\<windows\.h\> ]]; then
          echo "$file: includes <windows.h>: $line" >&2
          bad=1
        elif [[ $line =~ ^#include[[:space:]]*\"([a-z_]+)/ ]]; then
          included=${BASH_REMATCH[1]}
          if ! printf '%s\n' "${order[@]:0:$((level + 1))}" | grep -qx "$included"; then
            echo "$file: includes a folder above its own: $line" >&2
            bad=1
          fi
        fi
      done < <(grep -E '^#include' "$file")
    done < <(find "$folder" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \))
  done
  # The seam's POSIX side is part of the bottom layer too.
  if grep -nE '^#include[[:space:]]*"(session|clean|engine|scan|app|controls|cli)/' os/posix/* >&2; then
    bad=1
  fi
  [ "$bad" -eq 0 ] && echo "stack: every core include points down"
}

stage "include stack of the core" check_stack
stage "native build and unit tests" native
stage "unit tests under AddressSanitizer and UndefinedBehaviorSanitizer" sanitized
stage "Windows images, 32-bit: build, versions, resources, imports, manifests" windows_static
stage "Windows twin, 64-bit: build" windows_twin
# Wine's 32-bit side needs a kernel that runs 32-bit programs; the twin runs
# everywhere.
if no_32bit=$(scripts/probe_32bit.sh); then
  wine_stages build/win32 "32-bit"
else
  echo
  echo "=== 32-bit images: static checks only: $no_32bit"
  summary+=("32-bit images: static checks only: $no_32bit")
fi
wine_stages build/win64 "64-bit twin"
stage "install, manual page and Debian package" tests/package/check_package.sh build/package
stage "Windows zip, unpacked and run under Wine" windows_zip
stage "fuzzing the scanner (30 s), the performance data (15 s) and the offline hives (25 s)" fuzz

echo
echo "=== summary (${SECONDS} s)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  exit 1
fi
