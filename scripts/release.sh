#!/usr/bin/env bash
# Makes the release of the commit this repository is at: clones that commit
# into a clean folder, builds it there, runs every test, makes the release
# files and lists them.
#
#   bash scripts/release.sh [FOLDER]
#
# FOLDER (default: release-clone/ in the repository) receives the clone; its
# build/release/ then holds quorlan7-VERSION.zip, quorlan7-VERSION.tar.gz,
# quorlan7.gau and SHA256SUMS. A FOLDER left by an earlier run is replaced.
# SOURCE_DATE_EPOCH, the time of every file in the archives, is the commit's
# date unless it is set already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

commit=$(git rev-parse --verify HEAD)
if [[ -n $(git status --porcelain) ]]; then
  echo "release: the working tree has uncommitted changes; they are not part of the release of $commit" >&2
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct "$commit")}

dest=${1:-$root/release-clone}
dest=$(realpath -m "$dest")
if [[ -e $dest ]]; then
  # Only a clone an earlier run made is replaced.
  if [[ $(git -C "$dest" config --get remote.origin.url 2>/dev/null) != "$root" ]]; then
    echo "release: $dest exists and is not a clone of $root; name another folder" >&2
    exit 2
  fi
  rm -rf "$dest"
fi

echo "release: cloning $commit into $dest"
git clone --quiet --no-local --no-checkout "$root" "$dest"
git -C "$dest" checkout --quiet --detach "$commit"

cd "$dest"
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
cmake --build --preset default --target package

cd build/release
sha256sum --check --quiet SHA256SUMS
echo
echo "release of $commit (SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH), in $PWD:"
ls -l --time-style=+ . | tail -n +2
echo
echo "SHA256SUMS:"
cat SHA256SUMS
