#!/usr/bin/env bash
# The shipped window under Wine reads each capture file of the tests
# (--read FILE --adapter ADDR --quit-after 0) and prints the JSON of the
# golden report the Linux exporter made for it, which the Linux window's
# own test holds it to as well; the window adds only its clicks. Run under
# a display of its own (xvfb-run).
#   window-read.sh WINDOW-PROGRAM
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
window=$1
export TZ=UTC
canonical() { sed -E 's/"time":"[^"]*"/"time":"T"/; s/,"clicks":\{[^}]*\}//'; }
failed=0
for file in "$here"/capture/files/*.pcap "$here"/capture/files/*.pcapng; do
  base=$(basename "$file")
  # A cut file ends early: the window says so in a box, which waits.
  [[ $base == cut.* ]] && continue
  golden="$here/capture/golden/report/${base%.*}-${base##*.}.json"
  out=$(timeout 60 wine "$window" --read "$file" --adapter 10.0.0.2 --quit-after 0 2>/dev/null | tr -d '\r'
        exit "${PIPESTATUS[0]}")
  status=$?
  if [[ $status -ne 0 ]]; then
    echo "FAIL $base: exit status $status"
    failed=1
  elif ! diff -u <(canonical <"$golden") <(canonical <<<"$out") >/dev/null; then
    echo "FAIL $base: the window's JSON differs from $(basename "$golden")"
    diff -u <(canonical <"$golden") <(canonical <<<"$out") | head -20
    failed=1
  fi
done
exit $failed
