#!/usr/bin/env bash
# The picture of the Windows window for the README: wirepeek.exe of the
# win32 build under Wine with Xvfb reads a capture file, with the summary
# pages shown and Japanese drawn through the IPA fonts, and its window is
# saved as a PNG.
#   tools/windows-screenshot.sh OUTPUT.png
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
[[ -f build-win32/wirepeek.exe ]] || { echo "no build-win32/wirepeek.exe: run scripts/test-windows" >&2; exit 1; }
export WINEPREFIX=$PWD/build-wine WINEDEBUG=-all TZ=UTC
# Japanese in the system's dialog font comes from the IPA Gothic fonts.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma /t REG_MULTI_SZ \
  /d 'ipagp.ttf,IPAPGothic\0ipag.ttf,IPAGothic' /f >/dev/null 2>&1
# Its processes started without a display: the window's must not join them.
wineserver -w
ini=build-win32/wirepeek.ini
printf '[Form]\r\nTop=10\r\nLeft=10\r\nProt_IPAdr=1\r\n' >"$ini"
work=$(mktemp -d)
trap 'rm -rf "$work" "$ini"' EXIT
cat >"$work/shoot" <<SHOOT
#!/usr/bin/env bash
wine build-win32/wirepeek.exe --read tests/capture/files/traffic.pcap --adapter 10.0.0.2 --quit-after 4 \
  >/dev/null 2>"$work/err" &
for i in \$(seq 60); do xwininfo -root -tree | grep -q 'ワイヤピーク監視' && break; sleep 0.5; done
# The capture's figures drawn.
sleep 2
geometry=\$(xwininfo -root -tree | grep -m1 'ワイヤピーク監視' | grep -oE '[0-9]+x[0-9]+\+[0-9]+\+[0-9]+' | head -1)
xwd -root -silent >"$work/root.xwd"
echo "\$geometry" >"$work/geometry"
wait
SHOOT
chmod +x "$work/shoot"
xvfb-run -a -s "-screen 0 800x600x24" "$work/shoot"
cat "$work/err" >&2; IFS='x+' read -r w h x y <"$work/geometry"
xwdtopnm "$work/root.xwd" 2>/dev/null | pamcut -left "$x" -top "$y" -width "$w" -height "$h" | pnmdepth 255 |
  pnmtopng >"$out"
echo "$out"
