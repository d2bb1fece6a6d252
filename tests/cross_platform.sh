#!/usr/bin/env bash
# Archives cross platforms: a tree packed by the Linux build unpacks with the
# Windows build (under Wine) to the same tree, byte for byte, and the other
# way round; and the archive either build packs from the tree the other
# unpacked is byte for byte the one it packs from the original tree.
#   tests/cross_platform.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run PLATFORM PROGRAM DIR: runs the program on GAME.DAT in DIR, output to DIR/../<program>.out
run() {
  local out="$3.${2##*/}.out"
  if [ "$1" = linux ]; then
    (cd "$3" && "$linux/$2" GAME.DAT) >"$out"
  else
    (cd "$3" && "$here/../cmake/wine-run.sh" "$windows/$2.exe" GAME.DAT) | tr -d '\r' >"$out"
  fi
  # after the banner, unbale says nothing when all goes well
  if [ "$2" = extractor/unbale ] && [ -n "$(tail -n +5 "$out")" ]; then
    echo "$1 unbale in $3 said:"; cat "$out"; exit 1
  fi
}

# The tree: member names as unbale writes them (upper case, at most 8
# characters), so that unpacking gives back the very names. Created in name
# order, so that a file system listing in creation order lists it sorted.
tree="$work/tree"
mkdir -p "$tree/GAME/AB,XY"
all_bytes=$(for i in $(seq 0 255); do printf '\\%03o' "$i"; done)
printf "$all_bytes" >"$tree/GAME/AB,XY/ALLBYTES"
for i in $(seq 1 300); do printf "$all_bytes"; done >"$tree/GAME/AB,XY/BIG.BIN"  # 76800 bytes, many blocks
: >"$tree/GAME/AB,XY/EMPTY"
printf 'line one\r\nline two\nno end' >"$tree/GAME/AB,XY/TEXT.TXT"

for packer in linux windows; do
  mkdir -p "$work/$packer"
  cp -r "$tree/GAME" "$work/$packer/"
  run "$packer" packer/baleup "$work/$packer"
done

for packer in linux windows; do
  for extractor in linux windows; do
    [ "$packer" = "$extractor" ] && continue
    dir="$work/$packer-to-$extractor"
    mkdir -p "$dir"
    cp "$work/$packer/GAME.DAT" "$dir/"
    run "$extractor" extractor/unbale "$dir"
    diff -r "$tree/GAME" "$dir/GAME"
    # The unpacked tree lists in the extractor's own order: packed again
    # there, it must give what that platform packed from the original.
    rm "$dir/GAME.DAT"
    run "$extractor" packer/baleup "$dir"
    cmp "$work/$extractor/GAME.DAT" "$dir/GAME.DAT"
    echo "packed on $packer, unpacked and packed again on $extractor: trees and archives match"
  done
done

# Both packers write the same bytes for a tree they list alike.
if cmp -s "$work/linux/GAME.DAT" "$work/windows/GAME.DAT"; then
  echo "both builds packed the tree to the same bytes"
else
  [ "$(wc -c <"$work/linux/GAME.DAT")" = "$(wc -c <"$work/windows/GAME.DAT")" ]
  echo "both builds packed the tree to archives of the same size, members in their own listing orders"
fi
