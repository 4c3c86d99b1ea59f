#!/usr/bin/env bash
# Checks that a Windows image can load on Windows 95 and NT 4.0 and runs
# unvirtualised on later Windows:
#   - it imports only from the allowed DLLs,
#   - every imported function is listed in win32_imports.txt and marked
#     present (or a harmless stub) on both systems,
#   - it carries the application manifest (type 24, id 1) asking for
#     requireAdministrator, for the x86 processor.
# Nothing here runs the image: Wine exports everything whatever version it
# pretends to be, so only the image tells.
#   tests/e2e/check_imports.sh EXE
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exe=${1:?usage: check_imports.sh EXE}
list="$here/win32_imports.txt"
allowed_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll comctl32.dll ole32.dll msvcrt.dll"

[ -f "$exe" ] || { echo "check_imports: no $exe" >&2; exit 2; }

# "dll function" per import, DLL names in lower case.
imports=$(i686-w64-mingw32-objdump -p "$exe" | awk '
  /^\tDLL Name: / { dll = tolower($3); next }
  /^[[:space:]]*$/ { next }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll, $3; next }
  /^The Export Tables|^PE File Base Relocations/ { dll = "" }' | sort -u)
if [ -z "$imports" ]; then
  echo "check_imports: no imports read from $exe" >&2
  exit 2
fi

# "dll function 95 nt4" per listed row.
listed=$(awk '!/^#/ && NF >= 4 { print tolower($1), $2, $3, $4 }' "$list")

failures=0
fail() {
  echo "check_imports: $*" >&2
  failures=$((failures + 1))
}

while read -r dll; do
  case " $allowed_dlls " in
    *" $dll "*) ;;
    *) fail "$exe imports from $dll, which is not allowed" ;;
  esac
done < <(cut -d' ' -f1 <<<"$imports" | sort -u)

while read -r dll fn; do
  row=$(awk -v d="$dll" -v f="$fn" '$1 == d && $2 == f { print $3, $4; exit }' <<<"$listed")
  if [ -z "$row" ]; then
    fail "$dll!$fn is imported but not in $(basename "$list"): judge it for Windows 95 and NT 4.0 and add it"
    continue
  fi
  read -r on95 onnt4 <<<"$row"
  for verdict in "95:$on95" "NT 4.0:$onnt4"; do
    case ${verdict#*:} in
      yes | stub) ;;
      no) fail "$dll!$fn is missing on Windows ${verdict%%:*}: the image would not load there" ;;
      *) fail "$dll!$fn: unknown verdict '${verdict#*:}' in $(basename "$list")" ;;
    esac
  done
done <<<"$imports"

# The manifest, as windres reads it back from the image.
resources=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null || true)
manifest=$(awk '/^1 24 /{ on = 1 } on { print } on && /^END/ { exit }' <<<"$resources")
if [ -z "$manifest" ]; then
  fail "$exe carries no manifest (resource type 24, id 1)"
elif ! grep -q 'requestedExecutionLevel level=""requireAdministrator""' <<<"$manifest"; then
  fail "$exe: the manifest does not ask for requireAdministrator"
elif ! grep -q 'processorArchitecture=""x86""' <<<"$manifest"; then
  fail "$exe: the manifest does not name the x86 processor of a 32-bit image"
fi

count=$(wc -l <<<"$imports")
if [ "$failures" -ne 0 ]; then
  echo "check_imports: $exe: $failures problem(s)" >&2
  exit 1
fi
echo "check_imports: $exe: $count imports, all listed for Windows 95 and NT 4.0; manifest asks for requireAdministrator"
