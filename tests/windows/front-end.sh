#!/usr/bin/env bash
# The exporter's live capture and endpoint under Wine, as a user meets them:
# Wine refuses raw IP sockets, so a live report shows the capture's own
# failure texts and ends with 1; --serve is not in the Windows build and
# says so with 2.
#   front-end.sh EXPORTER
set -uo pipefail
exporter=$1
failed=0
expect() {  # status, expected standard error, command...
  local want=$1 text=$2
  shift 2
  local err status
  err=$("$@" 2>&1 >/dev/null)
  status=$?
  err=$(tr -d '\r' <<<"$err")
  if [[ $status -ne $want || $err != "$text" ]]; then
    echo "FAIL: ${*:3}: status $status, not $want; said:"
    printf '%s\n' "$err"
    failed=1
  fi
}
# An address Wine lists for this host: the first one the exporter names.
address=$(wine "$exporter" --report --adapter 198.51.100.250 --seconds 1 2>&1 | tr -d '\r' |
          sed -n 's/.*its addresses are: \([0-9.]*\).*/\1/p')
if [[ -z $address ]]; then
  echo "SKIP: Wine lists no IPv4 address of this host"
else
  expect 1 "wirepeek: $address: WSASocket: Winsock error 10043
wirepeek: InitAdapter :WSASocket failed
wirepeek: CaptureStart Error" wine "$exporter" --report --adapter "$address" --seconds 1
fi
expect 2 "wirepeek: --serve is not available on Windows; use --report" wine "$exporter" --serve 9100 --adapter 127.0.0.1
exit $failed
