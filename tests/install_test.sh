#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix, checks that every file is in
# place, that the manual pages render without a warning and that the library
# exports the names its header declares and no other, then uses what was
# installed as a user and another project would (consumer/check.sh). A
# Windows build's is checked with MinGW's tools, and runs under WINE.
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR [EXTRA_CXX_FLAGS [WINE]]
# A failure names its command and shows its output. Exits 77 (skipped) when
# a package is missing, after everything else has run, except under CI=true.
set -Eeuo pipefail
trap 'echo "install_test.sh: line $LINENO: failed: $BASH_COMMAND" >&2' ERR
build=$1 src=$2 libdir=$3 flags=${4:-} wine=${5:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

# Runs a command quietly; when it fails, shows what it printed.
quiet() {
  "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log"; return 1; }
}

quiet cmake --install "$build" --prefix "$prefix"
if [ -e "$prefix/bin/lumpgraft.exe" ]; then
  files=(bin/lumpgraft.exe) pages=() nm=x86_64-w64-mingw32-nm
  command -v "$nm" >/dev/null || { echo "$nm is missing (Debian package binutils-mingw-w64-x86-64)"
                                   [ "${CI:-}" != true ] || exit 1; exit 77; }
else
  files=(bin/lumpgraft share/man/man1/lumpgraft.1 share/man/man3/waddir.3) nm=nm
  pages=("$prefix/share/man/man1/lumpgraft.1" "$prefix/share/man/man3/waddir.3")
fi
for f in "${files[@]}" include/waddir.h "$libdir/libwaddir.a" \
         "$libdir/cmake/waddir/waddirConfig.cmake" "$libdir/pkgconfig/waddir.pc"; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

# The library's global symbols are the header's names (and, in a build with
# AddressSanitizer, the markers it adds beside its variables).
declared=$(cmake -DHEADER="$prefix/include/waddir.h" -P "$src/cmake/exports.cmake" | sort)
exported=$("$nm" -g --defined-only "$prefix/$libdir/libwaddir.a" |
  awk 'NF == 3 && $3 !~ /^__odr_asan\./ { print $3 }' | sort)
[ "$declared" = "$exported" ] ||
  { echo "libwaddir.a exports other names than waddir.h declares:"; diff <(echo "$declared") <(echo "$exported"); exit 1; }

skipped=0
for page in "${pages[@]}"; do
  if command -v groff >/dev/null; then
    warnings=$(groff -ww -man -z "$page" 2>&1) || { echo "groff failed: $warnings"; exit 1; }
    [ -z "$warnings" ] || { echo "groff: $page: $warnings"; exit 1; }
  else
    echo "groff is missing (Debian package groff-base): the manual pages are not checked"
    [ "${CI:-}" != true ] || exit 1
    skipped=77
  fi
  if command -v mandoc >/dev/null; then
    mandoc -T lint -W warning "$page"
  fi
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$page" 2>&1 | grep -q "^SYNOPSIS"
  fi
done

"$src/tests/consumer/check.sh" "$src" "$prefix" "$libdir" "$flags" "$wine" || status=$?
[ "${status:-0}" = 0 ] || [ "$status" = 77 ] || exit "$status"
echo "install test passed"
exit "${status:-$skipped}"
