#!/usr/bin/env bash
# The pictures of the Windows window for the README: wirepeek.exe of a
# Windows build (win32 unless told) under Wine with Xvfb reads a capture
# file, with the summary pages shown and Japanese drawn through the IPA
# fonts; each page is turned to as a user would (the arrow key on the page
# tabs) and the window saved as a PNG: windows-main.png (the protocols),
# windows-addresses.png, windows-programs.png (empty: Wine captures no
# live traffic, and only live traffic has programs), windows-rates.png and,
# from a run in debug mode (-D), its trace window: windows-trace.png, in
# FOLDER.
#   tools/windows-screenshot.sh FOLDER [win32|win64]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
preset=${2:-win32}
build=build-$preset
probe=$(find "$build" -name window_probe.exe | head -1)
[[ -f $build/wirepeek.exe && -n $probe ]] ||
  { echo "no $build/wirepeek.exe or window_probe.exe: run scripts/test-windows" >&2; exit 1; }
export WINEPREFIX=$PWD/build-wine WINEDEBUG=-all TZ=UTC
scripts/wine-fonts
# Its processes started without a display: the window's must not join them.
timeout 30 wineserver -w || { echo "the Wine server of $WINEPREFIX stays up: stop it first" >&2; exit 1; }
ini=$build/wirepeek.ini
printf '[Form]\r\nTop=10\r\nLeft=10\r\nProt_IPAdr=1\r\n' >"$ini"
work=$(mktemp -d)
trap 'rm -rf "$work" "$ini"' EXIT
cat >"$work/shoot" <<SHOOT
#!/usr/bin/env bash
wine $build/wirepeek.exe --read tests/capture/files/traffic.pcap --adapter 10.0.0.2 --quit-after 9 \
  >/dev/null 2>"$work/err" &
for i in \$(seq 60); do xwininfo -root -tree | grep -q 'ワイヤピーク監視' && break; sleep 0.5; done
# The capture's figures drawn, and a few seconds of rates.
sleep 3
for page in main addresses programs rates; do
  [[ \$page == main ]] || { wine "$probe" --page 1; sleep 1; }
  xwininfo -root -tree | grep -m1 'ワイヤピーク監視' | grep -oE '[0-9]+x[0-9]+\+[0-9]+\+[0-9]+' | head -1 \
    >"$work/\$page.geometry"
  xwd -root -silent >"$work/\$page.xwd"
done
wait
# The trace window of a run in debug mode, with the file's dumps; the main
# window beside it.
printf '[Form]\\r\\nTop=10\\r\\nLeft=530\\r\\nProt_IPAdr=0\\r\\n' >"$ini"
wine $build/wirepeek.exe -D --read tests/capture/files/traffic.pcap --adapter 10.0.0.2 --quit-after 5 \
  >/dev/null 2>>"$work/err" &
for i in \$(seq 60); do xwininfo -root -tree | grep -q '"wirepeek.exe": (' && break; sleep 0.5; done
sleep 3
xwininfo -root -tree | grep -m1 '"wirepeek.exe": (' | grep -oE '[0-9]+x[0-9]+\+[0-9]+\+[0-9]+' | head -1 \
  >"$work/trace.geometry"
xwd -root -silent >"$work/trace.xwd"
wait
SHOOT
chmod +x "$work/shoot"
xvfb-run -a -s "-screen 0 1024x768x24" "$work/shoot"
cat "$work/err" >&2
mkdir -p "$out"
for page in main addresses programs rates trace; do
  IFS='x+' read -r w h x y <"$work/$page.geometry"
  xwdtopnm "$work/$page.xwd" 2>/dev/null | pamcut -left "$x" -top "$y" -width "$w" -height "$h" | pnmdepth 255 |
    pnmtopng >"$out/windows-$page.png"
  echo "$out/windows-$page.png"
done
