#!/usr/bin/env bash
# End-to-end checks of the scan options dialog and its shell folder tree:
# tests/e2e/options_host.exe under Wine on an Xvfb display, driven from
# outside by gui_driver.exe. The host runs the dialog, and the scan or the
# thank-you dialog after it, and prints the target and the option flags
# it ended with, and what went through the shell allocator.
#
#   tests/e2e/run_options_e2e.sh WIN32_BUILD [SCENARIO...]
#
# WIN32_BUILD holds options_host.exe and gui_driver.exe. The prefix, logs
# and screenshots go to WIN32_BUILD/options-e2e (shots/ keeps the PNGs).
# One prefix serves every scenario: the scans here find nothing to change.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
usage="usage: run_options_e2e.sh WIN32_BUILD [SCENARIO...]"
E2E_WIN32=$(cd "${1:?$usage}" && pwd) || exit 2
shift
for file in "$E2E_WIN32/options_host.exe" "$E2E_WIN32/gui_driver.exe"; do
  [ -f "$file" ] || {
    echo "run_options_e2e: no $file" >&2
    exit 2
  }
done

if [ -z "${E2E_IN_XVFB:-}" ]; then
  exec env E2E_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$E2E_WIN32" "$@"
fi

E2E_WORK=$E2E_WIN32/options-e2e
# shellcheck source=tests/e2e/e2e_lib.sh
. "$here/e2e_lib.sh"

OPTIONS=1005   # a control only the options dialog has (its tree)
TREE=1005
ALL_DRIVES=1006
DRIVE_C=1007
SELECTED=1008
PROMPT=1017
AUTOMATIC=1018
DISINFECT=1019
RENAME=1020
DELETE=1021
IGNORE=1022
ACTION_GROUP=1023

# The prefix, made once: the desktop without Wine's "/" folder, no window
# manager waits, and a few folders whose order and buttons are known.
options_init() {
  mkdir -p "$E2E_WORK/shots" "$E2E_WORK/runs"
  wine_prefix_init "$E2E_WORK" "$(wine_image_bits "$E2E_WIN32/options_host.exe")" || return 1
  wine_stop
  local drive_c=$WINEPREFIX/drive_c desktop
  mkdir -p "$drive_c/e2e"
  cp "$E2E_WIN32/options_host.exe" "$E2E_WIN32/gui_driver.exe" "$drive_c/e2e/"
  [ -f "$WINEPREFIX/.options-ready" ] && return 0
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
    printf '\r\n[-HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Desktop\\Namespace\\{9D20AAE8-0625-44B0-9CA7-71889C2254D9}]\r\n'
  } >"$drive_c/e2e/setup.reg"
  (cd "$drive_c" && taskset -c 0 wine regedit /s 'C:\e2e\setup.reg' >/dev/null 2>&1) || return 1
  rm -f "$drive_c/e2e/setup.reg"
  # A second drive whose label sorts after "Control Panel": My Computer
  # then lists its children in an order that differs from sorted order.
  mkdir -p "$WINEPREFIX/drive_d"
  echo Zeta >"$WINEPREFIX/drive_d/.windows-label"
  ln -sfn ../drive_d "$WINEPREFIX/dosdevices/d:"
  # Children of a file-system folder, made out of order; only "mid" has a
  # subfolder.
  mkdir -p "$drive_c/e2e/tree/zeta" "$drive_c/e2e/tree/Alpha" "$drive_c/e2e/tree/mid/inner" "$drive_c/e2e/tree/beta"
  echo "a file, never listed" >"$drive_c/e2e/tree/file.txt"
  # On the desktop: a folder, a hidden folder and a file.
  desktop=$(find "$drive_c/users" -mindepth 2 -maxdepth 2 -name Desktop ! -path '*/Public/*' | head -n 1)
  mkdir -p "$desktop/Desk folder" "$desktop/Hidden folder"
  echo "a file, never listed" >"$desktop/note.txt"
  run=$E2E_WORK/runs/init
  mkdir -p "$run"
  drv attrib "C:\\users\\$(basename "$(dirname "$desktop")")\\Desktop\\Hidden folder" h >/dev/null || return 1
  wine_stop
  touch "$WINEPREFIX/.options-ready"
}

