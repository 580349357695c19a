#!/usr/bin/env bash
# Writes the link map of a Windows executable with the map tool: an ELF copy
# of the PE carries its debug information to the tool, with the image base
# and the build-id the linker put into the debug directory.
#   pe-map.sh <map tool> <objcopy> <objdump> <executable> <source folder> <map file>
set -euo pipefail
mapwriter=$1 objcopy=$2 objdump=$3 exe=$4 sources=$5 map=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case $("$objdump" -f "$exe") in
  *pei-i386*) format=elf32-i386 ;;
  *) format=elf64-x86-64 ;;
esac
"$objcopy" -O "$format" "$exe" "$work/image.elf"
base=$("$objdump" -p "$exe" | awk '$1 == "ImageBase" && !seen { print $2; seen = 1 }')
# The debug directory entry (28 bytes), then "RSDS" and the 16 bytes of the id.
"$objcopy" -O binary --only-section=.buildid "$exe" "$work/buildid"
id=$(od -An -v -tx1 -j 32 -N 16 "$work/buildid" | tr -d ' \n')
[[ ${#id} -eq 32 ]] || { echo "pe-map: $exe has no build-id" >&2; exit 1; }
"$mapwriter" --pe "$base" "$id" "$work/image.elf" "$sources" "$map"
