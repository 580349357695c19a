#!/usr/bin/env bash
# A fault made on purpose in the shipped exporter under Wine: the report's
# header as the 32-bit (or 64-bit) build writes it, the source line of the
# fault from the link map, and the end of the process with the exception code.
#   fault-report.sh EXPORTER POINTER-SIZE
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exporter=$1
bits=$(($2 * 8))
export TZ=UTC
err=$(WIREPEEK_FAULT=count:store:1 wine "$exporter" --report --adapter 10.0.0.2 \
      --read "$here/capture/files/traffic.pcap" 2>&1 >/dev/null | tr -d '\r')
status=$?
# The line of the fault point, from the source itself: the store is made
# there, in the counting's own code.
line=$(grep -n 'FaultPoint(TFaultPoint::Counting);' "$here/../src/capture/CountPacket.cpp" | cut -d: -f1)
if [[ $bits -eq 32 ]]; then
  h='\$[0-9A-F]{8}'
  registers=("\\[ 0\\] EIP=($h) EBP=$h ESP=$h EFLAGS=$h" "\\[ 0\\] EAX=$h EBX=$h ECX=$h EDX=$h")
else
  h='\$[0-9A-F]{16}'
  registers=("\\[ 0\\] RIP=($h) RBP=$h RSP=$h EFLAGS=\\\$[0-9A-F]{8}" "\\[ 0\\] RAX=$h RBX=$h RCX=$h RDX=$h")
fi
failed=0
check() {
  if ! grep -Eq "$1" <<<"$err"; then
    echo "FAIL: no line matches $1"
    failed=1
  fi
}
# An access violation ends the process with $C0000005, whose low byte Linux sees.
[[ $status -eq 5 ]] || { echo "FAIL: exit status $status, not 5"; failed=1; }
mapfile -t lines <<<"$err"
[[ ${lines[0]:-} == "// System Exception:" ]] || { echo "FAIL: first line '${lines[0]:-}'"; failed=1; }
[[ ${lines[1]:-} =~ ^${registers[0]}$ ]] || { echo "FAIL: '${lines[1]:-}'"; failed=1; }
pc=${BASH_REMATCH[1]:-none}
[[ ${lines[2]:-} =~ ^${registers[1]}$ ]] || { echo "FAIL: '${lines[2]:-}'"; failed=1; }
[[ ${lines[3]:-} == "[ 0] ExceptAddr=$pc" ]] || { echo "FAIL: '${lines[3]:-}'"; failed=1; }
[[ ${lines[4]:-} == "[ 0] FileName=CountPacket.cpp" ]] || { echo "FAIL: '${lines[4]:-}'"; failed=1; }
[[ ${lines[5]:-} == "[ 0] LineNumber=$line" ]] || { echo "FAIL: '${lines[5]:-}', not line $line"; failed=1; }
[[ ${lines[6]:-} == "[ 0] ErrorCode=\$C0000005" ]] || { echo "FAIL: '${lines[6]:-}'"; failed=1; }
check "^\\[ 1\\] \\$pc: wirepeek-exporter.exe - CountPacket - CountPacket.cpp\\($line\\)$"
check "^Access violation at address \\$pc\\. Write of address \\\$0+$"
# Written once.
[[ $(grep -c "^// System Exception:" <<<"$err") -eq 1 ]] || { echo "FAIL: more than one report"; failed=1; }
[[ $failed -eq 0 ]] || printf '%s\n' "$err" | head -30
exit $failed