# begin_options NAME [HOST OPTIONS...]: the host started with the options;
# waits for the dialog.
begin_options() {
  scenario=$1
  shift
  echo
  echo "=== $scenario"
  scenario_start=$SECONDS
  run=$E2E_WORK/runs/$scenario
  rm -rf "$run"
  mkdir -p "$run"
  (cd "$WINEPREFIX/drive_c/e2e" && exec taskset -c 0 timeout "${E2E_TIMEOUT:-300}" wine 'C:\e2e\options_host.exe' "$@") \
    >"$run/host.raw" 2>"$run/host.err" &
  host_pid=$!
  drv wait "$CAPTION" $OPTIONS 20000 >/dev/null || {
    fail "no options dialog"
    return 1
  }
}

# end_options STATUS: the host has ended with STATUS; its lines in host.out.
end_options() {
  local status=0
  wait_exit "$host_pid" 20 || status=$?
  [ "$status" -ne 124 ] || kill "$host_pid" 2>/dev/null
  expect "host exit status" "$status" "$1"
  tr -d '\r' <"$run/host.raw" >"$run/host.out"
}

# printed NAME: the value the host printed for NAME.
printed() { sed -n "s/^$1=//p" "$run/host.out"; }

finish_scenario() {
  echo "  ($((SECONDS - scenario_start)) s)"
}

checks() {
  local id out=
  for id in "$@"; do out+="$(drv checked "$CAPTION" $OPTIONS "$id")"; done
  echo "$out"
}

states() {
  local id out=
  for id in "$@"; do out+="$(drv state "$CAPTION" $OPTIONS "$id" | tr ' ' '-') "; done
  echo "${out% }"
}

ACTION_STATES_ON="visible-enabled visible-enabled visible-enabled visible-enabled visible-enabled"
ACTION_STATES_OFF="visible-disabled visible-disabled visible-disabled visible-disabled visible-disabled"

tree_items() { drv tree "$CAPTION" $OPTIONS $TREE >"$run/$1"; }

# The top-level texts of a tree listing, or those under PARENT.
level_texts() {
  local file=$1 parent=${2:-}
  if [ -z "$parent" ]; then
    grep -v '^selected: ' "$file" | grep -v '^ ' | cut -f1
  else
    awk -F '\t' -v p="$parent" '
      # Two blanks a level; a text may start with a blank of its own (" (C:)").
      { match($1, /^ */); depth = int(RLENGTH / 2) * 2; text = substr($1, depth + 1) }
      inside && depth <= d { inside = 0 }
      inside && depth == d + 2 { print text }
      !inside && text == p { inside = 1; d = depth }' "$file"
  fi
}

item_line() { awk -F '\t' -v t="$2" '{ s = $1; sub(/^ */, "", s) } s == t { print $2; exit }' "$1"; }

# The allocator counts of a run whose tree had N items (and PATHS parsing
# names read for a target, 0 when left out): every block our code
# allocated (a record and a name per item, a name per path) freed exactly
# once; of the shell's blocks, each item's ID list and wide display name,
# each path's wide parsing name and the desktop's resolved location freed
# once each (Wine's shell gives every name as a wide string); every
# reference to the allocator released.
check_shell_memory() {
  local items=$1 paths=${2:-0}
  expect "shell allocations: a record and a name per inserted item, one per path" \
    "$(printed shellAllocations)" $((2 * items + paths))
  expect "shell frees match the allocations" "$(printed shellFrees)" "$(printed shellAllocations)"
  expect "the shell's blocks freed once: an ID list and a name per item, a name per path, the location" \
    "$(printed foreignFrees)" $((2 * items + paths + 1))
  expect "no block freed twice" "$(printed doubleFrees)" 0
  expect "allocator references left" "$(printed references)" 0
}

item_count() { grep -vc '^selected: ' "$run/$1"; }

# wait_scan_end: the progress dialog's OK, then the thank-you dialog's OK.
finish_scan() {
  must "no progress dialog" drv wait "$CAPTION" $PROGRESS 10000 || return 1
  drv wait-text "$CAPTION" $PROGRESS $STATUS "Scanning completed" 120000 || fail "the scan did not complete"
  drv list "$CAPTION" $PROGRESS $LIST >"$run/list"
  expect "options dialog hidden during the scan" "$(drv state "$CAPTION" $OPTIONS 0)" "hidden enabled"
  drv click "$CAPTION" $PROGRESS $OK_BUTTON
  must "no thank-you dialog" drv wait "$CAPTION" $THANKS 10000 || return 1
  drv click "$CAPTION" $THANKS 1
}

statistics_only() {
  printf 'Scanning statistics\t\t:\nTotal files scanned\t\t:  0\nTotal files infected\t\t:  0\nTotal files disinfected\t:  0\nTotal files deleted\t\t:  0\nselected: 4'
}

