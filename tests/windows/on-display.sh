#!/usr/bin/env bash
# Runs a command that opens windows under Wine on a display: the current one
# when there is one (scripts/test-windows starts one for its whole run, so
# that Wine's own processes and the windows share it), else one of its own.
# Windows cannot be made beside Wine processes that started without a
# display: those must end first.
#   on-display.sh COMMAND...
set -uo pipefail
[[ -n ${DISPLAY:-} ]] && exec "$@"
timeout 30 wineserver -w
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
