#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmark: how close lumpgraft comes to the least possible cost.
#
# Each row times lumpgraft and a reference command side by side in this one
# invocation, alternating the two over several runs, and prints the ratio of
# their medians, so that a shared, noisy machine affects both alike. Every
# archive copy is prepared and synced before its timed command runs, so no
# command pays for another's writes.
#
#   bench/run.sh [runs]          (default 7 runs; needs the freedoom package)
#   LUMPGRAFT_STATIC=OFF bench/run.sh   times the dynamically linked command,
#                                       as the Debian package builds it
#   BASELINE=REV bench/run.sh    also times the command built from git
#                                revision REV, static and dynamic, against
#                                the same floors
#
# The headline, overhead-small, times a 4 KiB graft against safefloor.c, a
# bare program that makes the same five barriers and nothing else, each
# linked statically and dynamically; the goal is at most 1.1.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-7}
game=${GAME_WAD:-/usr/share/games/doom/freedoom2.wad}
[ -r "$game" ] || { echo "bench: $game is missing (Debian package freedoom)" >&2; exit 1; }

# build SOURCE DIR STATIC: the command, released, from the tree at SOURCE.
build() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DLUMPGRAFT_TESTS=OFF -DLUMPGRAFT_STATIC="$3" >/dev/null
  cmake --build "$2" -j2 --target lumpgraft >/dev/null
}
static=${LUMPGRAFT_STATIC:-ON}
build . build-release "$static"
build . build-release-dynamic OFF
tool=$PWD/build-release/lumpgraft

work=$(mktemp -d /var/tmp/lumpgraft-bench.XXXXXX)
trap 'rm -rf "$work"; [ -z "${BASELINE:-}" ] || git worktree remove --force build-baseline-src' EXIT
cc -O2 -static -o "$work/safefloor-static" bench/safefloor.c
cc -O2 -o "$work/safefloor-dynamic" bench/safefloor.c
if [ -n "${BASELINE:-}" ]; then
  git worktree add -f --detach build-baseline-src "$BASELINE" >/dev/null 2>&1
  build build-baseline-src build-baseline ON
  build build-baseline-src build-baseline-dynamic OFF
fi
head -c $((64 << 20)) /dev/urandom >"$work/big.lmp"
head -c 4096 /dev/urandom >"$work/small.lmp"
# A three-lump archive: a marker, its THINGS, and one more lump.
printf 'PWAD\003\000\000\000\020\000\000\000DATA' >"$work/three.wad"
printf '\014\000\000\000\000\000\000\000MAP01\000\000\000' >>"$work/three.wad"
printf '\014\000\000\000\004\000\000\000THINGS\000\000' >>"$work/three.wad"
printf '\014\000\000\000\004\000\000\000PLAYPAL\000' >>"$work/three.wad"
# Each archive after ten 4 KiB grafts into MAP01, which compaction reclaims.
for wad in "$game" "$work/three.wad"; do
  out=$work/$(basename "$wad" .wad).grafted.wad
  cp "$wad" "$out"
  for ((i = 0; i < 10; i++)); do "$tool" "$out" "$work/small.lmp" MAP01 >/dev/null; done
done
sync

le32() { od -An -t d4 -j "$2" -N 4 "$1" | tr -d ' '; }
count=$(le32 "$game" 4)
diroff=$(le32 "$game" 8)
tail -c $((count * 16)) "$game" >"$work/dir.bin"
map01=$(($(od -An -c -w16 -v "$work/dir.bin" | grep -n 'M   A   P   0   1  \\0' | head -n 1 | cut -d: -f1) - 1))

