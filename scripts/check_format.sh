#!/usr/bin/env bash
# Checks that the harness's C++ sources are laid out as .clang-format says: every file
# git knows in the native folders, checked with clang-format 14 (a newer
# clang-format may lay some lines out differently). Prints each file that
# differs and fails; `clang-format-14 -i FILE` fixes one.
set -euo pipefail
cd "$1"
format=$(command -v clang-format-14 || true)
if [[ -z $format ]]; then
  echo "format: clang-format-14 is missing (bash scripts/setup.sh installs it)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files -- 'panel/*' 'winview/*' 'host/*' 'tools/*' 'fuzz/*' 'model/*' 'version/*' 'tests/*' \
                                    'resources/*.cpp' 'resources/*.hpp' | grep -E '\.(cpp|h|hpp)$')
bad=0
for f in "${files[@]}"; do
  if ! "$format" --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "format: $f differs from .clang-format" >&2
    bad=1
  fi
done
echo "format: ${#files[@]} files checked"
exit $bad