scenario_initial() {
  begin_options initial || return
  expect "caption" "$(drv text "$CAPTION" $OPTIONS 0)" "Purgato Ver 1.5"
  expect "checks 1006 1007 1008 1017 1018 1019 1020 1021 1022" \
    "$(checks $ALL_DRIVES $DRIVE_C $SELECTED $PROMPT $AUTOMATIC $DISINFECT $RENAME $DELETE $IGNORE)" 100011000
  expect "tree" "$(drv state "$CAPTION" $OPTIONS $TREE)" "visible disabled"
  expect "action group" "$(states $ACTION_GROUP $DISINFECT $DELETE $RENAME $IGNORE)" "$ACTION_STATES_ON"
  expect "button texts" "$(for id in 1 2 $ALL_DRIVES $DRIVE_C $SELECTED $PROMPT $AUTOMATIC $ACTION_GROUP $DISINFECT $RENAME $DELETE $IGNORE; do
    drv text "$CAPTION" $OPTIONS "$id"
  done | paste -sd '|')" "Scan|Cancel|Scan all hard drives|Scan C drive|Selected folders|Prompt|Automatic|Take action automatically|Disinfect|Rename|Delete|Ignore"
  tree_items root
  # The shell's order: the virtual folders first, then the desktop's own
  # folders, the hidden one too; never the file.
  expect "root level" "$(level_texts "$run/root" | paste -sd '|')" "My Computer|Documents|Trash|Desk folder|Hidden folder"
  expect "nothing selected" "$(sed -n 's/^selected: //p' "$run/root")" "(none)"
  expect "My Computer has a button" "$(item_line "$run/root" "My Computer" | cut -d' ' -f1)" "children=1"
  expect "Trash has no button" "$(item_line "$run/root" "Trash" | cut -d' ' -f1)" "children=0"
  expect "each item its own image" "$(grep -v '^selected' "$run/root" | sed 's/.*image=//' | sort -n | paste -sd ' ')" "0 1 2 3 4"
  shot initial $OPTIONS
  drv click "$CAPTION" $OPTIONS 2
  must "no thank-you dialog after Cancel" drv wait "$CAPTION" $THANKS 10000 || return
  expect "options dialog gone while the thank-you dialog shows" "$(drv state "$CAPTION" $OPTIONS 0)" "hidden enabled"
  drv absent "$CAPTION" $PROGRESS 300 || fail "a progress dialog after Cancel"
  drv click "$CAPTION" $THANKS 1
  end_options 0
  expect "DoModal result" "$(printed result)" 2
  expect "no scan" "$(printed scanRan)" 0
  expect "target not written" "$(printed targetPath)" "(not written)"
  expect "flags" "$(printed scanAllDrives)$(printed scanDriveC)$(printed scanSelectedFolders)$(printed promptOnVirus)$(printed actAutomatically)$(printed actionDisinfect)$(printed actionRename)$(printed actionDelete)$(printed actionIgnore)" 100011000
  check_shell_memory "$(item_count root)"
  finish_scenario
}

scenario_prompt_mode() {
  begin_options prompt-mode --found-virus-mode 203 --auto-action 206 || return
  expect "checks 1017 1018 1019 1020 1021 1022" "$(checks $PROMPT $AUTOMATIC $DISINFECT $RENAME $DELETE $IGNORE)" 100010
  expect "action group disabled" "$(states $ACTION_GROUP $DISINFECT $DELETE $RENAME $IGNORE)" "$ACTION_STATES_OFF"
  shot prompt $OPTIONS
  drv click "$CAPTION" $OPTIONS $AUTOMATIC
  expect "Automatic enables the group" "$(states $ACTION_GROUP $DISINFECT $DELETE $RENAME $IGNORE)" "$ACTION_STATES_ON"
  drv click "$CAPTION" $OPTIONS $PROMPT
  expect "Prompt disables it" "$(states $ACTION_GROUP $DISINFECT $DELETE $RENAME $IGNORE)" "$ACTION_STATES_OFF"
  expect "Delete still checked" "$(drv checked "$CAPTION" $OPTIONS $DELETE)" 1
  drv click "$CAPTION" $OPTIONS $AUTOMATIC
  expect "Automatic enables it again" "$(states $ACTION_GROUP $DISINFECT $DELETE $RENAME $IGNORE)" "$ACTION_STATES_ON"
  drv click "$CAPTION" $OPTIONS 2
  must "no thank-you dialog" drv wait "$CAPTION" $THANKS 10000 || return
  drv click "$CAPTION" $THANKS 1
  end_options 0
  # Cancel reads no buttons: the mode flags are still the stored ones.
  expect "mode flags unchanged by the clicks" "$(printed promptOnVirus)$(printed actAutomatically)" 10
  expect "action flags" "$(printed actionDisinfect)$(printed actionRename)$(printed actionDelete)$(printed actionIgnore)" 0010
  finish_scenario
}

