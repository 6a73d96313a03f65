#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Uses an installed lumpgraft as a user and another project would: the
# command grafts into a scratch copy of the sample archive; the consumer
# program is built against the library through CMake's find_package(waddir),
# as C and as C++, and as C99 with gcc and the flags pkg-config alone gives
# (so no C++ runtime); each build lists the levels of the grafted archive,
# and grafts into a copy of it itself; the C builds also run a batch that
# catches an error and goes on; and a shared object links the library.
# Given WINE, the installed Windows build runs under it: the command, and the
# C99 program built with MinGW's gcc and pkg-config's flags alone.
#   check.sh SOURCE_DIR PREFIX LIBDIR [EXTRA_CXX_FLAGS [WINE]]
# A failure names its command and shows its output. Exits 77 (skipped) when
# pkg-config (or Wine) is missing, except under CI=true.
set -Eeuo pipefail
trap 'echo "check.sh: line $LINENO: failed: $BASH_COMMAND" >&2' ERR
src=$1 prefix=$2 libdir=$3 flags=${4:-} wine=${5:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs a command quietly; when it fails, shows what it printed.
quiet() {
  "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log"; return 1; }
}
need() { # need PROGRAM PACKAGE: when PROGRAM is missing, skips the rest (fails under CI=true)
  command -v "$1" >/dev/null && return
  echo "$1 is missing (Debian package $2): the consumer's checks stop here"
  [ "${CI:-}" != true ] || exit 1; exit 77
}

# Windows' programs, and the line end of a C program's text there.
run=() exe="" cc=gcc eol=""
[ -z "$wine" ] || { need "$wine" wine64 && run=("$wine") exe=.exe cc=x86_64-w64-mingw32-gcc eol=$'\r'; }

cp "$src/examples/sample.wad" "$scratch/sample.wad"
quiet "${run[@]}" "$prefix/bin/lumpgraft$exe" "$scratch/sample.wad" "$src/examples/script.txt" MAP02
grep -qx "level: MAP02" "$scratch/log" || { cat "$scratch/log"; exit 1; }
grep -q " ok$" "$scratch/log" || { cat "$scratch/log"; exit 1; }

# Each level's marker size and level size, the ten entries after its marker:
# MAP02's marker holds the script's 150 bytes, which MAP01's ten include;
# after a graft of "hello", MAP01's marker holds 5.
printf 'MAP01 0 610%s\nMAP02 150 248%s\n' "$eol" "$eol" >"$scratch/levels"
printf 'MAP01 5 610%s\nMAP02 150 248%s\n' "$eol" "$eol" >"$scratch/grafted"
uses() { # uses PROGRAM: lists the levels, then grafts into a copy and lists them
  "${run[@]}" "$1" "$scratch/sample.wad" | diff "$scratch/levels" -
  cp "$scratch/sample.wad" "$scratch/copy.wad"
  "${run[@]}" "$1" "$scratch/copy.wad" MAP01 hello | diff "$scratch/grafted" -
}

# A batch over three archives: the second fails (its graft would cross a
# file size limit), the program's handler catches the error and goes on with
# the third, and its log tells all three; the failed archive is as it was.
batch() { # batch PROGRAM
  for w in a b c; do cp "$scratch/sample.wad" "$scratch/$w.wad"; done
  truncate -s 3M "$scratch/b.wad" && cp "$scratch/b.wad" "$scratch/b.before"
  if (ulimit -f 3072 && "$1" --batch "$scratch/log" hello "$scratch/a.wad" "$scratch/b.wad" \
    "$scratch/c.wad"); then
    echo "the batch said nothing failed"; return 1
  fi
  printf '%s\n' "$scratch/a.wad: stored" \
    "$scratch/b.wad: failed: wadreplace: $scratch/b.wad: write failed: File too large" \
    "$scratch/b.wad: the archive is as it was" "$scratch/c.wad: stored" | diff - "$scratch/log"
  cmp "$scratch/b.wad" "$scratch/b.before"
  "$1" "$scratch/c.wad" | diff "$scratch/grafted" -
}

# The CMake projects, the file size limit and the shared object are Linux's.
if [ -z "$wine" ]; then
  quiet cmake -S "$src/tests/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"
  quiet cmake --build "$scratch/cmake"
  uses "$scratch/cmake/listlevels"
  uses "$scratch/cmake/listlevels-cxx"
  batch "$scratch/cmake/listlevels"
fi

need pkg-config pkgconf
# shellcheck disable=SC2046 # pkg-config's output is a list of options
quiet "$cc" -std=c99 -Wall -Wextra -Werror $flags "$src/tests/consumer/listlevels.c" \
  -o "$scratch/listlevels$exe" $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs waddir)
uses "$scratch/listlevels$exe"
[ -z "$wine" ] || exit 0
batch "$scratch/listlevels"

# The library is position-independent: a plugin or a language binding links
# it into a shared object.
quiet gcc -shared $flags -o "$scratch/libplugin.so" -Wl,--whole-archive \
  "$prefix/$libdir/libwaddir.a" -Wl,--no-whole-archive
