#!/usr/bin/env bash
# The shipped window's version dialog under Wine, chosen from its menu by a
# program that reads the dialog's texts from outside: the values of the
# executable's version resource, as the build declares them, and the
# executable's last-write time as its build date. Run on a display
# (on-display.sh).
#   about-dialog.sh WINDOW-PROGRAM PROBE PRODUCT VERSION COPYRIGHT COMMENTS
set -uo pipefail
window=$1 probe=$2 product=$3 version=$4 copyright=$5 comments=$6
export TZ=UTC
here=$(cd "$(dirname "$0")/../.." && pwd)
# The command of the menu entry "バージョン(&V)".
command=$(grep -oE 'MenuVersion = [0-9]+' "$here/src/ui/win32/MainUnit.cpp" | grep -oE '[0-9]+$')
timeout 60 wine "$window" >/dev/null 2>&1 &
shown=$(timeout 60 wine "$probe" "$command" | tr -d '\r')
status=$?
wait
date=$(date -u -r "$window" +%Y/%-m/%-d,%-H:%-M:%-S)
# The caption, the pane, the five labels, the five values and the button.
want=$(printf '%s\n' "バージョン情報" "" "製品名" "バージョン" "著作権表記" "コンパイル日付" "コメント" \
       "$product" "$version" "$copyright" "$date" "$comments" "OK")
if [[ $status -ne 0 || $shown != "$want" ]]; then
  echo "FAIL: the dialog shows (probe status $status):"
  diff <(printf '%s\n' "$want") <(printf '%s\n' "$shown")
  exit 1
fi
