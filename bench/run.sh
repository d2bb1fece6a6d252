#!/usr/bin/env bash
# Times baleup and unbale against tar and against the copy limits, on three
# generated workloads, and checks that what baleup packs unbale unpacks to the
# same tree.
#
#   bench/run.sh [scratch-root]        (default /dev/shm, a tmpfs)
#
# Environment: BENCH_RUNS (timed runs per command and round, default 5),
# BENCH_ROUNDS (rounds of the three commands, default 3), BENCH_WORKLOADS (default "w1 w2 w3"; "tiny" for a
# quick check), BALEUP and UNBALE (other builds of the two programs to time;
# by default a Release build made here in build/bench).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/dev/shm}
runs=${BENCH_RUNS:-5}
rounds=${BENCH_ROUNDS:-3}
workloads=${BENCH_WORKLOADS:-"w1 w2 w3"}

# Public tools only: hyperfine for paired timings, GNU time for peak memory.
packages=(hyperfine time tar coreutils cmake ninja-build g++)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

build=$repo/build/bench
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDAT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target unbale baleup >/dev/null
g++ -std=c++20 -O2 -o "$build/make_tree" "$repo/bench/make_tree.cpp"
BALEUP=$(realpath "${BALEUP:-$build/packer/baleup}")
UNBALE=$(realpath "${UNBALE:-$build/extractor/unbale}")

scratch=$(mktemp -d "$root/dat-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
results=$scratch/results.txt

# Median seconds of the command named $1 in hyperfine's CSV $2.
median() { awk -F, -v name="$1" '$1 == name { print $4 }' "$2"; }
# Peak resident set size of one run of the command line $1, in KiB; the shell
# execs it, so the figure is the command's own.
peak() { /usr/bin/time -f %M sh -c "exec $1" 2>&1 >/dev/null | tail -n 1; }

# hyperfine over three named commands in the current directory, in rounds so
# that drift on a busy machine touches all three alike; appends one result
# line: label, name, the medians over rounds of each command's median, the
# medians of the per-round ratios project/tar and project/limit, the peaks.
compare() {
  local label=$1 n1=$2 c1=$3 n2=$4 c2=$5 n3=$6 c3=$7
  local rounds_file=$scratch/$label.rounds
  for ((r = 1; r <= rounds; r++)); do
    local csv=$scratch/$label.$r.csv
    hyperfine -N --warmup 1 --runs "$runs" --export-csv "$csv" --style basic \
      -n "$n1" "$c1" -n "$n2" "$c2" -n "$n3" "$c3" >"$scratch/$label.log" 2>&1 ||
      { cat "$scratch/$label.log"; exit 1; }
    echo "$(median "$n1" "$csv") $(median "$n2" "$csv") $(median "$n3" "$csv")" >>"$rounds_file"
  done
  local p1 p2 p3
  p1=$(peak "$c1") p2=$(peak "$c2") p3=$(peak "$c3")
  echo "$label $n1 $(awk '
    function med(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { a[NR] = $1; b[NR] = $2; c[NR] = $3; x[NR] = $1 / $2; y[NR] = $1 / $3 }
    END { print med(a, NR), med(b, NR), med(c, NR), med(x, NR), med(y, NR) }' "$rounds_file") $p1 $p2 $p3" >>"$results"
}

fail() {
  echo "CHECK FAILED: $*" >&2
  exit 1
}

# The archive baleup made must unpack to the tree it was made from.
check_round_trip() {
  local dir=$1 members=$2 bytes=$3
  local want=$((12 + 19 * (members + 1) + bytes))
  [ "$(stat -c %s "$dir/GAME.DAT")" = "$want" ] || fail "GAME.DAT is not $want bytes"
  mkdir "$dir/check"
  ln "$dir/GAME.DAT" "$dir/check/GAME.DAT"
  local out
  out=$(cd "$dir/check" && "$UNBALE" GAME.DAT)
  [ "$(printf '%s\n' "$out" | wc -l)" = 3 ] || fail "unbale printed more than its banner: $out"
  diff -r "$dir/GAME" "$dir/check/GAME" >/dev/null || fail "unpacked tree differs from the packed one"
  rm -rf "$dir/check"
}

for w in tiny $workloads; do
  dir=$scratch/$w
  summary=$("$build/make_tree" "$dir" "$w")
  members=$(echo "$summary" | awk '{ print $2 }')
  bytes=$(echo "$summary" | awk '{ print $4 }')
  echo "$summary" >&2
  cd "$dir"

  # Packing: baleup, tar of the part directory, and every member read twice
  # with the archive written once (cat copies in the kernel where it can).
  (cd "$dir" && "$BALEUP" GAME.DAT >/dev/null)
  check_round_trip "$dir" "$members" "$bytes"
  if [ "$w" = tiny ]; then
    echo "tiny-pack baleup 0 0 0 0 0 $(peak "$BALEUP GAME.DAT") - -" >>"$results"
  else
    compare "$w-pack" baleup "$BALEUP GAME.DAT" "tar" "tar -cf pack.tar GAME/AB,CD" \
      "two-reads" "sh -c 'cat GAME/AB,CD/* >/dev/null && cat GAME/AB,CD/* >pack.cat'"
    check_round_trip "$dir" "$members" "$bytes"
    rm -f pack.cat
  fi

  # Unpacking over an existing tree: unbale, tar overwriting in place, and a
  # copy of the tree over itself. All three write the same tree in u/.
  mkdir u
  ln GAME.DAT u/GAME.DAT
  cd u
  if [ "$w" = tiny ]; then
    "$UNBALE" GAME.DAT >/dev/null
    echo "tiny-unpack unbale 0 0 0 0 0 $(peak "$UNBALE GAME.DAT") - -" >>"$results"
  else
    ln ../pack.tar GAME.tar
    compare "$w-unpack" unbale "$UNBALE GAME.DAT" "tar" "tar --overwrite -xf GAME.tar" \
      "cp-tree" "cp -rT ../GAME GAME"
  fi
  diff -r "$dir/GAME" "$dir/u/GAME" >/dev/null || fail "$w: the tree in u/ differs after the unpack runs"
  cd /
  rm -rf "$dir"
done

echo
echo "DAT benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "scratch $root ($(stat -f -c %T "$root")); medians of $rounds rounds of $runs runs each (hyperfine $(hyperfine --version | cut -d' ' -f2)); ratios are medians of the per-round ratios"
echo
printf '| %-11s | %-7s | %9s | %9s | %9s | %8s | %9s | %s |\n' workload program "project s" "tar s" "limit s" "/ tar" "/ limit" \
  "peak KiB: project, tar, limit"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------------- --------- ----------- ----------- ----------- ---------- ----------- \
  -------------------------------
while read -r label name m1 m2 m3 r2 r3 p1 p2 p3; do
  if [ "$m1" = 0 ]; then
    printf '| %-11s | %-7s | %9s | %9s | %9s | %8s | %9s | %s |\n' "$label" "$name" - - - - - "$p1"
  else
    awk -v l="$label" -v n="$name" -v a="$m1" -v b="$m2" -v c="$m3" -v x="$r2" -v y="$r3" -v p="$p1, $p2, $p3" 'BEGIN {
      printf "| %-11s | %-7s | %9.3f | %9.3f | %9.3f | %7.2fx | %8.2fx | %s |\n", l, n, a, b, c, x, y, p }'
  fi
done <"$results"