# Microseconds taken by one command; its output is discarded.
# bash's own clock, so that no extra process is timed.
usecs() {
  local start=${EPOCHREALTIME/./} end
  "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; exit 1; }
  end=${EPOCHREALTIME/./}
  echo $((end - start))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

prepare() { cp "$1" "$work/copy.wad" && sync "$work/copy.wad"; }

graft() { "$tool" "$work/copy.wad" "$1"; }

# A 4 KiB graft into MAP01 by the command CMD, or by safefloor LINKAGE.
graftby() { "$1" "$work/copy.wad" "$work/small.lmp" MAP01; }
floor() { "$work/safefloor-$1" "$work/copy.wad" "$work/small.lmp" "$map01"; }

compact() { "$tool" --compact "$work/copy.wad"; }

# The physical floor: the same bytes at the same offsets, made durable.
dd_floor() {
  dd if="$work/big.lmp" of="$work/copy.wad" bs=1M seek="$diroff" oflag=seek_bytes conv=notrunc,fsync status=none &&
    dd if="$work/dir.bin" of="$work/copy.wad" bs=1M seek=$((diroff + (64 << 20))) oflag=seek_bytes conv=notrunc,fsync status=none
}

# What any editor that saves by rewriting the archive must at least do.
rewrite() {
  cp "$work/copy.wad" "$work/copy.new" && sync "$work/copy.new" && mv "$work/copy.new" "$work/copy.wad"
}

# compare NAME TARGET PREP_A CMD_A PREP_B CMD_B: prints one table row.
compare() {
  local name=$1 target=$2 a=() b=() i
  for ((i = 0; i < runs; i++)); do
    prepare "$3"; a+=("$(usecs $4)")
    prepare "$5"; b+=("$(usecs $6)")
  done
  local ma mb
  ma=$(printf '%s\n' "${a[@]}" | median)
  mb=$(printf '%s\n' "${b[@]}" | median)
  awk -v n="$name" -v a="$ma" -v b="$mb" -v t="$target" \
    'BEGIN { printf "| %s | %.1f ms | %.1f ms | %.3f | %s |\n", n, a / 1000, b / 1000, a / b, t }'
}

echo "Machine: $(nproc) cores, $(uname -r), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "Command: $tool, linked $([ "$static" = ON ] && echo statically || echo dynamically)"
echo "Archive: $game ($(stat -c %s "$game") bytes, $count entries); $runs runs each, medians"
echo
echo "| measure | lumpgraft | reference | ratio | target |"
echo "|---|---|---|---|---|"
# The headline: more runs, as its ratio is the closest one and a sync's time
# varies by more than the tenth it measures.
headline=$((runs * 5))
runs=$headline compare "overhead-small: 4 KiB graft vs safefloor, both static" "at most 1.1" \
  "$game" "graftby $tool" "$game" "floor static"
runs=$headline compare "overhead-small: 4 KiB graft vs safefloor, both dynamic" "at most 1.1" \
  "$game" "graftby $PWD/build-release-dynamic/lumpgraft" "$game" "floor dynamic"
[ -z "${BASELINE:-}" ] || runs=$headline compare "overhead-small of $BASELINE, static" "for comparison" \
  "$game" "graftby $PWD/build-baseline/lumpgraft" "$game" "floor static"
[ -z "${BASELINE:-}" ] || runs=$headline compare "overhead-small of $BASELINE, dynamic" "for comparison" \
  "$game" "graftby $PWD/build-baseline-dynamic/lumpgraft" "$game" "floor dynamic"
compare "64 MiB graft vs dd of the same bytes (physical floor)" "at most 1.3" \
  "$game" "graft $work/big.lmp" "$game" "dd_floor"
compare "4 KiB graft vs whole-archive rewrite" "at most 0.1" \
  "$game" "graft $work/small.lmp" "$game" "rewrite"
compare "4 KiB graft: game archive vs three-lump archive" "at most 2" \
  "$game" "graft $work/small.lmp" "$work/three.wad" "graft $work/small.lmp"
game10=$work/$(basename "$game" .wad).grafted.wad
compare "compaction after ten 4 KiB grafts vs whole-archive rewrite" "at most 0.1" \
  "$game10" "compact" "$game10" "rewrite"
compare "compaction after ten 4 KiB grafts: game archive vs three-lump archive" "at most 2" \
  "$game10" "compact" "$work/three.grafted.wad" "compact"

peaks=()
for ((i = 0; i < runs; i++)); do
  prepare "$game"
  peaks+=("$(/usr/bin/time -f %M "$tool" "$work/copy.wad" "$work/big.lmp" 2>&1 >/dev/null | tail -n 1)")
done
peak=$(printf '%s\n' "${peaks[@]}" | median)
awk -v p="$peak" 'BEGIN { printf "| peak memory of the 64 MiB graft | %.1f MiB | | | at most 4 MiB |\n", p / 1024 }'
