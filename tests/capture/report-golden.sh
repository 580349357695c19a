#!/usr/bin/env bash
# The report of each capture file in tests/capture/files, as text and as
# JSON, byte for byte against the golden files the Linux exporter made: the
# same on every platform.
#   report-golden.sh EXPORTER [RUNNER...]
# RUNNER (wine, say) is put in front of the exporter.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exporter=$1
shift
export TZ=UTC
failed=0
checked=0
for file in "$here"/files/*.pcap "$here"/files/*.pcapng; do
  base=$(basename "$file")
  golden="$here/golden/report/${base%.*}-${base##*.}"
  # The exit status the files ask for: a cut file ends early.
  want=0
  [[ $base == cut.* ]] && want=1
  for form in txt json; do
    args=(--report --adapter 10.0.0.2 --read "$file")
    [[ $form == json ]] && args+=(--json)
    out=$("$@" "$exporter" "${args[@]}" 2>/dev/null | tr -d '\r'; exit "${PIPESTATUS[0]}")
    status=$?
    # When the report was made differs from run to run.
    [[ $form == json ]] && out=$(sed -E 's/"time":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}Z"/"time":"T"/' <<<"$out")
    checked=$((checked + 1))
    if [[ $status -ne $want ]]; then
      echo "FAIL $base ($form): exit status $status, not $want"
      failed=1
    elif ! diff -u "$golden.$form" <(printf '%s\n' "$out") >/dev/null; then
      echo "FAIL $base ($form): differs from $(basename "$golden.$form")"
      diff -u "$golden.$form" <(printf '%s\n' "$out") | head -20
      failed=1
    fi
  done
done
echo "$checked reports checked"
exit $failed
