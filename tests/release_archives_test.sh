#!/usr/bin/env bash
# Makes the release files three times from the built tree and checks them:
# twice with the same SOURCE_DATE_EPOCH but another time zone, umask and
# folder, which must give the same bytes; once with
# another SOURCE_DATE_EPOCH, which must change the archives' times and nothing
# else. Neither archive names an owner; each holds exactly the module, the Windows viewer,
# INSTALL.txt, LICENSE and README under quorlan7-VERSION/, its module and viewer are the built
# ones, and SHA256SUMS checks.
#
#   release_archives_test.sh SOURCE_ROOT BUILD_DIR VERSION BUILT_MODULE BUILT_VIEWER_EXE
set -euo pipefail
export LC_ALL=C

src=$1 build=$2 version=$3 built=$4 built_exe=$5
cmake=${CMAKE:-cmake}
work=$(mktemp -d "${TMPDIR:-/tmp}/q7-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
name=quorlan7-$version
fail() { echo "FAIL: $*"; exit 1; }

pack() {  # OUT_DIR SOURCE_DATE_EPOCH
  local out=$1 epoch=$2
  SOURCE_DATE_EPOCH="$epoch" "$cmake" -DQ7_SOURCE_DIR="$src" -DQ7_BUILD_DIR="$build" \
    -DQ7_VERSION="$version" -DQ7_MODULE_FILE="$built" -DQ7_RELEASE_DIR="$out" \
    -P "$src/cmake/release_archives.cmake" >"$out.log" 2>&1 || { cat "$out.log"; fail "packing into $out"; }
}

one=$work/one
two=$work/a-longer-folder/two
mkdir -p "$(dirname "$two")"
(umask 022 && TZ=UTC pack "$one" 1700000000)
(umask 077 && TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 pack "$two" 1700000000)

for f in "$name.zip" "$name.tar.gz" quorlan7.gau SHA256SUMS; do
  cmp -s "$one/$f" "$two/$f" || fail "$f differs between two runs with the same SOURCE_DATE_EPOCH"
done
[[ $(ls "$one" | tr '\n' ' ') == "SHA256SUMS $name.tar.gz $name.zip quorlan7.gau " ]] ||
  fail "release folder holds: $(ls "$one" | tr '\n' ' ')"
(cd "$one" && sha256sum --check --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
cmp -s "$one/quorlan7.gau" "$built" || fail "the release's quorlan7.gau is not the built module"

want="$name/INSTALL.txt $name/LICENSE $name/README $name/quorlan7-view.exe $name/quorlan7.gau "
for a in "$name.zip" "$name.tar.gz"; do
  members=$("$cmake" -E tar tf "$one/$a" | grep -v '/$' | sort | tr '\n' ' ')
  [[ $members == "$want" ]] || fail "$a holds: $members"
  TZ=UTC "$cmake" -E tar tvf "$one/$a" | grep -q "14 Nov  2023 $name/quorlan7.gau" ||
    fail "$a: times are not SOURCE_DATE_EPOCH: $(TZ=UTC "$cmake" -E tar tvf "$one/$a")"
  mkdir -p "$work/x-$a" && (cd "$work/x-$a" && "$cmake" -E tar xf "$one/$a")
  cmp -s "$work/x-$a/$name/quorlan7.gau" "$built" || fail "$a: its quorlan7.gau is not the built module"
  cmp -s "$work/x-$a/$name/quorlan7-view.exe" "$built_exe" || fail "$a: its quorlan7-view.exe is not the built one"
done

# No owner, user name or extra time in either archive: owner 0 without a
# name in the tar, and no extended-time ("UT") or owner ("ux") fields in the zip.
owners=$(tar -tvzf "$one/$name.tar.gz" | awk '{print $2}' | sort -u | tr '\n' ' ')
[[ $owners == "0/0 " ]] || fail "$name.tar.gz: owners $owners"
grep -qaP '(UT|ux)[\x05\x09\x0b\x0d]\x00' "$one/$name.zip" && fail "$name.zip: owner or time extra fields"

three=$work/three
pack "$three" 1800000000
for a in "$name.zip" "$name.tar.gz"; do
  cmp -s "$one/$a" "$three/$a" && fail "$a does not change with SOURCE_DATE_EPOCH"
done
echo "PASS: $(cat "$one/SHA256SUMS" | tr '\n' ';')"
