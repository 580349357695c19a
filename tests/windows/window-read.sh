#!/usr/bin/env bash
# The shipped window under Wine reads each capture file of the tests
# (--read FILE --adapter ADDR --quit-after N) and prints, byte for byte, the
# JSON the Linux window prints for the same run (but for when it was made
# and how long its clicks waited), and that of the golden report the Linux
# exporter made for the file. A fault made in its timer (in the window
# procedure) or in its handler of the capture notification is reported once,
# that call is left, and the run ends as it would have, as the Linux
# window's does after the same fault, and the run leaves its trace log in
# the current folder. The settings file beside it is read and written. Run
# on a display (on-display.sh).
#   window-read.sh WINDOW-PROGRAM LINUX-WINDOW PROBE
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
window=$1
linux=${2:-}
probe=${3:-}
[[ -x $linux ]] || { echo "FAIL: no Linux window '$linux' to compare with (WIREPEEK_HOST_WINDOW)"; exit 1; }
export TZ=UTC
# The Linux window in a folder of its own, beside its map, where it keeps
# its settings.
host=$(mktemp -d)
cp "$linux" "${linux%/*}/wirepeek.map" "$host/"
linux_window() {  # FILE FAULT SECONDS SWITCHES...
  local file=$1 fault=$2 seconds=$3
  shift 3
  (cd "$host" && WIREPEEK_FAULT=$fault QT_QPA_PLATFORM=offscreen XDG_STATE_HOME=$host timeout 60 ./wirepeek \
   "$@" --read "$file" --adapter 10.0.0.2 --quit-after "$seconds" 2>/dev/null)
}
canonical() { sed -E 's/"time":"[^"]*"/"time":"T"/; s/("clicks":\{"count":)[0-9]+,"median_ms":[0-9.]+,"max_ms":[0-9.]+/\1N/'; }
# The golden reports are the exporter's: no dumps, no clicks.
golden() { sed -E 's/"time":"[^"]*"/"time":"T"/; s/,"(dumps|clicks)":\{[^}]*\}//g'; }
line() { grep -n "FaultPoint(TFaultPoint::$1);" "$here/../src/ui/win32/MainUnit.cpp" | cut -d: -f1; }
files=("$here"/capture/files/*.pcap "$here"/capture/files/*.pcapng)
# file | fault made | the source line its report names | switches
cases=()
for file in "${files[@]}"; do
  # A cut file ends early: the window says so in a box, which waits.
  [[ $(basename "$file") == cut.* ]] || cases+=("$file|||")
done
# Debug mode from the start, with its dumps.
cases+=("$here/capture/files/traffic.pcap|||-D"
        "$here/capture/files/traffic.pcap|timer:store:1|$(line Timer)|"
        "$here/capture/files/traffic.pcap|notify:store:1|$(line CaptureNotify)|")
errors=$(mktemp)
run=$(mktemp -d)
trap 'rm -f "$errors" "$host.json"; rm -rf "$host" "$run"' EXIT
failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r file fault at switches <<<"$c"
  base=$(basename "$file")
  fail() { echo "FAIL $base ${fault:+($fault)}$switches: $1"; failed=1; }
  golden="$here/capture/golden/report/${base%.*}-${base##*.}.json"
  # Long enough for the file to be read, and for the first tick of the timer.
  seconds=1
  [[ -n $fault ]] && seconds=2
  rm -f "$run"/ALOG*
  # The Linux window's answer is made beside the Windows run.
  linux_window "$file" "$fault" "$seconds" $switches >"$host.json" &
  linux_run=$!
  # After a fault the trace window shows, titled after the executable.
  [[ -n $fault ]] && { timeout 60 wine "$probe" --shown TTraceForm >"$run/shown" 2>/dev/null & }
  out=$(cd "$run" && WIREPEEK_FAULT=$fault timeout 60 wine "$window" $switches --read "$file" --adapter 10.0.0.2 --quit-after $seconds \
        2>"$errors" | tr -d '\r'; exit "${PIPESTATUS[0]}")
  status=$?
  err=$(tr -d '\r' <"$errors")
  [[ $status -eq 0 ]] || fail "exit status $status: $err"
  diff <(golden <"$golden") <(golden <<<"$out") >/dev/null ||
    fail "the window's JSON differs from $(basename "$golden"): $out"
  wait "$linux_run"
  want=$(cat "$host.json")
  [[ $(canonical <<<"$out") == "$(canonical <<<"$want")" ]] ||
    fail "the JSON differs from the Linux window's:"$'\n'"$out"$'\n'"$want"
  logs=("$run"/ALOG*.txt)
  if [[ -n $fault ]]; then
    [[ $(grep -c "^// System Exception:" <<<"$err") -eq 1 ]] || fail "not one report: $err"
    grep -qx "\\[ 0\\] FileName=MainUnit.cpp" <<<"$err" || fail "no report of MainUnit.cpp: $err"
    grep -qx "\\[ 0\\] LineNumber=$at" <<<"$err" || fail "no report of line $at: $err"
    wait
    [[ $(tr -d '\r' <"$run/shown") == wirepeek.exe ]] || fail "no trace window: $(cat "$run/shown")"
    # The log: every line ended by CR LF, the report in it once.
    if [[ ${#logs[@]} -ne 1 || ! -f ${logs[0]} ]]; then
      fail "not one trace log: ${logs[*]}"
    else
      [[ $(grep -vc $'\r$' "${logs[0]}") -eq 0 ]] || fail "a line of the log without CR LF"
      [[ $(grep -c "^// System Exception:" "${logs[0]}") -eq 1 && $(grep -c "^\\[ 0\\] LineNumber=$at"$'\r$' \
         "${logs[0]}") -eq 1 ]] || fail "the log has not the report once: $(head -20 "${logs[0]}")"
    fi
  else
    [[ ! -f ${logs[0]} ]] || fail "a trace log without a fault"
  fi
done
# The settings file beside the program: read at the start (the window goes
# where it says), written at the end: the keys it had in place, the missing
# one added.
ini="$(dirname "$window")/wirepeek.ini"
printf '[Form]\r\nTop=33\r\nLeft=44\r\nProt_IPAdr=1\r\n' >"$ini"
timeout 60 wine "$window" --read "${files[0]}" --adapter 10.0.0.2 --quit-after 0 >/dev/null 2>&1
[[ $(tr -d '\r' <"$ini") == $'[Form]\nTop=33\nLeft=44\nProt_IPAdr=1\nStayOnTop=0'* ]] ||
  { echo "FAIL: the settings file after a run: $(cat "$ini")"; failed=1; }
rm -f "$ini"
# A live capture of an address this host does not have ends the run at
# once, as a failure, as the Linux window's does.
said=$(timeout 60 wine "$window" --start 192.0.2.1 --quit-after 2 2>&1 >/dev/null | tr -d '\r'
       exit "${PIPESTATUS[0]}")
status=$?
[[ $status -eq 1 && $said == *"wirepeek: 192.0.2.1 is not an address of this host"* ]] ||
  { echo "FAIL: --start 192.0.2.1 ended with $status: $said"; failed=1; }
# A map that is not this build's, or none: one alert naming it, and the
# program ends before its loop (the box waits for an answer: the run is
# stopped once the alert is out, as on Linux).
copy=$(mktemp -d)
trap 'rm -f "$errors" "$host.json"; rm -rf "$copy" "$host" "$run"' EXIT
cp "$window" "$copy/wirepeek.exe"
for c in "PROC|s/TMainForm\.CheckMapFile/TMainForm.CheckMapFilf/" "none|"; do
  IFS='|' read -r kind edit <<<"$c"
  rm -f "$copy/wirepeek.map"
  [[ -n $edit ]] && sed "$edit" "${window%.exe}.map" >"$copy/wirepeek.map"
  want="wirepeek: map ファイルが異常です($kind):wirepeek.map"
  [[ $kind == none ]] && want="wirepeek: map ファイルがありません:wirepeek.map"
  timeout 60 wine "$copy/wirepeek.exe" >/dev/null 2>"$copy/err" &
  for i in $(seq 300); do grep -qF "$want" "$copy/err" && break; sleep 0.2; done
  kill $! 2>/dev/null
  wait $! 2>/dev/null
  said=$(tr -d '\r' <"$copy/err")
  [[ $said == *"$want"* ]] || { echo "FAIL: map $kind: $said"; failed=1; }
  [[ -f $copy/wirepeek.ini ]] && { echo "FAIL: map $kind: the settings were written"; failed=1; }
done
exit $failed
