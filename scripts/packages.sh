#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian or Ubuntu packages that the README's commands need:
#   sh scripts/packages.sh build   the command and the library
#   sh scripts/packages.sh test    also everything every test uses
# As root it runs apt-get itself; otherwise through sudo. Elsewhere it names
# the packages and leaves their installation to the system's own tools.
set -eu

build="cmake make g++"
test="$build libgtest-dev pkgconf strace groff-base mandoc man-db freedoom deutex python3-omg
chocolate-doom xvfb xauth"
case "${1:-}" in
build) packages=$build ;;
test) packages=$test ;;
*)
  echo "usage: sh scripts/packages.sh build|test" >&2
  exit 2
  ;;
esac

if ! command -v apt-get >/dev/null 2>&1; then
  echo "packages.sh: no apt-get here; install the equivalents of: $(echo $packages)" >&2
  exit 0
fi
if [ "$(id -u)" = 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  echo "packages.sh: run this as root, or install sudo, to install: $(echo $packages)" >&2
  exit 1
fi

# No question may wait for an answer, and recommended extras stay out.
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086 # one word per package
if ! $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  $packages >/dev/null; then
  echo "packages.sh: apt-get could not install: $(echo $packages)" >&2
  echo "(on Ubuntu, freedoom, deutex and python3-omg come from the universe component)" >&2
  exit 1
fi
echo "packages.sh: installed or already present: $(echo $packages)"
