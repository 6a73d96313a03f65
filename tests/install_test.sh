#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix, checks that every file is in
# place and that the manual page renders without a warning, then uses what
# was installed as a user and another project would (consumer/check.sh).
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR [EXTRA_CXX_FLAGS]
set -euo pipefail
build=$1 src=$2 libdir=$3 flags=${4:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/lumpgraft share/man/man1/lumpgraft.1 include/waddir.h "$libdir/libwaddir.a" \
         "$libdir/cmake/waddir/waddirConfig.cmake" "$libdir/pkgconfig/waddir.pc"; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

page=$prefix/share/man/man1/lumpgraft.1
warnings=$(groff -ww -man -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "groff: $warnings"; exit 1; }
if command -v mandoc >/dev/null; then
  mandoc -T lint -W warning "$page"
fi
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$page" 2>&1 | grep -q "^SYNOPSIS"
fi

"$src/tests/consumer/check.sh" "$src" "$prefix" "$libdir" "$flags"
echo "install test passed"
