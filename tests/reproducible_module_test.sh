#!/usr/bin/env bash
# Builds quorlan7.gau twice more, each time from its own copy of the sources
# into its own build folder, the two under folder names of different lengths,
# with different time zones, locales and user names, and checks that both
# files and the one the main build made are the same bytes.
#
#   reproducible_module_test.sh SOURCE_ROOT BMPGEN VERSION BUILT_MODULE
#
# Only what the module needs is built: its pictures (with the bitmap
# generator the main build made) and the module/ project.
set -euo pipefail

src=$1 bmpgen=$2 version=$3 built=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/q7-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The folders the module's sources come from.
parts=(cmake display module nav resources version)

build_in() {
  local dir=$1
  mkdir -p "$dir/src"
  for p in "${parts[@]}"; do cp -R "$src/$p" "$dir/src/"; done
  mkdir -p "$dir/bitmaps"
  for picture in face dot buttons; do
    "$bmpgen" "$dir/src/resources/$picture.txt" "$dir/bitmaps/$picture.bmp"
  done
  cmake -S "$dir/src/module" -B "$dir/gauge" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DQ7_VERSION="$version" \
    -DQ7_BITMAP_DIR="$dir/bitmaps" \
    -DQ7_OUTPUT_DIR="$dir/out" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir/gauge" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
}

one="$work/a"
two="$work/a-much-longer-folder-name/of/several/levels"
TZ=UTC LC_ALL=C USER=builder LOGNAME=builder build_in "$one"
TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 USER=someone-else LOGNAME=someone-else build_in "$two"

status=0
for f in "$two/out/quorlan7.gau" "$built"; do
  if ! cmp -s "$one/out/quorlan7.gau" "$f"; then
    echo "FAIL: $one/out/quorlan7.gau and $f differ in $(cmp -l "$one/out/quorlan7.gau" "$f" | wc -l) bytes" \
         "(sizes $(stat -c %s "$one/out/quorlan7.gau") and $(stat -c %s "$f"))"
    status=1
  fi
done
((status == 0)) && echo "PASS: three builds, $(stat -c %s "$built") bytes each, sha256 $(sha256sum <"$built" | cut -d' ' -f1)"
exit $status
