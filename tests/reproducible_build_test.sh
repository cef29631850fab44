#!/usr/bin/env bash
# Builds quorlan7.gau and quorlan7-view.exe twice more, each time from its own
# copy of the sources into its own build folder, the two under folder names of
# different lengths, with different time zones, locales and user names, and
# checks that both copies of each file and the one the main build made are the
# same bytes.
#
#   reproducible_build_test.sh SOURCE_ROOT BMPGEN VERSION BUILT_MODULE BUILT_VIEWER_EXE
#
# Only what the two need is built: the module's pictures (with the bitmap
# generator the main build made), the module/ project and the winview/ project.
set -euo pipefail

src=$1 bmpgen=$2 version=$3 built=$4 built_exe=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/q7-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The folders the two programs' sources come from.
parts=(cmake display module nav resources version winview panel model tools)

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
  cmake -S "$dir/src/winview" -B "$dir/viewer" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DQ7_VERSION="$version" \
    -DQ7_OUTPUT_DIR="$dir/out" >"$dir/configure-viewer.log" 2>&1 || { cat "$dir/configure-viewer.log"; return 1; }
  cmake --build "$dir/viewer" -j2 >"$dir/build-viewer.log" 2>&1 || { cat "$dir/build-viewer.log"; return 1; }
}

one="$work/a"
two="$work/a-much-longer-folder-name/of/several/levels"
TZ=UTC LC_ALL=C USER=builder LOGNAME=builder build_in "$one"
TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 USER=someone-else LOGNAME=someone-else build_in "$two"

status=0
for pair in "quorlan7.gau:$built" "quorlan7-view.exe:$built_exe"; do
  name=${pair%%:*} main=${pair#*:}
  for f in "$two/out/$name" "$main"; do
    if ! cmp -s "$one/out/$name" "$f"; then
      echo "FAIL: $one/out/$name and $f differ in $(cmp -l "$one/out/$name" "$f" | wc -l) bytes" \
           "(sizes $(stat -c %s "$one/out/$name") and $(stat -c %s "$f"))"
      status=1
    fi
  done
  ((status == 0)) && echo "PASS: $name: three builds, $(stat -c %s "$main") bytes each, sha256 $(sha256sum <"$main" | cut -d' ' -f1)"
done
exit $status