scenario_hidden_disinfect() {
  begin_options hidden-disinfect --disinfect-visibility 210 --auto-action 208 || return
  expect "Disinfect" "$(drv state "$CAPTION" $OPTIONS $DISINFECT)" "hidden enabled"
  expect "Disinfect checked" "$(drv checked "$CAPTION" $OPTIONS $DISINFECT)" 1
  drv click "$CAPTION" $OPTIONS $DRIVE_C
  drv click "$CAPTION" $OPTIONS 1
  finish_scan || return
  end_options 0
  expect "DoModal result" "$(printed result)" 1
  expect "target" "$(printed targetPath)" "C:"
  expect "actionDisinfect" "$(printed actionDisinfect)" 1
  expect "target flags" "$(printed scanAllDrives)$(printed scanDriveC)$(printed scanSelectedFolders)" 010
  expect "files scanned on C:" "$(grep -c '^Total files scanned[[:space:]]*:  0$' "$run/list")" 0
  finish_scenario
}

scenario_target_radios() {
  begin_options target-radios || return
  local step
  for step in "$SELECTED:visible enabled:001" "$ALL_DRIVES:visible disabled:100" "$SELECTED:visible enabled:001" \
    "$DRIVE_C:visible disabled:010"; do
    IFS=: read -r id want marks <<<"$step"
    drv click "$CAPTION" $OPTIONS "$id"
    expect "after $id: tree" "$(drv state "$CAPTION" $OPTIONS $TREE)" "$want"
    expect "after $id: target checks" "$(checks $ALL_DRIVES $DRIVE_C $SELECTED)" "$marks"
  done
  drv click "$CAPTION" $OPTIONS $ALL_DRIVES
  drv click "$CAPTION" $OPTIONS 1
  finish_scan || return
  end_options 0
  expect "target" "$(printed targetPath)" "!:"
  finish_scenario
}

