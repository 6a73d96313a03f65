#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user and another
# project get: the command runs, the manual page renders without warnings, and
# a project of its own builds against find_package(waddir).
#   install_test.sh BUILD_DIR SOURCE_DIR [EXTRA_CXX_FLAGS]
set -euo pipefail
build=$1 src=$2 flags=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/lumpgraft share/man/man1/lumpgraft.1 lib/libwaddir.a include/waddir.h \
         lib/cmake/waddir/waddirConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

# The installed command works on a scratch copy of the sample archive.
cp "$src/examples/sample.wad" "$scratch/sample.wad"
"$prefix/bin/lumpgraft" "$scratch/sample.wad" "$src/examples/script.txt" MAP02 >"$scratch/out"
grep -qx "level: MAP02" "$scratch/out"
grep -q " ok$" "$scratch/out"

# The manual page renders without a single warning.
warnings=$(groff -ww -man -z "$prefix/share/man/man1/lumpgraft.1" 2>&1)
[ -z "$warnings" ] || { echo "groff: $warnings"; exit 1; }
if command -v mandoc >/dev/null; then
  mandoc -T lint -W warning "$prefix/share/man/man1/lumpgraft.1"
fi
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$prefix/share/man/man1/lumpgraft.1" 2>&1 | grep -q "^SYNOPSIS"
fi

# Another project builds against the installed package and reads the archive.
cmake -S "$src/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/listlevels" "$src/examples/sample.wad" >"$scratch/levels"
printf 'MAP01 460\nMAP02 248\n' | diff - "$scratch/levels"
echo "install test passed"
