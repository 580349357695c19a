#!/usr/bin/env bash
# Faults made on purpose in the shipped exporter under Wine: the report's
# header as the 32-bit (or 64-bit) build writes it, the source line of the
# fault from the link map, and then the program goes on as the Linux
# exporter does after the same fault: the same standard output, the same
# last line of standard error and the same exit status.
#   fault-report.sh EXPORTER POINTER-SIZE LINUX-EXPORTER
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exporter=$1
bits=$(($2 * 8))
linux=$3
[[ -x $linux ]] || { echo "FAIL: no Linux exporter '$linux' to compare with (WIREPEEK_HOST_EXPORTER)"; exit 1; }
export TZ=UTC
file=$here/capture/files/traffic.pcap
args=(--report --adapter 10.0.0.2 --read "$file" --json)
if [[ $bits -eq 32 ]]; then
  h='\$[0-9A-F]{8}'
  registers=("\\[ 0\\] EIP=($h) EBP=$h ESP=$h EFLAGS=$h" "\\[ 0\\] EAX=$h EBX=$h ECX=$h EDX=$h")
else
  h='\$[0-9A-F]{16}'
  registers=("\\[ 0\\] RIP=($h) RBP=$h RSP=$h EFLAGS=\\\$[0-9A-F]{8}" "\\[ 0\\] RAX=$h RBX=$h RCX=$h RDX=$h")
fi
# The line of the counting's fault point, from the source itself.
line=$(grep -n 'FaultPoint(TFaultPoint::Counting);' "$here/../src/capture/CountPacket.cpp" | cut -d: -f1)
# fault | exception code | the report's source line (the kinds that fault in
# the handler's own code) | the message line
cases=(
  "count:store:3|C0000005|CountPacket.cpp:$line|^Access violation at address PC\\. Write of address \\\$0+$"
  "count:divide:2|C0000094|CountPacket.cpp:$line|^Division by zero$"
  "count:memcpy:4|C0000005||^Access violation at address $h\\. Write of address $h$"
  "receive:store:1|C0000005||^Access violation at address PC\\. Write of address \\\$0+$"
  "count:recursion:1|C00000FD||^Stack overflow$"
)
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r fault code at message <<<"$c"
  fail() { echo "FAIL $fault: $1"; failed=1; }
  out=$(WIREPEEK_FAULT=$fault wine "$exporter" "${args[@]}" 2>"$errors" | tr -d '\r'; exit "${PIPESTATUS[0]}")
  status=$?
  err=$(tr -d '\r' <"$errors")
  want_out=$(WIREPEEK_FAULT=$fault "$linux" "${args[@]}" 2>/dev/null)
  want_status=$?
  want_last=$(WIREPEEK_FAULT=$fault "$linux" "${args[@]}" 2>&1 >/dev/null | tail -n 1)
  # When the report was made differs from run to run.
  strip() { sed -E 's/"time":"[^"]*"/"time":"T"/'; }
  [[ $status -eq $want_status ]] || fail "exit status $status, the Linux exporter's $want_status"
  [[ $(strip <<<"$out") == "$(strip <<<"$want_out")" ]] || fail "standard output differs: $out"
  [[ $(tail -n 1 <<<"$err") == "$want_last" ]] || fail "last line '$(tail -n 1 <<<"$err")', not '$want_last'"
  mapfile -t lines <<<"$err"
  [[ ${lines[0]:-} == "// System Exception:" ]] || fail "first line '${lines[0]:-}'"
  [[ ${lines[1]:-} =~ ^${registers[0]}$ ]] || fail "'${lines[1]:-}'"
  pc=${BASH_REMATCH[1]:-none}
  [[ ${lines[2]:-} =~ ^${registers[1]}$ ]] || fail "'${lines[2]:-}'"
  [[ ${lines[3]:-} == "[ 0] ExceptAddr=$pc" ]] || fail "'${lines[3]:-}'"
  [[ ${lines[6]:-} == "[ 0] ErrorCode=\$$code" ]] || fail "'${lines[6]:-}'"
  if [[ -n $at ]]; then
    [[ ${lines[4]:-} == "[ 0] FileName=${at%:*}" ]] || fail "'${lines[4]:-}'"
    [[ ${lines[5]:-} == "[ 0] LineNumber=${at#*:}" ]] || fail "'${lines[5]:-}', not line ${at#*:}"
    grep -Eq "^\\[ 1\\] \\$pc: wirepeek-exporter.exe - CountPacket - ${at%:*}\\(${at#*:}\\)$" <<<"$err" ||
      fail "no first frame in ${at%:*} line ${at#*:}"
  fi
  grep -Eq "${message//PC/\\$pc}" <<<"$err" || fail "no line matches $message"
  # Reported once, and the program went on to its end.
  [[ $(grep -c "^// System Exception:" <<<"$err") -eq 1 ]] || fail "not one report"
  [[ $failed -eq 0 ]] || { printf '%s\n' "$err" | head -30; break; }
done
exit $failed
