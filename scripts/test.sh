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

windows() {
  configure_and_build build/win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DPURGATO_WERROR=ON &&
    check_win32_image build/win32/Purgato.exe &&
    tests/e2e/run_seam_check.sh build/win32
}

fuzz() {
  if [ ! -f tests/fuzz/fuzz_scan_file.cpp ]; then
    echo "fuzz: tests/fuzz/fuzz_scan_file.cpp does not exist yet; skipped"
    return 0
  fi
  CC=clang CXX=clang++ configure_and_build build/fuzz -DPURGATO_FUZZ=ON -DPURGATO_BENCH=OFF -DPURGATO_WERROR=ON ||
    return 1
  # The fuzzer adds to its corpus: work on a copy. (Errexit is off inside a
  # stage, hence the chain.)
  rm -rf build/fuzz/corpus build/fuzz/artifacts &&
    mkdir -p build/fuzz/corpus build/fuzz/artifacts &&
    { [ ! -d tests/fuzz/corpus ] || cp -r tests/fuzz/corpus/. build/fuzz/corpus/; } &&
    { [ ! -x build/fuzz/make_fuzz_corpus ] || build/fuzz/make_fuzz_corpus build/fuzz/corpus; } &&
    build/fuzz/fuzz_scan_file -max_total_time=30 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus
}

stage "native build and unit tests" native
stage "unit tests under AddressSanitizer and UndefinedBehaviorSanitizer" sanitized
stage "Windows build and Win32 seam check under Wine" windows
stage "fuzzing fuzz_scan_file for 30 s" fuzz

echo
echo "=== summary (${SECONDS} s)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  exit 1
fi
