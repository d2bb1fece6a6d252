#!/usr/bin/env bash
# Archives cross platforms: a tree packed by the Linux build unpacks with the
# Windows build (under Wine) to the same tree, byte for byte, and the other
# way round; and the archive either build packs from the tree the other
# unpacked is byte for byte the one it packs from the original tree. Member
# names in UTF-8 are stored as the same bytes by both builds, and the
# Windows build shows them as characters on a console. Everything runs in a
# folder named in Cyrillic and CJK characters.
#   tests/cross_platform.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
work="$scratch/Жук 日本"
mkdir "$work"

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
printf 'beetle' >"$tree/GAME/AB,XY/ЖУК.T"  # names in UTF-8, unpacked under the same bytes
printf 'japan' >"$tree/GAME/AB,XY/日本"

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

# Names longer than a stored name: each build stores Жук.txt and 日本.bin
# under the same first 8 bytes. Both archives, unpacked by one build, give
# the same tree, member by member.
for packer in linux windows; do
  mkdir -p "$work/names-$packer/GAME/AB,XY" "$work/names-$packer/unpacked"
  printf 'beetle' >"$work/names-$packer/GAME/AB,XY/Жук.txt"
  printf 'japan' >"$work/names-$packer/GAME/AB,XY/日本.bin"
  run "$packer" packer/baleup "$work/names-$packer"
  cp "$work/names-$packer/GAME.DAT" "$work/names-$packer/unpacked/"
  run linux extractor/unbale "$work/names-$packer/unpacked"
done
diff -r "$work/names-linux/unpacked/GAME" "$work/names-windows/unpacked/GAME"
[ "$(cd "$work/names-linux/unpacked/GAME/AB,XY" && printf '%s/' *)" = "Жук.T/日本.B/" ]
echo "both builds stored Жук.txt and 日本.bin as Жук.T and 日本.B"

# A name in a message: redirected, the Windows build writes its bytes; on a
# console, its characters, which Wine's console shows on a UTF-8 terminal
# (with control sequences between them, and blanks as cursor moves).
dir="$work/console"
mkdir -p "$dir"
cp "$work/names-linux/GAME.DAT" "$dir/"
printf '\377' | dd of="$dir/GAME.DAT" bs=1 seek=13 conv=notrunc status=none  # the first member's checksum
(cd "$dir" && "$here/../cmake/wine-run.sh" "$windows/extractor/unbale.exe" GAME.DAT) | tr -d '\r' >"$dir.out"
grep -qx -E 'Bad Checksum in file (Жук\.T|日本\.B)' "$dir.out" || { cat "$dir.out"; exit 1; }
if command -v script >/dev/null; then
  (cd "$dir" && LC_ALL=C.UTF-8 WINEDEBUG=-all script -qec "wine '$windows/extractor/unbale.exe' GAME.DAT" /dev/null) \
    </dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r ' >"$dir.console"
  grep -q -E 'BadChecksuminfile(Жук\.T|日本\.B)' "$dir.console" || { cat -v "$dir.console"; exit 1; }
  echo "the Windows build wrote a UTF-8 name to a file as its bytes and to the console as its characters"
else
  echo "the Windows build wrote a UTF-8 name to a file as its bytes (no 'script' here for the console check)"
fi