scenario_tree() {
  begin_options tree || return
  drv click "$CAPTION" $OPTIONS $SELECTED
  must "expanding My Computer" drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer" || return
  tree_items computer
  # Not sorted: the drives first, then Control Panel.
  expect "My Computer's children, in the shell's order" "$(level_texts "$run/computer" "My Computer" | paste -sd '|')" \
    " (C:)|Zeta (D:)|Control Panel"
  drv tree-collapse "$CAPTION" $OPTIONS $TREE "My Computer"
  tree_items computer-collapsed
  expect "My Computer collapsed" "$(item_line "$run/computer-collapsed" "My Computer" | cut -d' ' -f2)" "expanded=0"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer"
  tree_items computer-again
  expect "My Computer open again" "$(item_line "$run/computer-again" "My Computer" | cut -d' ' -f2)" "expanded=1"
  expect "a second expansion inserts nothing" "$(level_texts "$run/computer-again" "My Computer" | paste -sd '|')" \
    "$(level_texts "$run/computer" "My Computer" | paste -sd '|')"
  expect "nor anywhere else" "$(item_count computer-again)" "$(item_count computer)"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer| (C:)"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer| (C:)|e2e"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer| (C:)|e2e|tree"
  tree_items drive
  expect "children of a file-system folder sorted, no file" \
    "$(level_texts "$run/drive" "tree" | paste -sd '|')" "Alpha|beta|mid|zeta"
  local texts
  texts=$(level_texts "$run/drive" " (C:)")
  expect "C:'s folders sorted" "$(LC_ALL=C sort -f <<<"$texts" | paste -sd '|')" "$(paste -sd '|' <<<"$texts")"
  # Wine's file-system folders all say SFGAO_HASSUBFOLDER, even an empty
  # one (zeta): the folder without a button here is the Trash (initial).
  expect "a folder with a subfolder has one" "$(item_line "$run/drive" "mid" | cut -d' ' -f1)" "children=1"
  drv tree-collapse "$CAPTION" $OPTIONS $TREE "My Computer| (C:)"
  drv tree-click "$CAPTION" $OPTIONS $TREE "My Computer| (C:)" || fail "clicking C:"
  # The click is posted: wait until the tree has taken it.
  local selected tries=0
  while selected=$(drv tree "$CAPTION" $OPTIONS $TREE | sed -n 's/^selected: //p') &&
    [ "$selected" != "My Computer| (C:)" ] && [ $tries -lt 40 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
  expect "C: focused by a click" "$selected" "My Computer| (C:)"
  shot computer-expanded $OPTIONS
  drv click "$CAPTION" $OPTIONS 1
  finish_scan || return
  end_options 0
  expect "the drive root's trailing backslash removed" "$(printed targetPath)" "C:"
  expect "target flags" "$(printed scanAllDrives)$(printed scanDriveC)$(printed scanSelectedFolders)" 001
  # One parsing name converted for the target, besides the records.
  check_shell_memory "$(item_count drive)" 1
  finish_scenario
}

scenario_folder_target() {
  begin_options folder-target --target-choice 202 || return
  expect "tree enabled for the stored folder choice" "$(drv state "$CAPTION" $OPTIONS $TREE)" "visible enabled"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer| (C:)"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer| (C:)|e2e"
  drv tree-expand "$CAPTION" $OPTIONS $TREE "My Computer| (C:)|e2e|tree"
  drv tree-select "$CAPTION" $OPTIONS $TREE "My Computer| (C:)|e2e|tree|mid" || fail "selecting mid"
  drv click "$CAPTION" $OPTIONS 1
  finish_scan || return
  end_options 0
  expect "a folder's path unchanged" "$(printed targetPath)" 'C:\e2e\tree\mid'
  finish_scenario
}

scenario_virtual_folder() {
  begin_options virtual-folder --target-choice 202 || return
  drv tree-select "$CAPTION" $OPTIONS $TREE "My Computer" || fail "selecting My Computer"
  drv click "$CAPTION" $OPTIONS 1
  finish_scan || return
  end_options 0
  # Not a file-system folder: its parsing name as the shell gives it.
  expect "My Computer's parsing name" "$(printed targetPath | tr 'a-f' 'A-F')" "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"
  finish_scenario
}

scenario_no_focus() {
  begin_options no-focus || return
  drv click "$CAPTION" $OPTIONS $SELECTED
  drv tree-select "$CAPTION" $OPTIONS $TREE ""
  drv click "$CAPTION" $OPTIONS 1
  finish_scan || return
  end_options 0
  expect "a scan ran" "$(printed scanRan)" 1
  expect "no focused folder: written empty" "$(printed targetPath)" ""
  expect "the progress list: the statistics only" "$(cat "$run/list")" "$(statistics_only)"
  finish_scenario
}

scenario_no_target() {
  begin_options no-target --target-choice 199 || return
  expect "no target checked" "$(checks $ALL_DRIVES $DRIVE_C $SELECTED)" 000
  # An action and then a mode, as a user changes them before Scan (the
  # group is still enabled for the action).
  drv click "$CAPTION" $OPTIONS $RENAME
  drv click "$CAPTION" $OPTIONS $PROMPT
  expect "checks 1017 1018 1019 1020 after the clicks" "$(checks $PROMPT $AUTOMATIC $DISINFECT $RENAME)" 1001
  drv click "$CAPTION" $OPTIONS 1
  end_options 0
  expect "DoModal result" "$(printed result)" 1
  expect "no scan" "$(printed scanRan)" 0
  expect "target not written" "$(printed targetPath)" "(not written)"
  # The stored settings said Automatic and Disinfect; the buttons did not.
  expect "mode read from the buttons on Scan" "$(printed promptOnVirus)$(printed actAutomatically)" 10
  expect "action read from the buttons on Scan" \
    "$(printed actionDisinfect)$(printed actionRename)$(printed actionDelete)$(printed actionIgnore)" 0100
  finish_scenario
}

scenario_no_shell() {
  begin_options no-shell --no-shell-allocator || return
  expect "options still set" "$(checks $ALL_DRIVES $AUTOMATIC $DISINFECT)" 111
  tree_items empty
  expect "an empty tree" "$(cat "$run/empty")" "selected: (none)"
  # Escape is Cancel.
  drv key "$CAPTION" $OPTIONS escape
  must "no thank-you dialog after Escape" drv wait "$CAPTION" $THANKS 10000 || return
  drv click "$CAPTION" $THANKS 1
  end_options 0
  expect "DoModal result" "$(printed result)" 2
  expect "nothing allocated" "$(printed shellAllocations)" 0
  finish_scenario
}

all="initial prompt_mode hidden_disinfect target_radios tree folder_target virtual_folder no_focus no_target no_shell"
options_init || {
  echo "run_options_e2e: no prefix" >&2
  exit 1
}
# shellcheck disable=SC2086 # the list splits into names
[ $# -ne 0 ] || set -- $all
for name in "$@"; do
  "scenario_${name//-/_}"
done
wine_stop
e2e_summary
