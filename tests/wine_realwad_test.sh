#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows command, run under Wine, grafts into a copy of freedoom2.wad;
# Linux programs written by others (deutex, python3-omg) must read the lump
# back byte for byte, and every other lump must be as it was.
#   wine_realwad_test.sh WINE LUMPGRAFT_EXE
# Exits 77 (skipped) when a package is missing, except under CI=true. A
# failure names its command, and shows the command's output.
set -Eeuo pipefail
trap 'echo "wine_realwad_test.sh: line $LINENO: failed: $BASH_COMMAND" >&2; cat out err 2>/dev/null' ERR
wine=$1 exe=$2
game=/usr/share/games/doom/freedoom2.wad

missing() {
  echo "$1 is missing: install the Debian package $2"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
[ -r "$game" ] || missing "$game" freedoom
[ -x /usr/games/deutex ] || missing /usr/games/deutex deutex
/usr/bin/python3 -c 'import omg' 2>/dev/null || missing "python3's omg module" python3-omg

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
cp "$game" game.wad
printf '// level script\r\nscript 1 OPEN { print(s:"hello"); }\n\0\377' >script.txt

"$wine" "$exe" game.wad script.txt MAP07 >out 2>err || { cat out err; exit 1; }
grep -qx "level: MAP07" out
grep -qx "script.txt added to game.wad ok" out

mkdir iwad && ln -s "$game" iwad/doom2.wad
/usr/games/deutex -doom2 iwad -get MAP07 game.wad >out 2>err
cmp script.txt map07.lmp

/usr/bin/python3 - "$game" game.wad script.txt <<'PY'
import struct, sys
import omg

original, edited, script = sys.argv[1], sys.argv[2], open(sys.argv[3], "rb").read()
wad = omg.WAD(edited)
assert list(wad.maps.keys()) == list(omg.WAD(original).maps.keys()), "levels differ"
assert wad.maps["MAP07"]["_HEADER_"].data == script, "MAP07 does not hold the script"

# Every other lump, read by plain offsets, is as it was.
def lumps(path):
    data = open(path, "rb").read()
    count, offset = struct.unpack_from("<ii", data, 4)
    for i in range(count):
        pos, size, name = struct.unpack_from("<ii8s", data, offset + 16 * i)
        yield name.rstrip(b"\0"), data[pos:pos + size]
old, new = list(lumps(original)), list(lumps(edited))
assert len(old) == len(new)
changed = [o[0] for o, n in zip(old, new) if o != n]
assert changed == [b"MAP07"], changed
assert len(open(edited, "rb").read()) == len(open(original, "rb").read()) + len(script)
PY
echo "wine real-archive test passed"
